#pragma once

#include <cstddef>
#include <cstdint>

// The reflected CRC-32 of CRC, sixteen bytes at a time with carry-less
// multiplication (PCLMULQDQ), on processors that have it.
namespace CrcFold {

// The least length that Update takes.
constexpr size_t kMinLength = 64;

// Whether this processor has PCLMULQDQ and SSE4.1; asked once through cpuid.
bool Available();

// Carries `state` (the running register, not yet inverted at the end) over
// the first length & ~15 bytes of `data` and returns the new state; the
// caller takes the remaining length % 16 bytes. Needs Available() and
// length >= kMinLength.
uint32_t Update(uint32_t state, const void* data, size_t length);

}  // namespace CrcFold
