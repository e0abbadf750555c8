#include "tools/logservice/privacy.h"

#include <algorithm>
#include <cctype>

namespace {

// One character as a reader of the text sees it: in a URL-encoded path
// "%5C" is a backslash and "%3D" an equals sign, so an encoded profile path
// or signature is scrubbed like a plain one.
struct Char {
  char c = '\0';
  size_t width = 0;  // bytes of the text it takes; 0 past the end
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

Char At(const std::string& text, size_t i) {
  if (i >= text.size()) return {};
  if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
      HexValue(text[i + 2]) >= 0) {
    return {static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])), 3};
  }
  return {text[i], 1};
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
bool IsSlash(char c) { return c == '/' || c == '\\'; }
// Where a value inside a longer text (a quoted path, a line) ends.
bool EndsValue(char c) { return c == '"' || c == '\'' || c == '\r' || c == '\n' || c == '\t'; }

// Whether the text at `at` reads `word` (lower case, any case in the text,
// each character possibly encoded); `end` is where it stops.
bool Reads(const std::string& text, size_t at, const char* word, size_t& end) {
  for (size_t k = 0; word[k] != '\0'; ++k) {
    const Char ch = At(text, at);
    if (ch.width == 0 || Lower(ch.c) != word[k]) return false;
    at += ch.width;
  }
  end = at;
  return true;
}

// The end of a signature's value from `at`: the next blank or quote, and
// for "sig=" alone the next "&" as well.
size_t SignatureEnd(const std::string& text, size_t at, bool query) {
  for (Char ch = At(text, at); ch.width != 0; ch = At(text, at)) {
    if (ch.c == ' ' || EndsValue(ch.c) || (!query && ch.c == '&')) break;
    at += ch.width;
  }
  return at;
}

// The account name after a profile folder ("users", "documents and
// settings") and its slashes: up to the next slash; a path that ends at the
// name, up to the end of the value, blanks and all, since a name may hold
// blanks ("Bob Smith") and what follows cannot be told from it.
size_t NameEnd(const std::string& text, size_t at) {
  for (Char ch = At(text, at); ch.width != 0; ch = At(text, at)) {
    if (IsSlash(ch.c) || EndsValue(ch.c)) break;
    at += ch.width;
  }
  return at;
}

}  // namespace

std::string ScrubPrivate(const std::string& text) {
  static const char* const kProfileFolders[] = {"users", "documents and settings"};
  std::string out;
  out.reserve(text.size());
  char before = ' ';  // the last character read, as read
  for (size_t i = 0; i < text.size();) {
    size_t end = 0;
    const bool query = Reads(text, i, "?sv=", end) || Reads(text, i, "?se=", end);
    if (query || Reads(text, i, "sig=", end)) {
      out += kSignaturePlaceholder;
      i = SignatureEnd(text, end, query);
      before = '=';
      continue;
    }
    // A profile folder that starts a word ("C:\Users", "\Users", "/users",
    // "C:Users") and is followed by a slash: the next segment is a name.
    bool scrubbed = false;
    for (const char* folder : kProfileFolders) {
      if (std::isalnum(static_cast<unsigned char>(before)) || !Reads(text, i, folder, end) ||
          !IsSlash(At(text, end).c)) {
        continue;
      }
      size_t name = end;
      while (At(text, name).width != 0 && IsSlash(At(text, name).c)) name += At(text, name).width;
      const size_t name_end = NameEnd(text, name);
      if (name_end == name) break;
      out.append(text, i, name - i);
      out += kUserPlaceholder;
      i = name_end;
      before = '>';
      scrubbed = true;
      break;
    }
    if (scrubbed) continue;
    const Char ch = At(text, i);
    out.append(text, i, ch.width);
    before = ch.c;
    i += ch.width;
  }
  // A NUL (JSON's \u0000) is no text either database keeps.
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  return out;
}
