#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/controlclient.h"

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as a test server received it.
struct RecordedRequest {
  std::string method;
  std::string target;  // path with its query
  HeaderList headers;  // in the order received
  size_t body_length = 0;
  std::string body;    // the log service keeps whole bodies
  int connection = 0;  // which TCP connection carried it (1, 2, ...)
  std::string scheme;  // "https" or "http"
};

// A request as a test expects it, whole: method, target (path and query),
// every header in the order sent, and the body; a body left out is checked
// by the test itself (a compressed one), its length still by the
// Content-Length header.
struct ExpectedRequest {
  std::string method;
  std::string target;
  HeaderList headers;
  std::optional<std::string> body = std::string();
};
// The whole request as expected; on a difference, both in full.
::testing::AssertionResult SameRequest(const ExpectedRequest& expected,
                                       const RecordedRequest& actual);

// What the download host does to the next `count` requests of one object
// (to every request while set, when count is 0). Offsets of -1 mean "not".
struct HostFault {
  int count = 0;
  int status = 0;      // answer with this status, `headers` and `body`
  HeaderList headers;  // extra answer headers
  std::string body;
  std::vector<std::string> bodies;  // used in turn, one per request
  long long truncate_at = -1;       // announce the full length, send this many bytes, close
  long long reset_at = -1;          // send this many bytes, then reset the connection
  std::vector<long long> flip;      // offsets whose bytes are inverted
  long long vary_offset = -1;       // this byte differs on every request
  int stall_before_headers_ms = 0;
  int stall_before_body_ms = 0;
  long long stall_at = -1;  // stall for stall_ms once this many body bytes are sent
  int stall_ms = 0;
};

struct HostCounters {
  long long requests = 0;
  long long connections = 0;
  long long bytes_sent = 0;
};

// The HTTPS download host that the CTest fixture started for this test
// program, driven through its control endpoint. Host names and ports come
// from the environment (VELTRA_TEST_HOST, VELTRA_TEST_HOST_ADDRESS,
// VELTRA_TEST_UNTRUSTED_HOST, VELTRA_TEST_REFUSED_HOST,
// VELTRA_TEST_CONTROL_PORT).
class TestHost {
 public:
  TestHost();

  // False (with the reason in *why) when the environment names no server.
  bool Available(std::string* why = nullptr) const;
  // The name to put in requests (port 443, certificate trusted; plain HTTP
  // on port 80 is answered and recorded too).
  const std::wstring& HostName() const { return host_name_; }
  // The host's address: a request to it by number fails the certificate's
  // name check.
  const std::wstring& Address() const { return address_; }
  // The same host behind a certificate from a CA that nobody trusts.
  const std::wstring& UntrustedHostName() const { return untrusted_host_name_; }
  // A name that resolves to an address where nothing listens.
  const std::wstring& RefusedHostName() const { return refused_host_name_; }

  // Forgets objects put, faults and the request record; listens again.
  bool Reset();
  bool PutObject(const std::string& path, const std::string& bytes);
  // Serves the file `name` (relative to the host's folder) under `path`.
  bool PutObjectFile(const std::string& path, const std::string& name);
  bool SetFault(const std::string& path, const HostFault& fault);
  bool ClearFault(const std::string& path);
  // Closes (false) or reopens (true) the listening socket: closed, the host
  // refuses connections.
  bool SetListening(bool listening);
  std::vector<RecordedRequest> Requests() const;
  HostCounters Counters() const;

 private:
  std::wstring host_name_;
  std::wstring address_;
  std::wstring untrusted_host_name_;
  std::wstring refused_host_name_;
  ControlClient control_;
};

struct LogBehaviour {
  bool refuse = false;  // close the listening sockets: connections are refused
  int status = 0;       // answer with this status and body instead of 200
  std::string body;
  int stall_before_answer_ms = 0;
  int stall_in_body_ms = 0;  // once, after the first piece of the body
  int count = 0;             // requests affected; 0 means all
};

// The stand-in for the maker's log service (HTTPS and plain HTTP), from
// VELTRA_TEST_LOG_HOST, VELTRA_TEST_LOG_HTTPS_PORT, VELTRA_TEST_LOG_HTTP_PORT
// and VELTRA_TEST_CONTROL_PORT.
class TestLogService {
 public:
  TestLogService();

  bool Available(std::string* why = nullptr) const;
  const std::wstring& HostName() const { return host_name_; }
  unsigned short HttpsPort() const { return https_port_; }
  unsigned short HttpPort() const { return http_port_; }
  // The address to post logs to, e.g.
  // "https://log1.s10.veltra.test:8443/Veltra/DownloadManager8.ashx".
  std::wstring Url(bool secure = true) const;

  bool Reset();
  bool SetBehaviour(const LogBehaviour& behaviour);
  std::vector<RecordedRequest> Requests() const;

 private:
  std::wstring host_name_;
  unsigned short https_port_ = 0;
  unsigned short http_port_ = 0;
  ControlClient control_;
};
