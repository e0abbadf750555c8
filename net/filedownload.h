#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/orvthread.h"
#include "base/runstop.h"
#include "net/bodysink.h"
#include "net/downloadconnection.h"
#include "net/hostpool.h"
#include "net/receivedbody.h"

enum DownloadState : int32_t {
  DOWNLOAD_IDLE = 0,         // not started, or ended by an exception
  DOWNLOAD_SEEK_FAILED = 5,  // positioning failed in this attempt; reading goes on
  DOWNLOAD_RUNNING = 6,
  DOWNLOAD_FINISHED = 7,      // ended normally: success, attempts used up, or stopped
  DOWNLOAD_WRITE_FAILED = 8,  // received and correct, but the part file could not be written
};

class FileDownload;

// A worker's events, called on the worker's thread.
class IDownloadListener {
 public:
  // Once, when the worker ends normally (state DOWNLOAD_FINISHED).
  virtual void OnDownloadFinished(FileDownload* download) = 0;
  // As chunks arrive (as often as the worker keeps up with its reads), and
  // once when the part file cannot be written (state DOWNLOAD_WRITE_FAILED).
  virtual void OnDownloadProgress(FileDownload* download) = 0;
  // The host pushed back on this attempt: it answered 503, or the
  // connection was reset or timed out. The worker tries again.
  virtual void OnHostPushedBack(FileDownload* download) = 0;

 protected:
  ~IDownloadListener() = default;
};

// One object on one host: where a try goes.
struct HostObject {
  std::wstring host;
  std::wstring object_path;    // as named; each segment is escaped in the request
  std::wstring object_suffix;  // appended to the escaped path: the access signature
};

// What one FileDownload fetches and where the bytes go; fixed for its life.
struct DownloadRequest {
  // A part of a release file: checked against its size and CRC-32 (every
  // value, 0 included), streamed to a temporary file beside part_file_path
  // ("/" separators) and renamed to it once right.
  static DownloadRequest Part(const std::wstring& host, const std::wstring& object_path,
                              const std::wstring& object_suffix, uint32_t part_index,
                              uint32_t part_size, uint32_t expected_crc,
                              const std::wstring& part_file_path, IDownloadListener* listener);
  // The CRC info: nothing to check it against, kept in `sink`.
  static DownloadRequest InMemory(const std::wstring& host, const std::wstring& object_path,
                                  const std::wstring& object_suffix,
                                  std::shared_ptr<MemorySink> sink);

  // The same object on several hosts: places[i] lies on host i of `hosts`,
  // which picks the host of each try. Without hosts, places[0] is all.
  void OnHosts(std::vector<HostObject> places, std::shared_ptr<HostPool> hosts,
               std::optional<size_t> only_host = std::nullopt);

  std::vector<HostObject> places;
  std::shared_ptr<HostPool> hosts;
  // Every try on this host; the tries end once it rests while another
  // host may take tries.
  std::optional<size_t> only_host;
  uint32_t part_index = 0;     // the owner's numbering
  uint32_t start_offset = 0;
  uint32_t part_size = 0;  // the owner's size of the part; 0: any size
  std::optional<uint32_t> expected_crc;
  std::wstring part_file_path;  // for messages; empty for the CRC info
  std::shared_ptr<BodySink> sink;
  IDownloadListener* listener = nullptr;
};

// Fetches one file (a part of a release file, or the release's CRC info)
// from the download host on its own thread: streams the answer into its
// sink, checking size and CRC-32 as it arrives, makes up to four attempts,
// and keeps the body only when it is right. Its stop is the run's; a part
// holds for the run's pause too, the CRC info (no pause) never does. Its
// owner requests the stop before it destroys a worker that still runs.
class FileDownload : public Orv_Thread {
 public:
  static constexpr int kMaxAttempts = 4;

  FileDownload(DownloadRequest request, std::shared_ptr<const RunStop> stop,
               std::shared_ptr<const RunPause> pause = nullptr);
  ~FileDownload() override;

  const DownloadRequest& Request() const { return request_; }

  DownloadState State() const { return state_.load(std::memory_order_relaxed); }
  // The last problem: an HTTP status other than 200, or a positioning error.
  uint32_t ErrorCode() const { return error_code_.load(std::memory_order_relaxed); }
  // Every try was answered with a web page instead of the part (a captive
  // portal or a filter); readable from any thread.
  bool MetOnlyWebPages() const {
    return web_pages_.load(std::memory_order_relaxed) == kMaxAttempts;
  }
  // The status (403 or 407) with which the system's proxy refused the
  // host; the worker tried no further. 0 when it did not.
  uint32_t ProxyRefusal() const { return proxy_refusal_.load(std::memory_order_relaxed); }
  // Bytes received in the current attempt; readable from any thread.
  uint64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }
  // The host (its index in the request's places) whose answer was kept;
  // -1 while none was.
  int KeptFrom() const { return kept_from_.load(std::memory_order_relaxed); }

 protected:
  void Run() override;
  std::wstring ThreadName() const override;
  // A malfunction ends the worker idle, its part discarded.
  void Failed(const char* what) override;

 private:
  struct ReadOutcome {
    bool last_read_ok = false;
    bool stopped_in_read = false;
    bool sink_failed = false;
    DWORD last_error = 0;
  };
  enum class AttemptEnd { kKept, kWrong, kNotSaved, kStopped, kProxyRefused };

  // False when the thread must end without OnDownloadFinished (the part
  // file could not be written).
  bool RunAttempts();
  AttemptEnd RunAttempt();
  ReadOutcome ReadResponse(const std::shared_ptr<ReceivedBody>& body);
  void ReportProgress(const ReceivedBody& body);
  void ReportPushBack();
  // Checks what the attempt received and logs a mismatch; true when the
  // bytes are complete and correct.
  bool ReceivedRight(const ReadOutcome& outcome, const ReceivedBody& body);
  // A failed try's body is a web page: logged as such, and counted.
  bool ReportWebPage(const ReceivedBody& body);
  // The host of the next try, and what the host pool learns from a try.
  size_t PickHost() const;
  void TellHosts(AttemptEnd end, int web_pages_before);

  const DownloadRequest request_;
  const std::shared_ptr<const RunStop> stop_;
  const std::shared_ptr<const RunPause> pause_;
  std::atomic<DownloadState> state_{DOWNLOAD_IDLE};
  std::atomic<uint32_t> error_code_{0};
  std::atomic<uint64_t> bytes_received_{0};
  std::atomic<int> web_pages_{0};
  std::atomic<uint32_t> proxy_refusal_{0};
  std::atomic<int> kept_from_{-1};
  // The worker's thread only: the host of the try under way, and of the
  // last try that failed (another host takes the next when one may).
  size_t host_ = 0;
  std::optional<size_t> failed_on_;
  DownloadConnection connection_;
};
