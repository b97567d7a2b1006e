// The simulated drive's place in a process: loaded with LD_PRELOAD, it
// stands in for the system calls through which programs reach an optical
// drive (open, close, the stat family, access, fcntl locks, ioctl with SG_IO
// and the cdrom and sg requests), so that device nodes such as /dev/sr0 and
// /dev/sg0 exist for the process and answer as a CD writer. Everything else
// goes on to the C library.
//
// Environment:
//   TESSALINE_DRIVE_SIM         the drives, separated by ';': each the folder of its
//                               medium (an emulated writer's folder: toc.json and
//                               medium.img), optionally preceded by its device paths
//                               and '=' ("/dev/sr0,/dev/sg0=/path/to/folder"). The
//                               n-th drive defaults to /dev/sr<n> and /dev/sg<n>.
//   TESSALINE_DRIVE_SIM_LOG     a file that gets one line per command
//   TESSALINE_DRIVE_SIM_FAULTS  faults to show, see mmc_drive.h
//   TESSALINE_DRIVE_SIM_MOUNTS  a mount table file (kept by the tests' stand-in for
//                               UDisks2) whose volumes the process sees in
//                               /proc/self/mounts, as the kernel lists mounted discs;
//                               a block node listed there refuses exclusive opens

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/cdrom.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mmc_drive.h"

namespace {

using tessaline::drivesim::Drive;

constexpr unsigned kSrMajor = 11;  // SCSI CD-ROM
constexpr unsigned kSgMajor = 21;  // SCSI generic

struct Node {
  std::string path;
  bool block = true;
  int index = 0;  // the drive's number: minor number, SCSI host
  std::shared_ptr<Drive> drive;
};

struct Handle {
  const Node* node = nullptr;
  std::shared_ptr<tessaline::emulated::FileLock> exclusive;  // held by an O_EXCL open
  std::shared_ptr<std::int64_t> offset = std::make_shared<std::int64_t>(0);  // of read() and lseek()
};

// Which descriptors are the simulator's, readable without the lock: most
// calls of a process are on other files and should not wait.
constexpr int kMaxFd = 1 << 16;
std::atomic<bool> gSimFd[kMaxFd];
void markFd(int fd, bool sim) {
  if (fd >= 0 && fd < kMaxFd) gSimFd[fd].store(sim, std::memory_order_relaxed);
}
bool maybeSimFd(int fd) { return fd >= kMaxFd || (fd >= 0 && gSimFd[fd].load(std::memory_order_relaxed)); }

// The C library's own functions, looked up once when the library is loaded:
// QProcess calls close and dup2 between vfork and exec, in memory it shares
// with the parent's other threads, where dlsym must not run.
struct NextFunction {
  const char* name;
  void* address;
};
NextFunction gNext[] = {
    {"open", nullptr},     {"open64", nullptr},   {"openat", nullptr},  {"openat64", nullptr}, {"close", nullptr},
    {"dup", nullptr},      {"dup2", nullptr},     {"dup3", nullptr},    {"read", nullptr},     {"pread", nullptr},
    {"pread64", nullptr},  {"lseek", nullptr},    {"lseek64", nullptr}, {"ioctl", nullptr},    {"fcntl", nullptr},
    {"fcntl64", nullptr},  {"stat", nullptr},     {"stat64", nullptr},  {"lstat", nullptr},    {"lstat64", nullptr},
    {"fstat", nullptr},    {"fstat64", nullptr},  {"fstatat", nullptr}, {"fstatat64", nullptr}, {"statx", nullptr},
    {"usleep", nullptr},   {"sleep", nullptr},    {"access", nullptr},  {"faccessat", nullptr}};

__attribute__((constructor)) void resolveNextFunctions() {
  for (NextFunction& f : gNext) f.address = ::dlsym(RTLD_NEXT, f.name);
}

template <typename F>
F next(const char* name) {
  for (const NextFunction& f : gNext)
    if (f.address != nullptr && std::strcmp(f.name, name) == 0) return reinterpret_cast<F>(f.address);
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));  // called before the constructor ran
}

