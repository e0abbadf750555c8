#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bytebuffer.h"
#include "base/flagevent.h"
#include "base/orvthread.h"
#include "net/downloadconnection.h"
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

 protected:
  ~IDownloadListener() = default;
};

// What one FileDownload fetches and where the bytes go; fixed for its life.
struct DownloadRequest {
  // A part of a release file: checked against its CRC-32 (every value,
  // 0 included) and written to part_file_path ("/" separators).
  static DownloadRequest Part(const std::wstring& host, const std::wstring& object_path,
                              const std::wstring& object_suffix, uint32_t part_index,
                              uint32_t part_size, uint32_t expected_crc,
                              const std::wstring& part_file_path, IDownloadListener* listener);
  // The CRC info: nothing to check it against, kept in memory.
  static DownloadRequest InMemory(const std::wstring& host, const std::wstring& object_path,
                                  const std::wstring& object_suffix);

  bool KeptInMemory() const { return part_file_path.empty(); }

  std::wstring host;
  std::wstring object_path;    // as named; each segment is escaped in the request
  std::wstring object_suffix;  // appended to the escaped path: the access signature
  uint32_t part_index = 0;     // the owner's numbering
  uint32_t start_offset = 0;
  uint32_t part_size = 0;  // the owner's nominal size; sizes the receive buffer
  std::optional<uint32_t> expected_crc;
  std::wstring part_file_path;  // empty: kept in memory
  IDownloadListener* listener = nullptr;
};

// Fetches one file (a part of a release file, or the release's CRC info)
// from the download host on its own thread: receives the whole answer into
// memory, checking its CRC-32 as it arrives, makes up to four attempts,
// then writes the part file, or keeps the bytes in memory.
class FileDownload : public Orv_Thread {
 public:
  static constexpr int kMaxAttempts = 4;

  explicit FileDownload(DownloadRequest request);
  ~FileDownload() override;

  const DownloadRequest& Request() const { return request_; }

  // May be changed at any time from any thread; while set, nothing is read.
  void SetPaused(bool paused);
  bool IsPaused() const { return paused_.load(std::memory_order_relaxed); }

  DownloadState State() const { return state_.load(std::memory_order_relaxed); }
  // The last problem: an HTTP status other than 200, or a positioning error.
  uint32_t ErrorCode() const { return error_code_.load(std::memory_order_relaxed); }
  // Every try was answered with a web page instead of the part (a captive
  // portal or a filter); readable from any thread.
  bool MetOnlyWebPages() const {
    return web_pages_.load(std::memory_order_relaxed) == kMaxAttempts;
  }
  // Bytes received in the current attempt; readable from any thread.
  uint64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }

  // The verified bytes after the thread ended, kept in memory. Only for the
  // owner, and only while the thread is not running.
  ByteBuffer& Data() { return data_; }

 protected:
  void Run() override;

 private:
  struct ReadOutcome {
    bool last_read_ok = false;
    bool stopped_in_read = false;
    DWORD last_error = 0;
  };

  // False when the thread must end without OnDownloadFinished (the part
  // file could not be written).
  bool RunAttempts();
  ReadOutcome ReadResponse();
  void ReportProgress();
  // Checks what the attempt received, logs a mismatch and closes the
  // connection; true when the bytes are correct.
  bool Evaluate(const ReadOutcome& outcome);
  // A failed try's body is a web page: logged as such, and counted.
  bool ReportWebPage(const ReadOutcome& outcome);
  bool WritePartFile();
  void ResetData();

  const DownloadRequest request_;
  // Its event is signalled while not paused: a paused worker waits on it.
  FlagEvent paused_;
  // The same flag for the call thread, which tests it between reads and
  // may outlive this object.
  std::shared_ptr<std::atomic<bool>> pause_seen_by_reads_ = std::make_shared<std::atomic<bool>>();
  std::atomic<DownloadState> state_{DOWNLOAD_IDLE};
  std::atomic<uint32_t> error_code_{0};
  std::atomic<uint64_t> bytes_received_{0};
  std::atomic<int> web_pages_{0};
  DownloadConnection connection_;
  // The attempt's body, shared with the call thread while it reads.
  std::shared_ptr<ReceivedBody> body_;
  ByteBuffer data_;
};
