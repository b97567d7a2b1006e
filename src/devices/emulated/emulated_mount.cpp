#include "devices/emulated/emulated_mount.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <cstdint>
#include <thread>

#include "common/log.h"
#include "common/private_folder.h"
#include "devices/iso_tree.h"
#include "devices/mount_table.h"

namespace tessaline::emulated {

namespace {

std::string errnoText() { return std::strerror(errno); }

fs::path envPath(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && v[0] == '/') ? fs::path(v) : fs::path();
}

// A folder name for the volume (its padding already gone): never empty, no
// slash, not "." or "..".
std::string folderNameForVolume(std::string volumeId) {
  for (char& c : volumeId) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (volumeId.empty()) return "untitled";
  if (volumeId == "." || volumeId == "..") return "_" + volumeId;
  return volumeId;
}

// True when `path` lies strictly inside `folder` (compared lexically; both absolute).
bool isInside(const fs::path& path, const fs::path& folder) {
  const fs::path p = path.lexically_normal();
  const fs::path f = folder.lexically_normal();
  auto pi = p.begin();
  for (auto fi = f.begin(); fi != f.end(); ++fi, ++pi) {
    if (fi->empty()) continue;  // trailing separator
    if (pi == p.end() || *pi != *fi) return false;
  }
  return pi != p.end();
}

// Builds an ISO tree read by readIsoTree in a folder: every operation is
// relative to a descriptor of a folder it made itself, so nothing outside
// the target is touched, whatever the names on the disc.
class Unpacker {
 public:
  Unpacker(int mediumFd, const IsoTree& tree, const fs::path& target, const std::function<bool()>& stop)
      : mediumFd_(mediumFd), tree_(tree), target_(target), stop_(stop), buffer_(1 << 20) {}

  ~Unpacker() {
    for (const Open& o : chain_) ::close(o.fd);
  }

  Status run() {
    const int root = ::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root < 0) return failed("open", target_);
    chain_.push_back(Open{0, root});
    for (std::size_t i = 1; i < tree_.entries.size(); ++i) {
      if (Status s = checkStop(); !s) return s;
      const IsoEntry& e = tree_.entries[i];
      while (chain_.size() > 1 && chain_.back().entry != e.parent) {
        if (Status s = finishFolder(); !s) return s;
      }
      if (chain_.back().entry != e.parent) return makeError(ErrorKind::Internal, "the disc's tree is out of order");
      if (Status s = place(i, e, chain_.back().fd); !s) return s;
    }
    while (!chain_.empty()) {
      if (Status s = finishFolder(); !s) return s;
    }
    return {};
  }

 private:
  struct Open {
    std::size_t entry;
    int fd;
  };

  fs::path pathOf(std::size_t index) const { return target_ / isoEntryPath(tree_, index); }

  static void timesOf(const IsoEntry& e, struct timespec* times) {
    times[0].tv_sec = static_cast<time_t>(e.atime);
    times[0].tv_nsec = 0;
    times[1].tv_sec = static_cast<time_t>(e.mtime);
    times[1].tv_nsec = 0;
  }

  Status checkStop() const {
    if (stop_ && stop_()) return makeError(ErrorKind::Cancelled, "unpacking the disc was stopped");
    return {};
  }

  // Dates and protects the innermost open folder, now that it is complete.
  Status finishFolder() {
    const Open o = chain_.back();
    chain_.pop_back();
    const IsoEntry& e = tree_.entries[o.entry];
    struct timespec times[2];
    timesOf(e, times);
    Status s;
    if (::futimens(o.fd, times) != 0) s = failed("date", pathOf(o.entry));
    else if (::fchmod(o.fd, (e.mode & 0555) | 0500) != 0) s = failed("protect", pathOf(o.entry));
    ::close(o.fd);
    return s;
  }

  Status place(std::size_t index, const IsoEntry& e, int dir) {
    const char* name = e.name.c_str();
    struct timespec times[2];
    timesOf(e, times);
    switch (e.kind) {
      case IsoKind::Folder: {
        if (::mkdirat(dir, name, 0700) != 0) return failed("create the folder", pathOf(index));
        const int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return failed("open", pathOf(index));
        chain_.push_back(Open{index, fd});
        return {};
      }
      case IsoKind::Symlink:
        if (::symlinkat(e.target.c_str(), dir, name) != 0) return failed("create the link", pathOf(index));
        ::utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
        return {};
      case IsoKind::File:
        // A hard link on the disc stays one; should linking fail, a copy will do.
        if (e.linkOf && ::linkat(chain_.front().fd, isoEntryPath(tree_, *e.linkOf).c_str(), dir, name, 0) == 0)
          return {};
        return file(index, e, dir, times);
    }
    return {};
  }

