#pragma once

#include <string>
#include <vector>

// The publisher's side of the program's check of the setup's signature,
// by the same rules, so that a maker learns of a setup the program would
// refuse before any user does: osslsigncode's verification (the file's
// digest, the signature, the chain to a trusted root at the signing time,
// or at a timestamp's), then the chain, built with OpenSSL, must hold one
// of the pinned certificates (SHA-256 of the encoded certificate).
class SignatureCheck {
 public:
  // Thumbprints as the build takes them (64 hexadecimal digits each,
  // colons allowed, separated by commas, semicolons or blanks). False, with
  // `error`, on anything else.
  bool SetPins(const std::string& text, std::string& error);
  // A PEM file of the roots Windows will trust (the system's by default).
  void SetTrustedRoots(const std::string& file) { roots = file; }

  bool Enabled() const { return !pins.empty(); }
  // False, with `problem`, when the program would refuse `path`.
  bool Check(const std::string& path, std::string& problem) const;

 private:
  std::vector<std::string> pins;
  std::string roots = "/etc/ssl/certs/ca-certificates.crt";
};
