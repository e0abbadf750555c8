#!/usr/bin/env python3
"""Prints the constants of the carry-less CRC-32 in base/crcfold.cpp.

The CRC is the reflected one of P(x) = 0x104C11DB7. Folding a 128-bit lane
forward over n bits multiplies its two 64-bit halves by x^(n+32) mod P and
x^(n-32) mod P; the last steps need x^64 mod P, x^96 mod P and, for the
Barrett reduction, floor(x^64 / P). Every value is bit-reflected over 33
bits, as the reflected operands of PCLMULQDQ want them."""

P = 0x104C11DB7


def mod_p(n):
    """x^n mod P as an integer polynomial of degree < 32."""
    value = 1
    for _ in range(n):
        value <<= 1
        if value & (1 << 32):
            value ^= P
    return value


def div_p(n):
    """floor(x^n / P) by long division over GF(2)."""
    remainder, quotient = 1 << n, 0
    for bit in range(n - 32, -1, -1):
        if remainder & (1 << (bit + 32)):
            remainder ^= P << bit
            quotient |= 1 << bit
    return quotient


def reflect(value, bits=33):
    return int(format(value, f"0{bits}b")[::-1], 2)


constants = {
    "kFold512Low": reflect(mod_p(512 + 32)),
    "kFold512High": reflect(mod_p(512 - 32)),
    "kFold128Low": reflect(mod_p(128 + 32)),
    "kFold128High": reflect(mod_p(128 - 32)),
    "kFold64": reflect(mod_p(64)),
    "kBarrettMu": reflect(div_p(64)),
    "kBarrettPoly": reflect(P),
}
for name, value in constants.items():
    print(f"constexpr uint64_t {name} = 0x{value:09x};")
