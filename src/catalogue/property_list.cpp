#include "catalogue/property_list.h"

#include <charconv>
#include <cstring>
#include <utility>

#include "common/utf8.h"

namespace tessaline {

const PlistValue* PlistValue::find(std::string_view key) const {
  if (type != PlistType::Dict) return nullptr;
  for (std::size_t i = keys.size(); i-- > 0;)
    if (keys[i] == key && i < children.size()) return &children[i];
  return nullptr;
}

namespace {

Error invalid(std::string what) { return makeError(ErrorKind::InvalidInput, std::move(what)); }

std::string mebibytes(std::size_t bytes) { return std::to_string(bytes / (1024u * 1024u)) + " MiB"; }

// What has been read so far, against the limits.
class Budget {
 public:
  explicit Budget(const PlistLimits& limits) : limits_(limits) {}

  // Accounts for `values` new values that hold `bytes` bytes between them.
  Status spend(std::size_t values, std::size_t bytes) {
    if (values > limits_.maxValues - values_)
      return invalid("holds more than " + std::to_string(limits_.maxValues) + " values");
    values_ += values;
    const std::size_t room = limits_.maxExpandedBytes - expanded_;
    const std::size_t cost = values * kPlistValueCost;
    if (cost > room || bytes > room - cost)
      return invalid("would take more than " + mebibytes(limits_.maxExpandedBytes) + " once read");
    expanded_ += cost + bytes;
    return {};
  }

  Status enter(int depth) const {
    if (depth > limits_.maxDepth)
      return invalid("is nested deeper than " + std::to_string(limits_.maxDepth) + " levels");
    return {};
  }

