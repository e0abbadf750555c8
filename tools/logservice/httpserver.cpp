#include "tools/logservice/httpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr size_t kReadSlice = 64 * 1024;

void Signal(int fd) {
  const uint64_t one = 1;
  // A full counter already wakes the loop; nothing to do about a failure.
  [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
}

std::string PeerText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

HttpServer::HttpServer(const HttpLimits& limits, Handler handler, Logger log)
    : limits_(limits),
      handler_(std::move(handler)),
      log_(std::move(log)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      stop_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!epoll_.valid() || !wake_.valid() || !stop_.valid()) {
    throw std::runtime_error(std::string("epoll: ") + std::strerror(errno));
  }
  for (const int fd : {wake_.get(), stop_.get()}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
  }
}

HttpServer::~HttpServer() {
  {
    std::lock_guard<std::mutex> hold(jobs_lock_);
    stopping_ = true;
  }
  jobs_ready_.notify_all();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
}

void HttpServer::Listen(const std::string& address, uint16_t port) {
  ScopedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + address);
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::listen(fd.get(), 1024) != 0) {
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                             std::strerror(errno));
  }
  socklen_t length = sizeof where;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&where), &length);
  port_ = ntohs(where.sin_port);
  listener_ = std::move(fd);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener_.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &event);
}

void HttpServer::Stop() { Signal(stop_.get()); }

void HttpServer::Run() {
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { Work(); });
  epoll_event events[128];
  for (;;) {
    const int timeout = SweepDeadlines();
    const int n = ::epoll_wait(epoll_.get(), events, 128, timeout);
    if (n < 0 && errno != EINTR) break;
    bool stop = false;
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == stop_.get()) {
        stop = true;
      } else if (fd == wake_.get()) {
        Drain(wake_.get());
        DeliverDone();
      } else if (fd == listener_.get()) {
        Accept();
      } else {
        const auto it = connections_.find(fd);
        if (it == connections_.end()) continue;
        Connection& c = it->second;
        // A client that hangs up while its request waits (nginx giving up
        // on a slow answer) no longer wants it done.
        const uint32_t gone =
            EPOLLERR | EPOLLHUP | (c.state == State::kHandling ? uint32_t{EPOLLRDHUP} : 0u);
        if (events[i].events & gone) {
          Close(fd);
        } else if (c.state == State::kReading && (events[i].events & EPOLLIN)) {
          OnReadable(c);
        } else if (c.state == State::kWriting && (events[i].events & EPOLLOUT)) {
          Flush(c);
        }
      }
    }
    if (stop) break;
  }
  {
    std::lock_guard<std::mutex> hold(jobs_lock_);
    stopping_ = true;
  }
  jobs_ready_.notify_all();
  for (auto& worker : workers_) worker.join();
  workers_.clear();
  connections_.clear();
}

void HttpServer::Accept() {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ScopedFd fd(::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&from), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) return;
    // Beyond the cap a new connection is closed at once rather than let it
    // take memory from the ones being served.
    if (connections_.size() >= limits_.max_connections) continue;
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int key = fd.get();
    Connection& c = connections_[key];
    c.fd = std::move(fd);
    c.serial = next_serial_++;
    c.peer = PeerText(from);
    c.deadline = Clock::now() + limits_.idle_time;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = key;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, key, &event);
  }
}

void HttpServer::OnReadable(Connection& c) {
  const int fd = c.fd.get();
  char buffer[kReadSlice];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      // The first byte of a request starts its clock.
      if (c.in.empty()) c.deadline = Clock::now() + limits_.request_time;
      c.in.append(buffer, static_cast<size_t>(n));
      // Enough to judge the head or to hold the largest body taken.
      if (c.in.size() > limits_.max_head + limits_.max_body) break;
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      Close(fd);
      return;
    }
    if (errno != EINTR) break;
  }
  TryRequest(c);
}

