#include "download/partscheduler.h"

#include <algorithm>
#include <optional>

#include "download/releasemanifest.h"

namespace {

// A connection as the scheduler sees it: busy until `free_ms` from now,
// then `ms_per_byte` for each byte of a part.
struct Lane {
  double free_ms = 0;
  double ms_per_byte = 0;
};

// When the last part ends if each part, in order, goes to the lane where it
// would end first: a connection that would still be on a part after a
// faster one had ended it is left idle by the same rule when it frees. The
// first part goes to lane `first` when one is given.
double LastEnd(std::vector<Lane> lanes, const std::vector<double>& parts,
               std::optional<size_t> first = std::nullopt) {
  for (size_t i = 0; i < parts.size(); ++i) {
    const auto end = [&](const Lane& lane) { return lane.free_ms + parts[i] * lane.ms_per_byte; };
    Lane& lane =
        i == 0 && first
            ? lanes[*first]
            : *std::min_element(lanes.begin(), lanes.end(),
                                [&](const Lane& a, const Lane& b) { return end(a) < end(b); });
    lane.free_ms = end(lane);
  }
  double last = 0;
  for (const Lane& lane : lanes) last = std::max(last, lane.free_ms);
  return last;
}

}  // namespace

PartScheduler::PartScheduler(int in_flight) : in_flight(std::max(1, in_flight)) {}

void PartScheduler::Begin() {
  limit = 1;
  ramping = true;
  held = 0;
  ended_bytes = 0;
}

int PartScheduler::Allowed() const { return std::max(1, limit - held); }

bool PartScheduler::Ramp() {
  if (!ramping || limit >= in_flight) return false;
  if (ended_bytes + in_progress_bytes < kRampBytes * static_cast<uint64_t>(limit)) return false;
  ++limit;
  ramping = limit < in_flight;
  return true;
}

int PartScheduler::PushedBack(uint64_t now) {
  ramping = false;
  fallback_until = now + kFallbackMs;
  const int fewer = std::max(1, limit / 2);
  if (fewer == limit) return 0;
  limit = fewer;
  return fewer;
}

PartScheduler::Ended PartScheduler::PartEnded(uint64_t now, const std::vector<PartView>& parts,
                                              size_t ended, uint64_t received,
                                              uint64_t bytes_to_come) {
  // The host has had a while: one more connection, and another after the
  // next part if it keeps up.
  if (limit < in_flight && now >= fallback_until) ++limit;
  ended_bytes += received;
  const Ended weighed = WeighHold(now, parts, ended, bytes_to_come);
  if (weighed.held) ++held;
  return weighed;
}

PartScheduler::Ended PartScheduler::WeighHold(uint64_t now, const std::vector<PartView>& parts,
                                              size_t ended, uint64_t bytes_to_come) const {
  // A connection opened into a full line can stay far behind the others for
  // the whole run (the server's congestion control grows a small window
  // slowly on a long round trip), and a last part that lands on it trickles
  // in long after the others have ended. So near the end of the run, a
  // connection is left idle for the rest of it when the parts left would
  // all be in a good while sooner without it, at the pace each connection
  // has had.
  Ended result;
  const size_t near_the_end = 4 * static_cast<size_t>(in_flight);
  std::vector<double> waiting;
  std::vector<Lane> others;
  // Parts just started, with nothing read yet: their connections' paces are
  // not known, so they are taken at the others' mean. (A read under Wine
  // returns only once its buffer is full, so a slow connection shows
  // nothing for a while; skipping the check then would let it take a part.)
  std::vector<double> unpaced;
  double paces = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const PartView& part = parts[i];
    const double size = static_cast<double>(part.size);
    if (!part.started) {
      waiting.push_back(size);
      continue;
    }
    if (i == ended || part.done || !part.receiving) continue;
    const double received = std::min<double>(static_cast<double>(part.received), size);
    if (received <= 0 || now <= part.started_at) {
      unpaced.push_back(size);
      continue;
    }
    const double ms_per_byte = static_cast<double>(now - part.started_at) / received;
    others.push_back(Lane{(size - received) * ms_per_byte, ms_per_byte});
    paces += ms_per_byte;
  }
  if (others.empty()) return result;
  const double mean_pace = paces / static_cast<double>(others.size());
  for (double size : unpaced) others.push_back(Lane{size * mean_pace, mean_pace});
  for (uint64_t left = bytes_to_come; left > 0 && waiting.size() <= near_the_end;) {
    const uint64_t part = std::min<uint64_t>(left, kPartSize);
    waiting.push_back(static_cast<double>(part));
    left -= part;
  }
  const double ended_size = static_cast<double>(parts[ended].size);
  if (waiting.empty() || waiting.size() > near_the_end || ended_size <= 0) return result;
  const double ended_ms = static_cast<double>(now - parts[ended].started_at);
  std::vector<Lane> with_it = others;
  with_it.push_back(Lane{0, ended_ms / ended_size});
  result.without_ms = LastEnd(others, waiting);
  result.with_ms = LastEnd(with_it, waiting, with_it.size() - 1);
  result.held = result.without_ms + kWorthMs <= result.with_ms;
  return result;
}