class Simulator {
 public:
  Simulator() {
    const char* spec = std::getenv("TESSALINE_DRIVE_SIM");
    if (spec == nullptr || *spec == '\0') return;
    const char* logEnv = std::getenv("TESSALINE_DRIVE_SIM_LOG");
    const std::string log = logEnv ? logEnv : "";
    tessaline::drivesim::Faults faults;
    if (const char* f = std::getenv("TESSALINE_DRIVE_SIM_FAULTS")) {
      auto parsed = tessaline::drivesim::parseFaults(f);
      if (parsed) faults = parsed.value();
      else std::fprintf(stderr, "drive simulator: %s\n", parsed.error().message.c_str());
    }
    const std::string all = spec;
    std::size_t at = 0;
    int index = 0;
    while (at <= all.size()) {
      const std::size_t end = std::min(all.find(';', at), all.size());
      std::string item = all.substr(at, end - at);
      at = end + 1;
      if (item.empty()) continue;
      std::vector<std::string> paths;
      if (const auto eq = item.find('='); eq != std::string::npos) {
        std::string list = item.substr(0, eq);
        item = item.substr(eq + 1);
        for (std::size_t p = 0; p <= list.size();) {
          const std::size_t comma = std::min(list.find(',', p), list.size());
          if (comma > p) paths.push_back(list.substr(p, comma - p));
          p = comma + 1;
        }
      } else {
        paths = {"/dev/sr" + std::to_string(index), "/dev/sg" + std::to_string(index)};
      }
      std::filesystem::path folder(item);
      while (folder.has_filename() == false && folder.has_parent_path() && folder != folder.root_path())
        folder = folder.parent_path();
      auto drive = std::make_shared<Drive>(tessaline::emulated::WriterPaths{folder.parent_path(), folder.filename().string()},
                                           paths.empty() ? "drive" : paths.front(), faults, log);
      for (const auto& p : paths) {
        const std::string base = p.substr(p.rfind('/') + 1);
        nodes_.push_back(Node{p, base.rfind("sg", 0) != 0, index, drive});
      }
      ++index;
    }
  }

  const Node* find(const char* path) const {
    if (path == nullptr) return nullptr;
    for (const auto& n : nodes_)
      if (n.path == path) return &n;
    return nullptr;
  }

  void fill(const Node& n, struct stat* st) const {
    std::memset(st, 0, sizeof *st);
    st->st_dev = makedev(0, 5);
    st->st_ino = static_cast<ino_t>(7000 + n.index * 2 + (n.block ? 0 : 1));
    st->st_mode = (n.block ? S_IFBLK : S_IFCHR) | 0660;
    st->st_nlink = 1;
    st->st_gid = group();
    st->st_rdev = makedev(n.block ? kSrMajor : kSgMajor, static_cast<unsigned>(n.index));
    st->st_blksize = 2048;
  }