 private:
  const PlistLimits& limits_;
  std::size_t values_ = 0;
  std::size_t expanded_ = 0;
};

// ---------------------------------------------------------------- XML form

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' ||
         c == '.' || c == '-';
}

// Characters an XML 1.0 document may hold.
bool isXmlChar(char32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isXmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isXmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

Result<std::int64_t> parseInteger(std::string_view text) {
  std::string_view t = trimmed(text);
  bool negative = false;
  if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size())
    return invalid("holds an <integer> that is not a number");
  // Large unsigned values keep their bits, as the binary form stores them.
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

Result<double> parseReal(std::string_view text) {
  std::string_view t = trimmed(text);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  double value = 0.0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (t.empty() || (ec != std::errc() && ec != std::errc::result_out_of_range) || end != t.data() + t.size())
    return invalid("holds a <real> that is not a number");
  return value;
}

Result<std::string> decodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  bool padding = false;
  for (const char c : text) {
    if (isXmlSpace(c)) continue;
    int v = -1;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') padding = true;
    if (c == '=') continue;
    if (v < 0 || padding) return invalid("holds <data> that is not base64");
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      out += static_cast<char>((bits >> 16) & 0xFF);
      out += static_cast<char>((bits >> 8) & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1) return invalid("holds <data> that is not base64");
  if (count == 2) out += static_cast<char>((bits >> 4) & 0xFF);
  if (count == 3) {
    out += static_cast<char>((bits >> 10) & 0xFF);
    out += static_cast<char>((bits >> 2) & 0xFF);
  }
  return out;
}

class XmlReader {
 public:
  XmlReader(std::string_view s, const PlistLimits& limits) : s_(s), budget_(limits) {}

  Result<PlistValue> read() {
    if (s_.find('\0') != std::string_view::npos) return invalid("holds a NUL byte, which XML cannot");
    if (s_.starts_with("\xEF\xBB\xBF")) i_ = 3;
    if (at("<?xml") && i_ + 5 < s_.size() && (isXmlSpace(s_[i_ + 5]) || s_[i_ + 5] == '?')) {
      if (Status st = declaration(); !st) return st.error();
    }
    bool doctype = false;
    while (true) {
      skipSpace();
      if (at("<!DOCTYPE")) {
        if (doctype) return invalid("has two document types");
        doctype = true;
        if (Status st = documentType(); !st) return st.error();
      } else if (Result<bool> skipped = skipCommentOrInstruction(); !skipped) {
        return skipped.error();
      } else if (!skipped.value()) {
        break;
      }
    }
    auto root = elements();
    if (!root) return root.error();
    while (true) {
      skipSpace();
      if (i_ == s_.size()) return root;
      auto skipped = skipCommentOrInstruction();
      if (!skipped) return skipped.error();
      if (!skipped.value()) return invalid("goes on after the end of its property list");
    }
  }

 private:
  enum class Kind : std::uint8_t { Plist, Array, Dict };
  struct Open {
    Kind kind;
    PlistValue* value;  // the array or dictionary being filled; unused for <plist>
    bool pendingKey = false;
    bool filled = false;  // <plist> holds its one value
    std::string key;
  };

  bool at(std::string_view lit) const { return s_.substr(i_).starts_with(lit); }
  void skipSpace() {
    while (i_ < s_.size() && isXmlSpace(s_[i_])) ++i_;
  }

  Status skipPast(std::string_view end, const char* what) {
    const std::size_t found = s_.find(end, i_);
    if (found == std::string_view::npos) return invalid("ends inside " + std::string(what));
    i_ = found + end.size();
    return {};
  }

  // Skips a comment or processing instruction at the current place;
  // answers whether there was one.
  Result<bool> skipCommentOrInstruction() {
    if (at("<!--")) {
      i_ += 4;
      if (Status st = skipPast("-->", "a comment"); !st) return st.error();
      return true;
    }
    if (at("<?")) {
      i_ += 2;
      if (Status st = skipPast("?>", "a processing instruction"); !st) return st.error();
      return true;
    }
    return false;
  }

  // Skips a quoted literal starting at the current place.
  Status skipQuoted() {
    const char quote = s_[i_];
    const std::size_t end = s_.find(quote, i_ + 1);
    if (end == std::string_view::npos) return invalid("ends inside a quoted text");
    i_ = end + 1;
    return {};
  }

  // <?xml version="1.0" encoding="UTF-8"?>: pseudo-attributes whose values
  // are quoted; only UTF-8 is read.
  Status declaration() {
    i_ += 5;
    while (true) {
      skipSpace();
      if (at("?>")) {
        i_ += 2;
        return {};
      }
      const std::size_t nameAt = i_;
      while (i_ < s_.size() && s_[i_] >= 'a' && s_[i_] <= 'z') ++i_;
      const std::string_view name = s_.substr(nameAt, i_ - nameAt);
      skipSpace();
      if (name.empty() || i_ >= s_.size() || s_[i_] != '=') return invalid("has a damaged XML declaration");
      ++i_;
      skipSpace();
      if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\'')) return invalid("has a damaged XML declaration");
      const std::size_t valueAt = i_ + 1;
      if (Status st = skipQuoted(); !st) return st;
      const std::string_view value = s_.substr(valueAt, i_ - 1 - valueAt);
      if (name == "encoding" && !equalsIgnoringCase(value, "UTF-8") && !equalsIgnoringCase(value, "UTF8"))
        return invalid("is encoded as \"" + std::string(value.substr(0, 40)) + "\"; only UTF-8 is read");
    }
  }

