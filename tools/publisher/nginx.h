#pragma once

#include <string>

// The maker's own web server instead of blob storage: nginx with its
// secure_link module. One signature serves the whole release folder: it
// covers the expiry, the folder every object of the release lies in, and
// the maker's secret, so the program appends the same value to every path.
struct NginxRequest {
  std::string release;
  std::string subdir;
  std::string secret;
  std::string expiry;  // as for the storage signatures
};

// "?se=<expiry, Unix seconds>&sig=<MD5, base64url>"; false with `error` on
// a bad secret or date.
bool MakeNginxSignature(const NginxRequest& request, std::string& sas, std::string& error);

struct NginxSite {
  std::string root;  // the published folder
  std::string server_name;
  std::string listen;  // "443" or "address:443"
  std::string certificate;
  std::string key;
  std::string secret;
};

// A server block serving the published folder over HTTPS: each object only
// with a valid, unexpired signature (403 otherwise), never compressed.
bool MakeNginxServerBlock(const NginxSite& site, std::string& block, std::string& error);
