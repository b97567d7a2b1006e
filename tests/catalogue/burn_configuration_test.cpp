#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <sstream>

#include "catalogue/burn_configuration.h"
#include "catalogue/previous_session.h"
#include "common/log.h"
#include "support/test_support.h"

namespace tessaline {
namespace {

using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;
namespace fs = std::filesystem;

BurnItem source(const fs::path& path, double size = 1.5) {
  BurnItem item;
  item.aPath = path;
  item.aPathComponent = lastPathComponent(path);
  item.aIcon = QVariant(QStringLiteral("icon"));
  item.isPermanent = "0";
  item.sizeInMB = size;
  return item;
}

BurnItem permanent(const fs::path& path) {
  BurnItem item = source(path, 0.0);
  item.isPermanent = "1";
  return item;
}

std::string hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}

const std::string kKeys = "aPath,aPathComponent,isPermanent,sizeInMB|";
const std::string kKeysWithBytes = "aPath,aPathBytes,aPathComponent,aPathComponentBytes,isPermanent,sizeInMB|";

// Python's plistlib as an independent reader: one line per element,
// "<sorted keys>|<hex of aPath as UTF-8>|<hex of aPathBytes or ->|<isPermanent>|<sizeInMB>".
std::vector<std::string> readWithPlistlib(const fs::path& file) {
  const char* script = R"(
import plistlib, sys
with open(sys.argv[1], 'rb') as f:
    root = plistlib.load(f)
assert isinstance(root, list)
for d in root:
    b = d.get('aPathBytes')
    print(','.join(sorted(d.keys())) + '|' + d['aPath'].encode('utf-8').hex() + '|' +
          (b.hex() if b is not None else '-') + '|' + d['isPermanent'] + '|' + repr(d['sizeInMB']))
)";
  const auto r = runProgram("python3", {"-c", script, file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Writes a property list with plistlib; elements are given as Python literals.
void writeWithPlistlib(const fs::path& file, const std::string& pythonArray, bool binary) {
  const std::string script = "import plistlib, sys\nroot = " + pythonArray +
                             "\nwith open(sys.argv[1], 'wb') as f:\n    plistlib.dump(root, f, fmt=plistlib." +
                             (binary ? "FMT_BINARY" : "FMT_XML") + ")\n";
  const auto r = runProgram("python3", {"-c", script, file.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

TEST(BurnConfiguration, WritesOnlySourceItemsInListOrderWithoutIcon) {
  TempDir dir;
  const std::vector<BurnItem> items = {permanent("/media/disc/Docs"), source("/Users/a/Docs", 2.25),
                                       permanent("/media/disc/Mail"), source("/Users/a/Mail", 0.5)};
  ASSERT_TRUE(writeSettingsToPath(dir.path(), items).ok());
  const std::string xml = readFile(dir / ".tessaline");
  EXPECT_NE(xml.find("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\""), std::string::npos);
  EXPECT_NE(xml.find("encoding=\"UTF-8\""), std::string::npos);
  EXPECT_EQ(xml.find("aIcon"), std::string::npos);
  EXPECT_EQ(readWithPlistlib(dir / ".tessaline"),
            (std::vector<std::string>{kKeys + hex("/Users/a/Docs") + "|-|0|2.25", kKeys + hex("/Users/a/Mail") + "|-|0|0.5"}));

  // No source items: an empty array.
  ASSERT_TRUE(writeSettingsToPath(dir.path(), {permanent("/media/disc/Docs")}).ok());
  EXPECT_TRUE(readWithPlistlib(dir / ".tessaline").empty());
  const auto r = runProgram("plistutil", {"-i", (dir / ".tessaline").string(), "-o", "-", "-f", "xml"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("<array/>"), std::string::npos) << r.out;
  EXPECT_TRUE(parseBurnConfiguration(readFile(dir / ".tessaline")).empty());

  // Sizes that are not finite stay readable.
  ASSERT_TRUE(writeSettingsToPath(dir.path(), {source("/srv/a", std::nan("")), source("/srv/b", 1e300 * 1e300)}).ok());
  const auto lines = readWithPlistlib(dir / ".tessaline");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(lines[0].rfind('|')), "|0.0");
}

TEST(BurnConfiguration, IndependentReadersGetOurPathsExactly) {
  TempDir dir;
  const std::string special = "/home/a/R&D <draft> ]]> \"q\" 'x'";
  const std::string utf8 = "/home/a/Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
  const std::string latin1 = "/home/a/caf\xE9";                   // not UTF-8
  const std::string control = std::string("/home/a/tab\tand\x01") + "cr\r";  // XML cannot carry \x01 or \r
  ASSERT_TRUE(
      writeSettingsToPath(dir.path(), {source(special), source(utf8), source(latin1), source(control)}).ok());

  // Not UTF-8: a readable string with U+FFFD, and the exact bytes beside it.
  const auto lines = readWithPlistlib(dir / ".tessaline");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       kKeys + hex(special) + "|-|0|1.5", kKeys + hex(utf8) + "|-|0|1.5",
                       kKeysWithBytes + hex("/home/a/caf\xEF\xBF\xBD") + "|" + hex(latin1) + "|0|1.5",
                       kKeysWithBytes + hex("/home/a/tab\tand\xEF\xBF\xBD" "cr\xEF\xBF\xBD") + "|" + hex(control) + "|0|1.5"}));

  // plistutil (libplist's own tool) converts it; our reader gets the bytes back
  // from the XML and from the binary form.
  const fs::path bin = dir / "conf.bin";
  const auto r = runProgram("plistutil", {"-i", (dir / ".tessaline").string(), "-o", bin.string(), "-f", "bin"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<fs::path> expected = {special, utf8, latin1, control};
  EXPECT_EQ(parseBurnConfiguration(readFile(dir / ".tessaline")), expected);
  EXPECT_EQ(parseBurnConfiguration(readFile(bin)), expected);
  EXPECT_EQ(readWithPlistlib(bin), lines);
}

TEST(BurnConfiguration, ReadsOtherWritersXmlAndBinarySkippingWhatIsUnusable) {
  TempDir dir;
  const fs::path file = dir / "x.plist";
  const std::vector<std::pair<std::string, std::vector<fs::path>>> cases{
      {"[{'aPath': '/srv/R&D <1>', 'aPathComponent': 'R&D <1>', 'isPermanent': '0', 'sizeInMB': 3.0},"
       " {'aPath': '/srv/\\u00e9t\\u00e9', 'sizeInMB': 1},"
       " {'aPath': '/srv/caf?', 'aPathBytes': b'/srv/caf\\xe9'}, {'aPath': '/srv/kept'}]",
       {"/srv/R&D <1>", "/srv/\xC3\xA9t\xC3\xA9", "/srv/caf\xE9", "/srv/kept"}},
      // Elements without a usable aPath are skipped.
      {"['/just/a/string', 42, ['/nested'], {'aPath': 7}, {'aPath': ['/x']}, {'aPathComponent': 'a'},"
       " {'aPath': ''}, {'aPath': 'relative/path'}, {'aPath': '/ok/one'},"
       " {'aPath': '/fallback', 'aPathBytes': 'not data'}, {'aPath': '/nul', 'aPathBytes': b'/a\\x00b'},"
       " {'aPath': '/ok/two'}]",
       {"/ok/one", "/fallback", "/ok/two"}},
      // Roots that are not lists give nothing.
      {"{'aPath': '/x'}", {}}, {"'/x'", {}}, {"3", {}}, {"b'/x'", {}}};
  for (const auto& [python, expected] : cases) {
    for (const bool binary : {false, true}) {
      SCOPED_TRACE(python + (binary ? " (binary)" : " (xml)"));
      writeWithPlistlib(file, python, binary);
      EXPECT_EQ(parseBurnConfiguration(readFile(file)), expected);
    }
  }
}

TEST(BurnConfiguration, SurvivesTruncatedGarbageAndDeepInput) {
  TempDir dir;
  std::vector<BurnItem> items;
  for (int i = 0; i < 5; ++i) items.push_back(source("/srv/item" + std::to_string(i)));
  items.push_back(source("/srv/caf\xE9"));
  const std::string xml = serializeBurnConfiguration(items);
  ASSERT_EQ(parseBurnConfiguration(xml).size(), 6u);
  writeFile(dir / "c.xml", xml);
  ASSERT_EQ(runProgram("plistutil", {"-i", (dir / "c.xml").string(), "-o", (dir / "c.bin").string(), "-f", "bin"})
                .exitCode,
            0);
  const std::string bin = readFile(dir / "c.bin");
  ASSERT_EQ(parseBurnConfiguration(bin).size(), 6u);

  // Every prefix of both forms: nothing more than the complete file holds.
  for (const std::string* whole : {&xml, &bin})
    for (std::size_t n = 0; n < whole->size(); ++n)
      EXPECT_LE(parseBurnConfiguration(std::string_view(*whole).substr(0, n)).size(), 6u);
  // Random bytes, plain and behind each header, and single-byte damage.
  std::mt19937 rng(20240601);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 300; ++round) {
    std::string junk(static_cast<std::size_t>(round * 7 + 1), '\0');
    for (char& c : junk) c = static_cast<char>(byte(rng));
    EXPECT_TRUE(parseBurnConfiguration(junk).empty());
    (void)parseBurnConfiguration("bplist00" + junk);
    (void)parseBurnConfiguration("<?xml version=\"1.0\"?><plist><array>" + junk);
    std::string damaged = round % 2 == 0 ? bin : xml;
    damaged[static_cast<std::size_t>(byte(rng)) % damaged.size()] = static_cast<char>(byte(rng));
    (void)parseBurnConfiguration(damaged);
  }

  // Deep nesting is refused as it is read, in both forms.
  std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (int i = 0; i < 300000; ++i) deep += "<array>";
  for (int i = 0; i < 300000; ++i) deep += "</array>";
  deep += "</plist>";
  EXPECT_TRUE(parseBurnConfiguration(deep).empty());

  // The same in binary form: object i is an array holding object i + 1.
  const std::uint32_t levels = 500000;
  std::string deepBin = "bplist00";
  std::vector<std::uint32_t> offsets;
  auto be32 = [](std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
  };
  for (std::uint32_t i = 0; i < levels; ++i) {
    offsets.push_back(static_cast<std::uint32_t>(deepBin.size()));
    deepBin += '\xA1';
    be32(deepBin, i + 1);
  }
  offsets.push_back(static_cast<std::uint32_t>(deepBin.size()));
  deepBin += '\xA0';
  const auto tableAt = static_cast<std::uint32_t>(deepBin.size());
  for (std::uint32_t o : offsets) be32(deepBin, o);
  deepBin += std::string(6, '\0') + "\x04\x04" + std::string(4, '\0');  // trailer: offset and ref sizes
  be32(deepBin, levels + 1);
  deepBin += std::string(12, '\0');
  be32(deepBin, tableAt);
  EXPECT_TRUE(parseBurnConfiguration(deepBin).empty());

  // Over the size cap: not parsed at all, even when it is a valid list.
  std::string huge = xml;
  huge.insert(huge.find("<array>"), std::string(kMaxBurnConfigurationBytes, ' '));
  EXPECT_TRUE(parseBurnConfiguration(huge).empty());
}

// Configurations crafted to break a reader, as a disc of unknown origin may
// carry them: each ends in bounded time and memory, restores nothing, and the
// log says why. The same files seed the fuzzer.
TEST(BurnConfiguration, HostileFilesRestoreNothingAndTheLogSaysWhy) {
  const fs::path corpus = fs::path(TESSALINE_SOURCE_DIR) / "tests/fuzz/corpus/catalogue";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"doctype-hides-closing-tags.xml", "is nested deeper than 32 levels"},
      {"declaration-quoted-end.xml", "is nested deeper than 32 levels"},
      {"nul-in-string.xml", "holds a NUL byte, which XML cannot"},
      {"shared-dict-10000.bplist", "would take more than 32 MiB once read"},
      {"shared-dict-300000.bplist", "holds more than 200000 values"},
      {"self-reference.bplist", "is nested deeper than 32 levels"},
      {"deep.bplist", "is nested deeper than 32 levels"},
      {"bad-trailer.bplist", "has a damaged binary trailer"}};
  for (const auto& [name, reason] : cases) {
    SCOPED_TRACE(name);
    TempDir disc;
    writeFile(disc / ".tessaline", readFile(corpus / name));
    std::vector<std::string> log;
    const test::ChildOutcome outcome = test::runInChild([&] {
      LogCapture capture([&](const std::string& line) { log.push_back(line); });
      const auto restored = readSettingsPaths(disc.path());
      return restored.empty() && log.size() == 1 && log[0].find(reason) != std::string::npos &&
                     log[0].find("nothing restored") != std::string::npos
                 ? 0
                 : 1;
    });
    EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.code, 0);
    EXPECT_LT(outcome.peakRssGrowthKb, 256 * 1024);
    const auto direct = readBurnConfiguration(readFile(corpus / name));
    ASSERT_FALSE(direct);
    EXPECT_EQ(direct.error().message, reason);
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(disc.path())) entries.push_back(entry.path().filename());
    EXPECT_EQ(entries, std::vector<std::string>{".tessaline"});
  }
  // The valid seeds read as what they hold.
  const std::vector<fs::path> seeds{"/home/u/Documents", std::string("/home/u/caf\xe9"), "/srv/R&D <1> ]]>"};
  EXPECT_EQ(parseBurnConfiguration(readFile(corpus / "valid.xml")), seeds);
  EXPECT_EQ(parseBurnConfiguration(readFile(corpus / "valid.bplist")), seeds);
  EXPECT_TRUE(readBurnConfiguration(readFile(corpus / "empty.xml")).value().empty());
}

