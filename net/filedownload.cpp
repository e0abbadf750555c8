#include "net/filedownload.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/httpstatus.h"
#include "base/stringutils.h"
#include "base/tempname.h"
#include "net/redirect.h"
#include "net/webpage.h"

namespace {

constexpr char kModule[] = "filedownload";
// The pause after a failed opening before the next attempt.
constexpr DWORD kRetryPauseMs = 100;

std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

// A host that resets or drops its connections is overloaded or shedding
// clients, as one that answers 503.
bool IsPushBack(DWORD error) {
  return error == ERROR_INTERNET_CONNECTION_RESET || error == ERROR_INTERNET_CONNECTION_ABORTED ||
         error == ERROR_INTERNET_TIMEOUT;
}

}  // namespace

DownloadRequest DownloadRequest::Part(const std::wstring& host, const std::wstring& object_path,
                                      const std::wstring& object_suffix, uint32_t part_index,
                                      uint32_t part_size, uint32_t expected_crc,
                                      const std::wstring& part_file_path,
                                      IDownloadListener* listener) {
  DownloadRequest request;
  request.places = {{host, object_path, object_suffix}};
  request.part_index = part_index;
  request.part_size = part_size;
  request.expected_crc = expected_crc;
  request.part_file_path = part_file_path;
  request.sink =
      std::make_shared<PartFileSink>(part_file_path, TemporaryName(part_file_path), part_size);
  request.listener = listener;
  return request;
}

DownloadRequest DownloadRequest::InMemory(const std::wstring& host, const std::wstring& object_path,
                                          const std::wstring& object_suffix,
                                          std::shared_ptr<MemorySink> sink) {
  DownloadRequest request;
  request.places = {{host, object_path, object_suffix}};
  request.sink = std::move(sink);
  return request;
}

void DownloadRequest::OnHosts(std::vector<HostObject> places, std::shared_ptr<HostPool> hosts,
                              std::optional<size_t> only_host) {
  this->places = std::move(places);
  this->hosts = std::move(hosts);
  this->only_host = only_host;
}

FileDownload::FileDownload(DownloadRequest request, std::shared_ptr<const RunStop> stop,
                           std::shared_ptr<const RunPause> pause)
    : request_(std::move(request)), stop_(std::move(stop)), pause_(std::move(pause)) {}

FileDownload::~FileDownload() { Wait(); }

void FileDownload::Run() {
  state_.store(DOWNLOAD_RUNNING, std::memory_order_relaxed);
  const bool ended_normally = RunAttempts();
  connection_.ReleaseCallThread();
  if (!ended_normally) return;
  state_.store(DOWNLOAD_FINISHED, std::memory_order_relaxed);
  if (request_.listener) request_.listener->OnDownloadFinished(this);
}

std::wstring FileDownload::ThreadName() const {
  return L"Veltra part " + std::to_wstring(request_.part_index);
}

void FileDownload::Failed(const char* what) {
  if (what != nullptr) {
    Error::LogError(
        std::string("FildeDownload: Obviously a major malfunction. Stopping download. Message: ") +
            what,
        static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
  } else {
    Orv_Thread::Failed(what);
  }
  // Idle, with nothing kept: the chain counts the part as missing.
  state_.store(DOWNLOAD_IDLE, std::memory_order_relaxed);
  connection_.Disconnect();
  connection_.ReleaseCallThread();
  request_.sink->Discard(stop_->Token());
}

bool FileDownload::RunAttempts() {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    host_ = PickHost();
    const int web_pages_before = web_pages_.load(std::memory_order_relaxed);
    const AttemptEnd end = RunAttempt();
    TellHosts(end, web_pages_before);
    switch (end) {
      case AttemptEnd::kKept:
      case AttemptEnd::kStopped:
        return true;
      case AttemptEnd::kProxyRefused:
        // A filter that lets other hosts through: the run goes on with
        // them, and the refusal ends the run only when no host is left.
        if (!request_.only_host && request_.hosts && request_.hosts->OthersUsable(host_)) {
          request_.hosts->LeaveOut(host_, L"the network's proxy refuses it");
          proxy_refusal_.store(0, std::memory_order_relaxed);
          break;
        }
        return true;
      case AttemptEnd::kNotSaved:
        state_.store(DOWNLOAD_WRITE_FAILED, std::memory_order_relaxed);
        if (request_.listener) request_.listener->OnDownloadProgress(this);
        return false;
      case AttemptEnd::kWrong:
        if (stop_->Requested()) return true;
        // A copy asked of one host: once it rests, the others are asked.
        // With every host down its tries go on, as with a single host, so a
        // short outage does not end the run sooner.
        if (request_.only_host && request_.hosts && !request_.hosts->Usable(*request_.only_host) &&
            request_.hosts->OthersUsable(*request_.only_host)) {
          return true;
        }
        break;
    }
  }
  return true;
}

