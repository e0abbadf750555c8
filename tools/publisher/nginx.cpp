#include "tools/publisher/nginx.h"

#include <cctype>
#include <ctime>

#include "tools/publisher/crypto.h"
#include "tools/publisher/releaseplan.h"
#include "tools/publisher/sas.h"

namespace {

// Kept to characters that need no quoting in the configuration or a URL.
bool CheckSecret(const std::string& secret, std::string& error) {
  if (secret.size() < 16) {
    error = "the secret needs at least 16 characters";
    return false;
  }
  for (const char c : secret) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
      error = "the secret may hold only letters, digits, '-' and '_'";
      return false;
    }
  }
  return true;
}

// What nginx's secure_link_md5 hashes, as the server block below spells
// it: the expiry, the release folder ("/<folder>", or empty for the old
// layout at the root), a blank and the secret.
std::string SignedText(const std::string& expiry, const std::string& folder,
                       const std::string& secret) {
  return expiry + (folder.empty() ? "" : "/" + folder) + " " + secret;
}

}  // namespace

bool MakeNginxSignature(const NginxRequest& request, std::string& sas, std::string& error) {
  if (!CheckSecret(request.secret, error)) return false;
  std::string expiry;
  if (!NormaliseSasTime(request.expiry, expiry)) {
    error = "expiry \"" + request.expiry +
            "\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, a day that exists)";
    return false;
  }
  const long long seconds = SasTimeSeconds(expiry);
  if (seconds <= static_cast<long long>(std::time(nullptr))) {
    error = "expiry " + expiry + " has passed; the signature would be refused at once";
    return false;
  }
  const HostLayout layout(request.release, request.subdir);
  // The signature covers the folder: without it, it would match no object.
  if (!layout.OldLayout() && request.subdir.empty()) {
    error = "the release's host folder (--subdir) is needed; only a \"2_5\" release has none";
    return false;
  }
  const std::string text = SignedText(std::to_string(seconds), layout.Folder(), request.secret);
  const std::string digest = Crypto::Md5(text.data(), text.size());
  std::string sig = Crypto::Base64Encode(digest);
  for (char& c : sig) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!sig.empty() && sig.back() == '=') sig.pop_back();
  sas = "?se=" + std::to_string(seconds) + "&sig=" + sig;
  return true;
}

bool MakeNginxServerBlock(const NginxSite& site, std::string& block, std::string& error) {
  if (!CheckSecret(site.secret, error)) return false;
  // Paths are quoted (a blank is fine); what a quoted nginx string would
  // still read otherwise (variables, escapes, the quote) is refused.
  for (const std::string* value : {&site.root, &site.certificate, &site.key}) {
    if (value->empty() || value->find_first_of("\t\r\n;{}\"'$#\\") != std::string::npos) {
      error = "\"" + *value + "\" has a character the configuration cannot hold";
      return false;
    }
  }
  for (const std::string* value : {&site.server_name, &site.listen}) {
    if (value->empty() || value->find_first_of(" \t\r\n;{}\"'$#\\") != std::string::npos) {
      error = "\"" + *value + "\" has a character the configuration cannot hold";
      return false;
    }
  }
  block = "# The published release folder " + site.root +
          " for the Veltra download manager.\n"
          "# Made by `publisher nginx-conf`; the program is built with the value of\n"
          "# `publisher nginx-sig` as its access signature.\n"
          "server {\n"
          "    listen " +
          site.listen +
          " ssl;\n"
          "    server_name " +
          site.server_name +
          ";\n"
          "    ssl_certificate \"" +
          site.certificate +
          "\";\n"
          "    ssl_certificate_key \"" +
          site.key +
          "\";\n"
          "    root \"" +
          site.root +
          "\";\n"
          "    # The program checks the bytes as they are: no compression.\n"
          "    gzip off;\n"
          "    autoindex off;\n"
          "    default_type application/octet-stream;\n"
          "    # One signature per release folder: it covers the expiry, the folder\n"
          "    # the object lies in and the secret.\n"
          "    location ~ \"^(?<release_folder>.*)/[^/]+$\" {\n"
          "        secure_link $arg_sig,$arg_se;\n"
          "        secure_link_md5 \"$secure_link_expires$release_folder " +
          site.secret +
          "\";\n"
          "        # Empty: a wrong signature; \"0\": expired.\n"
          "        if ($secure_link != \"1\") {\n"
          "            return 403;\n"
          "        }\n"
          "        try_files $uri =404;\n"
          "    }\n"
          "    location / {\n"
          "        return 403;\n"
          "    }\n"
          "}\n";
  return true;
}
