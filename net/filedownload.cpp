#include "net/filedownload.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/blockfile.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/faulttranslator.h"
#include "base/scopedhandle.h"

namespace {

constexpr char kModule[] = "filedownload";
// The pause after a failed opening before the next attempt.
constexpr DWORD kRetryPauseMs = 100;

std::wstring Signed(uint32_t value) { return std::to_wstring(static_cast<int32_t>(value)); }

}  // namespace

FileDownload::FileDownload() = default;

FileDownload::~FileDownload() { Stop(INFINITE); }

void FileDownload::ResetData() {
  data_.Reset();
  bytes_received_.store(0, std::memory_order_relaxed);
}

void FileDownload::Run() {
  InstallSeTranslator();
  try {
    state_.store(DOWNLOAD_RUNNING, std::memory_order_relaxed);
    const bool ended_normally = RunAttempts();
    // A part's bytes are on disk or worthless by now, whatever the result:
    // a worker that used up its tries would otherwise hold up to a whole
    // part for as long as its owner keeps it.
    if (!part_file_path.empty()) ResetData();
    if (!ended_normally) return;
    state_.store(DOWNLOAD_FINISHED, std::memory_order_relaxed);
    if (listener) listener->OnDownloadFinished(this);
  } catch (const std::exception& e) {
    Error::LogError(
        std::string("FildeDownload: Obviously a major malfunction. Stopping download. Message: ") +
            e.what(),
        static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
    state_.store(DOWNLOAD_IDLE, std::memory_order_relaxed);
    connection_.Disconnect();
    if (!part_file_path.empty()) ResetData();
  }
}

bool FileDownload::RunAttempts() {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    ResetData();
    if (!connection_.OpenHttpConnection(server_name, object_path, object_suffix, part_file_path,
                                        error_code_, running)) {
      WaitForStop(kRetryPauseMs);
    } else {
      if (Evaluate(ReadResponse())) {
        Error::LogMessage(L"Download: " + part_file_path + L" correct CRC. Download succesful.",
                          kModule, __LINE__);
        if (!part_file_path.empty() && IsRunning()) {
          const bool written = WritePartFile();
          ResetData();
          if (!written) {
            state_.store(DOWNLOAD_WRITE_FAILED, std::memory_order_relaxed);
            if (listener) listener->OnDownloadProgress(this);
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

FileDownload::ReadOutcome FileDownload::ReadResponse() {
  ReadOutcome outcome;
  if (start_offset != 0 &&
      ::InternetSetFilePointer(connection_.Request(), static_cast<LONG>(start_offset), nullptr,
                               FILE_BEGIN, 0) == INVALID_SET_FILE_POINTER) {
    state_.store(DOWNLOAD_SEEK_FAILED, std::memory_order_relaxed);
    error_code_.store(::GetLastError(), std::memory_order_relaxed);
  }
  // Spare capacity for the whole part, so the block is not moved per read.
  if (part_size != 0) data_.Reserve(part_size);
  auto buffer = std::make_shared<std::vector<uint8_t>>(kReadChunkSize);
  bool go_on = true;
  while (connection_.IsOpen() && IsRunning() && go_on) {
    if (IsPaused()) {
      // The request stays open; a resume or a stop ends the wait.
      running.WaitFor(paused_.ClearEvent(), INFINITE);
      continue;
    }
    DWORD read = 0;
    DWORD error = 0;
    if (!connection_.Read(buffer, read, running, error)) {
      if (!IsRunning() && error == ERROR_INTERNET_OPERATION_CANCELLED) {
        // Stopped while the host kept us waiting: as if the stop had come
        // between two reads.
        outcome.stopped_in_read = true;
        break;
      }
      outcome.last_read_ok = false;
      outcome.last_error = error;
      Error::LogError(L"InternetReadFile Failed for: " + part_file_path, error, kModule, __LINE__);
      go_on = false;
    } else if (read > 0) {
      outcome.last_read_ok = true;
      data_.Append(buffer->data(), read);
      bytes_received_.store(data_.Size(), std::memory_order_relaxed);
      if (listener) listener->OnDownloadProgress(this);
    } else {
      outcome.last_read_ok = true;
      Error::LogMessage(L"Finished file: " + part_file_path, kModule, __LINE__);
      go_on = false;
    }
  }
  return outcome;
}

bool FileDownload::Evaluate(const ReadOutcome& outcome) {
  // A read abandoned for a stop leaves the request as the stop found it.
  const bool request_open = connection_.IsOpen() || outcome.stopped_in_read;
  uint32_t found_crc = 0;
  bool success = false;
  if (outcome.last_read_ok || !request_open) {
    if (data_.Empty()) {
      success = false;
    } else if (expected_crc != 0) {
      found_crc = crc_.Compute(data_.Data(), data_.Size());
      success = found_crc == expected_crc;
    } else {
      success = true;
    }
  } else {
    Error::LogError("Error reading file, reconnecting.", outcome.last_error, kModule, __LINE__);
  }
  if (data_.Empty()) success = success || expected_crc == 0;
  if (!success && request_open) {
    Error::LogError(L"Download: " + part_file_path + L" incorrect CRC. Expected: " +
                        Signed(expected_crc) + L" found: " + Signed(found_crc) + L" bytes read: " +
                        Signed(static_cast<uint32_t>(data_.Size())) + L"Retrying download",
                    static_cast<uint32_t>(DL_MANAGER_CRC_INCORRECT), kModule, __LINE__);
  }
  connection_.Disconnect();
  return success;
}

bool FileDownload::WritePartFile() {
  if (data_.Empty()) return false;
  const size_t slash = part_file_path.rfind(L'/');
  if (slash != std::wstring::npos) {
    const std::wstring directory = part_file_path.substr(0, slash);
    if (::GetFileAttributesW(directory.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryW(directory.c_str(), nullptr)) {
      Error::RecordError(L"Unable to create directory: " + directory, ::GetLastError(), kModule,
                         __LINE__);
      return false;
    }
  }
  UniqueHandle file(::CreateFileW(part_file_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Error::RecordError(L"Couldn't create part file: " + part_file_path, ::GetLastError(), kModule,
                       __LINE__);
    return false;
  }
  DWORD written = 0;
  if (!WriteBlock(file.Get(), data_.Data(), static_cast<DWORD>(data_.Size()), written)) {
    Error::RecordError("Couldn't write part file", ::GetLastError(), kModule, __LINE__);
    return false;
  }
  return true;
}