  Status file(std::size_t index, const IsoEntry& e, int dir, const struct timespec* times) {
    const int out = ::openat(dir, e.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return failed("create", pathOf(index));
    Status status;
    for (const IsoExtent& x : e.extents) {
      status = copy(static_cast<off_t>(x.offset), x.length, out, index);
      if (!status) break;
    }
    if (status && ::futimens(out, times) != 0) status = failed("date", pathOf(index));
    if (status && ::fchmod(out, (e.mode & 0555) | 0400) != 0) status = failed("protect", pathOf(index));
    ::close(out);
    return status;
  }

  Status copy(off_t from, std::uint32_t size, int out, std::size_t index) {
    std::size_t left = size;
    while (left > 0 && useCopyRange_) {
      if (Status s = checkStop(); !s) return s;
      const ssize_t n = ::copy_file_range(mediumFd_, &from, out, nullptr, std::min<std::size_t>(left, 1 << 20), 0);
      if (n > 0) {
        left -= static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) return makeError(ErrorKind::Io, "the medium file ends inside " + pathOf(index).string());
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        useCopyRange_ = false;
        break;
      }
      return failed("copy", pathOf(index));
    }
    while (left > 0) {
      if (Status s = checkStop(); !s) return s;
      const std::size_t want = std::min(left, buffer_.size());
      const ssize_t n = ::pread(mediumFd_, buffer_.data(), want, from);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed("read", pathOf(index));
      if (n == 0) return makeError(ErrorKind::Io, "the medium file ends inside " + pathOf(index).string());
      std::size_t done = 0;
      while (done < static_cast<std::size_t>(n)) {
        const ssize_t w = ::write(out, buffer_.data() + done, static_cast<std::size_t>(n) - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return failed("write", pathOf(index));
        done += static_cast<std::size_t>(w);
      }
      from += n;
      left -= static_cast<std::size_t>(n);
    }
    return {};
  }

  static Error failed(const std::string& what, const fs::path& path) {
    return makeError(errno == ENOSPC ? ErrorKind::NoSpace : ErrorKind::Io,
                     "cannot " + what + " " + path.string() + ": " + errnoText());
  }

  int mediumFd_;
  const IsoTree& tree_;
  fs::path target_;
  const std::function<bool()>& stop_;
  std::vector<char> buffer_;
  bool useCopyRange_ = true;
  std::vector<Open> chain_;
};

// Free bytes of the file system that holds `folder`.
std::optional<std::uint64_t> statvfsFreeBytes(const fs::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string megabytes(std::uint64_t bytes) { return std::to_string((bytes + 999999) / 1000000) + " MB"; }
std::string mountTableText(const MountRecord& r) {
  return "# session " + std::to_string(r.session.value) + "\n" + mountTableLine(r.entry, "ro");
}

}  // namespace

fs::path mountBaseDir() {
  if (fs::path p = envPath("XDG_RUNTIME_DIR"); !p.empty()) return p / "tessaline" / "mounts";
  if (fs::path p = envPath("XDG_CACHE_HOME"); !p.empty()) return p / "tessaline" / "mounts";
  if (fs::path p = envPath("HOME"); !p.empty()) return p / ".cache" / "tessaline" / "mounts";
  return fs::temp_directory_path() / ("tessaline-" + std::to_string(::geteuid())) / "mounts";
}

fs::path writerMountDir(const std::string& writerName) { return mountBaseDir() / writerName; }

std::optional<MountRecord> readMountTable(const WriterPaths& paths) {
  const auto table = readMountTableText(paths.mountTable());
  if (!table) return std::nullopt;
  const std::string& text = *table;
  // The table's first line names the mounted session: "# session N".
  constexpr std::string_view kSession = "# session ";
  if (!text.starts_with(kSession)) return std::nullopt;
  char* end = nullptr;
  const long long session = std::strtoll(text.c_str() + kSession.size(), &end, 10);
  if (end == nullptr || *end != '\n' || session < 0) return std::nullopt;
  const auto entries = parseMountTable(text);
  if (entries.empty()) return std::nullopt;
  return MountRecord{BlockAddress{session}, entries.front()};
}

std::optional<std::string> isoVolumeIdAt(const fs::path& mediumFile, BlockAddress start) {
  const int fd = ::open(mediumFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char pvd[2048];
  const ssize_t n = ::pread(fd, pvd, sizeof pvd, (start + BlockCount{16}).byteOffset());
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof pvd)) return std::nullopt;
  if (pvd[0] != 1 || std::memcmp(pvd + 1, "CD001", 5) != 0) return std::nullopt;
  std::string id(pvd + 40, 32);
  while (!id.empty() && (id.back() == ' ' || id.back() == '\0')) id.pop_back();
  return id;
}

