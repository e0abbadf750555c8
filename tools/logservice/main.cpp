// The maker's log service: takes the program's log uploads, stores them in
// SQLite or PostgreSQL and shows them on a dashboard. Meant to run on a
// loopback address behind nginx, which does TLS and meets the internet.
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "tools/logservice/dashboard.h"
#include "tools/logservice/httpserver.h"
#include "tools/logservice/logstore.h"
#include "tools/logservice/uploadreceiver.h"

namespace {

constexpr char kUsage[] =
    "usage: logservice --database sqlite:PATH|postgresql:CONNINFO [--listen ADDRESS:PORT]\n"
    "                  [--secret-file FILE] [--retention-days N] [--workers N]\n"
    "                  [--lifetime SECONDS] [--port-file FILE]\n"
    "Takes log uploads on /Veltra/DownloadManager8.ashx and serves the dashboard on /dashboard\n"
    "to whoever gives the secret of --secret-file (its first line) as password or Bearer token.\n"
    "Uploads older than --retention-days (default 90) are deleted every hour.\n";

std::mutex log_lock;

void Log(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
  std::lock_guard<std::mutex> hold(log_lock);
  std::fprintf(stderr, "%s logservice: %s\n", stamp, line.c_str());
}

struct Options {
  std::string database;
  std::string address = "127.0.0.1";
  uint16_t port = 9080;
  std::string secret_file;
  int64_t retention_days = 90;
  size_t workers = 4;
  int64_t lifetime = 0;
  std::string port_file;
};

bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t& out) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  out = std::stoll(text);
  return out >= low && out <= high;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    int64_t number = 0;
    if (name == "--database") {
      o.database = value;
    } else if (name == "--listen") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos || !ParseNumber(value.substr(colon + 1), 0, 65535, number)) {
        return false;
      }
      o.address = value.substr(0, colon);
      o.port = static_cast<uint16_t>(number);
    } else if (name == "--secret-file") {
      o.secret_file = value;
    } else if (name == "--retention-days" && ParseNumber(value, 1, 100000, number)) {
      o.retention_days = number;
    } else if (name == "--workers" && ParseNumber(value, 1, 256, number)) {
      o.workers = static_cast<size_t>(number);
    } else if (name == "--lifetime" && ParseNumber(value, 1, 100000000, number)) {
      o.lifetime = number;
    } else if (name == "--port-file") {
      o.port_file = value;
    } else {
      return false;
    }
  }
  return !o.database.empty();
}

HttpServer* running_server = nullptr;

void OnSignal(int) {
  if (running_server) running_server->Stop();
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// Deletes old uploads now and every hour, and ends the service after its
// lifetime, if it has one; waits on the stop, never polls for it.
class Housekeeper {
 public:
  Housekeeper(LogStore& store, HttpServer& server, int64_t retention_days, int64_t lifetime)
      : thread_([this, &store, &server, retention_days, lifetime] {
          const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
          std::unique_lock<std::mutex> hold(lock_);
          while (!stopped_) {
            hold.unlock();
            try {
              const int64_t gone = store.DeleteBefore(Now() - retention_days * 86400);
              if (gone > 0) Log("deleted " + std::to_string(gone) + " uploads past the retention");
            } catch (const std::exception& e) {
              Log(std::string("retention: ") + e.what());
            }
            hold.lock();
            auto next = std::chrono::steady_clock::now() + std::chrono::hours(1);
            if (lifetime > 0 && end < next) next = end;
            stop_.wait_until(hold, next, [this] { return stopped_; });
            if (lifetime > 0 && std::chrono::steady_clock::now() >= end) {
              server.Stop();
              return;
            }
          }
        }) {}
  ~Housekeeper() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopped_ = true;
    }
    stop_.notify_all();
    thread_.join();
  }
  Housekeeper(const Housekeeper&) = delete;
  Housekeeper& operator=(const Housekeeper&) = delete;

 private:
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << kUsage;
    return 2;
  }
  // An upload near the caps takes megabytes for a moment (the inflated text
  // and its UTF-8 copy); allocated apart from the heap, they go back to the
  // system when freed instead of staying with each worker's arena.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // The database, its journal and the port file are the service's alone:
  // the logs hold what users' machines said.
  ::umask(077);
  std::string secret;
  if (!options.secret_file.empty()) {
    struct stat info;
    if (::stat(options.secret_file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      std::cerr << "logservice: " << options.secret_file << " is no file to read a secret from\n";
      return 2;
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
      std::cerr << "logservice: " << options.secret_file
                << " holds the dashboard's secret but other users may read it; chmod 600 it "
                   "first\n";
      return 2;
    }
    std::ifstream file(options.secret_file);
    std::getline(file, secret);
    if (secret.size() < 8) {
      std::cerr << "logservice: the secret file must hold a secret of at least 8 characters\n";
      return 2;
    }
  }
  try {
    // One connection per worker and one for the dashboard's reads.
    LogStore store(options.database, options.workers + 1);
    UploadReceiver receiver(store, ReceiveLimits{}, Log, Now);
    Dashboard dashboard(store, secret);
    HttpLimits limits;
    limits.workers = options.workers;
    HttpServer server(
        limits,
        [&](const HttpRequest& request) {
          try {
            if (request.path == kUploadPath) return receiver.Receive(request);
            if (secret.empty()) return HttpResponse::Text(404, "Not found");
            return dashboard.Serve(request);
          } catch (const SqlUnavailable& e) {
            // Nothing was stored: the client may send it again shortly.
            Log(std::string("answered 503: ") + e.what());
            HttpResponse response = HttpResponse::Text(503, "The database is away; try again");
            response.headers.emplace_back("Retry-After", "5");
            return response;
          }
        },
        Log);
    server.Listen(options.address, options.port);
    if (!options.port_file.empty()) {
      std::ofstream(options.port_file) << server.port() << "\n";
    }
    running_server = &server;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Housekeeper housekeeper(store, server, options.retention_days, options.lifetime);
    Log("listening on http://" + options.address + ":" + std::to_string(server.port()) + " (" +
        options.database.substr(0, options.database.find(':')) + ")");
    server.Run();
    running_server = nullptr;
    Log("stopped");
  } catch (const std::exception& e) {
    Log(std::string("cannot run: ") + e.what());
    return 1;
  }
  return 0;
}
