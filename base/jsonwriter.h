#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Writes a JSON value as text in the compact layout the log service reads:
// ", " between members and items, ": " after keys, keys in byte order.
// Strings are narrow ANSI bytes and pass through unchanged; only quotes,
// backslashes and control characters are escaped (and the UTF-8 forms of
// U+2028 and U+2029, as that layout always did).
std::string WriteJson(const nlohmann::json& value);
