#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/criticalsection.h"

// The download hosts of one release, in the maker's order, and how each has
// fared in this run. Every try of a part asks for its host here and says how
// the try went: a host that fails two tries in a row rests for kRestMs, and
// the tries go to the next host meanwhile; a host whose CRC info disagrees
// is left out for the rest of the run. With a single host nothing of this
// applies: every try goes to it, as ever. Shared by the workers' threads;
// nothing under its lock touches the disk, the network or the log.
class HostPool {
 public:
  static constexpr int kFailuresToRest = 2;
  static constexpr uint64_t kRestMs = 60000;

  explicit HostPool(std::vector<std::wstring> names, Clock clock = SystemClock());

  size_t Count() const { return names_.size(); }
  const std::wstring& Name(size_t host) const { return names_.at(host); }

  // The host for a try: the first in order that is neither resting nor left
  // out and not in `avoid` (indexed by host; may be shorter), else the first
  // that is neither resting nor left out, else, when all that are not left
  // out rest, the one whose rest ends first. Never a host left out, unless
  // every host is.
  size_t Pick(const std::vector<bool>& avoid = {}) const;
  // Whether a try on `host` now would go against its rest or its leaving
  // out.
  bool Usable(size_t host) const;
  // Another host than `host` would take a try now.
  bool OthersUsable(size_t host) const;

  // How a try on `host` went. Failed: for a reason of the host (no
  // connection, TLS refused, a status other than 200, a wrong body, a
  // stall). Logs when the host starts to rest.
  void Succeeded(size_t host);
  void Failed(size_t host);
  // For the rest of the run; logs it with `why`.
  void LeaveOut(size_t host, const std::wstring& why);
  bool LeftOut(size_t host) const;

 private:
  struct Health {
    int failures_in_a_row = 0;
    uint64_t rests_until = 0;
    bool left_out = false;
  };
  bool UsableLocked(size_t host, uint64_t now) const;

  const std::vector<std::wstring> names_;
  const Clock clock_;
  mutable CriticalSection lock_;
  std::vector<Health> health_;
};
