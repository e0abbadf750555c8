#pragma once

#include <string>

// Shared access signatures of the blob storage service, signed with the
// account key (HMAC-SHA256 over the service's string-to-sign).
struct SasRequest {
  std::string account;
  std::string key;  // base64, as the service shows it
  std::string container;
  std::string start;   // optional, as the expiry
  std::string expiry;  // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ"; a write signature's is optional
};

// The signed version of every signature made here; the emulator of the
// tests and the cloud service both take it.
extern const char kSasVersion[];

// A write signature lives this long unless its expiry is given, and never
// longer than the limit: it is only for the upload at hand.
inline constexpr long kWriteSasDefaultHours = 8;
inline constexpr long kWriteSasMaxDays = 7;

// Each returns the query, "?" first, ready to append to an object path; false
// with `error` on a bad key or date.
// Read-only, for one container: what the program is built with.
bool MakeReadSas(const SasRequest& request, std::string& sas, std::string& error);
// Read, create, write and delete of the blobs of one container: what the
// upload needs (delete: `upload --replace` takes a live CRC info down).
bool MakeWriteSas(const SasRequest& request, std::string& sas, std::string& error);
// Only the creation of containers, for `publisher container`; lives minutes.
bool MakeContainerCreateSas(const SasRequest& request, std::string& sas, std::string& error);

// "YYYY-MM-DD" becomes midnight UTC; a full time stays. False on anything
// else, and on a date or time that does not exist (2030-02-31, 24:00:00).
bool NormaliseSasTime(const std::string& text, std::string& time);
// Seconds since 1970 of a time NormaliseSasTime gave.
long long SasTimeSeconds(const std::string& time);
