#pragma once

#include <string>
#include <vector>

// One blob service the release goes to.
struct UploadDestination {
  std::string url;  // the blob service's base address
  std::string sas;  // a write signature of the container
};

struct UploadOptions {
  std::string dir;  // a published folder
  std::vector<UploadDestination> destinations;
  std::string ca_file;
  int jobs = 4;
  bool replace = false;              // a live release of the same name may be replaced
  bool plain_http_loopback = false;  // a test host: see CheckHostUrl
};

// Puts the releases of the published folder into blob storage with Put
// Blob, several objects at a time. A release whose CRC info is live there
// is never changed under its users: a part object is not overwritten with
// bytes other than those the live CRC info names unless `replace`, which
// takes that CRC info down first. The CRC info goes up last, and only when
// every part it names is on the host with its size and MD5. Objects already
// there with the same size and MD5 are skipped.
// With several destinations nothing goes anywhere unless every one may take
// the release; then the parts go to each, and the CRC info to each that
// holds them all, and the last lines say which destinations are complete.
// The exit status.
int Upload(const UploadOptions& options);
