#pragma once

#include <string>

// What must never be stored: the account name inside profile paths
// ("C:/Users/<name>/...", any case, either slash) becomes kUserPlaceholder,
// and access signatures (a signed query, or "sig=..." on its own) become
// kSignaturePlaceholder.
inline constexpr char kUserPlaceholder[] = "<user>";
inline constexpr char kSignaturePlaceholder[] = "<signature removed>";

std::string ScrubPrivate(const std::string& text);