size_t FileDownload::PickHost() const {
  if (request_.only_host) return *request_.only_host;
  if (!request_.hosts) return 0;
  std::vector<bool> avoid(request_.places.size(), false);
  if (failed_on_ && *failed_on_ < avoid.size()) avoid[*failed_on_] = true;
  return std::min(request_.hosts->Pick(avoid), request_.places.size() - 1);
}

void FileDownload::TellHosts(AttemptEnd end, int web_pages_before) {
  if (end == AttemptEnd::kKept) {
    kept_from_.store(static_cast<int>(host_), std::memory_order_relaxed);
    failed_on_.reset();
    if (request_.hosts) request_.hosts->Succeeded(host_);
    return;
  }
  // A stop, the proxy's refusal, a full disk or a web page (the network
  // answered, not the host) say nothing of the host.
  if (end != AttemptEnd::kWrong || stop_->Requested() ||
      web_pages_.load(std::memory_order_relaxed) != web_pages_before) {
    return;
  }
  failed_on_ = host_;
  if (request_.hosts) request_.hosts->Failed(host_);
}

FileDownload::AttemptEnd FileDownload::RunAttempt() {
  bytes_received_.store(0, std::memory_order_relaxed);
  const std::wstring& path = request_.part_file_path;
  // The sink first: a part that cannot be saved costs the host nothing.
  if (!request_.sink->Begin()) return AttemptEnd::kNotSaved;
  std::atomic<uint32_t> status{0};
  const HostObject& place = request_.places.at(host_);
  if (!connection_.Open(place.host, place.object_path, place.object_suffix, path, status,
                        stop_->Token())) {
    if (status.load(std::memory_order_relaxed) != 0) {
      error_code_.store(status.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    if (status.load(std::memory_order_relaxed) == kHttpServiceUnavailable) ReportPushBack();
    request_.sink->Discard(stop_->Token());
    // The network's proxy or filter will refuse the host again at once.
    if (connection_.ProxyRefusal() != 0) {
      proxy_refusal_.store(connection_.ProxyRefusal(), std::memory_order_relaxed);
      return AttemptEnd::kProxyRefused;
    }
    return stop_->Token().WaitForStop(kRetryPauseMs) ? AttemptEnd::kStopped : AttemptEnd::kWrong;
  }
  auto body = std::make_shared<ReceivedBody>(request_.sink);
  const ReadOutcome outcome = ReadResponse(body);
  if (outcome.sink_failed) {
    connection_.Disconnect();
    request_.sink->Discard(stop_->Token());
    return AttemptEnd::kNotSaved;
  }
  const bool right = ReceivedRight(outcome, *body);
  connection_.Disconnect();
  if (!right) {
    request_.sink->Discard(stop_->Token());
    return outcome.stopped_in_read || stop_->Requested() ? AttemptEnd::kStopped
                                                         : AttemptEnd::kWrong;
  }
  Error::LogMessage(L"Download: " + path + L" correct CRC. Download succesful.", kModule, __LINE__);
  // A part received whole and right is kept even when a stop came meanwhile:
  // the next start need not fetch it again.
  return request_.sink->Keep(stop_->Token()) ? AttemptEnd::kKept : AttemptEnd::kNotSaved;
}

void FileDownload::ReportProgress(const ReceivedBody& body) {
  const uint64_t size = body.Snapshot().size;
  if (size == bytes_received_.load(std::memory_order_relaxed)) return;
  bytes_received_.store(size, std::memory_order_relaxed);
  if (request_.listener) request_.listener->OnDownloadProgress(this);
}

void FileDownload::ReportPushBack() {
  // Where another host takes the next try, this one's load is not the
  // run's to ease.
  if (request_.hosts && request_.hosts->OthersUsable(host_)) return;
  if (request_.listener) request_.listener->OnHostPushedBack(this);
}

FileDownload::ReadOutcome FileDownload::ReadResponse(const std::shared_ptr<ReceivedBody>& body) {
  ReadOutcome outcome;
  if (request_.start_offset != 0 &&
      ::InternetSetFilePointer(connection_.Request(), static_cast<LONG>(request_.start_offset),
                               nullptr, FILE_BEGIN, 0) == INVALID_SET_FILE_POINTER) {
    state_.store(DOWNLOAD_SEEK_FAILED, std::memory_order_relaxed);
    error_code_.store(::GetLastError(), std::memory_order_relaxed);
  }
  // The call thread reads the whole body in one go; it comes back only at
  // its end, a failed read, a pause or the stop.
  for (;;) {
    // While paused the request stays open; a resume or the stop ends the
    // wait.
    if (pause_ ? !pause_->WaitWhilePaused(stop_->Token()) : stop_->Requested()) break;
    DWORD error = 0;
    const DownloadConnection::BodyEnd end = connection_.ReadBody(
        body, stop_, pause_, [this, &body] { ReportProgress(*body); }, error);
    if (end == DownloadConnection::BodyEnd::kStopped) break;
    ReportProgress(*body);
    switch (end) {
      case DownloadConnection::BodyEnd::kPaused:
        continue;
      case DownloadConnection::BodyEnd::kSinkFailed:
        outcome.sink_failed = true;
        return outcome;
      case DownloadConnection::BodyEnd::kFailed:
        outcome.last_error = error;
        Error::LogError(L"InternetReadFile Failed for: " + request_.part_file_path, error, kModule,
                        __LINE__);
        if (IsPushBack(error)) ReportPushBack();
        return outcome;
      default:
        outcome.last_read_ok = true;
        Error::LogMessage(L"Finished file: " + request_.part_file_path, kModule, __LINE__);
        return outcome;
    }
  }
  outcome.stopped_in_read = true;
  return outcome;
}

bool FileDownload::ReceivedRight(const ReadOutcome& outcome, const ReceivedBody& body) {
  const ReceivedBody::Progress received = body.Snapshot();
  if (outcome.stopped_in_read) {
    // Cut short by the user's close or stop: nothing is wrong with the part
    // or the host.
    Error::LogMessage(L"Download: " + request_.part_file_path + L" stopped after " +
                          std::to_wstring(received.size) + L" bytes",
                      kModule, __LINE__);
    return false;
  }
  const std::optional<uint32_t>& expected = request_.expected_crc;
  uint32_t found_crc = 0;
  bool success = false;
  if (outcome.last_read_ok) {
    // Every CRC is checked, 0 included; only the CRC info has none. A body
    // of another size than the part's is wrong whatever its CRC: a host
    // that cut the answer short looks complete to WinINet.
    if (received.size != 0 && expected) found_crc = received.crc;
    const bool size_right = request_.part_size == 0 || received.size == request_.part_size;
    success = received.size != 0 && size_right && (!expected || found_crc == *expected);
  } else {
    Error::LogError("Error reading file, reconnecting.", outcome.last_error, kModule, __LINE__);
  }
  if (received.size == 0 && outcome.last_read_ok) success = success || !expected;
  if (success && !expected) {
    // The CRC info has no CRC to catch a portal's page standing in for it.
    success = !ReportWebPage(body);
  } else if (!success && !ReportWebPage(body)) {
    Error::LogError(L"Download: " + request_.part_file_path + L" incorrect CRC. Expected: " +
                        Signed(expected.value_or(0)) + L" found: " + Signed(found_crc) +
                        L" bytes read: " + Signed(static_cast<uint32_t>(received.size)) +
                        L"Retrying download",
                    static_cast<uint32_t>(DL_MANAGER_CRC_INCORRECT), kModule, __LINE__);
  }
  return success;
}

bool FileDownload::ReportWebPage(const ReceivedBody& body) {
  const ByteBuffer head = body.Head();
  const std::string type = StringUtils::ToNarrow(connection_.ContentType());
  if (!WebPage::Is(type, head.Data(), head.Size())) return false;
  web_pages_.fetch_add(1, std::memory_order_relaxed);
  // A page may name the address it stands in for, signature and all.
  const std::wstring& name =
      request_.part_file_path.empty() ? request_.places.at(host_).object_path
                                      : request_.part_file_path;
  Error::RecordError(
      Redirect::WithoutQueries(
          L"Download: " + name +
          L" the network answered with a web page instead of the file: status 200, "
          L"content type \"" +
          connection_.ContentType() + L"\", title \"" +
          StringUtils::ToWide(WebPage::Title(head.Data(), head.Size())) + L"\". Retrying download"),
      static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  return true;
}