  // The node's mode bits 0660 owned by root and the group cdrom.
  bool mayUse(int mode) const {
    if ((mode & X_OK) != 0) return false;
    if (::geteuid() == 0 || mode == F_OK) return true;
    if (::getegid() == group()) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; ++i)
      if (groups[static_cast<std::size_t>(i)] == group()) return true;
    return false;
  }

  int open(const Node& n, int flags) {
    const int access = (flags & O_ACCMODE) == O_RDONLY ? R_OK : (flags & O_ACCMODE) == O_WRONLY ? W_OK : R_OK | W_OK;
    if (!mayUse(access)) return fail(EACCES);
    Handle h{&n, nullptr};
    // The kernel gives no exclusive open of a block device with a mounted file system.
    if ((flags & O_EXCL) != 0 && n.block && isMounted(n)) return fail(EBUSY);
    if ((flags & O_EXCL) != 0) {
      auto lock = n.drive->takeExclusive();
      if (!lock) return fail(EBUSY);
      h.exclusive = lock.value();
    }
    // Without O_NONBLOCK the cdrom driver wants a disc.
    if ((flags & O_NONBLOCK) == 0 && n.block && n.drive->driveStatus() != CDS_DISC_OK) return fail(ENOMEDIUM);
    const std::string name = "tessaline-sim-" + n.path.substr(n.path.rfind('/') + 1);
    const int fd = ::memfd_create(name.c_str(), (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
    if (fd < 0) return -1;
    std::lock_guard lock(mutex_);
    handles_[fd] = std::move(h);
    markFd(fd, true);
    return fd;
  }

  // Whether the mount table lists one of the drive's block nodes.
  bool isMounted(const Node& n) const {
    const std::string table = mountTable();
    for (const auto& other : nodes_) {
      if (other.drive != n.drive || !other.block) continue;
      const std::string from = other.path + " ";
      for (std::size_t at = 0; at < table.size();) {
        if (table.compare(at, from.size(), from) == 0) return true;
        const std::size_t eol = table.find('\n', at);
        if (eol == std::string::npos) break;
        at = eol + 1;
      }
    }
    return false;
  }

  // The mounted discs' lines for /proc/self/mounts.
  static std::string mountTable() {
    const char* file = std::getenv("TESSALINE_DRIVE_SIM_MOUNTS");
    if (file == nullptr || *file == '\0') return {};
    const int fd = ::open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text = readAll(fd);
    ::close(fd);
    return text;
  }

  static std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

  std::optional<Handle> handle(int fd) {
    if (!maybeSimFd(fd)) return std::nullopt;
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(fd);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
  }

  void duplicate(int from, int to) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(from);
    if (it != handles_.end() && to >= 0) {
      handles_[to] = it->second;
      markFd(to, true);
    }
  }

  void closed(int fd) {
    if (!maybeSimFd(fd)) return;
    Handle gone;  // let go of outside the lock: its exclusive lock closes a file
    bool others = false;
    {
      std::lock_guard lock(mutex_);
      const auto it = handles_.find(fd);
      if (it == handles_.end()) return;
      gone = std::move(it->second);
      handles_.erase(it);
      markFd(fd, false);
      for (const auto& [other, h] : handles_) others = others || h.node->drive == gone.node->drive;
    }
    if (!others) gone.node->drive->lastHandleClosed();
  }

  int ioctl(const Handle& h, unsigned long request, void* arg) {
    Drive& drive = *h.node->drive;
    switch (request) {
      case SG_IO: return sgIo(drive, static_cast<sg_io_hdr_t*>(arg));
      case SG_GET_VERSION_NUM: *static_cast<int*>(arg) = 30536; return 0;
      case SG_GET_SCSI_ID: {
        auto* id = static_cast<sg_scsi_id*>(arg);
        std::memset(id, 0, sizeof *id);
        id->host_no = host(h);
        id->scsi_type = TYPE_ROM;
        id->h_cmd_per_lun = 1;
        id->d_queue_depth = 1;
        return 0;
      }
      case SCSI_IOCTL_GET_IDLUN: {
        auto* idlun = static_cast<int*>(arg);
        idlun[0] = host(h) << 24;  // host, channel 0, id 0, lun 0
        idlun[1] = host(h);
        return 0;
      }
      case SCSI_IOCTL_GET_BUS_NUMBER: *static_cast<int*>(arg) = host(h); return 0;
      case SG_EMULATED_HOST: *static_cast<int*>(arg) = 1; return 0;
      case SG_GET_RESERVED_SIZE: *static_cast<int*>(arg) = reserved_; return 0;
      case SG_SET_RESERVED_SIZE: reserved_ = std::clamp(*static_cast<int*>(arg), 4096, 1 << 20); return 0;
      case SG_GET_TIMEOUT: return 6000;
      case SG_SET_TIMEOUT: return 0;
      case SG_GET_SG_TABLESIZE: *static_cast<int*>(arg) = 128; return 0;
      case CDROM_DRIVE_STATUS: return drive.driveStatus();
      case CDROM_MEDIA_CHANGED: return drive.mediumChanged() ? 1 : 0;
      case CDROMEJECT: return drive.moveTray(true) ? 0 : fail(EBUSY);
      case CDROMCLOSETRAY: return drive.moveTray(false) ? 0 : fail(EIO);
      case CDROM_LOCKDOOR: return 0;
      case BLKGETSIZE64: *static_cast<std::uint64_t*>(arg) = static_cast<std::uint64_t>(drive.deviceBytes()); return 0;
      case BLKGETSIZE: *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(drive.deviceBytes() / 512); return 0;
      case BLKSSZGET: *static_cast<int*>(arg) = 2048; return 0;
      case CDROM_GET_CAPABILITY:
        return CDC_CLOSE_TRAY | CDC_OPEN_TRAY | CDC_LOCK | CDC_SELECT_SPEED | CDC_MULTI_SESSION | CDC_MEDIA_CHANGED |
               CDC_GENERIC_PACKET | CDC_CD_R | CDC_CD_RW | CDC_DRIVE_STATUS;
      default: break;
    }
    note("ioctl " + std::to_string(request) + " refused");
    return fail(request == CDROM_DRIVE_STATUS ? EIO : ENOTTY);
  }

  static int fail(int error) {
    errno = error;
    return -1;
  }

 private:
  static int host(const Handle& h) { return 2 + h.node->index; }

  int sgIo(Drive& drive, sg_io_hdr_t* io) {
    if (io == nullptr || io->interface_id != 'S') return fail(ENOSYS);
    if (io->iovec_count != 0 || io->cmdp == nullptr || io->cmd_len == 0) return fail(EINVAL);
    const std::span<const std::uint8_t> cdb(io->cmdp, io->cmd_len);
    std::span<std::uint8_t> in;
    std::span<const std::uint8_t> out;
    auto* data = static_cast<std::uint8_t*>(io->dxferp);
    if (io->dxfer_direction == SG_DXFER_FROM_DEV || io->dxfer_direction == SG_DXFER_TO_FROM_DEV)
      in = std::span<std::uint8_t>(data, data ? io->dxfer_len : 0);
    else if (io->dxfer_direction == SG_DXFER_TO_DEV)
      out = std::span<const std::uint8_t>(data, data ? io->dxfer_len : 0);
    const auto reply = drive.execute(cdb, in, out);
    io->masked_status = io->msg_status = 0;
    io->host_status = io->driver_status = 0;
    io->sb_len_wr = 0;
    io->duration = 1;
    io->info = 0;
    io->resid = in.empty() ? 0 : static_cast<int>(in.size() - reply.length);
    io->status = 0;
    if (!reply.sense.good()) {
      std::uint8_t sense[18] = {};
      sense[0] = reply.sense.information ? 0xF0 : 0x70;
      sense[2] = reply.sense.key;
      const std::uint32_t info = reply.sense.information.value_or(0);
      sense[3] = static_cast<std::uint8_t>(info >> 24);
      sense[4] = static_cast<std::uint8_t>(info >> 16);
      sense[5] = static_cast<std::uint8_t>(info >> 8);
      sense[6] = static_cast<std::uint8_t>(info);
      sense[7] = 10;
      sense[12] = reply.sense.asc;
      sense[13] = reply.sense.ascq;
      const auto n = std::min<std::size_t>(io->mx_sb_len, sizeof sense);
      if (io->sbp != nullptr) std::memcpy(io->sbp, sense, n);
      io->sb_len_wr = static_cast<unsigned char>(n);
      io->status = 0x02;  // CHECK CONDITION
      io->masked_status = 0x01;
      io->driver_status = 0x08;  // DRIVER_SENSE
      io->info = SG_INFO_CHECK;
      io->resid = static_cast<int>(in.size());
    }
    return 0;
  }

  void note(const std::string& line) {
    const char* log = std::getenv("TESSALINE_DRIVE_SIM_LOG");
    if (log == nullptr) return;
    const std::string text = std::to_string(::getpid()) + " " + line + "\n";
    const int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
  }

  // The group of the nodes, looked up on first use: the lookup opens files,
  // which must not happen while the simulator is being set up.
  gid_t group() const {
    static const gid_t gid = [] {
      const struct group* g = ::getgrnam("cdrom");
      return g != nullptr ? g->gr_gid : gid_t{0};
    }();
    return gid;
  }

  std::vector<Node> nodes_;
  std::mutex mutex_;
  std::map<int, Handle> handles_;
  int reserved_ = 32768;
};