namespace {

std::uint64_t unpackedBytes(const IsoTree& tree) {
  // The files' data in whole 4 KiB blocks, and a block for each folder and link.
  constexpr std::uint64_t kFsBlock = 4096;
  std::uint64_t bytes = 0;
  for (const IsoEntry& e : tree.entries) {
    if (e.kind != IsoKind::File) bytes += kFsBlock;
    else if (!e.linkOf) bytes += (e.size + kFsBlock - 1) / kFsBlock * kFsBlock;
  }
  return bytes;
}

}  // namespace

Status materialiseSession(const fs::path& mediumFile, BlockAddress start, const fs::path& target,
                          const MountControl& control, std::uint64_t* neededBytes) {
  auto medium = MediumFile::open(mediumFile);
  if (!medium) return medium.error();
  auto tree = readIsoTree(medium.value().reader(), medium.value().bytes(), start, IsoLimits{}, control.stop);
  if (!tree) return tree.error();
  for (const std::string& left : tree.value().skipped) logLine("emulated disc: left out " + left);

  const std::uint64_t needed = unpackedBytes(tree.value());
  if (neededBytes != nullptr) *neededBytes = needed;
  const fs::path where = target.parent_path();
  const auto free = control.freeBytes ? control.freeBytes(where) : statvfsFreeBytes(where);
  if (free && needed > *free) {
    return makeError(ErrorKind::NoSpace, "the disc's files need " + megabytes(needed) + " in " + where.string() +
                                             ", where it is unpacked, but only " + megabytes(*free) + " are free");
  }
  Status status;
  if (::mkdir(target.c_str(), 0700) != 0) {
    status = makeError(ErrorKind::Io, "cannot create " + target.string() + ": " + errnoText());
  } else {
    status = Unpacker(medium.value().fd(), tree.value(), target, control.stop).run();
  }
  return status;
}

void removeReadOnlyTree(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(path, ec))) {
    fs::remove(path, ec);
    return;
  }
  ::chmod(path.c_str(), 0700);
  for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path, ec);
}

bool mountIsCurrent(const WriterPaths& paths, const Disc& disc) {
  if (disc.tracks.empty()) return false;
  const auto record = readMountTable(paths);
  if (!record || record->session != disc.tracks.back().start) return false;
  struct stat st {};
  return ::lstat(record->entry.mountPoint.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// Identifies a session's content: a hash of its primary volume descriptor,
// which carries the volume's size and creation time to the hundredth.
std::optional<std::string> sessionFingerprint(const fs::path& mediumFile, BlockAddress session) {
  const int fd = ::open(mediumFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char block[2048];
  const auto offset = static_cast<off_t>((session.value + 16) * kBlockBytes);
  const ssize_t got = ::pread(fd, block, sizeof block, offset);
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof block)) return std::nullopt;
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : block) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char text[32];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(text);
}

fs::path parkedTree(const fs::path& mine, const std::string& fingerprint) { return mine / (".parked-" + fingerprint); }

}  // namespace

