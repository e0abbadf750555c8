#include "download/logupload.h"

#include <windows.h>

#include <string>

#include "base/bytebuffer.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "base/gzip.h"
#include "base/jsonwriter.h"
#include "base/stringutils.h"
#include "net/fileupload.h"

namespace {

constexpr char kModule[] = "downloadmanager";
constexpr int32_t kLogCompressionLevel = 9;

HeaderMap LogHeaders(const std::wstring& release) {
  HeaderMap headers;
  headers[L"Content-Type"] = L"application/octet-stream";
  headers[L"DownloadManagerVersion"] = L"9.5";
  headers[L"Method"] = L"LogErrorInfo";
  if (!release.empty()) headers[L"Release"] = release;
  headers[L"User-Agent"] = L"Veltra Download Manager / 9.5";
  return headers;
}

// Writes the log into a gzip file at `path`; true when it was written whole
// and holds at least one byte afterwards.
bool WriteCompressedLog(const std::wstring& path, const std::string& json, ByteBuffer& compressed) {
  compressed.Reset();
  zlib::CGZip gzip;
  gzip.level = kLogCompressionLevel;
  if (!gzip.Open(path, zlib::ZIP_MODE_WRITE)) return false;
  // A full disk may show first in the close, which writes what zlib still
  // holds: a file cut short there would reach the service as a log that
  // cannot be read.
  const bool written = gzip.WriteString(StringUtils::ToWide(json));
  if (!gzip.Close() || !written) {
    Error::RecordError(L"DownloadManager::PostLogFile unable to write the whole log to " + path,
                       ::GetLastError(), kModule, __LINE__);
    return false;
  }
  FileSystem::ReadWholeFile(path, compressed);
  return !compressed.Empty();
}

// A file of our own in the user's temporary folder, empty; nothing when
// there is none.
std::wstring TemporaryLogPath() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return std::wstring();
  wchar_t path[MAX_PATH] = {};
  if (::GetTempFileNameW(folder, L"vlg", 0, path) == 0) return std::wstring();
  return path;
}

}  // namespace

void LogUpload::Post(const std::wstring& download_folder, bool setup_started) {
  // Without a download folder the path would name the root of the current
  // drive: nothing of ours can be there.
  if (download_folder.empty()) return;
  if (no_upload) {
    Error::LogMessage(
        L"DownloadManager::PostLogFile the log is not sent to the log service: "
        L"the command line says /noupload",
        kModule, __LINE__);
    // As when it is sent: a run that started the setup leaves no readable log.
    if (!setup_started && Error::HasErrors()) WriteReadableLog();
    return;
  }
  std::wstring path = download_folder + L"/logfile.gz";
  const std::string json = WriteJson(Error::GetErrorListJson());
  ByteBuffer compressed;
  bool remove_folder = false;

  if (setup_started) {
    // Starting the setup removed the download folder with everything in it;
    // failures show as a missing or empty file and nothing is sent.
    if (WriteCompressedLog(path, json, compressed)) {
      Send(compressed);
      if (Error::HasErrors()) WriteReadableLog();
    }
  } else {
    // A run that failed early may never have made its download folder, or
    // cannot write to it: these are the logs support needs most, so they go
    // through the temporary folder instead.
    const bool made_folder = ::CreateDirectoryW(download_folder.c_str(), nullptr) != FALSE;
    if (!WriteCompressedLog(path, json, compressed)) {
      ::DeleteFileW(path.c_str());
      if (made_folder) ::RemoveDirectoryW(download_folder.c_str());
      const std::wstring temporary = TemporaryLogPath();
      if (!temporary.empty()) {
        path = temporary;
        WriteCompressedLog(path, json, compressed);
      }
    } else if (made_folder) {
      // Made for the log alone: it goes again with the log below.
      remove_folder = true;
    }
    if (!compressed.Empty()) Send(compressed);
    if (Error::HasErrors()) WriteReadableLog();
  }

  if (!::DeleteFileW(path.c_str())) {
    Error::RecordError(L"DownloadManager::PostLogFile Unable to delete " + path, ::GetLastError(),
                       kModule, __LINE__);
  }
  if (remove_folder) ::RemoveDirectoryW(download_folder.c_str());
}

void LogUpload::Send(const ByteBuffer& compressed) {
  if (service_url.empty()) return;
  FileUpload upload;
  const HANDLE thread =
      upload.SendData(service_url, UPLOAD_VERB_POST, LogHeaders(release_header), compressed);
  if (thread == nullptr) return;
  if (::WaitForSingleObject(thread, kDeadlineMs) != WAIT_TIMEOUT) {
    // The log did not reach the maker: the readable log keeps it for
    // support.
    const int32_t status = upload.StatusCode();
    if (status < 200 || status > 299) {
      Error::RecordError(L"DownloadManager::PostLogFile the log service did not take the log: " +
                             std::to_wstring(status) + L" " + upload.StatusText() + L": " +
                             service_url,
                         static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
    }
    return;
  }
  // A service that takes the request and never answers would hold the close
  // for minutes. Every blocking call of the upload gives up within
  // milliseconds of the stop request, so this wait is short.
  upload.Stop(INFINITE);
  Error::RecordError(L"DownloadManager::PostLogFile the log service did not answer within " +
                         std::to_wstring(kDeadlineMs / 1000) + L" s; upload abandoned: " +
                         service_url,
                     static_cast<uint32_t>(ERROR_TIMEOUT), kModule, __LINE__);
}

void LogUpload::WriteReadableLog() {
  // Wide, so that a program folder outside the ANSI code page still gets its
  // readable log.
  Error::WriteLogFile(FileSystem::GetExecutableFolderWide() + L"/logfile.txt");
}
