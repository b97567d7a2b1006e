// Whole burns on the real-drive path: tessaline-cli through libburn and its
// own SG_IO status reader, on the simulated CD writer, checked with xorriso.

#include <gtest/gtest.h>

#include <regex>

#include "devices/emulated/emulated_medium.h"
#include "support/simulated_drive.h"

namespace tessaline::test {
namespace {

class RealDriveE2E : public ::testing::Test {
 protected:
  // The simulated drive is the only writer.
  ProcessResult cli(const std::vector<std::string>& args) {
    auto r = runCli(args);
    r.out += r.err;
    return r;
  }
  std::string sessionString() {
    const std::string json = drive_.writerInfoJson();
    std::smatch m;
    return std::regex_search(json, m, std::regex(R"x("sessionString": "([^"]*)")x")) ? m[1].str() : "";
  }
  // The files of the session at `start`, as xorriso reads them from the medium file.
  std::string sessionFiles(const std::string& start) {
    return runProgram("xorriso", {"-indev", "stdio:" + drive_.mediumFile().string(), "-load", "sbsector", start,
                                  "-find", "/", "-type", "f"})
        .out;
  }

  PrivateEnvironment env_;
  SimulatedDrive drive_{env_ / "sim"};
  ScopedEnv noWait_{"TESSALINE_MOUNT_WAIT_S", "1"};
};

TEST_F(RealDriveE2E, BurnStatusAndEraseGoThroughLibburnAndTheDrivesOwnAnswers) {
  drive_.insert(MediumKind::CDRW);
  const auto writers = runCli({"writers"});
  EXPECT_NE(writers.out.find("0  TESSALIN Simulated CD-RW  (/dev/sr0)"), std::string::npos) << writers.out;
  EXPECT_NE(cli({"status"}).out.find("title: untitled"), std::string::npos);

  // TAO, multi-session, a requested speed, underrun protection and
  // verification; UDisks2 is not reachable, so nothing mounts the disc.
  writeFile(env_ / "home/Docs/a.txt", "alpha");
  const auto burn = cli({"burn", "--speed", "8", "--volume", "Backup", (env_ / "home/Docs").string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.out;
  EXPECT_NE(burn.out.find("written and verified"), std::string::npos) << burn.out;
  EXPECT_EQ(sessionString(), "0,11702");
  EXPECT_NE(sessionFiles("0").find("/Docs/a.txt"), std::string::npos);
  const auto sent = drive_.commandsSent();
  for (const char* name : {"SET CD SPEED", "MODE SELECT(10)", "WRITE(10)", "SYNCHRONIZE CACHE", "CLOSE TRACK/SESSION",
                           "READ(10)"})
    EXPECT_EQ(sent.count(name), 1u) << name;

  // The drive's own answers: an erasable CD-RW with a session, not mounted.
  const auto status = cli({"status", "--json"});
  EXPECT_NE(status.out.find("\"deviceStatusString\": \"CD-RW"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"eraseable\": \"yes\""), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("mountPath"), std::string::npos) << status.out;

  const auto erase = cli({"erase", "--yes"});
  ASSERT_EQ(erase.exitCode, 0) << erase.out;
  EXPECT_EQ(sessionString(), "0");
  EXPECT_NE(cli({"status"}).out.find("title: untitled"), std::string::npos);

  // A closed disc reads as closed.
  drive_.insert(MediumKind::CDR, {makeSessionImage(env_ / "home", env_ / "1.iso", "0", "OLD")}, true);
  EXPECT_NE(cli({"status"}).out.find("CD-R (closed)"), std::string::npos) << cli({"status"}).out;
}

TEST_F(RealDriveE2E, DriveFaultsEndInActionableMessagesAndRecordNoSession) {
  writeFile(env_ / "home/Docs/a.txt", "alpha");
  const fs::path docs = env_ / "home/Docs";
  struct Case {
    const char* faults;
    const char* message;  // a regular expression
    bool recorded;        // a session is on the disc afterwards
  };
  for (const Case c : {Case{"write-error@100", "Writing failed at block ([0-9]+).* for blocks \\1 to ([0-9]+)", false},
                       Case{"removed@100", "disc was ejected from /dev/sr0 during the burn", false},
                       Case{"corrupt@150", "differs from the session image at block 150\\.", true},
                       Case{"slow=5", "written and verified", true}, Case{"", "in use by another program", false}}) {
    SCOPED_TRACE(c.faults);
    drive_.insert(MediumKind::CDR);
    drive_.setFaults(c.faults);
    std::optional<emulated::FileLock> held;  // another program has the drive
    if (std::string(c.faults).empty())
      held = std::move(emulated::FileLock::tryLock(drive_.writersDir() / "sim" / "exclusive.lock", "sim").value());
    const auto burn = cli({"burn", "--volume", "Backup", docs.string()});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(burn.out, m, std::regex(c.message))) << burn.out;
    if (m.size() == 3) {
      EXPECT_LE(std::stoll(m[1].str()), 100);
      EXPECT_GE(std::stoll(m[2].str()), 100);
    }
    EXPECT_EQ(burn.exitCode == 0, std::string(c.faults).rfind("slow", 0) == 0);
    EXPECT_EQ(sessionString() != "0", c.recorded) << sessionString();
    EXPECT_EQ(readFile(docs / "a.txt"), "alpha");
    EXPECT_EQ(fs::directory_iterator(docs)->path().filename(), "a.txt");
  }
  // A drive that keeps loading is never taken for one with a disc to burn.
  drive_.insert(MediumKind::CDR);
  drive_.setFaults("loading");
  const auto loading = cli({"burn", "--volume", "Backup", docs.string()});
  EXPECT_NE(loading.exitCode, 0);
  EXPECT_EQ(sessionString(), "0");
}

}  // namespace
}  // namespace tessaline::test
