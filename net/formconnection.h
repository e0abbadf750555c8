#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "net/connection.h"

using HeaderMap = std::map<std::wstring, std::wstring>;

// A form request to a web service (the log service): opened up to the
// request, ready for the owner to send; logs each disconnection after its
// first opening. Owner module "fileupload".
class FormConnection : public Connection {
 public:
  FormConnection() = default;

  // Asks for compressed answers by extending `headers`' "Accept-Encoding"
  // entry. `verb` is set from verb_code (1 GET, 2 POST, 3 PUT, 4 DELETE).
  // False leaves everything closed.
  bool Open(const std::wstring& agent, const std::wstring& host, int32_t port, bool secure,
            int32_t verb_code, std::wstring& verb, const std::wstring& object_path,
            bool allow_cache, HeaderMap& headers);

  void Disconnect() override;

  // The count of proxy sign-ins put on the request (ProxySignIn::Apply).
  int AppliedSignIns() const { return applied_sign_ins_; }

 private:
  int applied_sign_ins_ = 0;
  bool opened_ = false;
  std::wstring object_path_;
};
