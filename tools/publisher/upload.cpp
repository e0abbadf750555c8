#include "tools/publisher/upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tools/publisher/crypto.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/http.h"
#include "tools/publisher/progress.h"
#include "tools/publisher/sas.h"

namespace {

constexpr int kTries = 5;
// Each object goes up in one Put Blob from memory; a published folder holds
// nothing near this (parts are 10,000,000 bytes).
constexpr uint64_t kMaxObjectBytes = 64u << 20;
constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kProgressTick = std::chrono::milliseconds(250);

struct Object {
  std::string path;  // relative to the published folder: also the blob's path
  uint64_t size = 0;
};

// A part object is "<k>_<name>"; everything else (the CRC info) goes last.
bool IsPart(const std::string& path) {
  const std::string base =
      path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  size_t digits = 0;
  while (digits < base.size() && std::isdigit(static_cast<unsigned char>(base[digits]))) ++digits;
  return digits > 0 && digits < base.size() && base[digits] == '_';
}

// Blob storage takes 3 to 63 lower-case letters, digits and single hyphens
// between them as a container's name ("$root" is the account's top level).
bool IsContainerName(const std::string& name) {
  if (name == "$root") return true;
  if (name.size() < 3 || name.size() > 63 || name.front() == '-' || name.back() == '-')
    return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!allowed || (c == '-' && name[i + 1] == '-')) return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The signature's query without its "?", for appending after another query.
std::string SasParameters(const std::string& sas) {
  return sas.empty() || sas[0] != '?' ? sas : sas.substr(1);
}

class Uploader {
 public:
  explicit Uploader(const UploadOptions& options) : options_(options) {}

  // Puts `objects` with the configured number of threads; false when any
  // failed (each failure is already reported).
  bool PutAll(const std::vector<Object>& objects, Progress& progress) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> running{0};
    std::vector<std::thread> threads;
    const size_t count =
        std::min<size_t>(static_cast<size_t>(std::max(options_.jobs, 1)), objects.size());
    running = count;
    for (size_t t = 0; t < count; ++t) {
      threads.emplace_back([&] {
        HttpClient client(options_.ca_file);
        for (size_t i = next++; i < objects.size(); i = next++) Put(client, objects[i]);
        std::lock_guard<std::mutex> lock(mutex_);
        --running;
        done_signal_.notify_all();
      });
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (running > 0) {
        done_signal_.wait_for(lock, kProgressTick);
        progress.Report(bytes_done_);
      }
    }
    for (std::thread& thread : threads) thread.join();
    return !failed_;
  }

  uint64_t BytesDone() const { return bytes_done_; }
  size_t Skipped() const { return skipped_; }

 private:
  void Put(HttpClient& client, const Object& object) {
    std::string body;
    std::string error;
    if (!FileIo::ReadWholeFile(options_.dir + "/" + object.path, body, error)) {
      Report(object.path, error);
      return;
    }
    const std::string md5 = Crypto::Base64Encode(Crypto::Md5(body.data(), body.size()));
    const std::string url = ObjectUrl(options_.url, object.path, options_.sas);
    HttpClient::Response response;
    client.Head(url, response);
    const auto length = response.headers.find("content-length");
    const auto stored_md5 = response.headers.find("content-md5");
    if (response.status == 200 && length != response.headers.end() &&
        length->second == std::to_string(body.size()) && stored_md5 != response.headers.end() &&
        stored_md5->second == md5) {
      ++skipped_;
      bytes_done_ += body.size();
      return;
    }
    const std::vector<std::string> headers = {
        std::string("x-ms-version: ") + kSasVersion, "x-ms-blob-type: BlockBlob",
        "Content-Type: application/octet-stream", "Content-MD5: " + md5};
    bool container_made = false;
    auto backoff = kFirstBackoff;
    for (int attempt = 1;; ++attempt) {
      client.Put(url, headers, body.data(), body.size(), response);
      const auto code = response.headers.find("x-ms-error-code");
      const std::string error_code = code == response.headers.end() ? "" : code->second;
      if (response.failure.empty() && response.status == 201) break;
      if (response.status == 404 && error_code == "ContainerNotFound" && !container_made) {
        container_made = true;
        MakeContainer(client, object.path);
        continue;
      }
      const bool transient = !response.failure.empty() || response.status >= 500;
      if (!transient || attempt == kTries) {
        Report(object.path, response.failure.empty()
                                ? "answered " + std::to_string(response.status) +
                                      (error_code.empty() ? "" : " (" + error_code + ")")
                                : "no answer: " + response.failure);
        return;
      }
      std::this_thread::sleep_for(backoff);
      backoff *= 2;
    }
    bytes_done_ += body.size();
  }

