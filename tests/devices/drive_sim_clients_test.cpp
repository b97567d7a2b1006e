// Programs we did not write read the simulated drive as they read a CD
// writer: cdrskin (libburn), wodim (a SCSI stack of its own) and xorriso give
// the session addresses of the emulated writer's table of contents, for an
// open disc of three sessions and a closed one.

#include <gtest/gtest.h>

#include <regex>

#include "support/simulated_drive.h"

namespace tessaline::test {
namespace {

// The session starts a program prints, matched by `pattern` (first group).
std::vector<long long> starts(const std::string& text, const char* pattern) {
  const std::regex line(pattern);
  std::vector<long long> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
    found.push_back(std::stoll((*it)[1]));
  return found;
}

TEST(SimulatedDriveClients, CdrskinWodimAndXorrisoReadTheSessionsAsTheMediumHoldsThem) {
  PrivateEnvironment env;
  SimulatedDrive drive(env / "sim");
  for (const char* name : {"one", "two", "three"}) writeFile(env / name / "f.txt", name);
  // Each image is built for where its session lands (tracks of 300 blocks).
  const std::vector<fs::path> images = {makeSessionImage(env / "one", env / "1.iso", "0", "ONE"),
                                        makeSessionImage(env / "two", env / "2.iso", "0,11702", "TWO"),
                                        makeSessionImage(env / "three", env / "3.iso", "11702,18904", "THREE")};
  struct Case {
    std::size_t sessions;
    bool closed;
    std::vector<long long> starts;
    const char* msinfo;  // the addresses of a next session; none on a closed disc
  };
  for (const Case& c : {Case{3, false, {0, 11702, 18904}, "18904,26106"}, Case{1, true, {0}, ""}}) {
    SCOPED_TRACE(c.sessions);
    drive.insert(MediumKind::CDR, std::vector<fs::path>(images.begin(), images.begin() + static_cast<long>(c.sessions)),
                 c.closed);
    for (const char* program : {"cdrskin", "wodim"}) {
      SCOPED_TRACE(program);
      // "track:   1 lba:         0 (...)", and the lead-out 2 run-out blocks after the last track.
      const auto toc = runProgram(program, {"dev=/dev/sr0", "-toc"});
      EXPECT_EQ(toc.exitCode, 0) << toc.out;
      EXPECT_EQ(starts(toc.out, R"(track:\s*\d+ lba:\s*(\d+))"), c.starts) << toc.out;
      const auto leadOuts = starts(toc.out, R"(track:lout lba:\s*(\d+))");
      EXPECT_EQ(leadOuts.empty() ? -1 : leadOuts.back(), c.starts.back() + 300 + 2);
      const auto msinfo = runProgram(program, {"dev=/dev/sr0", "-msinfo"});
      std::smatch m;
      const bool found = std::regex_search(msinfo.out, m, std::regex(R"((^|\n)(\d+,\d+)\n)"));
      EXPECT_EQ(found ? m[2].str() : "", c.msinfo) << msinfo.out << msinfo.err;
    }
    const auto xorriso = runProgram("xorriso", {"-indev", "/dev/sr0", "-toc"});
    EXPECT_EQ(starts(xorriso.out, R"(ISO session *: *\d+ *, *(\d+) *,)"), c.starts) << xorriso.out << xorriso.err;
  }
  // The commands of a CD writer, no others.
  EXPECT_EQ(drive.commandsSent().count("READ TOC/PMA/ATIP"), 1u);
  EXPECT_EQ(drive.commandsSent().count("UNKNOWN"), 0u);
}

}  // namespace
}  // namespace tessaline::test
