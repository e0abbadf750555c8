#pragma once

#include <string>

struct UploadOptions {
  std::string dir;  // a published folder
  std::string url;  // the blob service's base address
  std::string sas;  // a write signature
  std::string ca_file;
  int jobs = 4;
};

// Puts every object of the published folder into blob storage with Put
// Blob, several at a time: the parts first, the CRC info last and only
// when every part is there. Objects already present with the same size and
// MD5 are skipped. The exit status.
int Upload(const UploadOptions& options);
