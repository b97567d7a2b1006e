// A disc with a session, then the questions a user of a backup disc asks:
// is it a true copy, what was deleted since, is a file changed with an older
// date burned again, and does a flipped byte on the disc show. Checked with
// xorriso, which we did not write.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "devices/emulated/emulated_medium.h"
#include "support/test_support.h"

namespace tessaline::test {
namespace {

class KnowYourDisc : public ::testing::Test {
 protected:
  void must(const std::vector<std::string>& args) {
    const auto r = runCli(args);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  // key -> value of each entry of a JSON answer (its "entries", or the whole array).
  static std::map<std::string, std::string> entries(const std::vector<std::string>& args, const char* key,
                                                    const char* value, int exitCode = 0) {
    const auto r = runCli(args);
    EXPECT_EQ(r.exitCode, exitCode) << r.out << r.err;
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
    std::map<std::string, std::string> found;
    for (const auto& e : doc.isArray() ? doc.array() : doc.object()[QStringLiteral("entries")].toArray())
      found[e.toObject()[QLatin1String(key)].toString().toStdString()] =
          e.toObject()[QLatin1String(value)].toVariant().toString().toStdString();
    return found;
  }
  static std::map<std::string, std::string> verify(bool quick, int exitCode) {
    return entries(quick ? std::vector<std::string>{"verify", "--json", "--quick"} : std::vector<std::string>{"verify", "--json"},
                   "path", "state", exitCode);
  }
  fs::path medium() { return temp_ / "writers/rec/medium.img"; }
  // xorriso reading the medium file, at the disc's last session.
  std::vector<std::string> xorrisoAtLastSession() {
    const auto r = runCli({"writer", "info", "rec", "--json"});
    const auto tracks = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).object()[QStringLiteral("tracks")].toArray();
    const auto last = tracks.last().toObject()[QStringLiteral("start")].toVariant().toLongLong();
    return {"-osirrox", "on", "-indev", "stdio:" + medium().string(), "-load", "sbsector", std::to_string(last)};
  }
  // Flips one byte of a file's data on the disc itself.
  void corrupt(const std::string& discPath) {
    auto args = xorrisoAtLastSession();
    args.insert(args.end(), {"-find", discPath, "-exec", "report_lba"});
    const auto r = runProgram("xorriso", args);
    std::smatch m;
    const std::string out = r.out + r.err;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(File data lba:\s+\d+\s*,\s*(\d+))"))) << out;
    const off_t at = static_cast<off_t>(std::stoll(m[1])) * 2048;
    const int fd = ::open(medium().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
    byte = static_cast<char>(byte ^ 0x5A);
    ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
    ::close(fd);
    // The disc is read again from the medium when it comes back in.
    must({"writer", "eject", "rec"});
    insert({"--disc", "Backup"});
  }

  // Puts a disc in the writer as if long ago: nothing waits for it to load.
  void insert(const std::vector<std::string>& how) {
    std::vector<std::string> args{"writer", "insert", "rec"};
    args.insert(args.end(), how.begin(), how.end());
    ASSERT_EQ(runCli(args).exitCode, 0);
    const emulated::WriterPaths paths{temp_ / "writers", "rec"};
    auto toc = emulated::readToc(paths).value();
    toc.changedAtMs = 0;
    ASSERT_TRUE(emulated::writeToc(paths, toc));
  }

  PrivateEnvironment temp_;
};

TEST_F(KnowYourDisc, VerifyPreviewAndTheNextUpdateTellTheTruthAboutADisc) {
  must({"writer", "create", "rec"});
  insert({"--medium", "cd-r"});
  must({"config", "set", "storeBurnConfiguration", "true"});
  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha one");
  writeFile(docs / "c.txt", "charlie");
  writeFile(docs / "sub/d.txt", std::string(5000, 'd'));
  must({"burn", "--yes", "--volume", "Backup", docs.string()});
  EXPECT_EQ(verify(false, 0), (std::map<std::string, std::string>{}));

  // Then: a.txt replaced by another version with an older date, c.txt
  // deleted, f.txt added, and a byte of d.txt flipped on the disc.
  const long long burned = modTime(docs / "a.txt");
  writeFile(docs / "a.txt", "alpha two");
  setModTime(docs / "a.txt", burned - 3600);
  fs::remove(docs / "c.txt");
  writeFile(docs / "f.txt", "foxtrot");
  corrupt("/Docs/sub/d.txt");

  EXPECT_EQ(verify(false, 1), (std::map<std::string, std::string>{{"Docs/a.txt", "differs"},
                                                               {"Docs/c.txt", "deleted"},
                                                               {"Docs/f.txt", "not burned"},
                                                               {"Docs/sub/d.txt", "differs"}}));
  // Sizes and dates alone cannot see the flipped byte.
  EXPECT_EQ(verify(true, 1), (std::map<std::string, std::string>{{"Docs/a.txt", "differs"},
                                                                     {"Docs/c.txt", "deleted"},
                                                                     {"Docs/f.txt", "not burned"}}));

  auto reasons = entries({"preview", "--json"}, "path", "reason");
  EXPECT_EQ(reasons["Docs/a.txt"], "changed");
  EXPECT_EQ(reasons["Docs/f.txt"], "new");
  EXPECT_EQ(reasons["Docs/c.txt"], "deleted");
  EXPECT_EQ(reasons.count("Docs/sub/d.txt"), 0u);

  // The next update burns the older a.txt; --checksum also mends d.txt.
  must({"burn", "--yes", "--checksum"});
  EXPECT_EQ(verify(false, 0), (std::map<std::string, std::string>{{"Docs/c.txt", "deleted"}}));
  const fs::path out = temp_ / "extracted";
  auto args = xorrisoAtLastSession();
  args.insert(args.end(), {"-extract", "/Docs", out.string()});
  ASSERT_EQ(runProgram("xorriso", args).exitCode, 0);
  EXPECT_EQ(readFile(out / "a.txt"), "alpha two");
  EXPECT_EQ(readFile(out / "sub/d.txt"), std::string(5000, 'd'));
  EXPECT_EQ(readFile(out / "c.txt"), "charlie");  // sessions only add

  // Which session wrote what, as the disc itself tells it.
  EXPECT_EQ(entries({"ls", "--json", "Docs"}, "name", "session"),
            (std::map<std::string, std::string>{{"a.txt", "2"}, {"c.txt", "1"}, {"f.txt", "2"}, {"sub", "1"}}));
  EXPECT_NE(runCli({"ls", "Docs/none"}).exitCode, 0);

  // Each session as xorriso reads it at its own start: its volume name and
  // the date it was written.
  const auto sessions = runCli({"sessions", "--json"});
  ASSERT_EQ(sessions.exitCode, 0) << sessions.err;
  const auto list = QJsonDocument::fromJson(QByteArray::fromStdString(sessions.out)).array();
  ASSERT_EQ(list.size(), 2);
  for (const auto& value : list) {
    const auto s = value.toObject();
    const auto start = s[QStringLiteral("start")].toVariant().toLongLong();
    const auto pvd = runProgram("xorriso", {"-indev", "stdio:" + medium().string(), "-load", "sbsector",
                                            std::to_string(start), "-pvd_info"});
    const std::string info = pvd.out + pvd.err;
    EXPECT_NE(info.find("Volume Id    : " + s[QStringLiteral("volumeName")].toString().toStdString()), std::string::npos)
        << info;
    const auto written = QDateTime::fromString(s[QStringLiteral("written")].toString(), Qt::ISODate).toUTC();
    EXPECT_NE(info.find("Creation Time: " + written.toString(QStringLiteral("yyyyMMddHHmmss")).toStdString()),
              std::string::npos)
        << info;
  }
  EXPECT_EQ(list[1].toObject()[QStringLiteral("added")].toInt(), 1);  // f.txt
  EXPECT_EQ(list[1].toObject()[QStringLiteral("hidden")].toInt(), 0);
}

}  // namespace
}  // namespace tessaline::test
