#pragma once

#include <string>

// Shared access signatures of the blob storage service, signed with the
// account key (HMAC-SHA256 over the service's string-to-sign).
struct SasRequest {
  std::string account;
  std::string key;  // base64, as the service shows it
  std::string container;
  std::string start;   // optional, as the expiry
  std::string expiry;  // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ"
};

// The signed version of every signature made here; the emulator of the
// tests and the cloud service both take it.
extern const char kSasVersion[];

// Each returns the query, "?" first, ready to append to an object path; false
// with `error` on a bad key or date.
// Read-only, for one container: what the program is built with.
bool MakeReadSas(const SasRequest& request, std::string& sas, std::string& error);
// Read, create and write of blobs and containers in the account's blob
// service: what the upload needs, since only an account signature may
// create a container.
bool MakeWriteSas(const SasRequest& request, std::string& sas, std::string& error);

// "YYYY-MM-DD" becomes midnight UTC; a full time stays. False on anything
// else.
bool NormaliseSasTime(const std::string& text, std::string& time);
