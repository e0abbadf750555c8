#pragma once

#include <cstdint>
#include <random>
#include <string>

// Seeded mutations of a valid CRC info, as a broken or hostile host might
// serve it: cut, duplicated or flipped bytes, oversized numbers, names that
// try to leave the folders, binary garbage, an HTML page. The same seed
// gives the same text.
class CrcInfoMutator {
 public:
  explicit CrcInfoMutator(uint32_t seed) : random_(seed) {}
  // One to three mutations of `valid`; `kind` names what was done.
  std::string Mutate(const std::string& valid, std::string* kind = nullptr);

  // The seed of a run: VELTRA_FUZZ_SEED if set, else from the clock.
  static uint32_t RunSeed();

 private:
  size_t Below(size_t bound) { return bound == 0 ? 0 : random_() % bound; }
  // A random whole line of `text` (without its CR LF): [start, end).
  bool PickLine(const std::string& text, size_t& start, size_t& end);
  std::string MutateOnce(const std::string& text, std::string& kind);

  std::mt19937 random_;
};