TEST(BurnConfiguration, ReadingKeepsOnlyPathsThatExistHereInFileOrderFromASmallFile) {
  TempDir here;
  TempDir disc;
  writeFile(here / "Docs/a.txt", "a");
  writeFile(here / "R&D <x>/b", "b");
  writeFile(here / ("caf\xE9/c"), "c");
  fs::create_symlink(here / "Docs", here / "link-to-docs");
  fs::create_symlink(here / "gone", here / "dangling");
  const std::vector<BurnItem> items = {source(here / "R&D <x>"),     source(here / "missing"),
                                       source(here / ("caf\xE9")),   source(here / "Docs"),
                                       source(here / "link-to-docs"), source(here / "dangling")};
  ASSERT_TRUE(writeSettingsToPath(disc.path(), items).ok());
  const std::vector<fs::path> expected = {here / "R&D <x>", here / ("caf\xE9"), here / "Docs",
                                          here / "link-to-docs"};
  EXPECT_EQ(readSettingsPaths(disc.path()), expected);

  // What is not a small file is not read.
  const std::string xml = readFile(disc / ".tessaline");
  fs::remove(disc / ".tessaline");
  EXPECT_TRUE(readSettingsPaths(disc.path()).empty());          // no file
  EXPECT_TRUE(readSettingsPaths(disc / "nowhere").empty());     // no folder
  ASSERT_EQ(::mkfifo((disc / ".tessaline").c_str(), 0644), 0);  // must not hang
  EXPECT_TRUE(readSettingsPaths(disc.path()).empty());
  fs::remove(disc / ".tessaline");
  fs::create_directory(disc / ".tessaline");
  EXPECT_TRUE(readSettingsPaths(disc.path()).empty());
  fs::remove(disc / ".tessaline");
  // A valid list padded past the cap.
  std::string padded = xml;
  padded.insert(padded.find("<array>"), std::string(kMaxBurnConfigurationBytes, '\n'));
  writeFile(disc / ".tessaline", padded);
  EXPECT_TRUE(readSettingsPaths(disc.path()).empty());
}

