#include <windows.h>

#include <string>

#include "base/bytebuffer.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "base/gzip.h"
#include "base/jsonwriter.h"
#include "base/stringutils.h"
#include "download/downloadmanager.h"
#include "net/fileupload.h"

namespace {

constexpr char kModule[] = "downloadmanager";
constexpr int32_t kLogCompressionLevel = 9;

HeaderMap LogHeaders() {
  HeaderMap headers;
  headers[L"Content-Type"] = L"application/octet-stream";
  headers[L"DownloadManagerVersion"] = L"9.5";
  headers[L"Method"] = L"LogErrorInfo";
  headers[L"User-Agent"] = L"Veltra Download Manager / 9.5";
  return headers;
}

}  // namespace

void DownloadManager::PostLogFile() {
  // Without a download folder the path would name the root of the current
  // drive: nothing of ours can be there.
  if (download_folder.empty()) return;
  const std::wstring path = download_folder + L"/logfile.gz";
  const std::string json = WriteJson(Error::GetErrorListJson());

  // Failures show as a missing or empty file; the folder is gone once the
  // setup has been started.
  {
    zlib::CGZip gzip;
    gzip.level = kLogCompressionLevel;
    gzip.Open(path, zlib::ZIP_MODE_WRITE);
    gzip.WriteString(StringUtils::ToWide(json));
    gzip.Close();
  }

  ByteBuffer compressed;
  FileSystem::ReadWholeFile(path, compressed);
  if (!compressed.Empty()) {
    // The service's answer is not looked at; the upload records its own
    // failures.
    if (!log_service_url.empty()) {
      FileUpload upload;
      upload.SendDataAndWait(log_service_url, UPLOAD_VERB_POST, LogHeaders(), compressed);
    }
    if (Error::HasErrors()) Error::WriteLogFile(FileSystem::GetExecutableFolder() + "/logfile.txt");
  }

  if (!::DeleteFileW(path.c_str())) {
    Error::RecordError(L"DownloadManager::PostLogFile Unable to delete " + path, ::GetLastError(),
                       kModule, __LINE__);
  }
}
