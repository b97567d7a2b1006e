#pragma once
// Helpers shared by the tests: private temporary folders, files, waiting on
// the event loop, and running a piece of a test as an unprivileged user.

#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

// A failed check shows a QString as text, not as a list of 2-byte objects.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace tessaline::test {

namespace fs = std::filesystem;

// A fresh folder (mkdtemp) removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

void writeFile(const fs::path& path, const std::string& content);
std::string readFile(const fs::path& path);
// Sets a file's modification time (seconds since the epoch), without following links.
void setModTime(const fs::path& path, long long seconds);
long long modTime(const fs::path& path);

// A file system mounted at a folder (which it creates) for as long as this
// lives; mounting needs root. mounted() is false where it is not allowed,
// and why() tells.
class ScopedMount {
 public:
  ScopedMount(const fs::path& at, const char* type, const char* options);
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  bool mounted() const { return error_ == 0; }
  std::string why() const;

 private:
  fs::path at_;
  int error_ = 0;
};

// Runs the event loop until the predicate holds or the time runs out.
bool waitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs fn in a child process that has dropped to the user nobody; answers
// the child's exit status (fn's result), or -1 when it could not be run.
int runAsNobody(const std::function<int()>& fn);
// How a piece of a test run in a child process ended.
struct ChildOutcome {
  bool exited = false;  // ended normally, neither killed nor crashed
  int code = -1;        // fn's result
  int signal = 0;       // what ended it otherwise (SIGXCPU: out of time)
  long peakRssGrowthKb = 0;  // peak resident memory beyond the parent's at the start
};
// Runs fn in a child process limited to `cpuSeconds` of processor time, so
// that a test can tell a bounded outcome from a crash, a hang or runaway memory.
ChildOutcome runInChild(const std::function<int()>& fn, int cpuSeconds = 60);
// Makes the path (and its ancestors up to /) reachable for nobody.
void openUpForNobody(const fs::path& path);

// A private world for tessaline-cli and the controller: writers, preferences,
// mounts, caches and the temp folder all inside one TempDir, real drives off.
class PrivateEnvironment {
 public:
  PrivateEnvironment();
  const fs::path& path() const { return temp_.path(); }
  fs::path operator/(const fs::path& rel) const { return temp_ / rel; }
  fs::path writersDir() const { return temp_ / "writers"; }
  bool tmpIsEmpty() const { return fs::is_empty(temp_ / "tmp"); }

 private:
  TempDir temp_;
  ScopedEnv writers_, config_, runtime_, cache_, tmp_, wait_, noDrives_;
};

// Runs a program and collects its output.
struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};
ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdinData = {}, int timeoutMs = 120000,
                         const fs::path& workingFolder = {});
// Runs tessaline-cli.
ProcessResult runCli(const std::vector<std::string>& args, const std::string& stdinData = {},
                     const fs::path& workingFolder = {});
// How many sessions the disc in an emulated writer holds, as "writer info" tells.
int sessionsOnDisc(const std::string& writer = "rec");

}  // namespace tessaline::test
