#pragma once

#include <string>

// What must never be stored, by one rule for every stored field (the
// records' texts, the release and version headers): the account name in a
// profile path ("C:/Users/<name>/...", "\Users\<name>", "Documents and
// Settings\<name>"; any case, either slash, with or without a drive)
// becomes kUserPlaceholder, and an access signature (a signed query, or
// "sig=..." on its own) kSignaturePlaceholder; URL-encoded forms ("%5C",
// "%3D") count as what they encode.
inline constexpr char kUserPlaceholder[] = "<user>";
inline constexpr char kSignaturePlaceholder[] = "<signature removed>";

std::string ScrubPrivate(const std::string& text);
