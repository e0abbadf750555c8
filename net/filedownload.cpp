#include "net/filedownload.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "base/blockfile.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/faulttranslator.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "net/redirect.h"
#include "net/webpage.h"

namespace {

constexpr char kModule[] = "filedownload";
// The pause after a failed opening before the next attempt.
constexpr DWORD kRetryPauseMs = 100;

std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

}  // namespace

DownloadRequest DownloadRequest::Part(const std::wstring& host, const std::wstring& object_path,
                                      const std::wstring& object_suffix, uint32_t part_index,
                                      uint32_t part_size, uint32_t expected_crc,
                                      const std::wstring& part_file_path,
                                      IDownloadListener* listener) {
  DownloadRequest request;
  request.host = host;
  request.object_path = object_path;
  request.object_suffix = object_suffix;
  request.part_index = part_index;
  request.part_size = part_size;
  request.expected_crc = expected_crc;
  request.part_file_path = part_file_path;
  request.listener = listener;
  return request;
}

DownloadRequest DownloadRequest::InMemory(const std::wstring& host, const std::wstring& object_path,
                                          const std::wstring& object_suffix) {
  DownloadRequest request;
  request.host = host;
  request.object_path = object_path;
  request.object_suffix = object_suffix;
  return request;
}

FileDownload::FileDownload(DownloadRequest request) : request_(std::move(request)) {}

FileDownload::~FileDownload() { Stop(INFINITE); }

void FileDownload::SetPaused(bool paused) {
  paused_.store(paused, std::memory_order_relaxed);
  pause_seen_by_reads_->store(paused, std::memory_order_relaxed);
}

void FileDownload::ResetData() {
  // Dropped, not cleared: a read abandoned for a stop may still write into
  // the body it was given.
  body_.reset();
  data_.Reset();
  bytes_received_.store(0, std::memory_order_relaxed);
}

void FileDownload::Run() {
  InstallSeTranslator();
  try {
    state_.store(DOWNLOAD_RUNNING, std::memory_order_relaxed);
    const bool ended_normally = RunAttempts();
    connection_.ReleaseCallThread();
    // A part's bytes are on disk or worthless by now, whatever the result:
    // a worker that used up its tries would otherwise hold up to a whole
    // part for as long as its owner keeps it.
    if (!request_.KeptInMemory()) ResetData();
    if (!ended_normally) return;
    state_.store(DOWNLOAD_FINISHED, std::memory_order_relaxed);
    if (request_.listener) request_.listener->OnDownloadFinished(this);
  } catch (const std::exception& e) {
    Error::LogError(
        std::string("FildeDownload: Obviously a major malfunction. Stopping download. Message: ") +
            e.what(),
        static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
    state_.store(DOWNLOAD_IDLE, std::memory_order_relaxed);
    connection_.Disconnect();
    connection_.ReleaseCallThread();
    if (!request_.KeptInMemory()) ResetData();
  }
}

bool FileDownload::RunAttempts() {
  const std::wstring& path = request_.part_file_path;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    ResetData();
    if (!connection_.Open(request_.host, request_.object_path, request_.object_suffix, path,
                          error_code_, Token())) {
      WaitForStop(kRetryPauseMs);
    } else {
      if (Evaluate(ReadResponse())) {
        Error::LogMessage(L"Download: " + path + L" correct CRC. Download succesful.", kModule,
                          __LINE__);
        if (!request_.KeptInMemory() && IsRunning()) {
          const bool written = WritePartFile();
          ResetData();
          if (!written) {
            state_.store(DOWNLOAD_WRITE_FAILED, std::memory_order_relaxed);
            if (request_.listener) request_.listener->OnDownloadProgress(this);
            return false;
          }
        }
        return true;
      }
    }
    if (!IsRunning()) break;
  }
  return true;
}

void FileDownload::ReportProgress() {
  const uint64_t size = body_->Snapshot().size;
  if (size == bytes_received_.load(std::memory_order_relaxed)) return;
  bytes_received_.store(size, std::memory_order_relaxed);
  if (request_.listener) request_.listener->OnDownloadProgress(this);
}

