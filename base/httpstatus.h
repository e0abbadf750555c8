#pragma once

#include <cstdint>

// HTTP status codes the program acts on. 404: the release is gone from the
// host, and the user is told to get a newer one.
constexpr uint32_t kHttpNotFound = 404;
