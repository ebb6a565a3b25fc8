// Integers as decimal text, by hand: the runtime's printf family would bring in
// MinGW's own printf (C++ builds use it) with its floating-point conversion, tens of
// kilobytes that a launcher formatting only integers does not need, and msvcrt's printf
// is not sure to know %lld on every Windows.
#pragma once

#include <cstddef>

// A sign, 19 digits and the NUL: room for any long long.
constexpr size_t decimal_text_capacity = 21;

// Writes value with at least min_digits digits (leading zeros, up to 19 digits in all),
// after a minus sign when it is negative.
inline void decimal_text(char* output, long long value, size_t min_digits) {
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) magnitude = 0 - magnitude;  // in unsigned arithmetic: right for the smallest value too
    char digits[decimal_text_capacity];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count < min_digits && count < 19) digits[count++] = '0';
    size_t length = 0;
    if (value < 0) output[length++] = '-';
    while (count > 0) output[length++] = digits[--count];
    output[length] = 0;
}
