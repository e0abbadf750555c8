#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <string>

// Bare WinINet requests made the way the program makes them, for tests that
// pin down what Wine's WinINet reports when a host misbehaves.

struct FetchResult {
  bool sent = false;
  DWORD send_error = 0;
  DWORD status = 0;
  std::string body;
  bool read_ok = true;
  DWORD read_error = 0;
};

// The log upload as the form upload sends it.
struct PostResult {
  bool sent = false;
  DWORD error = 0;
  DWORD status = 0;
  std::string body;
};

// A bare HTTPS GET on port 443 as the downloader makes it: certificate
// checks on, no cache, reads of 512 KiB until the body ends or fails. The
// receive timeout goes on the internet handle, or on the request handle too.
FetchResult Fetch(const std::wstring& host, const std::wstring& object,
                  DWORD receive_timeout_ms = 120000, bool timeout_on_request = false);

// A POST of `body` to the log path: a streamed body of 1024-byte writes, its
// length announced up front, and the answer read back. A non-zero timeout
// is set on the request handle.
PostResult Post(const std::wstring& host, INTERNET_PORT port, bool secure, const std::string& body,
                DWORD request_receive_timeout_ms = 0);

std::string RandomBytes(size_t size, unsigned seed);

// Compares bodies without printing megabytes when they differ.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual);

// Prints what WinINet reported, for the record the network code relies on.
void Report(const char* what, const FetchResult& r);
