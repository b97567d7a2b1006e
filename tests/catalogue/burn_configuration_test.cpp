#include <gtest/gtest.h>

#include <sys/stat.h>

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
using Paths = std::vector<fs::path>;

BurnItem source(const fs::path& path, double size = 1.5, const char* permanent = "0") {
  return {.aPath = path, .aPathComponent = lastPathComponent(path), .aIcon = QStringLiteral("icon"),
          .isPermanent = permanent, .sizeInMB = size, .rememberedByDisc = false};
}

// Python's plistlib as an independent reader (the file given) and writer
// (of the Python literal given, to the file): one line per element read,
// "<sorted keys>|<aPath as UTF-8, in hex>|<aPathBytes in hex, or ->|<isPermanent>|<sizeInMB>".
std::vector<std::string> plistlib(const fs::path& file, const std::string& write = {}, bool binary = false) {
  const std::string script =
      "import plistlib, sys\n" +
      (write.empty() ? std::string("root = plistlib.load(open(sys.argv[1], 'rb'))\nassert isinstance(root, list)\n"
                                   "for d in root:\n    b = d.get('aPathBytes')\n"
                                   "    print(','.join(sorted(d.keys())), d['aPath'].encode().hex(), b.hex() if b "
                                   "else '-', d['isPermanent'], repr(d['sizeInMB']), sep='|')\n")
                     : "plistlib.dump(" + write + ", open(sys.argv[1], 'wb'), fmt=plistlib." +
                           (binary ? "FMT_BINARY" : "FMT_XML") + ")\n");
  const auto r = runProgram("python3", {"-c", script, file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string hex(const std::string& bytes) { return QByteArray::fromStdString(bytes).toHex().toStdString(); }

// Source items only, in list order, without the icon; every path exactly as
// other readers (plistlib, plistutil) and ours read it back, from XML and
// binary, and nothing more from any part of either.
TEST(BurnConfiguration, OtherReadersAndOursGetEveryPathExactly) {
  TempDir dir;
  const std::string special = "/home/a/R&D <draft> ]]> \"q\" 'x'";
  // Also U+D7FF, U+E000 and U+FFFD: the edges of what XML carries.
  const std::string utf8 = "/home/a/Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD";
  const std::string latin1 = "/home/a/caf\xE9";                              // not UTF-8
  const std::string control = std::string("/home/a/tab\tand\x01") + "cr\r";  // XML cannot carry \x01 or \r
  writeFile(dir / ".tessaline", std::string(100000, 'x'));  // replaced, not just overwritten from its start
  ASSERT_TRUE(writeSettingsToPath(dir.path(), {source("/media/disc/Docs", 0.0, "1"), source(special, 2.25),
                                               source(utf8, std::nan("")), source(latin1, 1e300 * 1e300),
                                               source("/media/disc/Mail", 0.0, "1"), source(control)})
                  .ok());
  const std::string xml = readFile(dir / ".tessaline");
  // Not UTF-8: a readable string with U+FFFD, and the exact bytes beside it; sizes always finite.
  const std::string keys = "aPath,aPathComponent,isPermanent,sizeInMB|";
  const std::string keysWithBytes = "aPath,aPathBytes,aPathComponent,aPathComponentBytes,isPermanent,sizeInMB|";
  const auto lines = plistlib(dir / ".tessaline");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       keys + hex(special) + "|-|0|2.25", keys + hex(utf8) + "|-|0|0.0",
                       keysWithBytes + hex("/home/a/caf\xEF\xBF\xBD") + "|" + hex(latin1) + "|0|0.0",
                       keysWithBytes + hex("/home/a/tab\tand\xEF\xBF\xBD" "cr\xEF\xBF\xBD") + "|" + hex(control) + "|0|1.5"}));

  const fs::path bin = dir / "conf.bin";
  const auto r = runProgram("plistutil", {"-i", (dir / ".tessaline").string(), "-o", bin.string(), "-f", "bin"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(plistlib(bin), lines);
  const Paths expected = {special, utf8, latin1, control};
  for (const std::string& whole : {xml, readFile(bin)}) {
    EXPECT_EQ(parseBurnConfiguration(whole), expected);
    for (std::size_t n = 0; n < whole.size(); ++n)  // cut short: never more than the whole holds
      EXPECT_LE(parseBurnConfiguration(std::string_view(whole).substr(0, n)).size(), expected.size());
  }

  // No source items: an empty list.
  ASSERT_TRUE(writeSettingsToPath(dir.path(), {source("/media/disc/Docs", 0.0, "1")}).ok());
  EXPECT_TRUE(plistlib(dir / ".tessaline").empty());
}

TEST(BurnConfiguration, ReadsOtherWritersXmlAndBinarySkippingWhatIsUnusable) {
  TempDir dir;
  const fs::path file = dir / "x.plist";
  const std::vector<std::pair<std::string, Paths>> cases{
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
      plistlib(file, python, binary);
      EXPECT_EQ(parseBurnConfiguration(readFile(file)), expected);
    }
  }
}

// Configurations crafted to break a reader, as a disc of unknown origin may
// carry them: each ends in bounded time and memory, restores nothing, and the
// log says why. The same files seed the fuzzer.
TEST(BurnConfiguration, HostileFilesRestoreNothingAndTheLogSaysWhy) {
  const fs::path corpus = fs::path(TESSALINE_CORPUS_DIR) / "catalogue";
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
      const bool none = readStoredSources(disc.path()).empty();
      return none && log.size() == 1 && log[0].ends_with(" " + reason + "; nothing restored") ? 0 : 1;
    });
    EXPECT_TRUE(outcome.exited) << "signal " << outcome.signal;
    EXPECT_EQ(outcome.code, 0);
    EXPECT_LT(outcome.peakRssGrowthKb, 256 * 1024);
    EXPECT_EQ(std::distance(fs::directory_iterator(disc.path()), fs::directory_iterator()), 1);  // nothing added
  }
}