  // <!DOCTYPE plist PUBLIC "..." "..." [internal subset]>: skipped whole,
  // quoted literals and the subset's declarations and comments included.
  Status documentType() {
    i_ += 9;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '"' || c == '\'') {
        if (Status st = skipQuoted(); !st) return st;
      } else if (c == '[') {
        ++i_;
        if (Status st = internalSubset(); !st) return st;
      } else if (c == '>') {
        ++i_;
        return {};
      } else {
        ++i_;
      }
    }
    return invalid("ends inside its document type");
  }

  Status internalSubset() {
    while (true) {
      skipSpace();
      if (i_ >= s_.size()) return invalid("ends inside its document type");
      if (s_[i_] == ']') {
        ++i_;
        return {};
      }
      if (auto skipped = skipCommentOrInstruction(); !skipped) {
        return skipped.error();
      } else if (skipped.value()) {
        continue;
      }
      if (at("<!")) {  // a markup declaration, up to its '>' outside quotes
        i_ += 2;
        while (true) {
          if (i_ >= s_.size()) return invalid("ends inside its document type");
          const char c = s_[i_];
          if (c == '"' || c == '\'') {
            if (Status st = skipQuoted(); !st) return st;
          } else if (c == '>') {
            ++i_;
            break;
          } else {
            ++i_;
          }
        }
      } else if (s_[i_] == '%') {
        if (Status st = skipPast(";", "its document type"); !st) return st;
      } else {
        return invalid("has a damaged document type");
      }
    }
  }

  struct Tag {
    std::string_view name;
    bool closing = false;
    bool empty = false;  // <name/>
  };

  // Reads a tag at '<' with its attributes, which are skipped.
  Result<Tag> tag() {
    Tag t;
    ++i_;
    if (i_ < s_.size() && s_[i_] == '/') {
      t.closing = true;
      ++i_;
    }
    const std::size_t nameAt = i_;
    while (i_ < s_.size() && isNameChar(s_[i_])) ++i_;
    t.name = s_.substr(nameAt, i_ - nameAt);
    if (t.name.empty()) return invalid("has a damaged tag");
    while (true) {
      skipSpace();
      if (i_ >= s_.size()) return invalid("ends inside a tag");
      if (s_[i_] == '>') {
        ++i_;
        return t;
      }
      if (!t.closing && at("/>")) {
        i_ += 2;
        t.empty = true;
        return t;
      }
      if (t.closing || !isNameChar(s_[i_])) return invalid("has a damaged tag <" + std::string(t.name.substr(0, 20)) + ">");
      while (i_ < s_.size() && isNameChar(s_[i_])) ++i_;
      skipSpace();
      if (i_ >= s_.size() || s_[i_] != '=') return invalid("has a damaged tag <" + std::string(t.name.substr(0, 20)) + ">");
      ++i_;
      skipSpace();
      if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\'')) return invalid("has a damaged tag");
      if (Status st = skipQuoted(); !st) return st.error();
    }
  }

  // &amp; &lt; &gt; &quot; &apos; and character references.
  Status reference(std::string& out) {
    const std::size_t end = s_.find(';', i_);
    if (end == std::string_view::npos || end - i_ > 12) return invalid("has a damaged reference");
    const std::string_view ref = s_.substr(i_ + 1, end - i_ - 1);
    i_ = end + 1;
    if (ref == "amp") out += '&';
    else if (ref == "lt") out += '<';
    else if (ref == "gt") out += '>';
    else if (ref == "quot") out += '"';
    else if (ref == "apos") out += '\'';
    else if (ref.starts_with('#')) {
      const bool hex = ref.size() > 1 && (ref[1] == 'x');
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      std::uint32_t cp = 0;
      const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() || !isXmlChar(cp))
        return invalid("refers to a character XML cannot hold");
      appendUtf8(out, cp);
    } else {
      return invalid("refers to an entity (&" + std::string(ref) + ";) that a property list does not define");
    }
    return {};
  }

  // The text of an element up to its end tag: references resolved, CDATA
  // taken as it stands, comments left out, line ends made line feeds.
  Result<std::string> text(std::string_view element) {
    std::string out;
    while (true) {
      const std::size_t stop = s_.find_first_of("<&\r", i_);
      if (stop == std::string_view::npos) return invalid("ends inside <" + std::string(element) + ">");
      out.append(s_.substr(i_, stop - i_));
      i_ = stop;
      if (s_[i_] == '\r') {
        out += '\n';
        ++i_;
        if (i_ < s_.size() && s_[i_] == '\n') ++i_;
      } else if (s_[i_] == '&') {
        if (Status st = reference(out); !st) return st.error();
      } else if (at("<![CDATA[")) {
        const std::size_t begin = i_ + 9;
        const std::size_t end = s_.find("]]>", begin);
        if (end == std::string_view::npos) return invalid("ends inside a CDATA section");
        for (std::size_t k = begin; k < end; ++k) {
          if (s_[k] != '\r') out += s_[k];
          else if (k + 1 == end || s_[k + 1] != '\n') out += '\n';
        }
        i_ = end + 3;
      } else if (at("</")) {
        auto t = tag();
        if (!t) return t.error();
        if (t.value().name != element)
          return invalid("closes <" + std::string(element) + "> with </" + std::string(t.value().name.substr(0, 20)) + ">");
        return out;
      } else if (auto skipped = skipCommentOrInstruction(); !skipped) {
        return skipped.error();
      } else if (!skipped.value()) {
        return invalid("has an element inside <" + std::string(element) + ">");
      }
    }
  }

  Result<PlistValue> scalar(const Tag& t) {
    PlistValue v;
    std::string content;
    if (!t.empty) {
      auto read = text(t.name);
      if (!read) return read.error();
      content = std::move(read.value());
    }
    if (t.name == "string") {
      v.type = PlistType::String;
      v.bytes = std::move(content);
    } else if (t.name == "data") {
      v.type = PlistType::Data;
      auto bytes = decodeBase64(content);
      if (!bytes) return bytes.error();
      v.bytes = std::move(bytes.value());
    } else if (t.name == "date") {
      v.type = PlistType::Date;
      v.bytes = std::string(trimmed(content));
    } else if (t.name == "integer") {
      v.type = PlistType::Integer;
      auto n = parseInteger(content);
      if (!n) return n.error();
      v.integer = n.value();
    } else if (t.name == "real") {
      v.type = PlistType::Real;
      auto d = parseReal(content);
      if (!d) return d.error();
      v.real = d.value();
    } else if (t.name == "true" || t.name == "false") {
      v.type = PlistType::Boolean;
      v.integer = t.name == "true" ? 1 : 0;
      if (!trimmed(content).empty()) return invalid("has text inside <" + std::string(t.name) + ">");
    } else {
      return invalid("has an element <" + std::string(t.name.substr(0, 20)) + "> that a property list does not have");
    }
    return v;
  }

  // The value tree, read with an explicit stack of the open containers.
  Result<PlistValue> elements() {
    PlistValue root;
    bool haveRoot = false;
    std::vector<Open> open;
    int depth = 0;
    while (!(haveRoot && open.empty())) {
      skipSpace();
      if (i_ >= s_.size()) return invalid(haveRoot || !open.empty() ? "ends before its property list does" : "holds no property list");
      if (auto skipped = skipCommentOrInstruction(); !skipped) {
        return skipped.error();
      } else if (skipped.value()) {
        continue;
      }
      if (s_[i_] != '<' || at("<!")) return invalid("has text where a value belongs");
      auto parsed = tag();
      if (!parsed) return parsed.error();
      const Tag t = parsed.value();

      if (t.closing) {
        if (open.empty()) return invalid("closes </" + std::string(t.name.substr(0, 20)) + "> that is not open");
        Open& top = open.back();
        const char* expected = top.kind == Kind::Plist ? "plist" : top.kind == Kind::Array ? "array" : "dict";
        if (t.name != expected)
          return invalid("closes <" + std::string(expected) + "> with </" + std::string(t.name.substr(0, 20)) + ">");
        if (top.kind == Kind::Dict && top.pendingKey) return invalid("has a <key> without a value");
        if (top.kind == Kind::Plist && !top.filled) return invalid("holds no property list");
        if (top.kind != Kind::Plist) --depth;
        open.pop_back();
        continue;
      }

      if (t.name == "plist") {
        if (haveRoot || !open.empty()) return invalid("has a <plist> inside another value");
        if (t.empty) return invalid("holds no property list");
        open.push_back(Open{Kind::Plist, nullptr, false, false, {}});
        continue;
      }
      if (t.name == "key") {
        if (open.empty() || open.back().kind != Kind::Dict || open.back().pendingKey)
          return invalid("has a <key> outside a dictionary or two keys in a row");
        std::string key;
        if (!t.empty) {
          auto read = text(t.name);
          if (!read) return read.error();
          key = std::move(read.value());
        }
        if (Status st = budget_.spend(0, key.size() + sizeof(std::string)); !st) return st.error();
        open.back().key = std::move(key);
        open.back().pendingKey = true;
        continue;
      }

      PlistValue v;
      const bool container = t.name == "array" || t.name == "dict";
      if (container) {
        v.type = t.name == "array" ? PlistType::Array : PlistType::Dict;
        if (Status st = budget_.enter(depth + 1); !st) return st.error();
      } else {
        auto s = scalar(t);
        if (!s) return s.error();
        v = std::move(s.value());
      }
      if (Status st = budget_.spend(1, v.bytes.size()); !st) return st.error();

      PlistValue* placed = nullptr;
      if (open.empty() || open.back().kind == Kind::Plist) {
        if (haveRoot) return invalid("holds more than one property list");
        root = std::move(v);
        placed = &root;
        haveRoot = true;
        if (!open.empty()) open.back().filled = true;
      } else if (open.back().kind == Kind::Array) {
        open.back().value->children.push_back(std::move(v));
        placed = &open.back().value->children.back();
      } else {
        Open& dict = open.back();
        if (!dict.pendingKey) return invalid("has a value without a <key> in a dictionary");
        dict.value->keys.push_back(std::move(dict.key));
        dict.value->children.push_back(std::move(v));
        dict.pendingKey = false;
        placed = &dict.value->children.back();
      }
      if (container && !t.empty) {
        ++depth;
        open.push_back(Open{placed->type == PlistType::Array ? Kind::Array : Kind::Dict, placed, false, false, {}});
      }
    }
    return root;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  Budget budget_;
};

