#include "net/fileupload.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/stringutils.h"

namespace {

constexpr char kModule[] = "fileupload";
constexpr DWORD kStopTimeoutMs = 15000;

void EncodeValues(FormFields& fields) {
  for (auto& field : fields) field.second = StringUtils::UrlEncode(field.second);
}

}  // namespace

FileUpload::FileUpload() = default;

FileUpload::~FileUpload() { Stop(kStopTimeoutMs); }

void FileUpload::ServerSettingsFromUrl(const std::wstring& url) {
  std::wstring host;
  std::wstring path;
  int32_t url_port = INTERNET_DEFAULT_HTTP_PORT;
  bool url_secure = false;
  Error::LogMessage(L"FileUpload::ServerSettingsFromUrl: " + url, kModule, __LINE__);
  try {
    StringUtils::SplitUrl(url, host, path, url_port, url_secure);
    url_usable = url_port > 0 && url_port <= 0xFFFF;
  } catch (const std::out_of_range&) {
    url_usable = false;
  }
  if (!url_usable) {
    // A port that does not fit would reach some other port of the host.
    Error::LogError(L"FileUpload::ServerSettingsFromUrl invalid port in " + url,
                    ERROR_INTERNET_INVALID_URL, kModule, __LINE__);
  }
  server_name = host;
  object_path = path;
  port = url_port;
  secure = url_secure;
}

HANDLE FileUpload::Begin(const std::wstring& url, int32_t code, const HeaderMap& headers) {
  verb_code = code;
  request_headers = headers;
  ServerSettingsFromUrl(url);
  return Start();
}

DWORD FileUpload::WaitFor(HANDLE thread) {
  return thread ? ::WaitForSingleObject(thread, INFINITE) : WAIT_FAILED;
}

HANDLE FileUpload::UploadFiles(const std::wstring& url, int32_t code, const HeaderMap& headers,
                               const FormFields& fields, const FormFiles& upload_files,
                               bool encode_values, bool plain_body) {
  if (IsRunning()) return nullptr;
  multipart = !plain_body;
  form_fields = fields;
  if (encode_values) EncodeValues(form_fields);
  files = upload_files;
  return Begin(url, code, headers);
}

DWORD FileUpload::UploadFilesAndWait(const std::wstring& url, int32_t code,
                                     const HeaderMap& headers, const FormFields& fields,
                                     const FormFiles& upload_files, bool encode_values,
                                     bool plain_body) {
  return WaitFor(UploadFiles(url, code, headers, fields, upload_files, encode_values, plain_body));
}

HANDLE FileUpload::SendForm(const std::wstring& url, int32_t code, const HeaderMap& headers,
                            const FormFields& fields, bool encode_values) {
  if (IsRunning()) return nullptr;
  multipart = false;
  form_fields = fields;
  if (encode_values) EncodeValues(form_fields);
  return Begin(url, code, headers);
}

DWORD FileUpload::SendFormAndWait(const std::wstring& url, int32_t code, const HeaderMap& headers,
                                  const FormFields& fields, bool encode_values) {
  return WaitFor(SendForm(url, code, headers, fields, encode_values));
}

HANDLE FileUpload::SendData(const std::wstring& url, int32_t code, const HeaderMap& headers,
                            const ByteBuffer& body) {
  if (IsRunning()) return nullptr;
  multipart = false;
  if (!body.Empty()) raw_body.Assign(body.Data(), body.Size());
  return Begin(url, code, headers);
}

DWORD FileUpload::SendDataAndWait(const std::wstring& url, int32_t code, const HeaderMap& headers,
                                  const ByteBuffer& body) {
  return WaitFor(SendData(url, code, headers, body));
}

ByteBuffer FileUpload::ResponseBody() {
  ScopedLock guard(lock);
  ByteBuffer copy;
  copy.Assign(response_body.Data(), response_body.Size());
  return copy;
}

void FileUpload::ParseResponseHeaders(const std::wstring& raw, HeaderMap& headers) {
  headers.clear();
  std::vector<std::wstring> lines;
  StringUtils::Split(raw, L"\r\n", lines, false);
  for (const std::wstring& line : lines) {
    std::vector<std::wstring> pieces;
    StringUtils::Split(line, L": ", pieces, true);
    if (pieces.size() != 2) continue;
    std::wstring& value = pieces[1];
    if (!value.empty() && value[0] == L' ') value.erase(0, 1);
    headers[pieces[0]] = value;
  }
}
