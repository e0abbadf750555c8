#include "download/certificatetable.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint16_t kPe32 = 0x10b;
constexpr uint16_t kPe32Plus = 0x20b;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kPkcsSignedData = 0x0002;
constexpr uint32_t kEntryHeader = 8;
constexpr uint64_t kAlignment = 8;

uint32_t Little(const uint8_t* bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

bool Read16(const CertificateTable::ReadAt& read, uint64_t offset, uint32_t& value) {
  uint8_t bytes[2];
  if (!read(offset, bytes, 2)) return false;
  value = Little(bytes, 2);
  return true;
}

bool Read32(const CertificateTable::ReadAt& read, uint64_t offset, uint32_t& value) {
  uint8_t bytes[4];
  if (!read(offset, bytes, 4)) return false;
  value = Little(bytes, 4);
  return true;
}

// The length of the DER SEQUENCE at the start of `bytes` with its own
// header; 0 when it is none.
uint64_t DerLength(const uint8_t* bytes, size_t size) {
  if (size < 2 || bytes[0] != 0x30) return 0;
  if (bytes[1] < 0x80) return 2 + uint64_t{bytes[1]};
  const size_t count = bytes[1] & 0x7f;
  if (count == 0 || count > 4 || size < 2 + count) return 0;
  uint64_t length = 0;
  for (size_t i = 0; i < count; ++i) length = (length << 8) | bytes[2 + i];
  return 2 + count + length;
}

}  // namespace

std::string CertificateTable::Problem(uint64_t file_size, const ReadAt& read) {
  uint32_t pe = 0, signature = 0, optional_size = 0, magic = 0;
  if (!Read32(read, 0x3c, pe) || !Read32(read, pe, signature) || signature != 0x00004550 ||
      !Read16(read, uint64_t{pe} + 20, optional_size) || !Read16(read, uint64_t{pe} + 24, magic) ||
      (magic != kPe32 && magic != kPe32Plus)) {
    return "the file is no Windows program (no PE header)";
  }
  const uint64_t optional = uint64_t{pe} + 24;
  const uint64_t count_at = optional + (magic == kPe32 ? 92 : 108);
  const uint64_t entry_at = count_at + 4 + kSecurityDirectory * 8;
  uint32_t directories = 0, offset = 0, size = 0;
  if (!Read32(read, count_at, directories) || directories <= kSecurityDirectory ||
      entry_at + 8 > optional + optional_size || !Read32(read, entry_at, offset) ||
      !Read32(read, entry_at + 4, size) || offset == 0 || size == 0) {
    return "the file has no certificate table";
  }
  const uint64_t end = uint64_t{offset} + size;
  if (end > file_size) return "the certificate table reaches beyond the file's end";
  if (end < file_size) {
    return std::to_string(file_size - end) + " bytes follow the certificate table";
  }

  uint32_t length = 0, revision = 0, type = 0;
  if (size < kEntryHeader || !Read32(read, offset, length) || !Read16(read, offset + 4, revision) ||
      !Read16(read, offset + 6, type) || revision != kRevision2 || type != kPkcsSignedData ||
      length < kEntryHeader || length > size) {
    return "the certificate table holds no Authenticode signature";
  }
  // The signature's own length, from its DER header.
  uint8_t head[6] = {};
  const size_t head_size =
      static_cast<size_t>(std::min<uint64_t>(sizeof head, length - kEntryHeader));
  const uint64_t der =
      read(offset + kEntryHeader, head, head_size) ? DerLength(head, head_size) : 0;
  if (der == 0 || kEntryHeader + der > length) {
    return "the certificate table holds no Authenticode signature";
  }
  const uint64_t used = kEntryHeader + der;
  const uint64_t padded = (used + kAlignment - 1) / kAlignment * kAlignment;
  if (size > padded) {
    return "the certificate table holds " + std::to_string(size - used) +
           " bytes besides the signature (at most " + std::to_string(padded - used) +
           " bytes of padding are allowed)";
  }
  std::vector<uint8_t> padding(static_cast<size_t>(size - used));
  if (!padding.empty() && !read(offset + used, padding.data(), padding.size())) {
    return "the certificate table could not be read";
  }
  for (uint8_t byte : padding) {
    if (byte != 0) return "the padding after the signature in the certificate table is not zero";
  }
  return std::string();
}
