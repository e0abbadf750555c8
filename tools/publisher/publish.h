#pragma once

#include <string>
#include <vector>

struct PublishOptions {
  std::string release;
  std::string subdir;
  std::string out;
  std::string from;
  std::vector<std::string> files;
  bool no_setup = false;
  // Thumbprints the program is built with (VELTRA_SETUP_SIGNERS): the setup
  // must carry a signature the program accepts. Empty: not checked.
  std::string setup_signers;
  // Roots the check trusts (PEM); empty: the system's.
  std::string trusted_roots;
};

// Writes the release's part objects and, last, its CRC info into the
// output folder, laid out as the host must hold them. Refuses, writing
// nothing, whatever the program would not take. The exit status.
int Publish(const PublishOptions& options);
