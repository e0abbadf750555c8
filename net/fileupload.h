#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/bytebuffer.h"
#include "base/criticalsection.h"
#include "base/orvthread.h"
#include "net/formbody.h"
#include "net/formconnection.h"

enum FileUploadVerb : int32_t {
  UPLOAD_VERB_GET = 1,
  UPLOAD_VERB_POST = 2,
  UPLOAD_VERB_PUT = 3,
  UPLOAD_VERB_DELETE = 4,
};

// Sends one HTTP request with a body to a web service on a thread of its
// own and keeps the answer. The body is a caller's byte block, a form of
// fields (URL-encoded style), a multipart form of files and fields, or the
// bytes of a file. Up to three attempts; the first answer of any status ends
// the run. The caller sets up a request only while no thread runs, and reads
// the results after the thread has ended (the response body at any time).
class FileUpload : public Orv_Thread {
 public:
  static constexpr uint64_t kReadChunkSize = 0x100000;
  static constexpr uint64_t kMaxAttempts = 3;
  static constexpr int32_t kFailedStatus = 9000;

  FileUpload();
  ~FileUpload() override;

  // The asynchronous forms return what Start returns (null also when a
  // request is still running; nothing is changed then). The waiting forms
  // return the wait's result, WAIT_FAILED when no thread ran.
  HANDLE UploadFiles(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                     const FormFields& fields, const FormFiles& files, bool encode_values,
                     bool plain_body);
  DWORD UploadFilesAndWait(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                           const FormFields& fields, const FormFiles& files, bool encode_values,
                           bool plain_body);
  HANDLE SendForm(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                  const FormFields& fields, bool encode_values);
  DWORD SendFormAndWait(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                        const FormFields& fields, bool encode_values);
  // An empty body keeps the raw body of an earlier request.
  HANDLE SendData(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                  const ByteBuffer& body);
  DWORD SendDataAndWait(const std::wstring& url, int32_t verb_code, const HeaderMap& headers,
                        const ByteBuffer& body);

  // Host, object path, port and scheme of the next request, from its URL.
  void ServerSettingsFromUrl(const std::wstring& url);

  // The "name: value" lines of a raw header text; one blank after the colon
  // and separator is dropped, a later line replaces an earlier one of the
  // same name, and lines of fewer or more pieces are skipped.
  static void ParseResponseHeaders(const std::wstring& raw, HeaderMap& headers);

  // Set before a request.
  bool allow_cache = false;
  uint64_t read_chunk_size = kReadChunkSize;
  uint64_t max_attempts = kMaxAttempts;

  // The last answer; kFailedStatus and "HTTP Operation failed" when every
  // attempt failed.
  int32_t StatusCode() const { return status_code; }
  const std::wstring& StatusText() const { return status_text; }
  const HeaderMap& ResponseHeaders() const { return response_headers; }
  const std::wstring& RawResponseHeaders() const { return raw_response_headers; }
  ByteBuffer ResponseBody();

  // Progress figures, readable at any time.
  uint64_t BytesSent() const { return bytes_sent.load(std::memory_order_relaxed); }
  uint64_t BodyLength() const { return body_length.load(std::memory_order_relaxed); }
  uint64_t BytesReceived() const { return bytes_received.load(std::memory_order_relaxed); }
  uint64_t Attempts() const { return attempts.load(std::memory_order_relaxed); }

  // The request as last set up or sent; the header map carries what the
  // connection added to it.
  const std::wstring& ServerName() const { return server_name; }
  const std::wstring& ObjectPath() const { return object_path; }
  int32_t Port() const { return port; }
  bool Secure() const { return secure; }
  const std::wstring& Verb() const { return verb; }
  const HeaderMap& RequestHeaders() const { return request_headers; }

 protected:
  void Run() override;

 private:
  void RunAttempts();
  // False when the thread must end without reading an answer.
  bool Send(const std::wstring& headers, const std::shared_ptr<ByteBuffer>& body, bool& retry);
  // False when the system's proxy refused the request (the upload then
  // failed; with `retry` set, the user signed in and the next attempt goes).
  bool PassedProxy(bool& retry);
  void ReadResponse();
  HANDLE Begin(const std::wstring& url, int32_t code, const HeaderMap& headers);
  static DWORD WaitFor(HANDLE thread);

  std::wstring server_name;
  int32_t verb_code = UPLOAD_VERB_POST;
  std::wstring verb = L"POST";
  FormFiles files;
  HeaderMap request_headers;
  FormFields form_fields;
  ByteBuffer raw_body;
  ByteBuffer response_body;
  HeaderMap response_headers;
  std::wstring raw_response_headers;
  int32_t status_code = 0;
  std::wstring status_text;
  FormConnection connection;
  int32_t port = INTERNET_DEFAULT_HTTP_PORT;
  bool secure = false;
  bool multipart = true;
  // False when the last URL gave no usable port: no attempt is made.
  bool url_usable = true;
  std::atomic<uint64_t> bytes_received{0};
  std::atomic<uint64_t> body_length{0};
  std::atomic<uint64_t> bytes_sent{0};
  std::atomic<uint64_t> attempts{0};
  std::wstring object_path;
  CriticalSection lock;  // guards response_body
};
