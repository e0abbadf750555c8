#pragma once

#include <string>

// Talks plain HTTP to the test servers' control endpoint on 127.0.0.1.
class ControlClient {
 public:
  explicit ControlClient(unsigned short port) : port_(port) {}

  // Sends one request; true when the endpoint answered 200. The answer's
  // body (JSON) goes to *answer when given.
  bool Call(const std::wstring& verb, const std::wstring& path, const std::string& body,
            std::string* answer = nullptr) const;

 private:
  unsigned short port_;
};

// The value of an environment variable, or "" when it is not set.
std::wstring EnvironmentValue(const wchar_t* name);