void HttpServer::TryRequest(Connection& c) {
  const size_t head_end = c.in.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    if (c.in.size() > limits_.max_head) Refuse(c, 431, "request head over the cap");
    return;
  }
  if (head_end + 4 > limits_.max_head) {
    Refuse(c, 431, "request head over the cap");
    return;
  }
  RequestHead head;
  std::string why;
  if (const int status = ParseRequestHead(c.in.substr(0, head_end + 2), head, why)) {
    Refuse(c, status, why);
    return;
  }
  if (head.body_length > limits_.max_body) {
    Refuse(c, 413,
           "body of " + std::to_string(head.body_length) + " bytes over the cap of " +
               std::to_string(limits_.max_body));
    return;
  }
  const size_t total = head_end + 4 + head.body_length;
  if (c.in.size() < total) {
    if (head.expects_continue && !c.continue_sent) {
      c.continue_sent = true;
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      [[maybe_unused]] const ssize_t n =
          ::send(c.fd.get(), kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
    }
    return;
  }
  head.request.body = c.in.substr(head_end + 4, head.body_length);
  head.request.peer = c.peer;
  c.in.erase(0, total);
  c.close_after = !head.keep_alive;
  c.continue_sent = false;
  c.state = State::kHandling;
  Watch(c, EPOLLRDHUP);
  if (!c.gone) c.gone = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> hold(jobs_lock_);
    if (jobs_.size() < limits_.max_queue) {
      jobs_.push_back({c.fd.get(), c.serial, std::move(head.request), c.gone});
      jobs_ready_.notify_one();
      return;
    }
  }
  Refuse(c, 503, "too many requests waiting");
}

void HttpServer::Refuse(Connection& c, int status, const std::string& why) {
  if (log_) log_("refused a request from " + c.peer + ": " + std::to_string(status) + " " + why);
  // What follows an unreadable head cannot be trusted to start a request.
  Answer(c, HttpResponse::Text(status, why), true);
}

void HttpServer::Answer(Connection& c, const HttpResponse& response, bool close) {
  c.close_after = c.close_after || close || response.close;
  c.out = SerializeResponse(response, c.close_after);
  c.sent = 0;
  c.state = State::kWriting;
  c.deadline = Clock::now() + limits_.request_time;
  Flush(c);
}

void HttpServer::Flush(Connection& c) {
  const int fd = c.fd.get();
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n > 0) {
      c.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Watch(c, EPOLLOUT);
      return;
    }
    if (n < 0 && errno == EINTR) continue;
    Close(fd);
    return;
  }
  if (c.close_after) {
    Close(fd);
    return;
  }
  c.out.clear();
  c.out.shrink_to_fit();
  c.state = State::kReading;
  c.deadline = Clock::now() + (c.in.empty() ? limits_.idle_time : limits_.request_time);
  Watch(c, EPOLLIN);
  // A pipelined request may already be here.
  if (!c.in.empty()) TryRequest(c);
}

void HttpServer::Watch(Connection& c, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.fd = c.fd.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &event);
}

void HttpServer::Close(int fd) {
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  const auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  if (it->second.gone) it->second.gone->store(true, std::memory_order_relaxed);
  connections_.erase(it);
}

void HttpServer::DeliverDone() {
  std::vector<Done> done;
  {
    std::lock_guard<std::mutex> hold(done_lock_);
    done.swap(done_);
  }
  for (Done& d : done) {
    const auto it = connections_.find(d.fd);
    // The client left meanwhile, and its descriptor may serve another now.
    if (it == connections_.end() || it->second.serial != d.serial) continue;
    Answer(it->second, d.response, false);
  }
}

int HttpServer::SweepDeadlines() {
  const auto now = Clock::now();
  auto next = now + std::chrono::seconds(1);
  std::vector<int> expired;
  for (auto& [fd, c] : connections_) {
    if (c.state == State::kHandling) continue;
    if (c.deadline <= now) {
      expired.push_back(fd);
    } else if (c.deadline < next) {
      next = c.deadline;
    }
  }
  for (const int fd : expired) {
    Connection& c = connections_.at(fd);
    if (c.state == State::kReading && !c.in.empty() && log_) {
      log_("closed a connection from " + c.peer + ": request not complete within " +
           std::to_string(limits_.request_time.count()) + " ms");
    }
    Close(fd);
  }
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
}

void HttpServer::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(jobs_lock_);
      jobs_ready_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // Its client has gone: no one would read the answer.
    if (job.gone->load(std::memory_order_relaxed)) {
      if (log_)
        log_("dropped a request from " + job.request.peer + ": its client left while it waited");
      continue;
    }
    HttpResponse response;
    try {
      response = handler_(job.request);
    } catch (const std::exception& e) {
      if (log_) log_(std::string("request failed: ") + e.what());
      response = HttpResponse::Text(500, "Internal error");
    }
    {
      std::lock_guard<std::mutex> hold(done_lock_);
      done_.push_back({job.fd, job.serial, std::move(response)});
    }
    Signal(wake_.get());
  }
}
