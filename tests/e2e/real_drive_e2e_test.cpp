// Whole burns on the real-drive path: tessaline-cli through libburn and its
// own SG_IO status reader, on the simulated CD writer, with UDisks2 (a
// stand-in on a private bus) or without it, checked with xorriso; cdrskin
// and wodim read the same discs from the drive.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
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
  // The files of the session at `start` as xorriso reads them from the
  // medium file, each with whether its data was written in that session.
  std::map<std::string, bool> sessionFiles(long long start) {
    const auto r = runProgram("xorriso", {"-indev", "stdio:" + drive_.mediumFile().string(), "-load", "sbsector",
                                          std::to_string(start), "-find", "/", "-type", "f", "-exec", "report_lba"});
    static const std::regex line(R"(File data lba: *\d+ *, *(\d+) *,[^'\n]*'([^'\n]*)')");
    std::map<std::string, bool> files;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line); it != std::sregex_iterator(); ++it)
      files[(*it)[2]] = std::stoll((*it)[1]) >= start;
    return files;
  }
  std::string statusJson() { return cli({"status", "--json"}).out; }
  // The session starts and a next session's addresses as cdrskin and wodim (a
  // SCSI stack of its own) read them from the drive, and xorriso's starts.
  std::vector<std::string> clientsRead() {
    const auto all = [](const std::string& text, const char* pattern) {
      std::string found;
      const std::regex re(pattern);
      for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found += (*it)[1].str() + " ";
      return found;
    };
    std::vector<std::string> read;
    for (const char* program : {"cdrskin", "wodim"})
      read.push_back(all(runProgram(program, {"dev=/dev/sr0", "-toc"}).out, R"(track:\s*\d+ lba:\s*(\d+))") + "| " +
                     all(runProgram(program, {"dev=/dev/sr0", "-msinfo"}).out, R"((?:^|\n)(\d+,\d+)\n)"));
    read.push_back(all(runProgram("xorriso", {"-indev", "/dev/sr0", "-toc"}).out, R"(ISO session *: *\d+ *, *(\d+) *,)"));
    return read;
  }

  PrivateEnvironment env_;
  SimulatedDrive drive_{env_ / "sim"};
  ScopedEnv noWait_{"TESSALINE_MOUNT_WAIT_S", "0"};
  fs::path docs_ = env_ / "home/Docs";
};

