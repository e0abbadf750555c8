#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The tip line below the read-out: every fifth progress update shows the
// next tip, round and round. Touched by the window's thread only.
class TipRotation {
 public:
  static constexpr uint64_t kUpdatesPerTip = 5;

  explicit TipRotation(std::vector<std::wstring> tips);

  // Counts one update; returns the tip to show now, or null when the tip
  // line stays as it is.
  const std::wstring* Advance();

  uint64_t Updates() const { return updates_; }

  // The program's five tips, naming the maker's FAQ page and user forum
  // (addresses without a scheme).
  static std::vector<std::wstring> DefaultTips(const std::wstring& faq_address,
                                               const std::wstring& forum_address);

 private:
  std::vector<std::wstring> tips_;
  size_t current_ = 0;
  uint64_t updates_ = 0;
};
