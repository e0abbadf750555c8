#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/runstop.h"
#include "base/stoptoken.h"
#include "net/connection.h"
#include "net/receivedbody.h"

// A download GET to the download host on port 443 (owner module
// "filedownload"), and the reading of its body.
class DownloadConnection : public Connection {
 public:
  DownloadConnection() = default;

  // Lets the process hold `count` connections to one server at once (it is
  // 2 on older Windows): workers beyond that would wait in their send for
  // another's connection instead of fetching beside it.
  static void AllowConnectionsPerServer(DWORD count);

  // Opens, sends the GET of object_path (each segment escaped) +
  // object_suffix and checks for status 200. A redirect is followed only
  // within HTTPS on the same host; any other ends the opening like a bad
  // status. On another status it is stored in `status` and false is
  // returned. False always leaves everything closed. Messages name
  // logged_name and the path, never the query. A send that blocks on the
  // host is given up as soon as the stop comes.
  bool Open(const std::wstring& host, const std::wstring& object_path,
            const std::wstring& object_suffix, const std::wstring& logged_name,
            std::atomic<uint32_t>& status, const StopToken& stop);

  // The content type of the last answer with status 200.
  const std::wstring& ContentType() const { return content_type_; }
  // The status (403 or 407) with which the system's proxy, not the host,
  // refused the last opening; 0 when it did not.
  uint32_t ProxyRefusal() const { return proxy_refusal_; }

  enum class BodyEnd { kComplete, kFailed, kSinkFailed, kPaused, kStopped };

  // Reads the rest of the body into `body` on the call thread, read after
  // read without coming back, until it ends (kComplete), a read fails
  // (kFailed, with `error`), the body's sink cannot take a read
  // (kSinkFailed), `pause` (when given) is found set between two reads
  // (kPaused: the request stays open for the next ReadBody) or the run is
  // stopped (kStopped: as after a stopped Call). on_progress runs on the
  // caller's thread after reads, as often as it keeps up.
  BodyEnd ReadBody(const std::shared_ptr<ReceivedBody>& body,
                   const std::shared_ptr<const RunStop>& stop,
                   const std::shared_ptr<const RunPause>& pause,
                   const std::function<void()>& on_progress, DWORD& error);

 private:
  bool SendRequest(const std::wstring& host, const std::wstring& object,
                   const std::wstring& logged_path, const StopToken& stop, int& applied_sign_ins);
  bool QueryAnswer(const std::wstring& logged_name, DWORD& status_code, std::wstring& headers);

  std::wstring content_type_;
  uint32_t proxy_refusal_ = 0;
};
