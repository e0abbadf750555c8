#pragma once

#include <string>
#include <vector>

// A live host: its base address, with the signature the program is built
// with for it.
struct VerifyHost {
  std::string url;
  std::string sas;
};

struct VerifyOptions {
  std::string release;
  std::string subdir;
  std::string dir;  // a published folder; with hosts, their reference
  std::vector<VerifyHost> hosts;
  std::string ca_file;
  bool plain_http_loopback = false;  // a test host: see CheckHostUrl
};

// Checks every part the CRC info lists: present, of its size, of its CRC.
// One line per difference; the exit status. One host alone is checked
// against its own CRC info; with the published folder, or several hosts,
// each host is checked against the folder's CRC info and named in every
// line about it.
int Verify(const VerifyOptions& options);
