#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/publisher/http.h"
#include "tools/publisher/releaseplan.h"

// A release as one CRC info describes it: the CRC info's path (relative to
// the published folder, or to the blob service: the container first) and
// every part object it names.
struct DescribedRelease {
  std::string name;
  std::string crc_info_path;
  std::string crc_info;  // its bytes
  std::vector<PartObject> parts;
};

// Whether `text`, found at `path`, is a CRC info as publish writes it: a
// ".txt" whose first line is its own name without ".txt", naming at least
// one file.
bool DescribeRelease(const std::string& path, const std::string& text, DescribedRelease& release);

// Sends one GET; what Upload's retries wrap.
using FetchFunction =
    std::function<void(const std::string& url, size_t max_body, HttpClient::Response& response)>;

// Every release whose CRC info blob storage holds in `container` now (List
// Blobs, which the signature must allow, then each ".txt" read), at `base`
// with the signature `sas`. False, with `error`, when the host does not say.
bool ReadLiveReleases(const FetchFunction& fetch, const std::string& base, const std::string& sas,
                      const std::string& container, size_t max_crc_info,
                      std::vector<DescribedRelease>& releases, std::string& error);
