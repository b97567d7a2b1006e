// Every switch in the settings file, written there as a user's editor or an
// older version would, and what it changes in a real burn: the tree on the
// disc as xorriso reads it, the burn's own report, and the next preview.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <fstream>

#include "support/test_support.h"

namespace tessaline::test {
namespace {

// What a burn and the preview after it show.
struct Effects {
  bool verified = true;          // the burn reads its session back
  bool trueCopy = true;          // verify finds the disc equal to its sources, forks included
  bool forkChangeSeen = true;    // verify finds a resource fork changed since the burn
  bool linkStaysLink = false;    // a symbolic link is burned as what it points to
  bool aliasSizedByTarget = true;  // the burn list sizes a link by what it points to
  bool sideFile = true;          // a resource fork travels in an AppleDouble side file
  bool catalogue = false;        // the disc remembers its sources
  bool unchangedAgain = false;   // the next session copies what did not change
  bool sameSizeAndDateSeen = false;  // a change that keeps size and date is burned
  bool deletionSeen = true;      // the preview names a file deleted since, which the disc keeps
  friend bool operator==(const Effects&, const Effects&) = default;
};

void PrintTo(const Effects& e, std::ostream* os) {
  *os << "verified " << e.verified << ", true copy " << e.trueCopy << ", fork change seen " << e.forkChangeSeen << ", link stays link " << e.linkStaysLink << ", alias sized by target "
      << e.aliasSizedByTarget << ", side file " << e.sideFile
      << ", catalogue " << e.catalogue << ", unchanged again " << e.unchangedAgain << ", same size and date seen "
      << e.sameSizeAndDateSeen << ", deletion seen " << e.deletionSeen;
}

struct Row {
  const char* key;  // set to true in the settings file; "" for none
  Effects effects;
};

class PreferenceKeys : public ::testing::TestWithParam<Row> {
 protected:
  // The files a disc on the emulated writer holds at its last session.
  std::string discListing() {
    const auto r = runProgram("xorriso", {"-indev", "stdio:" + (temp_.writersDir() / "rec/medium.img").string(),
                                          "-find", "/", "-exec", "lsdl"});
    return r.out;
  }
  PrivateEnvironment temp_;
};

TEST_P(PreferenceKeys, ChangeWhatABurnWritesAsTheirNamesSay) {
  const Row& row = GetParam();
  ASSERT_EQ(runCli({"writer", "create", "rec"}).exitCode, 0);
  ASSERT_EQ(runCli({"writer", "insert", "rec", "--medium", "cd-rw"}).exitCode, 0);
  fs::create_directories(temp_ / "config/Tessaline");
  std::ofstream(temp_ / "config/Tessaline/Tessaline.conf")
      << "[General]\n" << (*row.key != '\0' ? std::string(row.key) + "=true\n" : std::string());

  const fs::path docs = temp_ / "home/Docs";
  writeFile(docs / "a.txt", "alpha");
  writeFile(docs / "same.txt", "12345");
  writeFile(docs / "gone.txt", "gone");
  fs::create_symlink("forked.txt", docs / "link.txt");
  writeFile(docs / "forked.txt", "data");
  ASSERT_EQ(::setxattr((docs / "forked.txt").c_str(), "user.com.apple.ResourceFork", "rsrc", 4, 0), 0);

  Effects seen;
  writeFile(temp_ / "home/big.bin", std::string(1'000'000, 'b'));
  fs::create_symlink(temp_ / "home/big.bin", temp_ / "home/BigLink");
  const auto listed = runCli({"list", "--json", (temp_ / "home/BigLink").string()});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  seen.aliasSizedByTarget =
      QJsonDocument::fromJson(QByteArray::fromStdString(listed.out)).array()[0].toObject()[QStringLiteral("sizeInMB")].toDouble() > 0.9;
  const auto burn = runCli({"burn", "--yes", "--volume", "Keys", docs.string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.out << burn.err;
  seen.verified = burn.out.find("written and verified") != std::string::npos;
  const std::string listing = discListing();
  seen.linkStaysLink = listing.find("link.txt' -> 'forked.txt'") != std::string::npos;
  seen.sideFile = listing.find("/Docs/._forked.txt'") != std::string::npos;
  seen.catalogue = listing.find("/.tessaline'") != std::string::npos;
  const auto verify = runCli({"verify", docs.string()});  // the disc may have brought Docs back
  seen.trueCopy = verify.exitCode == 0;
  ASSERT_EQ(::setxattr((docs / "forked.txt").c_str(), "user.com.apple.ResourceFork", "RSRC", 4, 0), 0);
  seen.forkChangeSeen = runCli({"verify", docs.string()}).exitCode != 0;

  // The same length and date, other contents.
  const long long burned = modTime(docs / "same.txt");
  writeFile(docs / "same.txt", "54321");
  setModTime(docs / "same.txt", burned);
  fs::remove(docs / "gone.txt");
  writeFile(docs / "new.txt", "new");  // so that there is a session to preview
  seen.deletionSeen = false;
  const auto preview = runCli({"preview", "--json", docs.string()});
  ASSERT_EQ(preview.exitCode, 0) << preview.err;
  for (const auto& e : QJsonDocument::fromJson(QByteArray::fromStdString(preview.out)).object()[QStringLiteral("entries")].toArray()) {
    const QString path = e.toObject()[QStringLiteral("path")].toString();
    if (path == QStringLiteral("Docs/a.txt")) seen.unchangedAgain = true;
    if (path == QStringLiteral("Docs/same.txt")) seen.sameSizeAndDateSeen = true;
    if (path == QStringLiteral("Docs/gone.txt")) seen.deletionSeen = e.toObject()[QStringLiteral("reason")] == QStringLiteral("deleted");
  }
  EXPECT_EQ(seen, row.effects) << (*row.key != '\0' ? row.key : "no key set");
}

Effects with(void (*change)(Effects&)) {
  Effects e;
  change(e);
  return e;
}

INSTANTIATE_TEST_SUITE_P(
    EveryKey, PreferenceKeys,
    ::testing::Values(Row{"", Effects{}},
                      Row{"disableVerification", with([](Effects& e) { e.verified = false; })},
                      Row{"resolveDisabled", with([](Effects& e) {
                            e.linkStaysLink = true;
                            e.aliasSizedByTarget = false;
                          })},
                      Row{"disableSplitForks", with([](Effects& e) {
                            e.sideFile = false;
                            e.forkChangeSeen = false;
                          })},
                      Row{"storeBurnConfiguration", with([](Effects& e) { e.catalogue = true; })},
                      Row{"disableIncrementalUpdating", with([](Effects& e) {
                            e.unchangedAgain = true;
                            e.sameSizeAndDateSeen = true;  // everything is copied again
                          })},
                      Row{"compareContents", with([](Effects& e) { e.sameSizeAndDateSeen = true; })}),
    [](const ::testing::TestParamInfo<Row>& param) {
      return *param.param.key != '\0' ? std::string(param.param.key) : std::string("noKey");
    });

}  // namespace
}  // namespace tessaline::test