Simulator& sim() {
  static Simulator* s = new Simulator();  // never destroyed: other destructors may still close files
  return *s;
}

// --- the interposed calls ---------------------------------------------------------

bool isMountTablePath(const char* path) {
  if (path == nullptr) return false;
  const std::string_view p(path);
  return p == "/proc/self/mounts" || p == "/proc/mounts" || p == "/etc/mtab";
}

// The system's mount table with the simulated drives' mounted discs after it,
// in a file of its own.
int withSimulatedMounts(int fd, int flags) {
  if (fd < 0 || (flags & O_ACCMODE) != O_RDONLY) return fd;
  const std::string extra = Simulator::mountTable();
  if (extra.empty()) return fd;
  const std::string text = Simulator::readAll(fd) + extra;
  ::close(fd);
  const int copy = ::memfd_create("tessaline-sim-mounts", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
  if (copy < 0) return -1;
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(copy, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::lseek(copy, 0, SEEK_SET);
  return copy;
}

int openNode(const char* path, int flags, mode_t mode, const char* real) {
  if (const Node* n = sim().find(path)) return sim().open(*n, flags);
  const int fd = next<int (*)(const char*, int, ...)>(real)(path, flags, mode);
  return isMountTablePath(path) ? withSimulatedMounts(fd, flags) : fd;
}

mode_t modeArg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, unsigned int)) : 0;
}

