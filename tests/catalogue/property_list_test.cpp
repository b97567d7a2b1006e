#include <gtest/gtest.h>

#include "catalogue/property_list.h"

namespace tessaline {
namespace {

// A compact picture of a value: s"text", d"bytes", t"date", i7, r0.5, b1, u3, null, [..], {k=..}.
std::string picture(const PlistValue& v) {
  const bool dict = v.type == PlistType::Dict;
  const char tag = "[{sdirbtu"[static_cast<int>(v.type) % 9];  // in the order of PlistType
  switch (v.type) {
    case PlistType::Array:
    case PlistType::Dict: {
      std::string out(1, tag);
      for (std::size_t i = 0; i < v.children.size(); ++i)
        out += (i ? "," : "") + (dict ? v.keys[i] + "=" : "") + picture(v.children[i]);
      return out + (dict ? "}" : "]");
    }
    case PlistType::Integer: case PlistType::Boolean: case PlistType::Uid: return tag + std::to_string(v.integer);
    case PlistType::Real: return "r" + std::to_string(v.real).substr(0, 4);
    case PlistType::Null: return "null";
    default: return tag + ("\"" + v.bytes + "\"");
  }
}

std::string xml(const std::string& body) { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>"; }

TEST(PropertyList, ReadsWhatXmlAllowsAndRefusesTheRestWithAReason) {
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::string>> cases{
      // What other writers produce.
      {xml("<array><string>a&amp;b &lt;&#233;&#x1F600;&gt;</string><string/><integer> -42 </integer>"
           "<integer>0x10</integer><real>+2.5</real><true/><false></false><data> YWJj\nfn5+Pz8/ZA== </data>"
           "<date>2001-01-01T00:00:00Z</date><dict/><array/></array>"),
       "[s\"a&b <\xC3\xA9\xF0\x9F\x98\x80>\",s\"\",i-42,i16,r2.50,b1,b0,d\"abc~~~???d\",t\"2001-01-01T00:00:00Z\",{},[]]"},
      {xml("<!-- c --><dict><key>k</key><string><![CDATA[<x>]]>\r\n<!-- gone -->y</string><key>k</key><integer>2</integer></dict>"),
       "{k=s\"<x>\ny\",k=i2}"},
      // A lone carriage return is a line end, in a CDATA section too.
      {xml("<array><string>a\rb<![CDATA[c\rd\r\ne\r]]></string></array>"), "[s\"a\nbc\nd\ne\n\"]"},
      // The edges of what XML may hold.
      {xml("<array><string>&#x20;&#xD7FF;&#xE000;&#xFFFD;&#x10000;&#x10FFFF;</string></array>"),
       "[s\" \xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"]"},
      {"\xEF\xBB\xBF<!DOCTYPE plist [<!ENTITY e \"]>\"> <!-- ]> --> <?pi ]>?> %p;]><array/>", "[]"},
      {"<?xml version = '1.0' standalone=\"?>\"?><plist version = \"1.0\"><string>x</string></plist>", "s\"x\""},
      // What no property list holds.
      {"", "is empty"},
      {xml("<array><string>a\0b</string></array>"s), "holds a NUL byte, which XML cannot"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><array/>", "is encoded as \"ISO-8859-1\"; only UTF-8 is read"},
      {"<?xml version=\"1.0\" encoding=\"utf-7\"?><array/>", "is encoded as \"utf-7\"; only UTF-8 is read"},
      {xml("<array><string>&e;</string></array>"), "refers to an entity (&e;) that a property list does not define"},
      {xml("<array><string>&#0;</string></array>"), "refers to a character XML cannot hold"},
      {xml("<array><string>&#x1F;</string></array>"), "refers to a character XML cannot hold"},
      {xml("<array><string>&#xDFFF;</string></array>"), "refers to a character XML cannot hold"},
      {xml("<array><string>&#xFFFE;</string></array>"), "refers to a character XML cannot hold"},
      {xml("<array><string>x</array>"), "closes <string> with </array>"},
      {xml("<array><string><b/></string></array>"), "has an element inside <string>"},
      {xml("<dict><key>a</key></dict>"), "has a <key> without a value"},
      {xml("<array><key>a</key></array>"), "has a <key> outside a dictionary or two keys in a row"},
      {xml("<dict><key>a</key><key>b</key><true/></dict>"), "has a <key> outside a dictionary or two keys in a row"},
      {xml("<dict><string>v</string></dict>"), "has a value without a <key> in a dictionary"},
      {xml("<array/><array/>"), "holds more than one property list"},
      {xml("<array>text</array>"), "has text where a value belongs"},
      {xml("<array><integer>12z</integer></array>"), "holds an <integer> that is not a number"},
      {xml("<array><real>2.5x</real></array>"), "holds a <real> that is not a number"},
      {xml("<array><data>!!</data></array>"), "holds <data> that is not base64"},
      {xml("<array><foo/></array>"), "has an element <foo> that a property list does not have"},
      {"<plist><array>", "ends before its property list does"},
      {"<plist></plist>", "holds no property list"},
      {"<plist></plist><string>after</string>", "holds no property list"},
      {xml("<array/>") + "<array/>", "goes on after the end of its property list"},
      {"<!DOCTYPE plist [ <!ENTITY e \"x\">", "ends inside its document type"},
      {"<!DOCTYPE plist><!DOCTYPE plist><array/>", "has two document types"}};
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(input);
    const auto read = readPropertyList(input);
    EXPECT_EQ(read ? picture(read.value()) : read.error().message, expected);
  }
  // A real beyond a double's range does not cost the rest of the list.
  const auto huge = readPropertyList(xml("<array><real>1e999</real><string>kept</string></array>"));
  ASSERT_TRUE(huge);
  EXPECT_EQ(picture(huge.value().children[1]), "s\"kept\"");
}

// Binary objects with one-byte references; the first is the top object.
std::string bplist(const std::vector<std::string>& objects) {
  std::string body = "bplist00";
  std::vector<std::size_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(body.size());
    body += o;
  }
  const std::size_t table = body.size();
  for (const std::size_t o : offsets) body += {static_cast<char>(o >> 8), static_cast<char>(o & 0xFF)};
  std::string trailer(32, '\0');
  trailer[6] = 2;
  trailer[7] = 1;
  trailer[15] = static_cast<char>(objects.size());
  trailer[30] = static_cast<char>(table >> 8);
  trailer[31] = static_cast<char>(table & 0xFF);
  return body + trailer;
}

TEST(PropertyList, ReadsTheBinaryFormWithinItsLimits) {
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::string>> cases{
      {bplist({"\xA6\x01\x02\x03\x04\x05\x06"s, "\x53" "abc"s, "\x63\x00\xE9\xD8\x3D\xDE\x00"s, "\x11\x01\x00"s,
               "\x23\x3F\xE0\x00\x00\x00\x00\x00\x00"s, "\x09"s, "\xD1\x07\x08"s, "\x51k"s, "\x42xy"s}),
       "[s\"abc\",s\"\xC3\xA9\xF0\x9F\x98\x80\",i256,r0.50,b1,{k=d\"xy\"}]"},
      {bplist({"\x63\xD8\x00\x00\x61\xDC\x00"s}), "s\"\xEF\xBF\xBD" "a\xEF\xBF\xBD\""},  // lone surrogates
      {bplist({"\xA1\x01"s, "\x22\x40\x20\x00\x00"s}), "[r2.50]"},  // a real in 4 bytes
      {bplist({"\xA1\x05"s}), "refers to an object it does not have"},
      {bplist({"\xD1\x01\x01"s, "\x10\x01"s}), "has a dictionary key that is not a string"},
      {bplist({"\x5F\x10\x7F" "abc"s}), "has a string that runs past its object area"},
      {bplist({"\xAF\x13\x00\x00\x00\x00\x00\x00\x10\x00"s}), "has a container that runs past its object area"},
      {bplist({"\xA2\x01\x02"s, "\x00"s, "\x08"s}), "[null,b0]"},
      {bplist({"\xF0"s}), "has an object of an unknown kind"},
      {bplist({"\x0F"s}), "has an object of an unknown kind"},
      {"bplist01"s + std::string(40, '\0'), "is a binary property list of a version this program does not read"},
      {"bplist00"s, "is too short for a binary property list"}};
  for (const auto& [input, expected] : cases) {
    const auto read = readPropertyList(input);
    EXPECT_EQ(read ? picture(read.value()) : read.error().message, expected);
  }
  // Each field of the trailer out of range on its own: sizes 0 and 9, no objects, a top object or an offset table
  // outside the file, more offsets than the table holds.
  const std::string good = bplist({"\xA0"s});
  for (const auto& [at, value] : std::vector<std::pair<int, char>>{
           {6, 0}, {6, 9}, {7, 0}, {7, 9}, {15, 0}, {15, 9}, {23, 1}, {31, 4}, {30, 0x7F}}) {
    std::string damaged = good;
    damaged[damaged.size() - 32 + at] = value;
    SCOPED_TRACE(at);
    EXPECT_EQ(readPropertyList(damaged).error().message, "has a damaged binary trailer");
  }

  // The limits: values, memory and depth, each with its reason.
  PlistLimits small;
  small.maxValues = 3;
  EXPECT_EQ(readPropertyList(bplist({"\xA3\x01\x01\x01"s, "\x50"s}), small).error().message, "holds more than 3 values");
  small = PlistLimits{};
  small.maxExpandedBytes = 3 * kPlistValueCost + 100;
  EXPECT_EQ(readPropertyList(bplist({"\xA2\x01\x01"s, "\x5F\x10\x40"s + std::string(64, 'x')}), small).error().message,
            "would take more than 0 MiB once read");
  // A dictionary's keys are strings of their own in memory, to the byte.
  const std::string oneKey = bplist({"\xD1\x01\x01"s, "\x51k"s});  // {k = "k"}
  small.maxExpandedBytes = 2 * kPlistValueCost + sizeof(std::string) + 2;
  EXPECT_TRUE(readPropertyList(oneKey, small));
  --small.maxExpandedBytes;
  EXPECT_FALSE(readPropertyList(oneKey, small));
  // A UTF-16 string costs the UTF-8 it becomes: "a\u0080\u0800\U00010000" is 1 + 2 + 3 + 4 bytes.
  const std::string wide = bplist({"\x65\x00\x61\x00\x80\x08\x00\xD8\x00\xDC\x00"s});
  small.maxExpandedBytes = kPlistValueCost + 10;
  EXPECT_TRUE(readPropertyList(wide, small));
  --small.maxExpandedBytes;
  EXPECT_FALSE(readPropertyList(wide, small));
  // Values with no bytes of their own may fill the room exactly.
  small.maxExpandedBytes = 2 * kPlistValueCost;
  EXPECT_TRUE(readPropertyList(bplist({"\xA1\x01"s, "\xA0"s}), small));
  small = PlistLimits{};
  small.maxDepth = 2;
  EXPECT_EQ(readPropertyList(xml("<array><array><array/></array></array>"), small).error().message,
            "is nested deeper than 2 levels");
  EXPECT_TRUE(readPropertyList(xml("<array><array></array><dict></dict><array/></array>"), small));  // siblings nest no deeper
}

}  // namespace
}  // namespace tessaline
