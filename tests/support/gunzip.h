#pragma once

#include <string>

// Decompresses a whole gzip stream with zlib's inflate, independently of the
// program's own reading side; a damaged or cut stream fails the test.
std::string Gunzip(const std::string& gz);
