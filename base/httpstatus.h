#pragma once

#include <cstdint>

// HTTP status codes the program acts on, for the network code and the
// download alike. 200: the object follows. 404: the release is gone from the
// host, and the user is told to get a newer one.
constexpr uint32_t kHttpOk = 200;
constexpr uint32_t kHttpMovedPermanently = 301;
constexpr uint32_t kHttpFound = 302;
constexpr uint32_t kHttpSeeOther = 303;
constexpr uint32_t kHttpTemporaryRedirect = 307;
constexpr uint32_t kHttpPermanentRedirect = 308;
constexpr uint32_t kHttpForbidden = 403;
constexpr uint32_t kHttpNotFound = 404;
constexpr uint32_t kHttpServiceUnavailable = 503;
constexpr uint32_t kHttpProxyAuthenticationRequired = 407;
