#include "tools/publisher/upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/crc.h"
#include "tools/publisher/crypto.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/http.h"
#include "tools/publisher/livereleases.h"
#include "tools/publisher/progress.h"
#include "tools/publisher/releaseplan.h"
#include "tools/publisher/sas.h"

namespace {

constexpr int kTries = 5;
// A CRC info beyond this is no CRC info.
constexpr size_t kMaxCrcInfoBytes = 64u << 20;
constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kProgressTick = std::chrono::milliseconds(250);

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

// One release of the published folder, and what the host holds of it.
struct LocalRelease : DescribedRelease {
  std::string live;  // the CRC info on the host, when there is one
  bool is_live = false;
};

// A part to upload and what the host holds at its path.
struct PartState {
  const PartObject* part = nullptr;
  const LocalRelease* release = nullptr;
  std::string md5;  // base64, of the local bytes
  enum class Host { kMissing, kSame, kDifferent } host = Host::kMissing;
};

// `path` (relative) with its text when it is the CRC info of a release: a
// ".txt" file whose first line is its own name without ".txt", as publish
// writes it, naming at least one file.
bool ReadCrcInfo(const std::string& dir, const std::string& path, LocalRelease& release,
                 std::string& error) {
  if (path.size() <= 4 || path.compare(path.size() - 4, 4, ".txt") != 0) return false;
  struct stat info;
  const std::string full = dir + "/" + path;
  if (::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<uint64_t>(info.st_size) > kMaxCrcInfoBytes) {
    return false;
  }
  std::string text;
  if (!FileIo::ReadWholeFile(full, text, error)) return false;
  return DescribeRelease(path, text, release);
}

// The releases of the published folder `dir`. False, with every problem
// printed, when it holds anything else, or lacks a part one of them names.
bool ReadReleases(const std::string& dir, std::vector<LocalRelease>& releases) {
  std::vector<std::string> paths;
  std::string error;
  if (!FileIo::ListFiles(dir, paths, error)) {
    std::fprintf(stderr, "upload: %s\n", error.c_str());
    return false;
  }
  std::vector<std::string> objects;
  for (const std::string& path : paths) {
    // A leftover of a killed publish is no object of the release.
    if (FileIo::IsTempName(path)) continue;
    const size_t slash = path.find('/');
    if (slash == std::string::npos) {
      // The program asks for "//<k>_<name>" there, which names no blob.
      std::fprintf(stderr,
                   "upload: %s lies at the top (a \"2_5\" release's old layout), which blob "
                   "storage cannot serve as the program requests it; serve it from a web server\n",
                   path.c_str());
      return false;
    }
    const std::string container = path.substr(0, slash);
    if (!IsContainerName(container)) {
      std::fprintf(stderr,
                   "upload: %s: \"%s\" is no blob container name (3 to 63 lower-case letters, "
                   "digits and single hyphens); publish with such a --subdir\n",
                   path.c_str(), container.c_str());
      return false;
    }
    objects.push_back(path);
    LocalRelease release;
    if (ReadCrcInfo(dir, path, release, error)) releases.push_back(std::move(release));
    if (!error.empty()) {
      std::fprintf(stderr, "upload: %s\n", error.c_str());
      return false;
    }
  }
  if (objects.empty()) {
    std::fprintf(stderr, "upload: %s holds nothing to upload\n", dir.c_str());
    return false;
  }
  // Parts are what a CRC info names, whatever their names look like.
  std::map<std::string, const PartObject*> named;
  bool ok = true;
  for (const LocalRelease& release : releases) {
    named[release.crc_info_path] = nullptr;
    for (const PartObject& part : release.parts) {
      const auto other = named.find(part.path);
      if (other != named.end() && other->second &&
          (other->second->size != part.size || other->second->crc != part.crc)) {
        std::fprintf(stderr, "upload: two CRC infos name %s with different bytes\n",
                     part.path.c_str());
        ok = false;
      }
      named[part.path] = &part;
      struct stat info;
      if (::lstat((dir + "/" + part.path).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
          static_cast<uint64_t>(info.st_size) != part.size) {
        std::fprintf(stderr,
                     "upload: %s names %s (%u bytes), which the published folder lacks or holds "
                     "with another size; publish again\n",
                     release.crc_info_path.c_str(), part.path.c_str(), part.size);
        ok = false;
      }
    }
  }
  for (const std::string& path : objects) {
    if (named.count(path)) continue;
    const std::string folder = path.substr(0, path.rfind('/'));
    const bool described =
        std::any_of(releases.begin(), releases.end(), [&](const LocalRelease& r) {
          return r.crc_info_path.compare(0, folder.size() + 1, folder + "/") == 0;
        });
    std::fprintf(stderr,
                 described ? "upload: %s is named by no CRC info; is %s a published folder?\n"
                           : "upload: %s has no CRC info beside it: its publish did not "
                             "complete; publish it again (%s)\n",
                 path.c_str(), dir.c_str());
    ok = false;
  }
  return ok;
}

std::string Answer(const HttpClient::Response& response) {
  if (!response.failure.empty()) return "no answer: " + response.failure;
  const auto code = response.headers.find("x-ms-error-code");
  return "answered " + std::to_string(response.status) +
         (code == response.headers.end() ? "" : " (" + code->second + ")");
}

bool ContainerMissing(const HttpClient::Response& response) {
  const auto code = response.headers.find("x-ms-error-code");
  return response.status == 404 && code != response.headers.end() &&
         code->second == "ContainerNotFound";
}

// The uploads to one destination. Its messages name the destination
// (`label`) when there are several.
class Uploader {
 public:
  Uploader(const UploadOptions& options, const UploadDestination& destination, std::string label)
      : options_(options), destination_(destination), label_(std::move(label)) {}

  const UploadDestination& Destination() const { return destination_; }

  // Runs `work` on every index below `count` on the configured number of
  // threads, each with its own connection, reporting `progress` meanwhile.
  void ForEach(size_t count, const std::function<void(HttpClient&, size_t)>& work,
               Progress* progress) {
    std::atomic<size_t> next{0};
    size_t running = std::min<size_t>(static_cast<size_t>(std::max(options_.jobs, 1)), count);
    std::vector<std::thread> threads;
    for (size_t t = 0, started = running; t < started; ++t) {
      threads.emplace_back([&] {
        HttpClient client(options_.ca_file, options_.plain_http_loopback);
        for (size_t i = next++; i < count; i = next++) work(client, i);
        std::lock_guard<std::mutex> lock(mutex_);
        --running;
        done_signal_.notify_all();
      });
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      while (running > 0) {
        done_signal_.wait_for(lock, kProgressTick);
        if (progress) progress->Report(bytes_done_);
      }
    }
    for (std::thread& thread : threads) thread.join();
  }

  // Sends a request again on a broken connection or an answer 5xx.
  void Retried(const std::function<void(HttpClient::Response&)>& send,
               HttpClient::Response& response) {
    auto backoff = kFirstBackoff;
    for (int attempt = 1;; ++attempt) {
      send(response);
      const bool transient = !response.failure.empty() || response.status >= 500;
      if (!transient || attempt == kTries) return;
      std::this_thread::sleep_for(backoff);
      backoff *= 2;
    }
  }

  std::string Url(const std::string& path) const {
    return ObjectUrl(destination_.url, path, destination_.sas);
  }

  // The live CRC info of `release`, if any; false (reported) when the host
  // cannot say.
  bool FetchLive(HttpClient& client, LocalRelease& release) {
    HttpClient::Response response;
    Retried(
        [&](HttpClient::Response& r) {
          client.Get(Url(release.crc_info_path), kMaxCrcInfoBytes, r);
        },
        response);
    if (ContainerMissing(response)) {
      const std::string container =
          release.crc_info_path.substr(0, release.crc_info_path.find('/'));
      Report(container,
             "the container does not exist; create it first (publisher container, "
             "or the storage account's portal)");
      return false;
    }
    if (response.failure.empty() && response.status == 404) return true;
    if (!response.failure.empty() || response.status != 200) {
      Report(release.crc_info_path, Answer(response));
      return false;
    }
    release.is_live = true;
    release.live = std::move(response.body);
    return true;
  }

  // Reads a part, checks it against its CRC info and finds what the host
  // holds at its path.
  void Survey(HttpClient& client, PartState& state) {
    std::string body;
    if (!ReadPart(*state.part, body, state.md5)) return;
    HttpClient::Response response;
    Retried([&](HttpClient::Response& r) { client.Head(Url(state.part->path), r); }, response);
    if (response.failure.empty() && response.status == 404) {
      state.host = PartState::Host::kMissing;
      return;
    }
    if (!response.failure.empty() || response.status != 200) {
      Report(state.part->path, Answer(response));
      return;
    }
    state.host = HostHolds(client, state.part->path, response, body.size(), state.md5)
                     ? PartState::Host::kSame
                     : PartState::Host::kDifferent;
  }

  void Put(HttpClient& client, const PartState& state) {
    std::string body;
    std::string md5;
    if (!ReadPart(*state.part, body, md5)) return;
    if (md5 != state.md5) {
      Report(state.part->path, "changed in the published folder during the upload");
      return;
    }
    if (PutObject(client, state.part->path, body, md5)) bytes_done_ += body.size();
  }

  bool PutObject(HttpClient& client, const std::string& path, const std::string& body,
                 const std::string& md5) {
    const std::vector<std::string> headers = {
        std::string("x-ms-version: ") + kSasVersion, "x-ms-blob-type: BlockBlob",
        "Content-Type: application/octet-stream", "Content-MD5: " + md5};
    HttpClient::Response response;
    Retried(
        [&](HttpClient::Response& r) {
          client.Put(Url(path), headers, body.data(), body.size(), r);
        },
        response);
    if (response.failure.empty() && response.status == 201) return true;
    Report(path, ContainerMissing(response)
                     ? "the container does not exist; create it first (publisher container, or "
                       "the storage account's portal)"
                     : Answer(response));
    return false;
  }

  // Whether the host holds exactly `size` bytes of this MD5 at `path` now.
  void Check(HttpClient& client, const PartState& state) {
    HttpClient::Response response;
    Retried([&](HttpClient::Response& r) { client.Head(Url(state.part->path), r); }, response);
    if (!response.failure.empty() || response.status != 200) {
      Report(state.part->path, "is not on the host: " + Answer(response));
    } else if (!HostHolds(client, state.part->path, response, state.part->size, state.md5)) {
      Report(state.part->path, "the host holds other bytes than the published folder");
    }
  }

  bool Delete(HttpClient& client, const std::string& path) {
    HttpClient::Response response;
    Retried(
        [&](HttpClient::Response& r) {
          client.Delete(Url(path), {std::string("x-ms-version: ") + kSasVersion}, r);
        },
        response);
    if (response.failure.empty() && (response.status == 202 || response.status == 404)) {
      return true;
    }
    Report(path, "could not be taken down: " + Answer(response));
    return false;
  }

  void Report(const std::string& path, const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\nupload: %s%s: %s\n", label_.c_str(), path.c_str(), problem.c_str());
    failed_ = true;
  }

  // One line of its own about this destination.
  void Note(const std::string& text) const {
    std::fprintf(stderr, "upload: %s%s\n", label_.c_str(), text.c_str());
  }

  bool Failed() const { return failed_; }
  uint64_t BytesDone() const { return bytes_done_; }

 private:
  bool ReadPart(const PartObject& part, std::string& body, std::string& md5) {
    std::string error;
    if (!FileIo::ReadWholeFile(options_.dir + "/" + part.path, body, error)) {
      Report(part.path, error);
      return false;
    }
    if (body.size() != part.size ||
        static_cast<int32_t>(crc_.Compute(body.data(), body.size())) != part.crc) {
      Report(part.path, "differs from what its CRC info names; publish again");
      return false;
    }
    md5 = Crypto::Base64Encode(Crypto::Md5(body.data(), body.size()));
    return true;
  }

  // A HEAD's answer holds `size` and `md5`; a host that gives no MD5 is
  // asked for the bytes.
  bool HostHolds(HttpClient& client, const std::string& path, const HttpClient::Response& head,
                 uint64_t size, const std::string& md5) {
    const auto length = head.headers.find("content-length");
    if (length == head.headers.end() || length->second != std::to_string(size)) return false;
    const auto stored = head.headers.find("content-md5");
    if (stored != head.headers.end()) return stored->second == md5;
    HttpClient::Response response;
    Retried([&](HttpClient::Response& r) { client.Get(Url(path), size + 1, r); }, response);
    return response.failure.empty() && response.status == 200 &&
           Crypto::Base64Encode(Crypto::Md5(response.body.data(), response.body.size())) == md5;
  }

  const UploadOptions& options_;
  const UploadDestination& destination_;
  const std::string label_;
  const CRC crc_;
  std::mutex mutex_;
  std::condition_variable done_signal_;
  std::atomic<uint64_t> bytes_done_{0};
  std::atomic<bool> failed_{false};
};

// The parts whose upload would change a live release under its users: the
// live CRC info names other bytes at their path, or something the live CRC
// info does not name (another release's part, or a failed upload's) is
// there with other bytes.
std::vector<std::string> Conflicts(const std::vector<PartState>& states) {
  std::vector<std::string> conflicts;
  std::map<const LocalRelease*, std::map<std::string, std::pair<uint32_t, int32_t>>> live;
  for (const PartState& state : states) {
    const LocalRelease& release = *state.release;
    if (!live.count(&release)) {
      auto& named = live[&release];
      if (release.is_live) {
        const HostLayout layout(release.name,
                                release.crc_info_path.substr(0, release.crc_info_path.rfind('/')));
        for (const PartObject& part :
             PartObjects(layout, ParseCrcInfo(release.live.data(), release.live.size()))) {
          named[part.path] = {part.size, part.crc};
        }
      }
    }
    if (state.host == PartState::Host::kSame) continue;
    const auto& named = live[&release];
    const auto found = named.find(state.part->path);
    const bool names_other =
        found != named.end() && found->second != std::make_pair(state.part->size, state.part->crc);
    const bool foreign = found == named.end() && state.host == PartState::Host::kDifferent;
    if (names_other || foreign) conflicts.push_back(state.part->path);
  }
  return conflicts;
}

// False (reported) when the upload would rewrite a part object that another
// release live in the same container names with other bytes: two releases
// of the same file names in one folder. Replacing one must not break the
// other, so neither --replace nor anything else overwrites such a part.
bool CheckOtherReleases(Uploader& uploader, const UploadOptions& options,
                        const std::vector<LocalRelease>& releases,
                        const std::vector<PartState>& states) {
  const bool rewrites = std::any_of(states.begin(), states.end(), [](const PartState& state) {
    return state.host == PartState::Host::kDifferent;
  });
  if (!rewrites) return true;
  std::set<std::string> containers;
  std::set<std::string> own;
  for (const LocalRelease& release : releases) {
    containers.insert(release.crc_info_path.substr(0, release.crc_info_path.find('/')));
    own.insert(release.crc_info_path);
  }
  HttpClient client(options.ca_file, options.plain_http_loopback);
  const FetchFunction fetch = [&](const std::string& url, size_t max_body,
                                  HttpClient::Response& response) {
    uploader.Retried([&](HttpClient::Response& r) { client.Get(url, max_body, r); }, response);
  };
  std::vector<DescribedRelease> live;
  for (const std::string& container : containers) {
    std::string error;
    if (!ReadLiveReleases(fetch, uploader.Destination().url, uploader.Destination().sas, container,
                          kMaxCrcInfoBytes, live, error)) {
      // Without --replace nothing foreign is overwritten anyway (Conflicts).
      if (!options.replace) return true;
      uploader.Note(error);
      uploader.Note(
          "nothing was uploaded: --replace needs to know that no other live release names "
          "the parts it rewrites");
      return false;
    }
  }
  std::map<std::string, std::pair<const DescribedRelease*, const PartObject*>> named;
  for (const DescribedRelease& release : live) {
    if (own.count(release.crc_info_path)) continue;
    for (const PartObject& part : release.parts) named[part.path] = {&release, &part};
  }
  std::set<std::string> holders;
  size_t held = 0;
  for (const PartState& state : states) {
    if (state.host != PartState::Host::kDifferent) continue;
    const auto found = named.find(state.part->path);
    if (found == named.end()) continue;
    const PartObject& other = *found->second.second;
    if (other.size == state.part->size && other.crc == state.part->crc) continue;
    const DescribedRelease& holder = *found->second.first;
    if (++held <= 5) {
      uploader.Note(state.part->path + " is a part of live release " + holder.name + " (" +
                    holder.crc_info_path + "), with other bytes");
    }
    holders.insert(holder.name);
  }
  if (held == 0) return true;
  std::string names;
  for (const std::string& name : holders) names += (names.empty() ? "" : ", ") + name;
  const bool one = holders.size() == 1;
  uploader.Note("nothing was uploaded: " + std::to_string(held) + " part" + (held == 1 ? "" : "s") +
                " would change live release" + (one ? " " : "s ") + names + " under " +
                (one ? "its" : "their") +
                " users, and no option allows that (--replace replaces only the releases of "
                "the published folder). Publish into another folder (--subdir), or take " +
                (one ? "it" : "them") + " down first");
  return false;
}

// One destination: the releases as it holds them and what it holds at
// each part's path.
struct Target {
  Target(const UploadOptions& options, const UploadDestination& destination, std::string label,
         const std::vector<LocalRelease>& local)
      : uploader(options, destination, std::move(label)), releases(local) {
    for (const LocalRelease& release : releases) {
      for (const PartObject& part : release.parts) {
        states.push_back(PartState{&part, &release, "", PartState::Host::kMissing});
      }
    }
  }

  Uploader uploader;
  std::vector<LocalRelease> releases;
  std::vector<PartState> states;
  size_t already_there = 0;
  size_t crc_infos_put = 0;
  bool complete = false;
};

// Whether the destination may take the release: what it holds is known,
// and no live release would change under its users. Reported when not.
bool Prepare(Target& target, const UploadOptions& options) {
  Uploader& uploader = target.uploader;
  uploader.ForEach(
      target.releases.size(),
      [&](HttpClient& client, size_t i) { uploader.FetchLive(client, target.releases[i]); },
      nullptr);
  if (uploader.Failed()) return false;
  uploader.ForEach(
      target.states.size(),
      [&](HttpClient& client, size_t i) { uploader.Survey(client, target.states[i]); }, nullptr);
  if (uploader.Failed()) {
    uploader.Note("nothing was uploaded");
    return false;
  }
  const std::vector<std::string> conflicts = Conflicts(target.states);
  if (!CheckOtherReleases(uploader, options, target.releases, target.states)) return false;
  if (!conflicts.empty() && !options.replace) {
    for (size_t i = 0; i < conflicts.size() && i < 5; ++i) {
      uploader.Note(conflicts[i] + ": the host holds other bytes here for a live release");
    }
    uploader.Note("nothing was uploaded: " + std::to_string(conflicts.size()) + " part" +
                  (conflicts.size() == 1 ? "" : "s") +
                  " would change a release that users may be downloading. A release does not "
                  "change once its CRC info is live: publish under a new release name (and "
                  "folder), or pass --replace to take the live release down and replace it");
    return false;
  }
  return true;
}

// Takes down what --replace replaces and puts every part the destination
// lacks; true when it then holds every part with its size and MD5.
bool PutParts(Target& target, const UploadOptions& options, const std::string& progress_label) {
  Uploader& uploader = target.uploader;
  if (options.replace) {
    for (const LocalRelease& release : target.releases) {
      if (!release.is_live || release.live == release.crc_info) continue;
      HttpClient client(options.ca_file, options.plain_http_loopback);
      if (!uploader.Delete(client, release.crc_info_path)) return false;
      uploader.Note("--replace: took " + release.crc_info_path +
                    " down; until this upload puts it back, users see that this version can no "
                    "longer be downloaded");
    }
  }
  std::vector<const PartState*> to_put;
  uint64_t to_send = 0;
  for (const PartState& state : target.states) {
    if (state.host == PartState::Host::kSame) continue;
    to_put.push_back(&state);
    to_send += state.part->size;
  }
  Progress progress(progress_label, to_send);
  uploader.ForEach(
      to_put.size(), [&](HttpClient& client, size_t i) { uploader.Put(client, *to_put[i]); },
      &progress);
  progress.Finish(uploader.BytesDone());
  if (!uploader.Failed()) {
    // Every part the CRC info names, as the host holds it now.
    uploader.ForEach(
        target.states.size(),
        [&](HttpClient& client, size_t i) { uploader.Check(client, target.states[i]); }, nullptr);
  }
  if (uploader.Failed()) {
    uploader.Note("not every part is on the host; no CRC info was uploaded");
    return false;
  }
  target.already_there = target.states.size() - to_put.size();
  return true;
}

bool PutCrcInfos(Target& target, const UploadOptions& options) {
  HttpClient client(options.ca_file, options.plain_http_loopback);
  for (const LocalRelease& release : target.releases) {
    if (release.is_live && release.live == release.crc_info) continue;
    const std::string md5 =
        Crypto::Base64Encode(Crypto::Md5(release.crc_info.data(), release.crc_info.size()));
    if (!target.uploader.PutObject(client, release.crc_info_path, release.crc_info, md5)) {
      return false;
    }
    ++target.crc_infos_put;
  }
  return true;
}

std::string Rate(uint64_t bytes, double seconds) {
  char text[80];
  std::snprintf(text, sizeof text, "%.1f MB in %.2f s (%.1f MB/s)", bytes / 1e6, seconds,
                seconds > 0 ? bytes / 1e6 / seconds : 0.0);
  return text;
}

// A destination's address as compared with the others': its scheme and
// host in any case, without a closing "/".
std::string SamePlaceKey(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  const size_t host = url.find("://");
  const size_t path = url.find('/', host == std::string::npos ? 0 : host + 3);
  std::transform(url.begin(), path == std::string::npos ? url.end() : url.begin() + path,
                 url.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return url;
}

}  // namespace

int Upload(const UploadOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  std::set<std::string> named;
  for (const UploadDestination& destination : options.destinations) {
    if (!CheckHostUrl(destination.url, options.plain_http_loopback, error)) {
      std::fprintf(stderr, "upload: %s\n", error.c_str());
      return 2;
    }
    // Two uploads to one place would race each other for every object.
    if (!named.insert(SamePlaceKey(destination.url)).second) {
      std::fprintf(stderr, "upload: %s is named twice\n", destination.url.c_str());
      return 2;
    }
  }
  std::vector<LocalRelease> releases;
  if (!ReadReleases(options.dir, releases)) return 1;

  // With several destinations every message names the one it is about.
  const bool several = options.destinations.size() > 1;
  std::vector<std::unique_ptr<Target>> targets;
  for (const UploadDestination& destination : options.destinations) {
    targets.push_back(std::make_unique<Target>(options, destination,
                                               several ? destination.url + ": " : "", releases));
  }
  // Every destination must be able to take the release before any gets a
  // byte of it.
  std::string refused;
  for (const auto& target : targets) {
    if (!Prepare(*target, options)) {
      refused += (refused.empty() ? "" : ", ") + target->uploader.Destination().url;
    }
  }
  if (!refused.empty()) {
    if (several) {
      std::fprintf(stderr, "upload: nothing was uploaded to any destination: %s cannot take it\n",
                   refused.c_str());
    }
    return 1;
  }
  // The parts to every destination first, then the CRC info on each one
  // that holds them all: the release goes live on those at about the same
  // time, and one that failed holds no CRC info of this upload.
  for (const auto& target : targets) {
    target->complete = PutParts(
        *target, options, several ? "upload " + target->uploader.Destination().url : "upload");
  }
  uint64_t bytes = 0;
  size_t complete = 0;
  for (const auto& target : targets) {
    if (target->complete) target->complete = PutCrcInfos(*target, options);
    bytes += target->uploader.BytesDone();
    complete += target->complete ? 1 : 0;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto& target : targets) {
    if (!target->complete) {
      if (several) {
        target->uploader.Note(
            "NOT complete: its CRC info was not put (see above); upload to it again, what it "
            "holds already is skipped");
      }
      continue;
    }
    const std::string line = std::to_string(target->states.size()) + " parts (" +
                             std::to_string(target->already_there) + " already there) and " +
                             std::to_string(target->crc_infos_put) + " CRC info" +
                             (target->crc_infos_put == 1 ? "" : "s") + " put";
    target->uploader.Note(several ? "complete: " + line : line + ", " + Rate(bytes, seconds));
  }
  if (several) {
    std::fprintf(stderr, "upload: complete on %zu of %zu destinations, %s\n", complete,
                 targets.size(), Rate(bytes, seconds).c_str());
  }
  return complete == targets.size() ? 0 : 1;
}