TEST(BurnConfiguration, WritingReplacesTheFileButNeverWritesThroughALink) {
  TempDir staging;
  TempDir user;
  writeFile(staging / ".tessaline", std::string(100000, 'x'));  // longer than what follows
  ASSERT_TRUE(writeSettingsToPath(staging.path(), {source("/srv/a")}).ok());
  EXPECT_EQ(readFile(staging / ".tessaline"), serializeBurnConfiguration({source("/srv/a")}));

  // A staged link of that name points at a user's file: the file stays as it was.
  writeFile(user / "precious", "keep me");
  fs::remove(staging / ".tessaline");
  fs::create_symlink(user / "precious", staging / ".tessaline");
  ASSERT_TRUE(writeSettingsToPath(staging.path(), {source("/srv/b")}).ok());
  EXPECT_EQ(readFile(user / "precious"), "keep me");
  EXPECT_FALSE(fs::is_symlink(staging / ".tessaline"));
  EXPECT_EQ(parseBurnConfiguration(readFile(staging / ".tessaline")), std::vector<fs::path>{"/srv/b"});

  // Failures are reported (the pipeline goes on without the file).
  fs::remove(staging / ".tessaline");
  fs::create_directory(staging / ".tessaline");
  EXPECT_FALSE(writeSettingsToPath(staging.path(), {source("/srv/c")}).ok());
  EXPECT_EQ(writeSettingsToPath(staging / "no-such-folder", {source("/srv/c")}).error().kind, ErrorKind::NotFound);
}

