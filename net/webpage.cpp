#include "net/webpage.h"

#include <algorithm>
#include <cctype>

namespace {

// A page's title is near its start; no more is looked at.
constexpr size_t kLookedAt = 64 * 1024;
constexpr size_t kLongestTitle = 200;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Start(const uint8_t* body, size_t size) {
  return Lower(std::string(reinterpret_cast<const char*>(body), std::min(size, kLookedAt)));
}

}  // namespace

bool WebPage::Is(const std::string& content_type, const uint8_t* body, size_t size) {
  const std::string type = Lower(content_type);
  if (type.compare(0, 9, "text/html") == 0) return true;
  std::string text = Start(body, std::min<size_t>(size, 512));
  if (text.compare(0, 3, "\xef\xbb\xbf") == 0) text.erase(0, 3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  text.erase(0, first);
  for (const char* opening : {"<!doctype html", "<html", "<head", "<body", "<title"}) {
    const std::string tag = opening;
    if (text.compare(0, tag.size(), tag) == 0 &&
        (text.size() == tag.size() || text[tag.size()] == '>' || IsSpace(text[tag.size()]))) {
      return true;
    }
  }
  return false;
}

std::string WebPage::Title(const uint8_t* body, size_t size) {
  const std::string text = Start(body, size);
  const size_t open = text.find("<title");
  if (open == std::string::npos) return std::string();
  const size_t begin = text.find('>', open);
  if (begin == std::string::npos) return std::string();
  const size_t close = text.find("</title", begin);
  // The original bytes, not the lower-case copy.
  std::string title(reinterpret_cast<const char*>(body) + begin + 1,
                    (close == std::string::npos ? text.size() : close) - begin - 1);
  const size_t first = title.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  title.erase(0, first);
  title = title.substr(0, title.find_first_of("\r\n"));
  while (!title.empty() && IsSpace(title.back())) title.pop_back();
  // Printable text only: the log is JSON in the system's code page.
  for (char& c : title) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  }
  return title.substr(0, kLongestTitle);
}