TEST_F(RealDriveE2E, ThreeBurnsContinueTheDiscThroughLibburnAndUDisks) {
  FakeUDisks udisks(drive_);
  drive_.insert(MediumKind::CDRW);
  const auto writers = runCli({"writers"});
  EXPECT_NE(writers.out.find("0  TESSALIN Simulated CD-RW  (/dev/sr0)"), std::string::npos) << writers.out;
  // Speeds for the disc come from GET PERFORMANCE, or from the capabilities
  // page on a drive without that command.
  EXPECT_NE(writers.out.find("speeds for its disc: 4x, 8x, 16x, 24x, 32x, 48x"), std::string::npos) << writers.out;
  drive_.setFaults("no-performance");
  EXPECT_NE(runCli({"writers"}).out.find("speeds for its disc: 4x, 8x, 16x, 24x, 32x, 48x"), std::string::npos);
  // A drive that refuses READ DISC INFORMATION: the disc is not offered for a burn.
  drive_.setFaults("no-disc-info");
  const auto noDiscInfo = runCli({"status"});
  EXPECT_EQ(noDiscInfo.exitCode, 0) << noDiscInfo.err;
  EXPECT_NE(noDiscInfo.out.find("disc: CD-RW (closed)"), std::string::npos) << noDiscInfo.out;
  drive_.setFaults("");
  writeFile(docs_ / "a.txt", "alpha");
  writeFile(docs_ / "b.txt", "bravo");

  // Each burn: what changes before it, what its session writes, the session
  // string after it. The disc keeps its name; the mounted disc is the base.
  struct Burn {
    std::function<void()> change;
    std::map<std::string, bool> files;  // the merged tree; true: written by this session
    const char* sessionString;
  };
  const Burn burns[] = {
      {[] {}, {{"/Docs/a.txt", true}, {"/Docs/b.txt", true}}, "0,11702"},
      {[&] {
         writeFile(docs_ / "b.txt", "bravo, again");
         setModTime(docs_ / "b.txt", modTime(docs_ / "b.txt") + 100);
         writeFile(docs_ / "c.txt", "charlie");
       },
       {{"/Docs/a.txt", false}, {"/Docs/b.txt", true}, {"/Docs/c.txt", true}}, "11702,18904"},
      {[&] { setModTime(docs_ / "a.txt", modTime(docs_ / "a.txt") + 100); },
       {{"/Docs/a.txt", true}, {"/Docs/b.txt", false}, {"/Docs/c.txt", false}}, "18904,26106"},
  };
  std::vector<std::pair<long long, std::map<std::string, bool>>> sessions;  // each session's start and files
  for (const Burn& b : burns) {
    SCOPED_TRACE(b.sessionString);
    b.change();
    // TAO, multi-session, a requested speed, underrun protection and verification.
    std::vector<std::string> args{"burn", "--yes", "--speed", "8", docs_.string()};
    if (sessions.empty()) args.insert(args.begin() + 1, {"--volume", "Backup"});
    // The last closes its session slowly, as a real drive does: that step is told.
    if (&b == &burns[2]) drive_.setFaults("slow-close=700");
    const auto burn = cli(args);
    drive_.setFaults("");
    ASSERT_EQ(burn.exitCode, 0) << burn.out;
    EXPECT_NE(burn.out.find("written and verified"), std::string::npos) << burn.out;
    if (&b == &burns[2]) {
      EXPECT_NE(burn.out.find("\nFinishing"), std::string::npos) << burn.out;
    }
    ASSERT_EQ(sessionString(), b.sessionString);
    sessions.emplace_back(std::stoll(b.sessionString), b.files);
  }
  // Every session, the last one and those before it, reads as it was written.
  for (const auto& [start, files] : sessions) EXPECT_EQ(sessionFiles(start), files) << start;
  // Mounted again afterwards, as the status shows.
  const auto status = cli({"status"});
  EXPECT_NE(status.out.find("title: Backup"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("mounted at: " + (drive_.mountsDir() / "Backup").string()), std::string::npos);
  EXPECT_EQ(readFile(drive_.mountsDir() / "Backup/Docs/b.txt"), "bravo, again");
  const auto sent = drive_.commandsSent();
  for (const char* name : {"SET CD SPEED", "MODE SELECT(10)", "WRITE(10)", "SYNCHRONIZE CACHE", "CLOSE TRACK/SESSION",
                           "READ(10)"})
    EXPECT_EQ(sent.count(name), 1u) << name;
  // Track At Once (the only way the drive writes), at 8x (1412 kB/s).
  EXPECT_EQ(drive_.tracksBegun(), (std::vector<std::string>{"at 0, multi-session, underrun protection, 1412 kB/s",
                                                           "at 11702, multi-session, underrun protection, 1412 kB/s",
                                                           "at 18904, multi-session, underrun protection, 1412 kB/s"}));
  // Unmounted before each continued burn (the drive refuses to be grabbed
  // while mounted), mounted after each.
  const auto calls = udisks.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Unmount /dev/sr0"), 2);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Mount /dev/sr0"), 3);
  EXPECT_EQ(calls.back(), "Mount /dev/sr0");

  // The drive's own answers, in the plain fields.
  const auto json = statusJson();
  for (const char* field : {R"("sessions": 3)", R"("mounted": true)", R"("eraseable": "yes")",
                            R"("deviceStatusString": "CD-RW")"})
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;

  // The sessions as the drive's table of contents gives them to xorriso.
  std::vector<std::string> ours, theirs;
  const auto listed = runCli({"sessions", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  for (const auto& v : QJsonDocument::fromJson(QByteArray::fromStdString(listed.out)).array())
    ours.push_back(std::to_string(v.toObject()[QStringLiteral("start")].toInteger()) + " " +
                   v.toObject()[QStringLiteral("volumeName")].toString().toStdString());
  // Shared: the disc is mounted, and a mounted drive refuses exclusive opens.
  const auto toc = runProgram("xorriso", {"-drive_access", "shared:readonly", "-indev", "/dev/sr0", "-toc"});
  static const std::regex session(R"(ISO session *: *\d+ *, *(\d+) *, *\d+s *, *(\S*))");
  const std::string tocText = toc.out + toc.err;
  for (auto it = std::sregex_iterator(tocText.begin(), tocText.end(), session); it != std::sregex_iterator(); ++it)
    theirs.push_back((*it)[1].str() + " " + (*it)[2].str());
  EXPECT_EQ(ours, (std::vector<std::string>{"0 Backup", "11702 Backup", "18904 Backup"}));
  EXPECT_EQ(ours, theirs) << tocText;

  const auto erase = cli({"erase", "--yes"});
  ASSERT_EQ(erase.exitCode, 0) << erase.out;
  EXPECT_EQ(sessionString(), "0");
  EXPECT_EQ(readFile(drive_.mountTable()), "");
  EXPECT_NE(cli({"status"}).out.find("title: untitled"), std::string::npos);
}

TEST_F(RealDriveE2E, WithoutUDisksNothingIsMountedUntilAskedAndNothingIsUnmounted) {
  drive_.insert(MediumKind::CDRW);
  writeFile(docs_ / "a.txt", "alpha");
  const auto burn = cli({"burn", "--volume", "Backup", docs_.string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.out;
  EXPECT_NE(burn.out.find("written and verified"), std::string::npos) << burn.out;
  EXPECT_EQ(sessionString(), "0,11702");
  // Programs we did not write read the disc from the drive alike.
  EXPECT_EQ(clientsRead(), (std::vector<std::string>{"0 | 0,11702 ", "0 | 0,11702 ", "0 "}));

  // The disc holds a session but nobody mounted it.
  const auto status = cli({"status"});
  EXPECT_NE(status.out.find("CD-RW (not mounted)"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("'tessaline-cli mount'"), std::string::npos) << status.out;
  EXPECT_NE(statusJson().find(R"("mounted": false)"), std::string::npos);
  EXPECT_NE(cli({"mount"}).out.find("UDisks2 is not running"), std::string::npos);
  {
    FakeUDisks udisks(drive_);
    const auto mount = cli({"mount"});
    EXPECT_EQ(mount.exitCode, 0) << mount.out;
    EXPECT_NE(mount.out.find("mounted at " + (drive_.mountsDir() / "Backup").string()), std::string::npos) << mount.out;
    EXPECT_NE(cli({"status"}).out.find("title: Backup"), std::string::npos);
  }
  {  // Mounted by the system as another file system: said so.
    const std::string table = readFile(drive_.mountTable());
    std::string other = table;
    other.replace(other.find(" iso9660 "), 9, " udf ");
    writeFile(drive_.mountTable(), other);
    const auto said = cli({"status"});
    EXPECT_NE(said.out.find("CD-RW (file system not supported)"), std::string::npos) << said.out;
    writeFile(drive_.mountTable(), table);
  }
  // A mounted disc that cannot be unmounted is left alone, with the reason.
  struct Case {
    bool udisks;
    const char* message;
  };
  for (const Case c : {Case{false, "cannot be unmounted because UDisks2 is not running. Unmount it (umount "},
                       Case{true, "Could not unmount the disc in /dev/sr0: files on it are open in another program"}}) {
    SCOPED_TRACE(c.message);
    std::optional<FakeUDisks> udisks;
    if (c.udisks) udisks.emplace(drive_, true);
    const auto erase = cli({"erase", "--yes"});
    EXPECT_NE(erase.exitCode, 0);
    EXPECT_NE(erase.out.find(c.message), std::string::npos) << erase.out;
    EXPECT_EQ(sessionString(), "0,11702");
    EXPECT_EQ(readFile(drive_.mountsDir() / "Backup/Docs/a.txt"), "alpha");
  }

  // A closed disc reads as closed, and takes no further session.
  drive_.insert(MediumKind::CDR, {makeSessionImage(env_ / "home", env_ / "1.iso", "0", "OLD")}, true);
  EXPECT_NE(cli({"status"}).out.find("CD-R (closed)"), std::string::npos) << cli({"status"}).out;
  EXPECT_EQ(clientsRead(), (std::vector<std::string>{"0 | ", "0 | ", "0 "}));
  EXPECT_EQ(drive_.commandsSent().count("UNKNOWN"), 0u);
}

TEST_F(RealDriveE2E, DriveFaultsEndInActionableMessagesAndRecordNoSession) {
  writeFile(docs_ / "a.txt", "alpha");
  const fs::path oneSession = makeSessionImage(docs_, env_ / "1.iso", "0", "OLD");
  struct Case {
    const char* faults;   // "held": another program has the drive, and the disc is erased
    const char* message;  // a regular expression
    bool recorded;        // a session is on the disc afterwards
  };
  for (const Case c : {Case{"write-error@100", "Writing failed at block ([0-9]+).* for blocks \\1 to ([0-9]+)", false},
                       // In the run-out, after the last byte of the image has gone to the drive.
                       Case{"write-error@299", "Writing failed at block ([0-9]+).* for blocks \\1 to ([0-9]+)", false},
                       Case{"removed@100", "disc was ejected from /dev/sr0 during the burn", false},
                       Case{"corrupt@150", "differs from the session image at block 150\\.", true},
                       Case{"held", "in use by another program", true},
                       Case{"loading", "the writer is busy loading a disc; try again in a moment", false}}) {
    SCOPED_TRACE(c.faults);
    const bool held = std::string(c.faults) == "held";
    drive_.insert(held ? MediumKind::CDRW : MediumKind::CDR, held ? std::vector<fs::path>{oneSession} : std::vector<fs::path>{});
    drive_.setFaults(held ? "" : c.faults);
    std::optional<ScopedEnv> loadWait;  // the command gives up on a loading drive at once
    if (std::string(c.faults) == "loading") loadWait.emplace("TESSALINE_LOAD_WAIT_S", "0");
    std::optional<emulated::FileLock> lock;
    if (held) lock = std::move(emulated::FileLock::tryLock(drive_.writersDir() / "sim" / "exclusive.lock", "sim").value());
    // A burn waits a few seconds for a drive held for a moment; an erase does not.
    const auto r = cli(held ? std::vector<std::string>{"erase", "--yes"}
                            : std::vector<std::string>{"burn", "--volume", "Backup", docs_.string()});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex(c.message))) << r.out;
    if (m.size() == 3) {  // the blocks named hold the one that failed
      const long long failed = std::stoll(std::strchr(c.faults, '@') + 1);
      EXPECT_LE(std::stoll(m[1].str()), failed);
      EXPECT_GE(std::stoll(m[2].str()), failed);
    }
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(sessionString() != "0", c.recorded) << sessionString();
    EXPECT_EQ(readFile(docs_ / "a.txt"), "alpha");
    EXPECT_EQ(fs::directory_iterator(docs_)->path().filename(), "a.txt");
    if (loadWait) {  // reading the disc's sessions gives up the same way
      const auto history = cli({"sessions"});
      EXPECT_EQ(history.exitCode, 1);
      EXPECT_TRUE(std::regex_search(history.out, std::regex(c.message))) << history.out;
    }
  }

  // A user outside the drive's group is told which group to join, not that there is no disc.
  drive_.setFaults("");
  openUpForNobody(drive_.root());
  fs::create_directories(env_ / "out");
  fs::permissions(env_ / "out", fs::perms::all);
  // The system log (on standard error with --verbose) has it once, not at every look at the drive.
  const auto loggedOnce = [](const std::string& text) {
    const std::string logged = "tessaline: No permission to use the drive";
    return text.find(logged) != std::string::npos && text.find(logged) == text.rfind(logged);
  };
  for (const std::string command : {"--verbose status", "burn --yes /etc/hostname", "erase --yes", "sessions", "mount"}) {
    const bool status = command == "--verbose status";
    const fs::path said = env_ / "out/said.txt";
    const std::string line = std::string(TESSALINE_CLI_PATH) + " " + command + " >'" + said.string() + "' 2>&1";
    EXPECT_EQ(runAsNobody([&] { return WEXITSTATUS(std::system(line.c_str())); }), status ? 0 : 1);
    const std::string text = readFile(said);
    EXPECT_NE(text.find("No permission to use the drive /dev/sr0. Add your user to the group \"cdrom\""),
              std::string::npos) << command << ": " << text;
    if (status) {
      EXPECT_TRUE(loggedOnce(text)) << text;
    }
  }
  // Nor at every look of a watch, which looks again each second.
  const fs::path watched = env_ / "out/watched.txt";
  const std::string watch = "timeout -s INT 3 " + std::string(TESSALINE_CLI_PATH) + " --verbose status --watch >'" +
                            watched.string() + "' 2>&1";
  runAsNobody([&] { return WEXITSTATUS(std::system(watch.c_str())); });
  EXPECT_TRUE(loggedOnce(readFile(watched))) << readFile(watched);
}

}  // namespace
}  // namespace tessaline::test
