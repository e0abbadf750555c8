#pragma once

#include <string>

struct VerifyOptions {
  std::string release;
  std::string subdir;
  std::string dir;  // a published folder, or
  std::string url;  // a live host's base address
  std::string sas;  // with the signature the program is built with
  std::string ca_file;
  bool plain_http_loopback = false;  // a test host: see CheckHostUrl
};

// Checks every part the CRC info lists: present, of its size, of its CRC.
// One line per difference; the exit status.
int Verify(const VerifyOptions& options);
