#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tools/logservice/httpmessage.h"
#include "tools/logservice/scopedfd.h"

struct HttpLimits {
  size_t max_head = 16 * 1024;
  size_t max_body = 1024 * 1024;
  // From a request's first byte to its last, and for sending an answer: a
  // client that trickles is cut off here, whatever its pace.
  std::chrono::milliseconds request_time{10000};
  // A kept-alive connection that sends nothing for this long is closed.
  std::chrono::milliseconds idle_time{5000};
  size_t max_connections = 4096;
  size_t workers = 4;
  // Requests waiting for a worker; one more is answered 503 at once.
  size_t max_queue = 2048;
};

// HTTP/1.1 on one listening socket. One thread reads and writes every
// connection without blocking (epoll), so no connection, slow or idle, can
// hold up another; whole requests go to a few worker threads that run the
// handler. Only requests complete within the limits reach the handler.
class HttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  using Logger = std::function<void(const std::string&)>;

  HttpServer(const HttpLimits& limits, Handler handler, Logger log);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Throws std::runtime_error when the address cannot be taken.
  void Listen(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }
  // Serves until Stop(); returns once the workers have ended.
  void Run();
  // Safe from a signal handler.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { kReading, kHandling, kWriting };
  struct Connection {
    ScopedFd fd;
    uint64_t serial = 0;
    std::string peer;
    std::string in;
    std::string out;
    size_t sent = 0;
    State state = State::kReading;
    Clock::time_point deadline;
    bool close_after = false;
    bool continue_sent = false;
    // Set when the connection closes; its queued request is then dropped.
    std::shared_ptr<std::atomic<bool>> gone;
  };
  struct Job {
    int fd;
    uint64_t serial;
    HttpRequest request;
    std::shared_ptr<const std::atomic<bool>> gone;
  };
  struct Done {
    int fd;
    uint64_t serial;
    HttpResponse response;
  };

  void Accept();
  void OnReadable(Connection& c);
  void TryRequest(Connection& c);
  void Answer(Connection& c, const HttpResponse& response, bool close);
  void Refuse(Connection& c, int status, const std::string& why);
  void Flush(Connection& c);
  void Watch(Connection& c, uint32_t events);
  void Close(int fd);
  void DeliverDone();
  int SweepDeadlines();
  void Work();

  HttpLimits limits_;
  Handler handler_;
  Logger log_;
  ScopedFd listener_;
  ScopedFd epoll_;
  ScopedFd wake_;  // a worker finished a request
  ScopedFd stop_;  // Stop() was called
  uint16_t port_ = 0;
  uint64_t next_serial_ = 1;
  std::unordered_map<int, Connection> connections_;

  std::mutex jobs_lock_;
  std::condition_variable jobs_ready_;
  std::deque<Job> jobs_;
  bool stopping_ = false;  // guarded by jobs_lock_
  std::mutex done_lock_;
  std::vector<Done> done_;
  std::vector<std::thread> workers_;
};
