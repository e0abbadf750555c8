#include "net/hostpool.h"

#include <utility>

#include "base/error.h"

namespace {

const char kModule[] = "filedownload";

}  // namespace

HostPool::HostPool(std::vector<std::wstring> names, Clock clock)
    : names_(std::move(names)), clock_(std::move(clock)), health_(names_.size()) {}

bool HostPool::UsableLocked(size_t host, uint64_t now) const {
  return !health_[host].left_out && health_[host].rests_until <= now;
}

size_t HostPool::Pick(const std::vector<bool>& avoid) const {
  ScopedLock guard(lock_);
  const uint64_t now = clock_();
  for (size_t host = 0; host < health_.size(); ++host) {
    if (UsableLocked(host, now) && !(host < avoid.size() && avoid[host])) return host;
  }
  for (size_t host = 0; host < health_.size(); ++host) {
    if (UsableLocked(host, now)) return host;
  }
  // Every host rests: the tries go on (a part keeps its number of tries
  // whatever the hosts do), on the one that wakes first.
  size_t best = 0;
  bool found = false;
  for (size_t host = 0; host < health_.size(); ++host) {
    if (health_[host].left_out) continue;
    if (!found || health_[host].rests_until < health_[best].rests_until) best = host;
    found = true;
  }
  return best;
}

bool HostPool::Usable(size_t host) const {
  ScopedLock guard(lock_);
  return UsableLocked(host, clock_());
}

bool HostPool::OthersUsable(size_t host) const {
  ScopedLock guard(lock_);
  const uint64_t now = clock_();
  for (size_t other = 0; other < health_.size(); ++other) {
    if (other != host && UsableLocked(other, now)) return true;
  }
  return false;
}

void HostPool::Succeeded(size_t host) {
  ScopedLock guard(lock_);
  health_.at(host).failures_in_a_row = 0;
}

void HostPool::Failed(size_t host) {
  // One host has nowhere else to send its tries: it never rests.
  if (health_.size() < 2) return;
  {
    ScopedLock guard(lock_);
    Health& health = health_.at(host);
    // A try that was under way when the host began to rest changes nothing.
    const uint64_t now = clock_();
    if (health.rests_until > now) return;
    if (++health.failures_in_a_row < kFailuresToRest) return;
    // After its rest one more failure sends it back to rest.
    health.failures_in_a_row = kFailuresToRest - 1;
    health.rests_until = now + kRestMs;
  }
  Error::LogMessage(L"HostPool: " + names_[host] + L" failed " + std::to_wstring(kFailuresToRest) +
                        L" tries in a row; its tries go to the other hosts for " +
                        std::to_wstring(kRestMs / 1000) + L" s",
                    kModule, __LINE__);
}

void HostPool::LeaveOut(size_t host, const std::wstring& why) {
  {
    ScopedLock guard(lock_);
    if (std::exchange(health_.at(host).left_out, true)) return;
  }
  Error::RecordError(L"HostPool: " + names_[host] + L" is not used for this run: " + why,
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
}

bool HostPool::LeftOut(size_t host) const {
  ScopedLock guard(lock_);
  return health_.at(host).left_out;
}
