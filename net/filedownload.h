#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "base/bytebuffer.h"
#include "base/crc.h"
#include "base/flagevent.h"
#include "base/orvthread.h"
#include "net/connection.h"

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
  // After every chunk received, and once when the part file cannot be
  // written (state DOWNLOAD_WRITE_FAILED).
  virtual void OnDownloadProgress(FileDownload* download) = 0;

 protected:
  ~IDownloadListener() = default;
};

// Fetches one file (a part of a release file, or the release's CRC info)
// from the download host on its own thread: reads the whole answer into
// memory, checks its CRC-32, makes up to four attempts, then writes the part
// file, or keeps the bytes in memory when part_file_path is empty.
class FileDownload : public Orv_Thread {
 public:
  static constexpr uint32_t kReadChunkSize = 0x80000;
  static constexpr int kMaxAttempts = 4;

  FileDownload();
  ~FileDownload() override;

  // Set by the owner before Start.
  std::wstring server_name;
  std::wstring object_path;
  std::wstring part_file_path;  // "/" separators; empty: keep the bytes in memory
  std::wstring object_suffix;   // appended to object_path in the request
  uint32_t part_index = 0;      // the owner's numbering
  uint32_t start_offset = 0;
  uint32_t part_size = 0;     // the owner's nominal size; sizes the receive buffer
  uint32_t expected_crc = 0;  // 0: do not check
  IDownloadListener* listener = nullptr;

  // May be changed at any time from any thread; while set, nothing is read.
  void SetPaused(bool paused) { paused_.store(paused, std::memory_order_relaxed); }
  bool IsPaused() const { return paused_.load(std::memory_order_relaxed); }

  DownloadState State() const { return state_.load(std::memory_order_relaxed); }
  // The last problem: an HTTP status other than 200, or a positioning error.
  uint32_t ErrorCode() const { return error_code_.load(std::memory_order_relaxed); }
  // Bytes received in the current attempt; readable from any thread.
  uint64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }

  // The verified bytes after the thread ended in memory mode. Only for the
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
  // Checks what the attempt received, logs a mismatch and closes the
  // connection; true when the bytes are correct.
  bool Evaluate(const ReadOutcome& outcome);
  bool WritePartFile();
  void ResetData();

  // Its event is signalled while not paused: a paused read loop waits on it.
  FlagEvent paused_;
  std::atomic<DownloadState> state_{DOWNLOAD_IDLE};
  std::atomic<uint32_t> error_code_{0};
  std::atomic<uint64_t> bytes_received_{0};
  Connection connection_;
  ByteBuffer data_;
  CRC crc_;
};