namespace {

// The disc in the writer as it is now: its table of contents and the
// medium file's identity and size. Any change of the disc changes it.
std::optional<std::string> discIdentity(const WriterPaths& paths) {
  const int fd = ::open(paths.tocFile().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::uint64_t hash = 1469598103934665603ull;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    for (ssize_t i = 0; i < n; ++i) hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
  ::close(fd);
  struct stat st {};
  if (n < 0 || ::stat(paths.mediumFile().c_str(), &st) != 0) return std::nullopt;
  return std::to_string(hash) + " " + std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

fs::path failureFile(const WriterPaths& paths) { return paths.dir() / "mount.failure"; }

void rememberFailure(const WriterPaths& paths, const std::string& identity, const Error& error, std::uint64_t needed) {
  QJsonObject o;
  o[QStringLiteral("disc")] = QString::fromStdString(identity);
  o[QStringLiteral("kind")] = static_cast<int>(error.kind);
  o[QStringLiteral("message")] = QString::fromStdString(error.message);
  o[QStringLiteral("needBytes")] = static_cast<double>(needed);
  (void)writeFileAtomically(failureFile(paths), QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString());
}

// The failure remembered for this very disc; one for want of space holds only
// while the space is still missing.
std::optional<Error> rememberedFailure(const WriterPaths& paths, const std::string& identity, const MountControl& control) {
  QFile file(QString::fromStdString(failureFile(paths).string()));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QJsonObject o = QJsonDocument::fromJson(file.read(64 * 1024)).object();
  if (o.value(QStringLiteral("disc")).toString().toStdString() != identity) return std::nullopt;
  const int kind = o.value(QStringLiteral("kind")).toInt(-1);
  if (kind < 0 || kind > static_cast<int>(ErrorKind::Internal)) return std::nullopt;
  Error error{static_cast<ErrorKind>(kind), o.value(QStringLiteral("message")).toString().toStdString()};
  if (error.kind == ErrorKind::NoSpace) {
    const fs::path where = writerMountDir(paths.name);
    const auto free = control.freeBytes ? control.freeBytes(where) : statvfsFreeBytes(where);
    if (!free || *free >= static_cast<std::uint64_t>(o.value(QStringLiteral("needBytes")).toDouble())) return std::nullopt;
  }
  return error;
}

// The writer's mount folder, in a base folder only this user may enter.
Status makeMountFolder(const fs::path& mine) {
  const fs::path base = mine.parent_path();
  std::error_code ec;
  fs::create_directories(base.parent_path().parent_path(), ec);
  for (const fs::path& p : {base.parent_path(), base, mine})
    if (Status s = ensurePrivateFolder(p); !s) return s;
  return {};
}

}  // namespace

Status unmountDiscKeepingTree(const WriterPaths& paths) {
  {
    auto lock = FileLock::lock(paths.mountLock());
    if (!lock) return lock.error();
    const auto record = readMountTable(paths);
    const fs::path mine = writerMountDir(paths.name);
    struct stat st {};
    if (record && makeMountFolder(mine) && ::lstat(record->entry.mountPoint.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        isInside(record->entry.mountPoint, mine)) {
      if (const auto fingerprint = sessionFingerprint(paths.mediumFile(), record->session)) {
        const fs::path parked = parkedTree(mine, *fingerprint);
        removeReadOnlyTree(parked);
        if (::rename(record->entry.mountPoint.c_str(), parked.c_str()) == 0)
          return writeFileAtomically(paths.mountTable(), "");
      }
    }
  }
  return unmountDisc(paths);
}

Status unmountDisc(const WriterPaths& paths) {
  auto lock = FileLock::lock(paths.mountLock());
  if (!lock) return lock.error();
  const fs::path mine = writerMountDir(paths.name);
  std::error_code ec;
  // Everything in the writer's mount folder is ours: the mount and any
  // half-built one a killed process left behind.
  if (fs::is_directory(mine, ec) && makeMountFolder(mine)) {
    for (const auto& child : fs::directory_iterator(mine, ec)) removeReadOnlyTree(child.path());
  }
  if (fs::exists(paths.mountTable(), ec)) return writeFileAtomically(paths.mountTable(), "");
  return {};
}

void makeMountFoldersPrivate(const std::string& writerName) {
  const fs::path mine = writerMountDir(writerName);
  for (const fs::path& p : {mine.parent_path().parent_path(), mine.parent_path(), mine}) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) (void)ensurePrivateFolder(p);
  }
}

std::optional<Error> rememberedMountFailure(const WriterPaths& paths, const MountControl& control) {
  const auto identity = discIdentity(paths);
  return identity ? rememberedFailure(paths, *identity, control) : std::nullopt;
}

Result<std::optional<fs::path>> mountDisc(const WriterPaths& paths, const Disc& disc, const std::string& bsdName,
                                          const MountControl& control) {
  if (!disc.appendable() || disc.tracks.empty()) return std::optional<fs::path>();
  // Another program may be unpacking this disc: wait for it, but stop waiting when asked to.
  auto lock = control.stop ? FileLock::tryLock(paths.mountLock(), paths.name) : FileLock::lock(paths.mountLock());
  while (control.stop && !lock && lock.error().kind == ErrorKind::Busy) {
    if (control.stop()) return makeError(ErrorKind::Cancelled, "mounting the disc was stopped");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lock = FileLock::tryLock(paths.mountLock(), paths.name);
  }
  if (!lock) return lock.error();
  const BlockAddress session = disc.tracks.back().start;
  if (mountIsCurrent(paths, disc)) return std::optional<fs::path>(readMountTable(paths)->entry.mountPoint);

  const fs::path mine = writerMountDir(paths.name);
  if (Status s = makeMountFolder(mine); !s) return s.error();
  std::error_code ec;
  const auto fingerprint = sessionFingerprint(paths.mediumFile(), session);
  const fs::path parked = fingerprint ? parkedTree(mine, *fingerprint) : fs::path();
  if (fs::is_directory(mine, ec)) {
    for (const auto& child : fs::directory_iterator(mine, ec))
      if (child.path() != parked) removeReadOnlyTree(child.path());
  }
  if (fs::exists(paths.mountTable(), ec)) {
    if (Status s = writeFileAtomically(paths.mountTable(), ""); !s) return s.error();
  }
  const auto volumeId = isoVolumeIdAt(paths.mediumFile(), session);
  if (!volumeId) {  // not ISO 9660: nothing to mount
    if (!parked.empty()) removeReadOnlyTree(parked);
    return std::optional<fs::path>();
  }

  // A disc that could not be unpacked is not tried again until it changes.
  const auto identity = discIdentity(paths);
  if (identity) {
    if (auto failure = rememberedFailure(paths, *identity, control)) {
      if (!parked.empty()) removeReadOnlyTree(parked);
      return *failure;
    }
  }
  const fs::path mountPoint = mine / folderNameForVolume(*volumeId);
  if (!isInside(mountPoint, mine)) return makeError(ErrorKind::Internal, "unusable volume name");
  const fs::path partial = mine / (".partial-" + std::to_string(::getpid()));
  removeReadOnlyTree(partial);
  // The same session mounted a moment ago: take its tree back.
  if (!parked.empty() && fs::is_directory(parked, ec) && ::rename(parked.c_str(), mountPoint.c_str()) == 0) {
    MountRecord record{session, MountEntry{"/dev/" + bsdName, mountPoint.string(), "iso9660"}};
    if (Status s = writeFileAtomically(paths.mountTable(), mountTableText(record)); !s) {
      removeReadOnlyTree(mountPoint);
      return s.error();
    }
    return std::optional<fs::path>(mountPoint);
  }
  if (!parked.empty()) removeReadOnlyTree(parked);
  std::uint64_t needed = 0;
  if (Status s = materialiseSession(paths.mediumFile(), session, partial, control, &needed); !s) {
    removeReadOnlyTree(partial);
    if (s.error().kind == ErrorKind::Cancelled) return s.error();
    logLine("emulated writer " + paths.name + ": cannot mount the disc: " + s.error().message);
    if (identity) rememberFailure(paths, *identity, s.error(), needed);
    return s.error();
  }
  ::unlink(failureFile(paths).c_str());
  // The folder is read-only; renaming it only needs its parent to be writable.
  if (::rename(partial.c_str(), mountPoint.c_str()) != 0) {
    const std::string why = errnoText();
    removeReadOnlyTree(partial);
    return makeError(ErrorKind::Io, "cannot create the mount point " + mountPoint.string() + ": " + why);
  }
  MountRecord record{session, MountEntry{"/dev/" + bsdName, mountPoint.string(), "iso9660"}};
  if (Status s = writeFileAtomically(paths.mountTable(), mountTableText(record)); !s) {
    removeReadOnlyTree(mountPoint);
    return s.error();
  }
  return std::optional<fs::path>(mountPoint);
}

}  // namespace tessaline::emulated