// Every stored path in file order (which of them come back is the
// controller's choice), and only from a regular file no larger than the limit.
TEST(BurnConfiguration, ReadingTakesOnlyASmallRegularFile) {
  TempDir disc;
  const Paths expected = {"/home/u/R&D <x>", "/home/u/missing", "/home/u/caf\xE9"};
  ASSERT_TRUE(writeSettingsToPath(disc.path(), {source(expected[0]), source(expected[1]), source(expected[2])}).ok());
  EXPECT_EQ(readStoredSources(disc.path()), expected);

  std::string atLimit = readFile(disc / ".tessaline");
  atLimit.insert(atLimit.find("<array>"), std::string(kMaxBurnConfigurationBytes - atLimit.size(), '\n'));
  writeFile(disc / ".tessaline", atLimit);
  EXPECT_EQ(readStoredSources(disc.path()), expected);
  writeFile(disc / ".tessaline", atLimit + "\n");  // one byte over
  EXPECT_TRUE(readStoredSources(disc.path()).empty());
  EXPECT_TRUE(parseBurnConfiguration(atLimit + "\n").empty());
  fs::remove(disc / ".tessaline");
  EXPECT_TRUE(readStoredSources(disc.path()).empty());
  ASSERT_EQ(::mkfifo((disc / ".tessaline").c_str(), 0644), 0);  // must not hang
  EXPECT_TRUE(readStoredSources(disc.path()).empty());
  fs::remove(disc / ".tessaline");
  fs::create_directory(disc / ".tessaline");
  EXPECT_TRUE(readStoredSources(disc.path()).empty());
  EXPECT_TRUE(permanentItemsForDisc(disc / "not-mounted", QVariant()).empty());
}

// A staged link of that name points at a user's file: the file stays as it was.
TEST(BurnConfiguration, WritingNeverWritesThroughALink) {
  TempDir staging;
  TempDir user;
  writeFile(user / "precious", "keep me");
  fs::create_symlink(user / "precious", staging / ".tessaline");
  ASSERT_TRUE(writeSettingsToPath(staging.path(), {source("/srv/b")}).ok());
  EXPECT_EQ(readFile(user / "precious"), "keep me");
  EXPECT_EQ(parseBurnConfiguration(readFile(staging / ".tessaline")), Paths{"/srv/b"});

  // Failures are reported (the pipeline goes on without the file).
  fs::remove(staging / ".tessaline");
  fs::create_directory(staging / ".tessaline");
  EXPECT_FALSE(writeSettingsToPath(staging.path(), {source("/srv/c")}).ok());
  EXPECT_FALSE(writeSettingsToPath(staging / "no-such-folder", {source("/srv/c")}).ok());
}

}  // namespace
}  // namespace tessaline