template <typename Stat>
int statNode(const Node& n, Stat* st) {
  struct stat s {};
  sim().fill(n, &s);
  std::memset(st, 0, sizeof *st);
  st->st_dev = s.st_dev;
  st->st_ino = s.st_ino;
  st->st_mode = s.st_mode;
  st->st_nlink = s.st_nlink;
  st->st_gid = s.st_gid;
  st->st_rdev = s.st_rdev;
  st->st_blksize = s.st_blksize;
  return 0;
}

template <typename Stat>
bool statHandle(int fd, Stat* st) {
  const auto h = sim().handle(fd);
  if (!h) return false;
  statNode(*h->node, st);
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openNode(path, flags, mode, "open");
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArg(flags, ap);
  va_end(ap);
  return openNode(path, flags, mode, "open64");
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) { return openNode(path, flags, 0, "open"); }
__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) { return openNode(path, flags, 0, "open64"); }

__attribute__((visibility("default"))) int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArg(flags, ap);
  va_end(ap);
  if (const Node* n = sim().find(path)) return sim().open(*n, flags);
  const int fd = next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
  return isMountTablePath(path) ? withSimulatedMounts(fd, flags) : fd;
}

__attribute__((visibility("default"))) int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArg(flags, ap);
  va_end(ap);
  if (const Node* n = sim().find(path)) return sim().open(*n, flags);
  const int fd = next<int (*)(int, const char*, int, ...)>("openat64")(dir, path, flags, mode);
  return isMountTablePath(path) ? withSimulatedMounts(fd, flags) : fd;
}

__attribute__((visibility("default"))) int close(int fd) {
  sim().closed(fd);
  return next<int (*)(int)>("close")(fd);
}

__attribute__((visibility("default"))) int dup(int fd) {
  const int copy = next<int (*)(int)>("dup")(fd);
  sim().duplicate(fd, copy);
  return copy;
}

__attribute__((visibility("default"))) int dup2(int fd, int to) {
  if (fd != to) sim().closed(to);
  const int copy = next<int (*)(int, int)>("dup2")(fd, to);
  sim().duplicate(fd, copy);
  return copy;
}

__attribute__((visibility("default"))) int dup3(int fd, int to, int flags) {
  if (fd != to) sim().closed(to);
  const int copy = next<int (*)(int, int, int)>("dup3")(fd, to, flags);
  sim().duplicate(fd, copy);
  return copy;
}

