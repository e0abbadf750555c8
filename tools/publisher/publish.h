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
  bool replace = false;  // a live release in `out` may be replaced
  // Thumbprints the program is built with (VELTRA_SETUP_SIGNERS): the setup
  // must carry a signature the program accepts. Empty: not checked.
  std::string setup_signers;
  // Roots the check trusts (PEM); empty: the system's.
  std::string trusted_roots;
};

// Writes the release's part objects and its CRC info into the output
// folder, laid out as the host must hold them: made whole in a folder of
// its own, then switched into place at once. Refuses, writing nothing,
// whatever the program would not take, and a release already there unless
// `replace`. The exit status.
int Publish(const PublishOptions& options);
