#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The certificate table of a signed Windows program (its Authenticode
// signature, at the file's end), as a pinned signer's setup must have it:
// one signature and at most the zero bytes that pad it to 8, with nothing
// after the table. The signature's digest leaves the table out, so bytes
// added inside or after it would pass the signature check unseen. Shared by
// the program and the publisher; pure: it reads only through `read`.
class CertificateTable {
 public:
  // Reads `size` bytes at `offset` into `out`; false when it cannot.
  using ReadAt = std::function<bool(uint64_t offset, void* out, size_t size)>;

  // Empty when the table is as above; otherwise what is wrong, for the log.
  static std::string Problem(uint64_t file_size, const ReadAt& read);
};