// ------------------------------------------------------------- binary form

class BinaryReader {
 public:
  BinaryReader(std::string_view s, const PlistLimits& limits) : s_(s), budget_(limits) {}

  Result<PlistValue> read() {
    constexpr std::size_t kHeader = 8;
    constexpr std::size_t kTrailer = 32;
    if (s_.size() < kHeader + kTrailer) return invalid("is too short for a binary property list");
    const std::size_t t = s_.size() - kTrailer;
    offsetSize_ = static_cast<unsigned char>(s_[t + 6]);
    refSize_ = static_cast<unsigned char>(s_[t + 7]);
    objects_ = be(t + 8, 8);
    const std::uint64_t top = be(t + 16, 8);
    const std::uint64_t table = be(t + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || objects_ == 0 || top >= objects_ ||
        table < kHeader || table > t || objects_ > (t - table) / offsetSize_)
      return invalid("has a damaged binary trailer");
    table_ = static_cast<std::size_t>(table);

    PlistValue root;
    if (Status st = budget_.spend(1, 0); !st) return st.error();
    std::vector<Work> work{{top, &root, 0}};
    while (!work.empty()) {
      const Work w = work.back();
      work.pop_back();
      if (Status st = decode(w, work); !st) return st.error();
    }
    return root;
  }

