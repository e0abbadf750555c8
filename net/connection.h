#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/stoptoken.h"
#include "net/blockedcallthread.h"
#include "net/wininethandle.h"

// The WinINet handles of one request: internet handle, connection and
// request, opened together and closed together, and the calls on the
// request that may block on the peer. Used from its owner's worker thread
// only. What is opened is the business of the two profiles built on it,
// DownloadConnection and FormConnection.
class Connection {
 public:
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Closes request, connection and internet handle, in this order. The
  // call thread stays for the next opening.
  virtual void Disconnect();

  bool IsOpen() const { return handles_ && handles_->request; }
  HINTERNET Request() const { return handles_ ? handles_->request.Get() : nullptr; }

  // Runs one WinINet call on the request that may block on the peer (a
  // send, a read, a write, the end of a request) until it returns or the
  // stop comes. Returns the call's result; `error` gets its GetLastError
  // value. On a stop the caller stops waiting: the call keeps the handles
  // and closes them as soon as it returns, this connection is closed from
  // then on, and the result is false with ERROR_INTERNET_OPERATION_CANCELLED.
  // Whatever the call writes to must therefore be owned by the call itself
  // (captured by value).
  bool Call(const std::function<BOOL(HINTERNET request)>& call, const StopToken& stop,
            DWORD& error);

  // Reads up to the buffer's size of the body through Call; the result and
  // `read` are those of InternetReadFile. The buffer is shared with the call
  // so that an abandoned read still has somewhere to write.
  bool Read(const std::shared_ptr<std::vector<uint8_t>>& buffer, DWORD& read, const StopToken& stop,
            DWORD& error);

  // The system's proxy the requests go through; empty when they go direct.
  std::wstring ProxyName() const;
  // The answer on the request came from the system's proxy: it arrived
  // before any TLS session with the host (a refusal of the tunnel).
  bool AnswerFromProxy() const;
  // Keeps the request's handles open, for a sign-in dialog that uses them.
  std::shared_ptr<void> KeepAlive() const { return handles_; }

  // Hands the call thread on (BlockedCallThread::Release) when the owner's
  // work has ended; the next call takes another.
  void ReleaseCallThread();

 protected:
  struct Handles {
    InternetHandle internet;
    InternetHandle connection;
    InternetHandle request;
    ~Handles();
  };

  Connection() = default;

  bool OpenInternet(const std::wstring& agent, const char* module);
  void SetTimeouts(HINTERNET handle, const char* module);
  // A text of the answer (an HTTP_QUERY_* value) of up to 512 KiB; false
  // with the system's error (ERROR_INSUFFICIENT_BUFFER for a longer one).
  bool QueryText(DWORD query, std::wstring& text) const;
  // One header of the answer; empty when absent.
  std::wstring QueryHeader(DWORD query) const;
  // The call thread, created on first use; null when none can be had.
  BlockedCallThread* CallThread();
  // After a stop abandoned a call: the call owns the handles now.
  void Abandon();

  std::shared_ptr<Handles> handles_;

 private:
  std::shared_ptr<BlockedCallThread> call_thread_;
};
