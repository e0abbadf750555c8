#include "tools/logservice/privacy.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsSlash(char c) { return c == '/' || c == '\\'; }

bool MatchesAt(const std::string& text, size_t at, const char* word) {
  for (size_t i = 0; word[i] != '\0'; ++i) {
    if (at + i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) {
      return false;
    }
  }
  return true;
}

bool EndsValue(char c) { return c == '"' || c == '\'' || c == '\r' || c == '\n' || c == '\t'; }

// A signed query ("?sv=...", "?se=...&sig=...") or a "sig=" value runs to
// the next blank or quote; "sig=" alone to the next "&" as well.
std::string BlankSignatures(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const bool query = MatchesAt(text, i, "?sv=") || MatchesAt(text, i, "?se=");
    const bool sig = MatchesAt(text, i, "sig=");
    if (!query && !sig) {
      out += text[i++];
      continue;
    }
    size_t end = i + 4;
    while (end < text.size() && text[end] != ' ' && !EndsValue(text[end]) &&
           (query || text[end] != '&')) {
      ++end;
    }
    out += kSignaturePlaceholder;
    i = end;
  }
  return out;
}

// "<drive>:" then slashes, a "users" folder, slashes, then the name: up to
// the next slash, or (a path that ends at the name) the next blank.
std::string BlankUserNames(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const bool drive = i + 1 < text.size() && std::isalpha(static_cast<unsigned char>(text[i])) &&
                       text[i + 1] == ':';
    if (!drive) {
      out += text[i++];
      continue;
    }
    size_t j = i + 2;
    while (j < text.size() && IsSlash(text[j])) ++j;
    if (j == i + 2 || !MatchesAt(text, j, "users") || j + 5 >= text.size() ||
        !IsSlash(text[j + 5])) {
      out += text[i++];
      continue;
    }
    size_t name = j + 5;
    while (name < text.size() && IsSlash(text[name])) ++name;
    size_t end = name;
    while (end < text.size() && !IsSlash(text[end]) && !EndsValue(text[end])) ++end;
    if (end == text.size() || !IsSlash(text[end])) {
      end = name;
      while (end < text.size() && text[end] != ' ' && !EndsValue(text[end])) ++end;
    }
    out.append(text, i, name - i);
    if (end > name) out += kUserPlaceholder;
    i = end;
  }
  return out;
}

}  // namespace

std::string ScrubPrivate(const std::string& text) {
  std::string out = BlankUserNames(BlankSignatures(text));
  // A NUL (JSON's \u0000) is no text either database keeps.
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  return out;
}
