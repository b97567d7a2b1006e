#include "devices/emulated/emulated_mount.h"

// libisofs.h uses uint32_t without including <cstdint>.
#include <cstdint>
#include <libisofs/libisofs.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/log.h"
#include "devices/mount_table.h"

namespace tessaline::emulated {

namespace {

std::string errnoText() { return std::strerror(errno); }

void initLibisofsOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    iso_init();
    // Keep the library quiet: failures reach the caller as typed results.
    char never[] = "NEVER";
    char id[] = "tessaline";
    iso_set_msgs_severities(never, never, id);
  });
}

fs::path envPath(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && v[0] == '/') ? fs::path(v) : fs::path();
}

// A folder name for the volume: never empty, no slash, not "." or "..".
std::string folderNameForVolume(std::string volumeId) {
  while (!volumeId.empty() && volumeId.back() == ' ') volumeId.pop_back();
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

class Materialiser {
 public:
  Materialiser(int mediumFd) : mediumFd_(mediumFd), buffer_(1 << 20) {}

  Status dir(IsoDir* dir, const fs::path& target) {
    IsoDirIter* iter = nullptr;
    if (iso_dir_get_children(dir, &iter) != 1) return makeError(ErrorKind::Io, "cannot list " + target.string());
    Status status;
    IsoNode* node = nullptr;
    while (status && iso_dir_iter_next(iter, &node) == 1) status = entry(node, target);
    iso_dir_iter_free(iter);
    return status;
  }

 private:
  Status entry(IsoNode* node, const fs::path& parent) {
    const char* rawName = iso_node_get_name(node);
    const std::string name = rawName != nullptr ? rawName : "";
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      logLine("emulated disc: skipping an entry with an unusable name in " + parent.string());
      return {};
    }
    const fs::path path = parent / name;
    const auto mode = iso_node_get_mode(node);
    struct timespec times[2];
    times[0].tv_sec = iso_node_get_atime(node);
    times[0].tv_nsec = 0;
    times[1].tv_sec = iso_node_get_mtime(node);
    times[1].tv_nsec = 0;
    switch (iso_node_get_type(node)) {
      case LIBISO_DIR: {
        if (::mkdir(path.c_str(), 0700) != 0) return failed("create the folder", path);
        if (Status s = dir(reinterpret_cast<IsoDir*>(node), path); !s) return s;
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) return failed("date", path);
        if (::chmod(path.c_str(), (mode & 0555) | 0500) != 0) return failed("protect", path);
        return {};
      }
      case LIBISO_FILE: return file(reinterpret_cast<IsoFile*>(node), path, mode, times);
      case LIBISO_SYMLINK: {
        const char* dest = iso_symlink_get_dest(reinterpret_cast<IsoSymlink*>(node));
        if (::symlink(dest != nullptr ? dest : "", path.c_str()) != 0) return failed("create the link", path);
        ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
        return {};
      }
      default: return {};  // devices, FIFOs, the boot catalogue: nothing to show
    }
  }

  Status file(IsoFile* file, const fs::path& path, mode_t mode, const struct timespec* times) {
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) return failed("create", path);
    int count = 0;
    struct iso_file_section* sections = nullptr;
    Status status;
    if (iso_file_get_old_image_sections(file, &count, &sections, 0) < 0) {
      status = makeError(ErrorKind::Io, "cannot find the data of " + path.string() + " on the disc");
    }
    for (int i = 0; status && i < count; ++i) {
      status = copy(static_cast<off_t>(sections[i].block) * kBlockBytes, sections[i].size, out, path);
    }
    std::free(sections);
    if (status && ::futimens(out, times) != 0) status = failed("date", path);
    if (status && ::fchmod(out, (mode & 0555) | 0400) != 0) status = failed("protect", path);
    ::close(out);
    return status;
  }

  Status copy(off_t from, std::uint32_t size, int out, const fs::path& path) {
    std::size_t left = size;
    while (left > 0 && useCopyRange_) {
      const ssize_t n = ::copy_file_range(mediumFd_, &from, out, nullptr, left, 0);
      if (n > 0) {
        left -= static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) return makeError(ErrorKind::Io, "the medium file ends inside " + path.string());
      if (errno == EINTR) continue;
      if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        useCopyRange_ = false;
        break;
      }
      return failed("copy", path);
    }
    while (left > 0) {
      const std::size_t want = std::min(left, buffer_.size());
      const ssize_t n = ::pread(mediumFd_, buffer_.data(), want, from);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed("read", path);
      if (n == 0) return makeError(ErrorKind::Io, "the medium file ends inside " + path.string());
      std::size_t done = 0;
      while (done < static_cast<std::size_t>(n)) {
        const ssize_t w = ::write(out, buffer_.data() + done, static_cast<std::size_t>(n) - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return failed("write", path);
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
  std::vector<char> buffer_;
  bool useCopyRange_ = true;
};

std::string mountTableText(const MountRecord& r) {
  return "# session " + std::to_string(r.session.value) + "\n" + mountTableLine(r.entry, "ro");
}

}  // namespace

fs::path mountBaseDir() {
  if (fs::path p = envPath("XDG_RUNTIME_DIR"); !p.empty()) return p / "tessaline" / "mounts";
  if (fs::path p = envPath("XDG_CACHE_HOME"); !p.empty()) return p / "tessaline" / "mounts";
  if (fs::path p = envPath("HOME"); !p.empty()) return p / ".cache" / "tessaline" / "mounts";
  return fs::temp_directory_path() / ("tessaline-mounts-" + std::to_string(::getuid()));
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

Status materialiseSession(const fs::path& mediumFile, BlockAddress start, const fs::path& target) {
  initLibisofsOnce();
  if (start.value < 0 || start.value > UINT32_MAX) return makeError(ErrorKind::InvalidInput, "session address out of range");
  const int mediumFd = ::open(mediumFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (mediumFd < 0) return makeError(ErrorKind::Io, "cannot open " + mediumFile.string() + ": " + errnoText());
  IsoDataSource* src = nullptr;
  IsoReadOpts* opts = nullptr;
  IsoImage* image = nullptr;
  Status status;
  int rc = iso_data_source_new_from_file(mediumFile.c_str(), &src);
  if (rc == 1) rc = iso_read_opts_new(&opts, 0);
  if (rc == 1) {
    iso_read_opts_set_start_block(opts, static_cast<uint32_t>(start.value));
    iso_read_opts_set_no_joliet(opts, 1);
    iso_read_opts_set_no_iso1999(opts, 1);
    // Names are bytes: reading them in the local character set leaves them unconverted.
    iso_read_opts_set_input_charset(opts, iso_get_local_charset(0));
    rc = iso_image_new("emulated", &image);
  }
  if (rc == 1) rc = iso_image_import(image, src, opts, nullptr);
  if (rc < 0 || rc == 0) {
    status = makeError(ErrorKind::InvalidInput, "cannot read the ISO 9660 session at block " + std::to_string(start.value) +
                                                    ": " + (rc < 0 ? iso_error_to_msg(rc) : "unknown failure"));
  }
  if (status) {
    if (::mkdir(target.c_str(), 0700) != 0) {
      status = makeError(ErrorKind::Io, "cannot create " + target.string() + ": " + errnoText());
    } else {
      IsoDir* root = iso_image_get_root(image);
      Materialiser m(mediumFd);
      status = m.dir(root, target);
      if (status) {
        struct timespec times[2];
        times[0].tv_sec = iso_node_get_atime(reinterpret_cast<IsoNode*>(root));
        times[0].tv_nsec = 0;
        times[1].tv_sec = iso_node_get_mtime(reinterpret_cast<IsoNode*>(root));
        times[1].tv_nsec = 0;
        ::utimensat(AT_FDCWD, target.c_str(), times, 0);
        ::chmod(target.c_str(), 0555);
      }
    }
  }
  if (image != nullptr) iso_image_unref(image);
  if (opts != nullptr) iso_read_opts_free(opts);
  if (src != nullptr) iso_data_source_unref(src);
  ::close(mediumFd);
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

Status unmountDiscKeepingTree(const WriterPaths& paths) {
  {
    auto lock = FileLock::lock(paths.mountLock());
    if (!lock) return lock.error();
    const auto record = readMountTable(paths);
    const fs::path mine = writerMountDir(paths.name);
    struct stat st {};
    if (record && ::lstat(record->entry.mountPoint.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
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
  if (fs::is_directory(mine, ec)) {
    for (const auto& child : fs::directory_iterator(mine, ec)) removeReadOnlyTree(child.path());
  }
  if (fs::exists(paths.mountTable(), ec)) return writeFileAtomically(paths.mountTable(), "");
  return {};
}

Result<std::optional<fs::path>> mountDisc(const WriterPaths& paths, const Disc& disc, const std::string& bsdName) {
  if (!disc.appendable() || disc.tracks.empty()) return std::optional<fs::path>();
  auto lock = FileLock::lock(paths.mountLock());
  if (!lock) return lock.error();
  const BlockAddress session = disc.tracks.back().start;
  if (mountIsCurrent(paths, disc)) return std::optional<fs::path>(readMountTable(paths)->entry.mountPoint);

  const fs::path mine = writerMountDir(paths.name);
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

  fs::create_directories(mine, ec);
  if (ec) return makeError(ErrorKind::Io, "cannot create " + mine.string() + ": " + ec.message());
  ::chmod(mountBaseDir().c_str(), 0700);
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
  if (Status s = materialiseSession(paths.mediumFile(), session, partial); !s) {
    removeReadOnlyTree(partial);
    logLine("emulated writer " + paths.name + ": cannot mount the disc: " + s.error().message);
    return s.error();
  }
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
