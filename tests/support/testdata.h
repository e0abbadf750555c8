#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reproducible bytes that differ at every position, for objects and files.
std::string Pattern(size_t size, uint32_t seed);