FileDownload::ReadOutcome FileDownload::ReadResponse() {
  ReadOutcome outcome;
  if (request_.start_offset != 0 &&
      ::InternetSetFilePointer(connection_.Request(), static_cast<LONG>(request_.start_offset),
                               nullptr, FILE_BEGIN, 0) == INVALID_SET_FILE_POINTER) {
    state_.store(DOWNLOAD_SEEK_FAILED, std::memory_order_relaxed);
    error_code_.store(::GetLastError(), std::memory_order_relaxed);
  }
  body_ = std::make_shared<ReceivedBody>(request_.part_size);
  // The call thread reads the whole body in one go; it comes back only at
  // its end, a failed read, a pause or the stop.
  while (IsRunning()) {
    if (IsPaused()) {
      // The request stays open; a resume or a stop ends the wait.
      running.WaitFor(paused_.ClearEvent(), INFINITE);
      continue;
    }
    DWORD error = 0;
    const DownloadConnection::BodyEnd end = connection_.ReadBody(
        body_, pause_seen_by_reads_, Token(), [this] { ReportProgress(); }, error);
    if (end == DownloadConnection::BodyEnd::kStopped) {
      // Stopped while the host kept us waiting: as if the stop had come
      // between two reads.
      outcome.stopped_in_read = true;
      break;
    }
    ReportProgress();
    if (end == DownloadConnection::BodyEnd::kPaused) continue;
    if (end == DownloadConnection::BodyEnd::kFailed) {
      outcome.last_error = error;
      Error::LogError(L"InternetReadFile Failed for: " + request_.part_file_path, error, kModule,
                      __LINE__);
      return outcome;
    }
    outcome.last_read_ok = true;
    Error::LogMessage(L"Finished file: " + request_.part_file_path, kModule, __LINE__);
    return outcome;
  }
  // Stopped: the last read went well if it brought anything.
  outcome.last_read_ok = body_->Snapshot().size != 0;
  return outcome;
}

bool FileDownload::Evaluate(const ReadOutcome& outcome) {
  // A read abandoned for a stop leaves the request as the stop found it.
  const bool request_open = connection_.IsOpen() || outcome.stopped_in_read;
  const ReceivedBody::Progress received = body_->Snapshot();
  const std::optional<uint32_t>& expected = request_.expected_crc;
  uint32_t found_crc = 0;
  bool success = false;
  if (outcome.last_read_ok || !request_open) {
    // Every CRC is checked, 0 included; only the CRC info has none.
    if (received.size != 0 && expected) found_crc = received.crc;
    success = received.size != 0 && (!expected || found_crc == *expected);
  } else {
    Error::LogError("Error reading file, reconnecting.", outcome.last_error, kModule, __LINE__);
  }
  if (received.size == 0) success = success || !expected;
  if (!success && request_open && !ReportWebPage(outcome)) {
    Error::LogError(L"Download: " + request_.part_file_path + L" incorrect CRC. Expected: " +
                        Signed(expected.value_or(0)) + L" found: " + Signed(found_crc) +
                        L" bytes read: " + Signed(static_cast<uint32_t>(received.size)) +
                        L"Retrying download",
                    static_cast<uint32_t>(DL_MANAGER_CRC_INCORRECT), kModule, __LINE__);
  }
  connection_.Disconnect();
  // An abandoned read may still be writing into the body: only a body
  // read to its end is kept.
  if (success && request_.KeptInMemory() && !outcome.stopped_in_read) {
    data_ = std::move(body_->Bytes());
  }
  return success;
}

bool FileDownload::ReportWebPage(const ReadOutcome& outcome) {
  // A read abandoned for a stop may still be writing into the body.
  if (outcome.stopped_in_read) return false;
  const ByteBuffer& bytes = body_->Bytes();
  const std::string type = StringUtils::ToNarrow(connection_.ContentType());
  if (!WebPage::Is(type, bytes.Data(), bytes.Size())) return false;
  web_pages_.fetch_add(1, std::memory_order_relaxed);
  // A page may name the address it stands in for, signature and all.
  Error::RecordError(Redirect::WithoutQueries(
                         L"Download: " + request_.part_file_path +
                         L" the network answered with a web page instead of the file: status 200, "
                         L"content type \"" +
                         connection_.ContentType() + L"\", title \"" +
                         StringUtils::ToWide(WebPage::Title(bytes.Data(), bytes.Size())) +
                         L"\". Retrying download"),
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  return true;
}

bool FileDownload::WritePartFile() {
  const ByteBuffer& bytes = body_->Bytes();
  if (bytes.Empty()) return false;
  const std::wstring& path = request_.part_file_path;
  const size_t slash = path.rfind(L'/');
  if (slash != std::wstring::npos) {
    const std::wstring directory = path.substr(0, slash);
    if (::GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryW(directory.c_str(), nullptr)) {
      Error::RecordError(L"Unable to create directory: " + directory, ::GetLastError(), kModule,
                         __LINE__);
      return false;
    }
  }
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Error::RecordError(L"Couldn't create part file: " + path, ::GetLastError(), kModule, __LINE__);
    return false;
  }
  DWORD written = 0;
  if (!WriteBlock(file.Get(), bytes.Data(), static_cast<DWORD>(bytes.Size()), written)) {
    Error::RecordError("Couldn't write part file", ::GetLastError(), kModule, __LINE__);
    return false;
  }
  return true;
}