// Reading the block device: what the kernel's sr driver gives read().
static ssize_t readAt(const Handle& h, std::int64_t offset, void* buffer, std::size_t size) {
  if (!h.node->block) return Simulator::fail(EINVAL);
  return h.node->drive->readDevice(offset, buffer, size);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void* buffer, size_t size) {
  if (const auto h = sim().handle(fd)) {
    const ssize_t n = readAt(*h, *h->offset, buffer, size);
    if (n > 0) *h->offset += n;
    return n;
  }
  return next<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void* buffer, size_t size, size_t) {
  return read(fd, buffer, size);
}

__attribute__((visibility("default"))) ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
  if (const auto h = sim().handle(fd)) return readAt(*h, offset, buffer, size);
  return next<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, buffer, size, offset);
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset) {
  if (const auto h = sim().handle(fd)) return readAt(*h, offset, buffer, size);
  return next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64")(fd, buffer, size, offset);
}

static off_t seek(const Handle& h, off_t offset, int whence) {
  const std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? *h.offset : h.node->drive->deviceBytes();
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return Simulator::fail(EINVAL);
  if (base + offset < 0) return Simulator::fail(EINVAL);
  *h.offset = base + offset;
  return static_cast<off_t>(*h.offset);
}

__attribute__((visibility("default"))) off_t lseek(int fd, off_t offset, int whence) {
  if (const auto h = sim().handle(fd)) return seek(*h, offset, whence);
  return next<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
}

__attribute__((visibility("default"))) off64_t lseek64(int fd, off64_t offset, int whence) {
  if (const auto h = sim().handle(fd)) return seek(*h, offset, whence);
  return next<off64_t (*)(int, off64_t, int)>("lseek64")(fd, offset, whence);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (const auto h = sim().handle(fd)) return sim().ioctl(*h, request, arg);
  return next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, arg);
}

static int fcntlCall(const char* real, int fd, int cmd, void* arg) {
  if (sim().handle(fd)) {
    switch (cmd) {
      case F_SETLK:
      case F_SETLKW:
      case F_OFD_SETLK:
      case F_OFD_SETLKW: return 0;  // the exclusive open is what excludes others
      case F_GETLK:
      case F_OFD_GETLK: static_cast<struct flock*>(arg)->l_type = F_UNLCK; return 0;
      case F_DUPFD:
      case F_DUPFD_CLOEXEC: {
        const int copy = next<int (*)(int, int, ...)>(real)(fd, cmd, arg);
        sim().duplicate(fd, copy);
        return copy;
      }
      default: break;
    }
  }
  return next<int (*)(int, int, ...)>(real)(fd, cmd, arg);
}

__attribute__((visibility("default"))) int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntlCall("fcntl", fd, cmd, arg);
}

__attribute__((visibility("default"))) int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fcntlCall("fcntl64", fd, cmd, arg);
}

