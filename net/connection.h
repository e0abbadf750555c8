#pragma once

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/flagevent.h"
#include "net/wininethandle.h"

using HeaderMap = std::map<std::wstring, std::wstring>;

// The WinINet handles of one request: internet handle, connection and
// request, opened together and closed together. Used from its owner's worker
// thread only. Two profiles: a download GET to the download host (owner
// module "filedownload") and a form request to a web service (owner module
// "fileupload").
class Connection {
 public:
  Connection() = default;
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Download profile: opens, sends the GET of object_path + object_suffix on
  // port 443 and checks for status 200. A redirect is followed only within
  // HTTPS on the same host; any other ends the opening like a bad status.
  // On another status it is stored in `status` and false is returned. False
  // always leaves everything closed.
  // `running` is the owner's running flag: a send that blocks on the host is
  // given up as soon as it clears.
  bool OpenHttpConnection(const std::wstring& host, const std::wstring& object_path,
                          const std::wstring& object_suffix, const std::wstring& file_path,
                          std::atomic<uint32_t>& status, const FlagEvent& running);

  // Form profile: opens up to the request, ready for sending. Asks for
  // compressed answers by extending `headers`' "Accept-Encoding" entry.
  // `verb` is set from verb_code (1 GET, 2 POST, 3 PUT, 4 DELETE).
  bool OpenHttpConnection(const std::wstring& agent, const std::wstring& host, int32_t port,
                          bool secure, int32_t verb_code, std::wstring& verb,
                          const std::wstring& object_path, bool allow_cache, HeaderMap& headers);

  // Closes request, connection and internet handle, in this order.
  void Disconnect();

  bool IsOpen() const { return handles_ && handles_->request; }
  HINTERNET Request() const { return handles_ ? handles_->request.Get() : nullptr; }

  // Runs one WinINet call on the request that may block on the peer (a
  // send, a read, a write, the end of a request) while `running` stays set.
  // Returns the call's result; `error` gets its GetLastError value. When
  // `running` clears first, the caller stops waiting: the call keeps the
  // handles and closes them as soon as it returns, this connection is closed
  // from then on, and the result is false with
  // ERROR_INTERNET_OPERATION_CANCELLED. Whatever the call writes to must
  // therefore be owned by the call itself (captured by value).
  bool Call(const std::function<BOOL(HINTERNET request)>& call, const FlagEvent& running,
            DWORD& error);

  // Reads up to the buffer's size of the body through Call; the result and
  // `read` are those of InternetReadFile. The buffer is shared with the call
  // so that an abandoned read still has somewhere to write.
  bool Read(const std::shared_ptr<std::vector<uint8_t>>& buffer, DWORD& read,
            const FlagEvent& running, DWORD& error);

 private:
  struct Handles {
    InternetHandle internet;
    InternetHandle connection;
    InternetHandle request;
    ~Handles();
  };

  bool OpenInternet(const std::wstring& agent, const char* module);
  // The steps of a download opening: open and send the GET of `object`,
  // then read and log the answer's status and headers. Messages name
  // logged_path, never the query.
  bool SendDownloadRequest(const std::wstring& host, const std::wstring& object,
                           const std::wstring& logged_path, const FlagEvent& running);
  bool QueryDownloadAnswer(const std::wstring& file_path, DWORD& status_code,
                           std::wstring& headers);
  // One header of the answer (an HTTP_QUERY_* value); empty when absent.
  std::wstring QueryHeader(DWORD query) const;
  void SetTimeouts(HINTERNET handle, const char* module);

  class CallRunner;

  std::shared_ptr<Handles> handles_;
  std::shared_ptr<CallRunner> runner_;
  // Set by the form profile: it logs its disconnections.
  std::wstring form_object_path_;
  bool form_profile_ = false;
};