 private:
  struct Work {
    std::uint64_t ref;
    PlistValue* target;
    int depth;  // containers around the target
  };

  std::uint64_t be(std::size_t at, std::size_t width) const {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < width; ++k) v = (v << 8) | static_cast<unsigned char>(s_[at + k]);
    return v;
  }

  // True when [at, at + length) lies within the objects, before the offset table.
  bool inObjects(std::size_t at, std::uint64_t length) const { return at <= table_ && length <= table_ - at; }

  Result<std::size_t> objectAt(std::uint64_t ref) const {
    if (ref >= objects_) return invalid("refers to an object it does not have");
    const std::uint64_t at = be(table_ + static_cast<std::size_t>(ref) * offsetSize_, offsetSize_);
    if (at < 8 || at >= table_) return invalid("has an object outside its object area");
    return static_cast<std::size_t>(at);
  }

  // The element count of the object at `at` and where its content begins.
  Result<std::pair<std::uint64_t, std::size_t>> countAt(std::size_t at) const {
    const unsigned low = static_cast<unsigned char>(s_[at]) & 0x0Fu;
    if (low != 0x0F) return std::pair<std::uint64_t, std::size_t>{low, at + 1};
    if (!inObjects(at + 1, 1)) return invalid("has a damaged object length");
    const auto marker = static_cast<unsigned char>(s_[at + 1]);
    if ((marker >> 4) != 0x1 || (marker & 0x0Fu) > 3) return invalid("has a damaged object length");
    const std::size_t width = std::size_t{1} << (marker & 0x0Fu);
    if (!inObjects(at + 2, width)) return invalid("has a damaged object length");
    return std::pair<std::uint64_t, std::size_t>{be(at + 2, width), at + 2 + width};
  }

  // A string object (ASCII, UTF-8 or UTF-16) as UTF-8, for values and keys.
  Result<std::string> stringAt(std::size_t at, unsigned kind) {
    auto counted = countAt(at);
    if (!counted) return counted.error();
    const std::uint64_t count = counted.value().first;
    const std::size_t begin = counted.value().second;
    if (kind != 0x6) {
      if (!inObjects(begin, count)) return invalid("has a string that runs past its object area");
      if (Status st = budget_.spend(0, static_cast<std::size_t>(count)); !st) return st.error();
      return std::string(s_.substr(begin, static_cast<std::size_t>(count)));
    }
    if (count > table_ / 2 || !inObjects(begin, count * 2)) return invalid("has a string that runs past its object area");
    // UTF-16 big-endian; a lone surrogate becomes U+FFFD. Measured first,
    // so that nothing is allocated beyond the budget.
    auto each = [&](auto&& use) {
      for (std::size_t k = 0; k < count; ++k) {
        auto u = static_cast<char32_t>(be(begin + 2 * k, 2));
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < count) {
          const auto lo = static_cast<char32_t>(be(begin + 2 * k + 2, 2));
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            ++k;
          }
        }
        use(u >= 0xD800 && u <= 0xDFFF ? char32_t{0xFFFD} : u);
      }
    };
    std::size_t utf8 = 0;
    each([&](char32_t u) { utf8 += u < 0x80 ? 1 : u < 0x800 ? 2 : u < 0x10000 ? 3 : 4; });
    if (Status st = budget_.spend(0, utf8); !st) return st.error();
    std::string out;
    out.reserve(utf8);
    each([&](char32_t u) { appendUtf8(out, u); });
    return out;
  }

  Status decode(const Work& w, std::vector<Work>& work) {
    auto found = objectAt(w.ref);
    if (!found) return found.error();
    const std::size_t at = found.value();
    const auto marker = static_cast<unsigned char>(s_[at]);
    const unsigned kind = marker >> 4;
    const unsigned low = marker & 0x0Fu;
    PlistValue& v = *w.target;
    switch (kind) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) {
          v.type = PlistType::Boolean;
          v.integer = marker == 0x09 ? 1 : 0;
        } else if (marker == 0x00) {
          v.type = PlistType::Null;
        } else {
          return invalid("has an object of an unknown kind");
        }
        return {};
      case 0x1: {
        if (low > 4) return invalid("has a damaged integer");
        const std::size_t width = std::size_t{1} << low;
        if (!inObjects(at + 1, width)) return invalid("has an integer past its object area");
        // A 16-byte integer keeps its low 64 bits.
        v.type = PlistType::Integer;
        v.integer = static_cast<std::int64_t>(be(at + 1 + (width > 8 ? width - 8 : 0), width > 8 ? 8 : width));
        return {};
      }
      case 0x2:
      case 0x3: {
        if ((kind == 0x2 && low != 2 && low != 3) || (kind == 0x3 && low != 3)) return invalid("has a damaged number");
        const std::size_t width = std::size_t{1} << low;
        if (!inObjects(at + 1, width)) return invalid("has a number past its object area");
        if (width == 4) {
          const auto bits = static_cast<std::uint32_t>(be(at + 1, 4));
          float f = 0;
          std::memcpy(&f, &bits, 4);
          v.real = static_cast<double>(f);
        } else {
          const std::uint64_t bits = be(at + 1, 8);
          std::memcpy(&v.real, &bits, 8);
        }
        v.type = kind == 0x2 ? PlistType::Real : PlistType::Date;
        return {};
      }
      case 0x4: {
        auto counted = countAt(at);
        if (!counted) return counted.error();
        const auto [count, begin] = counted.value();
        if (!inObjects(begin, count)) return invalid("has data that runs past its object area");
        if (Status st = budget_.spend(0, static_cast<std::size_t>(count)); !st) return st;
        v.type = PlistType::Data;
        v.bytes.assign(s_.substr(begin, static_cast<std::size_t>(count)));
        return {};
      }
      case 0x5:
      case 0x6:
      case 0x7: {
        auto text = stringAt(at, kind);
        if (!text) return text.error();
        v.type = PlistType::String;
        v.bytes = std::move(text.value());
        return {};
      }
      case 0x8: {
        if (!inObjects(at + 1, low + 1)) return invalid("has a damaged identifier");
        v.type = PlistType::Uid;
        v.integer = static_cast<std::int64_t>(be(at + 1, low + 1));
        return {};
      }
      case 0xA:
      case 0xC:
      case 0xD: {
        if (Status st = budget_.enter(w.depth + 1); !st) return st;
        auto counted = countAt(at);
        if (!counted) return counted.error();
        const auto [count, begin] = counted.value();
        const std::uint64_t refs = kind == 0xD ? count * 2 : count;
        if (count > table_ || refs > (table_ - begin) / refSize_) return invalid("has a container that runs past its object area");
        const auto n = static_cast<std::size_t>(count);
        if (Status st = budget_.spend(n, kind == 0xD ? n * sizeof(std::string) : 0); !st) return st;
        v.type = kind == 0xD ? PlistType::Dict : PlistType::Array;
        const std::size_t valuesAt = begin + (kind == 0xD ? n * refSize_ : 0);
        if (kind == 0xD) {
          v.keys.reserve(n);
          for (std::size_t k = 0; k < n; ++k) {
            auto keyAt = objectAt(be(begin + k * refSize_, refSize_));
            if (!keyAt) return keyAt.error();
            const unsigned keyKind = static_cast<unsigned char>(s_[keyAt.value()]) >> 4;
            if (keyKind < 0x5 || keyKind > 0x7) return invalid("has a dictionary key that is not a string");
            auto key = stringAt(keyAt.value(), keyKind);
            if (!key) return key.error();
            v.keys.push_back(std::move(key.value()));
          }
        }
        // The children are made now and never moved again: the work items
        // point at them.
        v.children.resize(n);
        for (std::size_t k = n; k-- > 0;)
          work.push_back(Work{be(valuesAt + k * refSize_, refSize_), &v.children[k], w.depth + 1});
        return {};
      }
      default: return invalid("has an object of an unknown kind");
    }
  }

  std::string_view s_;
  Budget budget_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objects_ = 0;
  std::size_t table_ = 0;
};

}  // namespace

Result<PlistValue> readPropertyList(std::string_view bytes, const PlistLimits& limits) {
  if (bytes.empty()) return invalid("is empty");
  if (bytes.size() > limits.maxInputBytes) return invalid("is larger than " + mebibytes(limits.maxInputBytes));
  if (bytes.starts_with("bplist")) {
    if (!bytes.starts_with("bplist00")) return invalid("is a binary property list of a version this program does not read");
    return BinaryReader(bytes, limits).read();
  }
  return XmlReader(bytes, limits).read();
}

}  // namespace tessaline
