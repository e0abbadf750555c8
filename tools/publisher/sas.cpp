#include "tools/publisher/sas.h"

#include <cctype>
#include <ctime>

#include "tools/publisher/crypto.h"

const char kSasVersion[] = "2021-08-06";

namespace {

bool Digits(const std::string& text, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool CheckTimes(const SasRequest& request, std::string& start, std::string& expiry,
                std::string& error) {
  if (!NormaliseSasTime(request.expiry, expiry)) {
    error = "expiry \"" + request.expiry + "\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)";
    return false;
  }
  if (!request.start.empty() && !NormaliseSasTime(request.start, start)) {
    error = "start \"" + request.start + "\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)";
    return false;
  }
  // The fixed layout compares as text.
  char now[32];
  const std::time_t seconds = std::time(nullptr);
  std::tm utc;
  gmtime_r(&seconds, &utc);
  std::strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%SZ", &utc);
  if (expiry <= now) {
    error = "expiry " + expiry + " has passed; the signature would be refused at once";
    return false;
  }
  return true;
}

bool Sign(const SasRequest& request, const std::string& string_to_sign, std::string& signature,
          std::string& error) {
  std::string key;
  if (!Crypto::Base64Decode(request.key, key)) {
    error = "the account key is not base64";
    return false;
  }
  signature = Crypto::UrlEncode(Crypto::Base64Encode(Crypto::HmacSha256(key, string_to_sign)));
  return true;
}

}  // namespace

bool NormaliseSasTime(const std::string& text, std::string& time) {
  const bool date = text.size() >= 10 && Digits(text, 0, 4) && text[4] == '-' &&
                    Digits(text, 5, 2) && text[7] == '-' && Digits(text, 8, 2);
  if (date && text.size() == 10) {
    time = text + "T00:00:00Z";
    return true;
  }
  const bool full = date && text.size() == 20 && text[10] == 'T' && Digits(text, 11, 2) &&
                    text[13] == ':' && Digits(text, 14, 2) && text[16] == ':' &&
                    Digits(text, 17, 2) && text[19] == 'Z';
  if (full) time = text;
  return full;
}

bool MakeReadSas(const SasRequest& request, std::string& sas, std::string& error) {
  std::string start;
  std::string expiry;
  if (!CheckTimes(request, start, expiry, error)) return false;
  const std::string permissions = "r";
  // Fields of the service SAS for versions from 2020-12-06: permissions,
  // start, expiry, resource, identifier, IP, protocol, version, resource
  // kind, snapshot time, encryption scope and five response headers.
  const std::string string_to_sign = permissions + "\n" + start + "\n" + expiry + "\n" + "/blob/" +
                                     request.account + "/" + request.container + "\n\n\nhttps\n" +
                                     kSasVersion + "\nc\n\n\n\n\n\n\n";
  std::string signature;
  if (!Sign(request, string_to_sign, signature, error)) return false;
  sas = std::string("?sv=") + kSasVersion + "&spr=https" +
        (start.empty() ? "" : "&st=" + Crypto::UrlEncode(start)) +
        "&se=" + Crypto::UrlEncode(expiry) + "&sr=c&sp=" + permissions + "&sig=" + signature;
  return true;
}

bool MakeWriteSas(const SasRequest& request, std::string& sas, std::string& error) {
  std::string start;
  std::string expiry;
  if (!CheckTimes(request, start, expiry, error)) return false;
  const std::string permissions = "rwc";
  // Fields of the account SAS for versions from 2020-12-06: account,
  // permissions, services, resource types, start, expiry, IP, protocol,
  // version, encryption scope.
  const std::string string_to_sign = request.account + "\n" + permissions + "\nb\nco\n" + start +
                                     "\n" + expiry + "\n\nhttps\n" + kSasVersion + "\n\n";
  std::string signature;
  if (!Sign(request, string_to_sign, signature, error)) return false;
  sas = std::string("?sv=") + kSasVersion + "&ss=b&srt=co&spr=https" +
        (start.empty() ? "" : "&st=" + Crypto::UrlEncode(start)) +
        "&se=" + Crypto::UrlEncode(expiry) + "&sp=" + permissions + "&sig=" + signature;
  return true;
}
