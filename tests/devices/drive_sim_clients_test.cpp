// Programs we did not write read the simulated drive as they read a CD
// writer: cdrskin (libburn) and wodim (a SCSI stack of its own) give the
// addresses of the emulated writer's table of contents for blank,
// one-session, three-session and closed discs, and a session cdrskin writes
// is read back by xorriso.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <regex>

#include "support/simulated_drive.h"

namespace tessaline::test {
namespace {

struct Toc {
  std::vector<long long> starts;
  long long leadOut = -1;
};

// "track:   1 lba:         0 (...)" and "track:lout lba:       302 (...)", as both print it.
Toc parseToc(const std::string& text) {
  static const std::regex line(R"(track:\s*(\w+) lba:\s*(\d+))");
  Toc toc;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    if ((*it)[1] == "lout") toc.leadOut = std::stoll((*it)[2]);
    else toc.starts.push_back(std::stoll((*it)[2]));
  }
  return toc;
}

// The "LAST_START,NEXT_WRITABLE" line of -msinfo on standard output; empty when none.
std::string msinfoLine(const std::string& out) {
  static const std::regex line(R"((^|\n)(\d+,\d+)\n)");
  std::smatch m;
  return std::regex_search(out, m, line) ? m[2].str() : std::string();
}

ProcessResult client(const std::string& program, const std::string& option) {
  return runProgram(program, {"dev=/dev/sr0", option});
}

TEST(SimulatedDriveClients, CdrskinAndWodimReadEveryDiscStateAsTheMediumHoldsIt) {
  PrivateEnvironment env;
  SimulatedDrive drive(env / "sim");
  writeFile(env / "one/a.txt", "alpha");
  writeFile(env / "two/b.txt", "bravo");
  writeFile(env / "three/c.txt", "charlie");
  // Each image is built for where its session lands (tracks of 300 blocks).
  const std::vector<fs::path> images = {makeSessionImage(env / "one", env / "1.iso", "0", "ONE"),
                                        makeSessionImage(env / "two", env / "2.iso", "0,11702", "TWO"),
                                        makeSessionImage(env / "three", env / "3.iso", "11702,18904", "THREE")};
  struct Case {
    const char* disc;
    std::size_t sessions;
    bool closed;
  };
  for (const Case c : {Case{"blank", 0, false}, Case{"one session", 1, false}, Case{"three sessions", 3, false},
                       Case{"closed", 3, true}}) {
    SCOPED_TRACE(c.disc);
    drive.insert(MediumKind::CDR, std::vector<fs::path>(images.begin(), images.begin() + static_cast<long>(c.sessions)),
                 c.closed);
    const QJsonObject info = QJsonDocument::fromJson(QByteArray::fromStdString(drive.writerInfoJson())).object();
    std::vector<long long> starts;
    long long end = -1;
    for (const auto& t : info[QStringLiteral("tracks")].toArray()) {
      starts.push_back(t.toObject()[QStringLiteral("start")].toVariant().toLongLong());
      end = starts.back() + t.toObject()[QStringLiteral("length")].toVariant().toLongLong() + 2;  // run-out
    }
    ASSERT_EQ(starts.size(), c.sessions);

    const auto atip = client("cdrskin", "-atip");
    EXPECT_NE(atip.out.find("ATIP start of lead out: 359847"), std::string::npos) << atip.out;
    for (const char* program : {"cdrskin", "wodim"}) {
      SCOPED_TRACE(program);
      const auto toc = client(program, "-toc");
      const auto msinfo = client(program, "-msinfo");
      if (c.sessions == 0) {
        // A blank disc has no table of contents and no sessions to continue.
        EXPECT_NE((toc.out + toc.err).find(std::string(program) == "cdrskin" ? "blank CD-R" : "Cannot read TOC"),
                  std::string::npos) << toc.out << toc.err;
        EXPECT_EQ(msinfoLine(msinfo.out), "");
        continue;
      }
      EXPECT_EQ(toc.exitCode, 0) << toc.out;
      EXPECT_EQ(parseToc(toc.out).starts, starts) << toc.out;
      EXPECT_EQ(parseToc(toc.out).leadOut, end);
      // A closed disc takes no further session: no addresses for one.
      EXPECT_EQ(msinfoLine(msinfo.out), c.closed ? "" : info[QStringLiteral("sessionString")].toString().toStdString())
          << msinfo.out << msinfo.err;
    }
  }

  // cdrskin writes a session onto a blank disc; xorriso reads it from the
  // medium file and through the drive.
  drive.insert(MediumKind::CDR);
  const auto burn = runProgram("cdrskin", {"dev=/dev/sr0", "-multi", "-tao", images[0].string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.out << burn.err;
  EXPECT_NE(drive.writerInfoJson().find("\"sessionString\": \"0,11702\""), std::string::npos);
  const auto fromFile = runProgram("xorriso", {"-indev", "stdio:" + drive.mediumFile().string(), "-find", "/"});
  EXPECT_NE(fromFile.out.find("/a.txt"), std::string::npos) << fromFile.err;
  const auto fromDrive = runProgram("xorriso", {"-indev", "/dev/sr0", "-toc"});
  EXPECT_NE(fromDrive.out.find("ISO session  :   1 ,         0 ,"), std::string::npos) << fromDrive.out << fromDrive.err;
  EXPECT_NE(fromDrive.out.find("Media nwa    : 11702s"), std::string::npos);

  // What the clients asked of the drive: the commands of a CD writer, no others.
  const std::set<std::string> sent = drive.commandsSent();
  for (const char* name : {"INQUIRY", "GET CONFIGURATION", "READ DISC INFORMATION", "READ TRACK INFORMATION",
                           "READ TOC/PMA/ATIP", "MODE SELECT(10)", "WRITE(10)", "CLOSE TRACK/SESSION"})
    EXPECT_EQ(sent.count(name), 1u) << name;
  EXPECT_EQ(sent.count("UNKNOWN"), 0u);
}

}  // namespace
}  // namespace tessaline::test