#define TESSALINE_SIM_STAT(NAME, STAT)                                                   \
  __attribute__((visibility("default"))) int NAME(const char* path, struct STAT* st) {   \
    if (const Node* n = sim().find(path)) return statNode(*n, st);                                     \
    return next<int (*)(const char*, struct STAT*)>(#NAME)(path, st);                    \
  }
TESSALINE_SIM_STAT(stat, stat)
TESSALINE_SIM_STAT(stat64, stat64)
TESSALINE_SIM_STAT(lstat, stat)
TESSALINE_SIM_STAT(lstat64, stat64)

// The old glibc entry points (libburn still calls them) go on to the plain calls.
#define TESSALINE_SIM_XSTAT(NAME, PLAIN, STAT)                                                   \
  __attribute__((visibility("default"))) int NAME(int, const char* path, struct STAT* st) {      \
    if (const Node* n = sim().find(path)) return statNode(*n, st);                                             \
    return next<int (*)(const char*, struct STAT*)>(#PLAIN)(path, st);                           \
  }
TESSALINE_SIM_XSTAT(__xstat, stat, stat)
TESSALINE_SIM_XSTAT(__xstat64, stat64, stat64)
TESSALINE_SIM_XSTAT(__lxstat, lstat, stat)
TESSALINE_SIM_XSTAT(__lxstat64, lstat64, stat64)

#define TESSALINE_SIM_FSTAT(NAME, STAT)                                      \
  __attribute__((visibility("default"))) int NAME(int fd, struct STAT* st) { \
    if (statHandle(fd, st)) return 0;                                        \
    return next<int (*)(int, struct STAT*)>(#NAME)(fd, st);                  \
  }
TESSALINE_SIM_FSTAT(fstat, stat)
TESSALINE_SIM_FSTAT(fstat64, stat64)

#define TESSALINE_SIM_FXSTAT(NAME, PLAIN, STAT)                                       \
  __attribute__((visibility("default"))) int NAME(int, int fd, struct STAT* st) {     \
    if (statHandle(fd, st)) return 0;                                                 \
    return next<int (*)(int, struct STAT*)>(#PLAIN)(fd, st);                          \
  }
TESSALINE_SIM_FXSTAT(__fxstat, fstat, stat)
TESSALINE_SIM_FXSTAT(__fxstat64, fstat64, stat64)

#define TESSALINE_SIM_FSTATAT(NAME, STAT)                                                             \
  __attribute__((visibility("default"))) int NAME(int dir, const char* path, struct STAT* st, int flags) { \
    if (const Node* n = sim().find(path)) return statNode(*n, st);                                                  \
    if (*path == '\0' && (flags & AT_EMPTY_PATH) != 0 && statHandle(dir, st)) return 0; \
    return next<int (*)(int, const char*, struct STAT*, int)>(#NAME)(dir, path, st, flags);           \
  }
TESSALINE_SIM_FSTATAT(fstatat, stat)
TESSALINE_SIM_FSTATAT(fstatat64, stat64)

__attribute__((visibility("default"))) int statx(int dir, const char* path, int flags, unsigned int mask,
                                                 struct statx* stx) {
  if (const Node* n = sim().find(path)) {
    struct stat s {};
    sim().fill(*n, &s);
    std::memset(stx, 0, sizeof *stx);
    stx->stx_mask = STATX_BASIC_STATS;
    stx->stx_mode = static_cast<std::uint16_t>(s.st_mode);
    stx->stx_nlink = 1;
    stx->stx_gid = s.st_gid;
    stx->stx_ino = s.st_ino;
    stx->stx_blksize = 2048;
    stx->stx_rdev_major = major(s.st_rdev);
    stx->stx_rdev_minor = minor(s.st_rdev);
    stx->stx_dev_minor = 5;
    return 0;
  }
  return next<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx")(dir, path, flags, mask, stx);
}

// libburn waits for a drive to spin up, to settle after a start or stop and
// after closing a session (half a second to a second each, several per
// burn). The simulated drive is ready at once: those waits are cut to a
// twentieth, so that what is measured is the program, not libburn's
// patience. Other callers wait as long as they ask.
static bool calledFromLibburn(const void* returnAddress) {
  Dl_info info{};
  return ::dladdr(returnAddress, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "/libburn.so") != nullptr;
}

__attribute__((visibility("default"))) int usleep(useconds_t micros) {
  if (calledFromLibburn(__builtin_return_address(0))) micros /= 20;
  return next<int (*)(useconds_t)>("usleep")(micros);
}

__attribute__((visibility("default"))) unsigned int sleep(unsigned int seconds) {
  if (!calledFromLibburn(__builtin_return_address(0))) return next<unsigned int (*)(unsigned int)>("sleep")(seconds);
  next<int (*)(useconds_t)>("usleep")(static_cast<useconds_t>(seconds) * 1000000u / 20u);
  return 0;
}

__attribute__((visibility("default"))) int access(const char* path, int mode) {
  if (sim().find(path)) return sim().mayUse(mode) ? 0 : Simulator::fail(EACCES);
  return next<int (*)(const char*, int)>("access")(path, mode);
}

__attribute__((visibility("default"))) int faccessat(int dir, const char* path, int mode, int flags) {
  if (sim().find(path)) return sim().mayUse(mode) ? 0 : Simulator::fail(EACCES);
  return next<int (*)(int, const char*, int, int)>("faccessat")(dir, path, mode, flags);
}

}  // extern "C"