TEST(PreviousSession, OnePermanentItemPerRootEntryWithoutTheConfiguration) {
  TempDir disc;
  fs::create_directory(disc / "Docs");
  writeFile(disc / "Mail", "m");
  writeFile(disc / ".tessaline", serializeBurnConfiguration({}));
  writeFile(disc / ".hidden", "h");
  writeFile(disc / ("caf\xE9"), "c");
  const QVariant icon(QStringLiteral("oncd.png"));

  const std::vector<BurnItem> items = permanentItemsForDisc(disc.path(), icon);
  std::vector<std::string> listing;  // the folder's own order
  for (const auto& entry : fs::directory_iterator(disc.path()))
    if (entry.path().filename() != ".tessaline") listing.push_back(entry.path().filename().native());
  ASSERT_EQ(items.size(), 4u);
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].aPathComponent, listing[i]);
    EXPECT_EQ(items[i].aPath.native(), disc.path().native() + "/" + listing[i]);
    EXPECT_TRUE(items[i].permanent());
    EXPECT_EQ(items[i].sizeInMB, 0.0);
    EXPECT_EQ(items[i].aIcon, icon);
  }
}

TEST(PreviousSession, UnlistableRootGivesNoItems) {
  TempDir disc;
  EXPECT_TRUE(permanentItemsForDisc(disc / "not-mounted", QVariant()).empty());
  writeFile(disc / "root/Docs", "d");
  ::chmod((disc / "root").c_str(), 0700);
  test::openUpForNobody(disc.path());
  const fs::path root = disc / "root";
  EXPECT_EQ(test::runAsNobody([&] { return static_cast<int>(permanentItemsForDisc(root, QVariant()).size()); }), 0);
  EXPECT_EQ(permanentItemsForDisc(root, QVariant()).size(), 1u);
}

}  // namespace
}  // namespace tessaline
