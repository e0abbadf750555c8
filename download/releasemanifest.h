#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The release's file list, parsed once from its CRC info. Pure code, also
// built natively for the publisher, so both read a record the same way.

constexpr uint32_t kPartSize = 10000000;

// One file of the release.
struct ManifestFile {
  // The record's first line: the file's name on the host.
  std::wstring host_name;
  // Its name beside the program; set when the record is taken into the
  // run (CrcInfoSource), empty before.
  std::wstring local_name;
  // Base detected as C does: "0x10" is 16, "010" is 8; read up to the first
  // character that is not part of the number, clamped to 32 bits.
  uint32_t size = 0;
  // The CRC-32 of every 10,000,000-byte part, one line each, taken as a
  // signed decimal and clamped to the 32-bit range; compared with the
  // CRC-32 taken as a signed value.
  std::vector<int32_t> part_crcs;
};
using ReleaseManifest = std::vector<ManifestFile>;

// Records are the pieces after each ";", cut into lines at CR LF; trailing
// empty lines are dropped. A piece with fewer than two lines (no name and
// size) is no record and is skipped.
ReleaseManifest ParseCrcInfo(const char* data, size_t size);
