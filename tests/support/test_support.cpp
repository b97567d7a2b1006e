#include "support/test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tessaline::test {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "tessaline-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything writable first: tests leave read-only folders behind.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
  }
  chmod(path_.c_str(), 0700);
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}

PrivateEnvironment::PrivateEnvironment()
    : writers_("TESSALINE_WRITERS_DIR", (temp_ / "writers").string()),
      config_("XDG_CONFIG_HOME", (temp_ / "config").string()),
      runtime_("XDG_RUNTIME_DIR", (temp_ / "runtime").string()),
      cache_("XDG_CACHE_HOME", (temp_ / "cache").string()),
      tmp_("TMPDIR", (temp_ / "tmp").string()),
      wait_("TESSALINE_MOUNT_WAIT_S", "10"),
      noDrives_("TESSALINE_NO_REAL_DRIVES", "1") {
  for (const char* d : {"writers", "config", "runtime", "cache", "tmp"}) fs::create_directories(temp_ / d);
}

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void setModTime(const fs::path& path, long long seconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

long long modTime(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_mtim.tv_sec);
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!predicate()) {
    if (timer.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

int runAsNobody(const std::function<int()>& fn) {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (getuid() == 0) {
      if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(125);
    }
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

long residentKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

ChildOutcome runInChild(const std::function<int()>& fn, int cpuSeconds) {
  ChildOutcome outcome;
  const long before = residentKb();
  const pid_t pid = fork();
  if (pid < 0) return outcome;
  if (pid == 0) {
    const rlim_t limit = static_cast<rlim_t>(cpuSeconds);
    struct rlimit cpu {limit, limit + 1};
    setrlimit(RLIMIT_CPU, &cpu);
    alarm(static_cast<unsigned>(cpuSeconds) * 4);  // asleep rather than busy: ends too
    _exit(fn());
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  outcome.exited = WIFEXITED(status);
  outcome.code = outcome.exited ? WEXITSTATUS(status) : -1;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  outcome.peakRssGrowthKb = usage.ru_maxrss - before;
  return outcome;
}

void openUpForNobody(const fs::path& path) {
  for (fs::path p = path; !p.empty() && p != p.root_path(); p = p.parent_path()) {
    struct stat st {};
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) chmod(p.c_str(), st.st_mode | 0755);
  }
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& stdinData, int timeoutMs, const fs::path& workingFolder) {
  QProcess process;
  if (!workingFolder.empty()) process.setWorkingDirectory(QString::fromStdString(workingFolder.string()));
  QStringList list;
  for (const auto& a : args) list << QString::fromLocal8Bit(a.c_str());
  process.start(QString::fromLocal8Bit(program.c_str()), list);
  ProcessResult result;
  if (!process.waitForStarted(10000)) return result;
  if (!stdinData.empty()) process.write(stdinData.data(), static_cast<qint64>(stdinData.size()));
  process.closeWriteChannel();
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished();
    return result;
  }
  result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.out = process.readAllStandardOutput().toStdString();
  result.err = process.readAllStandardError().toStdString();
  return result;
}

ProcessResult runCli(const std::vector<std::string>& args, const std::string& stdinData,
                     const fs::path& workingFolder) {
  return runProgram(TESSALINE_CLI_PATH, args, stdinData, 120000, workingFolder);
}

int sessionsOnDisc(const std::string& writer) {
  const auto info = QJsonDocument::fromJson(QByteArray::fromStdString(runCli({"writer", "info", writer, "--json"}).out));
  return static_cast<int>(info[QStringLiteral("tracks")].toArray().size());
}

ScopedMount::ScopedMount(const fs::path& at, const char* type, const char* options) : at_(at) {
  fs::create_directories(at);
  if (::mount("none", at.c_str(), type, 0, options) != 0) error_ = errno;
}

ScopedMount::~ScopedMount() {
  if (mounted()) ::umount2(at_.c_str(), MNT_DETACH);
}

std::string ScopedMount::why() const { return "cannot mount a file system here (" + std::string(std::strerror(error_)) + ")"; }

}  // namespace tessaline::test
