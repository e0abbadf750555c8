#pragma once

#include <string>

// What a download may do with a redirect: the access signature travels in
// every request, so a redirect is followed only when it stays on HTTPS at
// the same host and port. Anything else ends the attempt.
class Redirect {
 public:
  // 301, 302, 303, 307 and 308.
  static bool IsRedirectStatus(unsigned status);

  // The object (path and query) that `location` names when it stays on
  // https://host (port 443) or is a path on the current host; false for
  // another scheme, host, port, user information or anything unparsable.
  // `current_object` (the request's path and query) resolves a relative
  // path.
  static bool SameHostTarget(const std::wstring& location, const std::wstring& host,
                             const std::wstring& current_object, std::wstring& object);

  // `text` with every query cut off (from "?" to the end of its line), for
  // the log: a redirect target may carry the signature.
  static std::wstring WithoutQueries(const std::wstring& text);
};
