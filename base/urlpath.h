#pragma once

#include <string>

// A request path with every byte that is not safe in a URL path
// percent-encoded, segment by segment: the "/" separators and the
// characters a path segment may carry stay as they are, so an ordinary name
// reaches the host unchanged, while "#", "%", "?", blanks and the like no
// longer cut or change the path. The program and the publisher build their
// requests with it, so both name an object alike.
std::string EscapePathSegments(const std::string& utf8_path);
// The same for a wide path, taken as UTF-8.
std::wstring EscapePathSegments(const std::wstring& path);