  void MakeContainer(HttpClient& client, const std::string& path) {
    const std::string container = path.substr(0, path.find('/'));
    std::string base = options_.url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    HttpClient::Response response;
    client.Put(base + "/" + container + "?restype=container&" + SasParameters(options_.sas),
               {std::string("x-ms-version: ") + kSasVersion}, "", 0, response);
    // 409: another thread made it first.
    if (response.status != 201 && response.status != 409) {
      std::lock_guard<std::mutex> lock(mutex_);
      std::fprintf(stderr, "\nupload: cannot create container %s: %s\n", container.c_str(),
                   response.failure.empty()
                       ? ("answered " + std::to_string(response.status)).c_str()
                       : response.failure.c_str());
    }
  }

  void Report(const std::string& path, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\nupload: %s: %s\n", path.c_str(), problem.c_str());
    failed_ = true;
  }

  const UploadOptions& options_;
  std::mutex mutex_;
  std::condition_variable done_signal_;
  std::atomic<uint64_t> bytes_done_{0};
  std::atomic<size_t> skipped_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace

int Upload(const UploadOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> paths;
  std::string error;
  if (!FileIo::ListFiles(options.dir, paths, error)) {
    std::fprintf(stderr, "upload: %s\n", error.c_str());
    return 1;
  }
  std::vector<Object> parts;
  std::vector<Object> last;
  uint64_t total = 0;
  for (const std::string& path : paths) {
    // A leftover of a killed publish is no object of the release.
    if (FileIo::IsTempName(path)) continue;
    const size_t slash = path.find('/');
    const std::string container = slash == std::string::npos ? "" : path.substr(0, slash);
    if (container.empty()) {
      // The program asks for "//<k>_<name>" there, which names no blob.
      std::fprintf(stderr,
                   "upload: %s lies at the top (a \"2_5\" release's old layout), which blob "
                   "storage cannot serve as the program requests it; serve it from a web server\n",
                   path.c_str());
      return 1;
    }
    if (!IsContainerName(container)) {
      std::fprintf(stderr,
                   "upload: %s: \"%s\" is no blob container name (3 to 63 lower-case letters, "
                   "digits and single hyphens); publish with such a --subdir\n",
                   path.c_str(), container.c_str());
      return 1;
    }
    struct stat info;
    if (::stat((options.dir + "/" + path).c_str(), &info) != 0) {
      std::fprintf(stderr, "upload: cannot read %s: %s\n", path.c_str(),
                   FileIo::ErrorText().c_str());
      return 1;
    }
    const Object object{path, static_cast<uint64_t>(info.st_size)};
    if (object.size > kMaxObjectBytes) {
      std::fprintf(stderr,
                   "upload: %s is larger than any object a publish writes; is %s a "
                   "published folder?\n",
                   path.c_str(), options.dir.c_str());
      return 1;
    }
    total += object.size;
    (IsPart(path) ? parts : last).push_back(object);
  }
  // A publish cut short leaves parts without their CRC info; put up, they
  // would replace the parts a live CRC info still describes.
  std::set<std::string> described;
  for (const Object& object : last) described.insert(FolderOf(object.path));
  for (const Object& object : parts) {
    if (!described.count(FolderOf(object.path))) {
      std::fprintf(stderr,
                   "upload: %s has parts but no CRC info: its publish did not complete; "
                   "publish it again\n",
                   FolderOf(object.path).c_str());
      return 1;
    }
  }
  if (parts.empty() && last.empty()) {
    std::fprintf(stderr, "upload: %s holds nothing to upload\n", options.dir.c_str());
    return 1;
  }

  Uploader uploader(options);
  Progress progress("upload", total);
  if (!uploader.PutAll(parts, progress)) {
    progress.Finish(uploader.BytesDone());
    std::fprintf(stderr, "upload: not every part is there; the CRC info was not uploaded\n");
    return 1;
  }
  const bool ok = uploader.PutAll(last, progress);
  progress.Finish(uploader.BytesDone());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "upload: %zu objects (%zu already there), %.1f MB in %.2f s (%.1f MB/s)%s\n",
               parts.size() + last.size(), uploader.Skipped(), total / 1e6, seconds,
               seconds > 0 ? total / 1e6 / seconds : 0.0, ok ? "" : "; some failed");
  return ok ? 0 : 1;
}
