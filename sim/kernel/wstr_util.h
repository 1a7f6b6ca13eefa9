// Wide-string helpers for the simulated machine and for tests.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

// UTF-16 to UTF-8 and back; unpaired surrogates and malformed bytes become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Null-safe form for terminated wide strings (null gives "").
std::string ToUtf8(const char16_t* text);
std::u16string ToU16(std::string_view text);

// True when the terminated wide string `actual` (may be null) equals `expected`:
// EXPECT_TRUE(sim::WStrEq(buffer, u"COM1:")). For a readable failure message compare
// sim::ToUtf8(buffer) with a narrow literal instead.
bool WStrEq(const char16_t* actual, std::u16string_view expected);

// Length of a wide string stored in a fixed array of `capacity` characters, terminated or not.
size_t WStrNLen(const char16_t* text, size_t capacity);

}  // namespace sim
