#include "base/crcfold.h"

#include <cpuid.h>
#include <immintrin.h>

namespace {

// Output of scripts/crc_fold_constants.py: x^n mod P(x), and floor(x^64 /
// P(x)) for the Barrett step, bit-reflected over 33 bits. The 512 pair moves
// a lane over the other three, the 128 pair over one lane, kFold64 over 32
// bits.
constexpr uint64_t kFold512Low = 0x154442bd4;   // x^(512+32)
constexpr uint64_t kFold512High = 0x1c6e41596;  // x^(512-32)
constexpr uint64_t kFold128Low = 0x1751997d0;   // x^(128+32)
constexpr uint64_t kFold128High = 0x0ccaa009e;  // x^(128-32)
constexpr uint64_t kFold64 = 0x163cd6124;       // x^64
constexpr uint64_t kBarrettMu = 0x1f7011641;    // floor(x^64 / P)
constexpr uint64_t kBarrettPoly = 0x1db710641;  // P itself

// Multiplies the two halves of `lane` by the two constants of `fold` and
// adds them to `next`: `lane` moved forward over the distance of `fold`.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i lane, __m128i fold,
                                                             __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, fold, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, fold, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

}  // namespace

namespace CrcFold {

bool Available() {
  static const bool available = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL) && (ecx & bit_SSE4_1);
  }();
  return available;
}

__attribute__((target("pclmul,sse4.1"))) uint32_t Update(uint32_t state, const void* data,
                                                         size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Four lanes of 128 bits, the running state added into the first bytes.
  __m128i lane0 = _mm_xor_si128(Load(bytes), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i lane1 = Load(bytes + 16);
  __m128i lane2 = Load(bytes + 32);
  __m128i lane3 = Load(bytes + 48);
  bytes += 64;
  length -= 64;

  const __m128i fold512 = _mm_set_epi64x(kFold512High, kFold512Low);
  for (; length >= 64; bytes += 64, length -= 64) {
    lane0 = Fold(lane0, fold512, Load(bytes));
    lane1 = Fold(lane1, fold512, Load(bytes + 16));
    lane2 = Fold(lane2, fold512, Load(bytes + 32));
    lane3 = Fold(lane3, fold512, Load(bytes + 48));
  }

  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
  __m128i value = Fold(lane0, fold128, lane1);
  value = Fold(value, fold128, lane2);
  value = Fold(value, fold128, lane3);
  for (; length >= 16; bytes += 16, length -= 16) value = Fold(value, fold128, Load(bytes));

  // 128 bits to 64 (appending the 32 zero bits of the CRC on the way), then
  // to 64 - 32 through kFold64.
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  value = _mm_xor_si128(_mm_srli_si128(value, 8), _mm_clmulepi64_si128(value, fold128, 0x10));
  const __m128i fold64 = _mm_set_epi64x(0, kFold64);
  value = _mm_xor_si128(_mm_srli_si128(value, 4),
                        _mm_clmulepi64_si128(_mm_and_si128(value, mask32), fold64, 0x00));

  // Barrett reduction of the remaining 64 bits to the 32-bit remainder:
  // the quotient from mu, times P, taken off the value.
  const __m128i barrett = _mm_set_epi64x(kBarrettMu, kBarrettPoly);
  __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(value, mask32), barrett, 0x10);
  quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, mask32), barrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(value, quotient), 1));
}

}  // namespace CrcFold
