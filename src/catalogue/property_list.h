#pragma once
// A reader of property lists in the XML and the binary ("bplist00") form, for
// files that come from discs of unknown origin. It never recurses on the
// input's nesting and checks hard limits while it reads: the nesting depth,
// the number of values and the bytes they hold once expanded (a binary list
// may name one large object many times). A pure function over bytes; what it
// refuses comes back as an error that says why.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tessaline {

enum class PlistType : std::uint8_t { Array, Dict, String, Data, Integer, Real, Boolean, Date, Uid, Null };

struct PlistValue {
  PlistType type = PlistType::Null;
  // String: the text as UTF-8 (the bytes as stored in the XML form); Data:
  // the bytes; Date: the text of the XML form.
  std::string bytes;
  std::int64_t integer = 0;  // Integer, Uid; Boolean as 0 or 1
  double real = 0.0;         // Real; Date of the binary form (seconds since 2001)
  std::vector<PlistValue> children;  // Array elements, Dict values
  std::vector<std::string> keys;     // Dict: keys[i] names children[i]

  // The value of the last entry named `key` (as other readers keep the last
  // of repeated keys), or null.
  const PlistValue* find(std::string_view key) const;
};

struct PlistLimits {
  std::size_t maxInputBytes = 16u * 1024u * 1024u;
  int maxDepth = 32;  // arrays and dictionaries inside each other
  std::size_t maxValues = 200'000;
  // The bytes of every string, key and data value, plus kPlistValueCost for
  // each value: a bound on the memory the result takes.
  std::size_t maxExpandedBytes = 32u * 1024u * 1024u;
};

inline constexpr std::size_t kPlistValueCost = sizeof(PlistValue);

// Reads a whole property list; the binary form is recognised by its header.
Result<PlistValue> readPropertyList(std::string_view bytes, const PlistLimits& limits = {});

}  // namespace tessaline
