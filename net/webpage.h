#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A gateway, captive portal or content filter that answers a download with
// a page of its own (a block or sign-in page) instead of the file. Pure: it
// looks only at what it is given.
class WebPage {
 public:
  // The answer is a web page: its content type is text/html, or its body
  // begins as one (after white space and a byte-order mark).
  static bool Is(const std::string& content_type, const uint8_t* body, size_t size);
  // The first line of the page's title, trimmed and at most 200 characters;
  // empty when it has none.
  static std::string Title(const uint8_t* body, size_t size);
};
