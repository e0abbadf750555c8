#include "tools/publisher/sas.h"

#include <cctype>
#include <ctime>

#include "tools/publisher/crypto.h"

const char kSasVersion[] = "2021-08-06";

namespace {

bool Digits(const std::string& text, size_t from, size_t count, int& value) {
  value = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::string TimeText(std::time_t seconds) {
  char text[32];
  std::tm utc;
  gmtime_r(&seconds, &utc);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The start (empty when not given) and expiry, normalised and checked: real
// dates, the start before the expiry, the expiry ahead and, for a write
// signature, near: `max_seconds` from now at most (0: no limit).
bool CheckTimes(const SasRequest& request, long long max_seconds, std::string& start,
                std::string& expiry, std::string& error) {
  const long long now = static_cast<long long>(std::time(nullptr));
  if (!NormaliseSasTime(request.expiry, expiry)) {
    error = "expiry \"" + request.expiry +
            "\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, a day that exists)";
    return false;
  }
  if (!request.start.empty() && !NormaliseSasTime(request.start, start)) {
    error = "start \"" + request.start +
            "\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ, a day that exists)";
    return false;
  }
  if (SasTimeSeconds(expiry) <= now) {
    error = "expiry " + expiry + " has passed; the signature would be refused at once";
    return false;
  }
  if (!start.empty() && SasTimeSeconds(start) >= SasTimeSeconds(expiry)) {
    error = "start " + start + " is not before expiry " + expiry +
            "; the signature would never be valid";
    return false;
  }
  if (max_seconds > 0 && SasTimeSeconds(expiry) > now + max_seconds) {
    error = "expiry " + expiry + " is more than " + std::to_string(kWriteSasMaxDays) +
            " days away; a write signature is only for the upload at hand (leave --expiry out "
            "for " +
            std::to_string(kWriteSasDefaultHours) + " hours)";
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

// A service signature of one container with these permissions.
bool ContainerSas(const SasRequest& request, const std::string& permissions,
                  const std::string& start, const std::string& expiry, std::string& sas,
                  std::string& error) {
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

}  // namespace

bool NormaliseSasTime(const std::string& text, std::string& time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  const bool date = text.size() >= 10 && Digits(text, 0, 4, year) && text[4] == '-' &&
                    Digits(text, 5, 2, month) && text[7] == '-' && Digits(text, 8, 2, day) &&
                    year >= 1970 && month >= 1 && month <= 12 && day >= 1 &&
                    day <= DaysInMonth(year, month);
  if (date && text.size() == 10) {
    time = text + "T00:00:00Z";
    return true;
  }
  const bool full = date && text.size() == 20 && text[10] == 'T' && Digits(text, 11, 2, hour) &&
                    text[13] == ':' && Digits(text, 14, 2, minute) && text[16] == ':' &&
                    Digits(text, 17, 2, second) && text[19] == 'Z' && hour < 24 && minute < 60 &&
                    second < 60;
  if (full) time = text;
  return full;
}

long long SasTimeSeconds(const std::string& time) {
  std::tm utc{};
  utc.tm_year = std::stoi(time.substr(0, 4)) - 1900;
  utc.tm_mon = std::stoi(time.substr(5, 2)) - 1;
  utc.tm_mday = std::stoi(time.substr(8, 2));
  utc.tm_hour = std::stoi(time.substr(11, 2));
  utc.tm_min = std::stoi(time.substr(14, 2));
  utc.tm_sec = std::stoi(time.substr(17, 2));
  return static_cast<long long>(::timegm(&utc));
}

bool MakeReadSas(const SasRequest& request, std::string& sas, std::string& error) {
  std::string start;
  std::string expiry;
  if (!CheckTimes(request, 0, start, expiry, error)) return false;
  return ContainerSas(request, "r", start, expiry, sas, error);
}

bool MakeWriteSas(const SasRequest& request, std::string& sas, std::string& error) {
  SasRequest write = request;
  if (write.expiry.empty()) {
    write.expiry = TimeText(std::time(nullptr) + kWriteSasDefaultHours * 3600);
  }
  std::string start;
  std::string expiry;
  if (!CheckTimes(write, kWriteSasMaxDays * 24 * 3600, start, expiry, error)) return false;
  // The service wants the permissions in this order. List lets an upload
  // find the other releases live in the container, whose parts it must
  // never overwrite.
  return ContainerSas(write, "rcwdl", start, expiry, sas, error);
}

bool MakeContainerCreateSas(const SasRequest& request, std::string& sas, std::string& error) {
  const std::string expiry = TimeText(std::time(nullptr) + 15 * 60);
  // Fields of the account SAS for versions from 2020-12-06: account,
  // permissions, services, resource types, start, expiry, IP, protocol,
  // version, encryption scope.
  const std::string string_to_sign =
      request.account + "\nc\nb\nc\n\n" + expiry + "\n\nhttps\n" + kSasVersion + "\n\n";
  std::string signature;
  if (!Sign(request, string_to_sign, signature, error)) return false;
  sas = std::string("?sv=") + kSasVersion +
        "&ss=b&srt=c&spr=https&se=" + Crypto::UrlEncode(expiry) + "&sp=c&sig=" + signature;
  return true;
}
