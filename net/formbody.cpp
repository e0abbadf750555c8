#include "net/formbody.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"

const char kFormBoundary[] = "gc0p4Jq0M2Yt08jU534c0p";
const wchar_t kMultipartContentType[] = L"multipart/form-data;boundary=gc0p4Jq0M2Yt08jU534c0p\r\n";

namespace {

constexpr char kModule[] = "fileupload";

void AppendText(ByteBuffer& body, const std::string& text) {
  body.Append(text.data(), text.size());
}

void AppendWide(ByteBuffer& body, const std::wstring& text) {
  AppendText(body, StringUtils::ToNarrow(text));
}

// The part name of a file: the last piece of its "/"-separated path.
std::wstring PartName(const std::wstring& path) {
  std::vector<std::wstring> pieces;
  StringUtils::Split(path, L"/", pieces, false);
  return pieces.empty() ? path : pieces.back();
}

}  // namespace

std::wstring FormatHeaders(const std::map<std::wstring, std::wstring>& headers) {
  std::wstring text;
  bool first = true;
  for (const auto& header : headers) {
    if (!first) text += L"\r\n";
    first = false;
    text += header.first + L": " + header.second;
  }
  return text;
}

void ReadFileData(const std::wstring& path, ByteBuffer& data) {
  data.Reset();
  Error::LogMessage(L"Reading file: " + path, kModule, __LINE__);
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Error::RecordError(L"Couldn't open file " + path, ::GetLastError(), kModule, __LINE__);
    return;
  }
  LARGE_INTEGER size{};
  ::GetFileSizeEx(file.Get(), &size);
  // One read of a 32-bit count: a larger file would arrive cut short.
  if (size.QuadPart > static_cast<LONGLONG>(MAXDWORD)) {
    Error::LogError("ReadFile error", ERROR_FILE_TOO_LARGE, kModule, __LINE__);
    return;
  }
  const DWORD length = static_cast<DWORD>(size.QuadPart);
  Error::LogMessage(L"Allocating buffer for file to read " + std::to_wstring(length), kModule,
                    __LINE__);
  std::vector<uint8_t> bytes(length);
  DWORD read = 0;
  if (!::ReadFile(file.Get(), bytes.data(), length, &read, nullptr)) {
    // Bytes of unknown content must not go out as the file's: it contributes
    // nothing.
    Error::LogError("ReadFile error", ::GetLastError(), kModule, __LINE__);
    return;
  }
  Error::LogMessage(L"File read", kModule, __LINE__);
  data.Assign(bytes.data(), read);
}

void FormatForm(const FormFields& fields, const FormFiles& files, const ByteBuffer& raw_body,
                ByteBuffer& body) {
  body.Reset();
  if (!raw_body.Empty()) {
    body.Assign(raw_body.Data(), raw_body.Size());
  } else if (files.empty()) {
    bool first = true;
    for (const auto& field : fields) {
      if (!first) AppendText(body, "&");
      first = false;
      if (!field.first.empty()) AppendWide(body, field.first + L"=");
      AppendWide(body, field.second);
    }
  } else {
    ReadFileData(files.begin()->first, body);
  }
}

void FormatMultipartForm(const FormFields& fields, const FormFiles& files, ByteBuffer& body) {
  const std::string boundary_line = std::string("\r\n--") + kFormBoundary;
  const std::string opening = std::string("--") + kFormBoundary + "\r\n";
  body.Reset();
  Error::LogMessage(L"FormatMultipartForm", kModule, __LINE__);

  bool file_written = false;
  for (const auto& file : files) {
    ByteBuffer data;
    ReadFileData(file.first, data);
    if (data.Empty()) continue;
    const std::wstring name = PartName(file.first);
    AppendText(body, body.Empty() ? opening : "\r\n");
    AppendWide(body, L"Content-Disposition: form-data; name=\"" + name + L"\"; filename=\"" + name +
                         L"\"\r\nContent-Type: application/octet-stream\r\n;charset=binary\r\n"
                         L"Content-Transfer-Encoding: binary\r\nContent-Length: " +
                         std::to_wstring(static_cast<int32_t>(data.Size())) + L"\r\n\r\n");
    body.Append(data.Data(), data.Size());
    AppendText(body, boundary_line);
    file_written = true;
  }
  if (file_written) AppendText(body, "\r\n");

  bool first_field = true;
  for (const auto& field : fields) {
    if (body.Empty()) {
      AppendText(body, opening);
    } else if (!first_field) {
      AppendText(body, "\r\n");
    }
    first_field = false;
    AppendWide(body, L"Content-Disposition: form-data; name=\"" + field.first + L"\"\r\n\r\n");
    AppendWide(body, field.second);
    AppendText(body, boundary_line);
  }

  if (!body.Empty()) AppendText(body, "--\r\n");
  Error::LogMessage(L"FormatMultipartForm done", kModule, __LINE__);
}
