#include "net/fileupload.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/faulttranslator.h"
#include "base/httpstatus.h"
#include "base/stringutils.h"
#include "base/threadname.h"
#include "net/proxysignin.h"

namespace {

constexpr char kModule[] = "fileupload";
constexpr wchar_t kAgent[] = L"Veltra";
constexpr DWORD kRetryPauseMs = 100;
constexpr size_t kRawHeaderBufferBytes = 0x100000;
constexpr DWORD kRawHeaderAnnouncedBytes = 0x80000;
constexpr DWORD kStatusTextBufferBytes = 4096;

}  // namespace

void FileUpload::Run() {
  NameCurrentThread(L"Veltra log upload");
  InstallSeTranslator();
  try {
    RunAttempts();
  } catch (const std::exception& e) {
    Error::LogError(std::string("FileUpload: Obviously a major malfunction. Message: ") + e.what(),
                    0, kModule, __LINE__);
    connection.Disconnect();
  }
}

void FileUpload::RunAttempts() {
  attempts.store(0, std::memory_order_relaxed);
  for (;;) {
    if (!url_usable || attempts.load(std::memory_order_relaxed) >= max_attempts) {
      status_code = kFailedStatus;
      status_text = L"HTTP Operation failed";
      return;
    }
    attempts.fetch_add(1, std::memory_order_relaxed);
    bytes_sent.store(0, std::memory_order_relaxed);
    body_length.store(0, std::memory_order_relaxed);

    if (!connection.Open(kAgent, server_name, port, secure, verb_code, verb, object_path,
                         allow_cache, request_headers)) {
      if (WaitForStop(kRetryPauseMs)) break;
      continue;
    }

    // Owned by the calls that send it: a call abandoned on a stop finishes
    // in the background and still reads from it.
    auto body = std::make_shared<ByteBuffer>();
    std::wstring headers;
    if (multipart) {
      request_headers[L"Content-Type"] = kMultipartContentType;
      headers = FormatHeaders(request_headers);
      FormatMultipartForm(form_fields, files, *body);
    } else {
      headers = FormatHeaders(request_headers);
      FormatForm(form_fields, files, raw_body, *body);
    }
    body_length.store(body->Size(), std::memory_order_relaxed);
    Error::LogError(L"Sending HTTP " + verb + L" " + L"Headers:\r\n" + headers, 0, kModule,
                    __LINE__);

    // The body goes whole with the request, never streamed after it
    // (HttpSendRequestEx): WinINet under Wine then sends the request through
    // a proxy's tunnel before the proxy has answered the CONNECT and before
    // any TLS with the host, and takes the proxy's "200 Connection
    // established" for the service's answer.
    bool retry = false;
    if (!Send(headers, body, retry) || (!retry && !PassedProxy(retry))) break;
    if (retry) continue;

    ReadResponse();
    break;
  }
  connection.Disconnect();
}

bool FileUpload::Send(const std::wstring& headers, const std::shared_ptr<ByteBuffer>& body,
                      bool& retry) {
  auto header_text = std::make_shared<std::wstring>(headers);
  DWORD error = 0;
  const bool sent = connection.Call(
      [header_text, body](HINTERNET request) {
        return ::HttpSendRequestW(
            request, header_text->c_str(), static_cast<DWORD>(header_text->size()),
            body->Empty() ? nullptr : body->Data(), static_cast<DWORD>(body->Size()));
      },
      Token(), error);
  if (!IsRunning()) return false;
  if (!sent) {
    Error::LogError("Error on HttpSendRequest, ", error, kModule, __LINE__);
    retry = true;
    return true;
  }
  bytes_sent.store(body->Size(), std::memory_order_relaxed);
  return true;
}

bool FileUpload::PassedProxy(bool& retry) {
  DWORD status = 0;
  DWORD length = sizeof status;
  if (!::HttpQueryInfoW(connection.Request(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &status, &length, nullptr) ||
      (status != kHttpForbidden && status != kHttpProxyAuthenticationRequired) ||
      (status == kHttpForbidden && !secure) || !connection.AnswerFromProxy()) {
    return true;
  }
  if (status == kHttpProxyAuthenticationRequired) {
    // The sign-in the downloads used went with the request; the user is
    // asked only when the proxy refuses that one too.
    switch (ProxySignIn::Instance().After407(connection.Request(), connection.AppliedSignIns(),
                                             connection.KeepAlive(), Token())) {
      case ProxySignIn::Outcome::kSignedIn:
        retry = true;
        return true;
      case ProxySignIn::Outcome::kStopped:
        return false;
      case ProxySignIn::Outcome::kRefused:
        break;
    }
  }
  // Never the service's answer: the upload failed.
  std::wstring text;
  std::vector<wchar_t> buffer(kStatusTextBufferBytes / sizeof(wchar_t), L'\0');
  length = kStatusTextBufferBytes;
  if (::HttpQueryInfoW(connection.Request(), HTTP_QUERY_STATUS_TEXT, buffer.data(), &length,
                       nullptr)) {
    text.assign(buffer.data(), length / sizeof(wchar_t));
  }
  Error::RecordError(L"FileUpload: the proxy " + connection.ProxyName() +
                         L" refused the connection to " + server_name + L" with " +
                         std::to_wstring(status) + L" " + text,
                     static_cast<uint32_t>(ERROR_ACCESS_DENIED), kModule, __LINE__);
  status_code = kFailedStatus;
  status_text = L"HTTP Operation failed";
  return false;
}

void FileUpload::ReadResponse() {
  bytes_received.store(0, std::memory_order_relaxed);
  HINTERNET request = connection.Request();

  std::vector<wchar_t> raw(kRawHeaderBufferBytes / sizeof(wchar_t), L'\0');
  DWORD length = kRawHeaderAnnouncedBytes;
  if (!::HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &length, nullptr)) {
    Error::LogError("Connection::HttpQueryInfo failed", ::GetLastError(), kModule, __LINE__);
    return;
  }
  if (length != 0) {
    raw_response_headers.assign(raw.data(), length / sizeof(wchar_t));
    Error::LogMessage(
        "HTTPSendRequest response headers:\r\n" + StringUtils::ToNarrow(raw_response_headers),
        kModule, __LINE__);
    ParseResponseHeaders(raw_response_headers, response_headers);
  }

  DWORD status = 0;
  length = sizeof status;
  if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                        nullptr)) {
    Error::LogError("Connection::HttpQueryInfo failed", ::GetLastError(), kModule, __LINE__);
    return;
  }
  status_code = static_cast<int32_t>(status);

  std::vector<wchar_t> text(kStatusTextBufferBytes / sizeof(wchar_t), L'\0');
  length = kStatusTextBufferBytes;
  if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_TEXT, text.data(), &length, nullptr)) {
    Error::LogError("Connection::HttpQueryInfo failed", ::GetLastError(), kModule, __LINE__);
    return;
  }
  if (length != 0) status_text.assign(text.data(), length / sizeof(wchar_t));

  ByteBuffer received;
  while (connection.IsOpen() && IsRunning()) {
    auto chunk = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(read_chunk_size));
    DWORD read = 0;
    DWORD error = 0;
    if (!connection.Read(chunk, read, Token(), error)) {
      if (IsRunning()) Error::RecordError("InternetReadFile Failed", error, kModule, __LINE__);
      break;
    }
    if (read == 0) break;
    received.Append(chunk->data(), read);
    bytes_received.fetch_add(read, std::memory_order_relaxed);
  }
  if (IsRunning() && !received.Empty()) {
    ScopedLock guard(lock);
    response_body = std::move(received);
  }
}
