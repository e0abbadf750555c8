#pragma once

#include <array>
#include <string>
#include <vector>

// The maker's signature on a downloaded setup. It holds when the file's
// Authenticode signature is intact, the signer's chain reaches a root the
// system trusts without a single error, and one of the pinned certificates
// (SHA-256 of the encoded certificate: the signer's own or any above it) is
// in that chain. With no pins nothing is checked.
class SetupSignature {
 public:
  using Thumbprint = std::array<unsigned char, 32>;

  struct Result {
    bool passed = false;
    // The check that failed and what the system said; empty when passed.
    std::wstring failure;
    // The signing certificate found, if any: its subject and SHA-256.
    std::wstring signer_subject;
    std::wstring signer_thumbprint;
  };

  // Thumbprints as 64 hexadecimal digits each, separated by blanks; whatever
  // else the text holds is ignored (the build has checked it).
  explicit SetupSignature(const std::wstring& pins);

  bool Enabled() const { return !pins.empty(); }
  Result Check(const std::wstring& path) const;

 private:
  std::vector<Thumbprint> pins;
};
