#pragma once
// UTF-8 decoding for names that are byte strings: Linux names need not be
// valid UTF-8, and each place that shows, stores or hands on a name must
// know exactly where they are not.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessaline {

// Decodes one UTF-8 sequence at s[i]; answers its length, or 0 when the bytes
// there are not valid UTF-8 (overlong forms, surrogates and code points past
// U+10FFFF included).
std::size_t decodeUtf8(std::string_view s, std::size_t i, char32_t& codePoint);

// How many bytes a sequence with this lead byte has: 1 to 4, or 0 for a
// byte no well-formed sequence starts with.
std::size_t utf8SequenceLength(unsigned char lead);

// Appends the UTF-8 form of a code point (which must be a Unicode scalar value).
void appendUtf8(std::string& out, char32_t codePoint);

// True when every byte sequence of s is valid UTF-8 and passes the test.
template <class Predicate>
bool allCodePoints(std::string_view s, Predicate test) {
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    const std::size_t len = decodeUtf8(s, i, cp);
    if (len == 0 || !test(cp)) return false;
    i += len;
  }
  return true;
}

}  // namespace tessaline
