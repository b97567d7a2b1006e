#include "devices/emulated/emulated_writers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/log.h"
#include "devices/emulated/emulated_burner.h"
#include "devices/emulated/emulated_mount.h"

namespace tessaline::emulated {

namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::uint32_t littleEndian32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

Result<WriterPaths> existingWriter(const fs::path& writersDir, const std::string& name) {
  if (Status s = validateWriterName(name); !s) return s.error();
  WriterPaths paths{writersDir, name};
  struct stat st {};
  if (::stat(paths.dir().c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return makeError(ErrorKind::NotFound, "there is no writer named " + quoted(name) + " in " + writersDir.string());
  makeWriterPrivate(paths);
  return paths;
}

// Exclusive access for a change of the medium.
Result<FileLock> takeWriter(const WriterPaths& paths) { return FileLock::tryLock(paths.exclusiveLock(), paths.name); }

int readCounter(const fs::path& file) {
  std::ifstream in(file);
  int n = 0;
  if (in >> n && n > 0) return n;
  return 0;
}

void mountAfterChange(const WriterPaths& paths, const Disc& disc) {
  auto id = readIdentity(paths);
  if (!id) return;
  auto mounted = mountDisc(paths, disc, id.value().bsdName());
  if (!mounted) logLine("emulated writer " + paths.name + ": the disc was not mounted: " + mounted.error().message);
}

// A name for a disc on the shelf: its volume name, or its kind, made unique.
std::string shelfName(const fs::path& discsDir, const WriterPaths& paths, const Disc& disc) {
  std::string base;
  if (!disc.tracks.empty()) base = isoVolumeIdAt(paths.mediumFile(), disc.tracks.back().start).value_or(std::string());
  for (char& c : base)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  while (!base.empty() && (base.front() == '.' || base.front() == ' ')) base.erase(0, 1);
  if (base.empty()) base = (disc.tracks.empty() ? "blank-" : "disc-") + mediumKindText(disc.kind);
  std::string name = base;
  std::error_code ec;
  for (int n = 2; fs::exists(fs::symlink_status(discsDir / name, ec)); ++n) name = base + "-" + std::to_string(n);
  return name;
}

Result<std::string> putOnShelf(const fs::path& discsDir, const WriterPaths& paths, const Disc& disc) {
  std::error_code ec;
  fs::create_directories(discsDir, ec);
  if (ec) return makeError(ErrorKind::Io, "cannot create the shelf " + discsDir.string() + ": " + ec.message());
  auto lock = FileLock::lock(discsDir / ".shelf.lock");
  if (!lock) return lock.error();
  const std::string name = shelfName(discsDir, paths, disc);
  const fs::path folder = discsDir / name;
  if (::mkdir(folder.c_str(), 0700) != 0)
    return makeError(ErrorKind::Io, "cannot put the disc on the shelf " + folder.string() + ": " + std::strerror(errno));
  Toc kept;
  kept.disc = disc;
  Status s = writeFileAtomically(folder / "disc.json", serializeToc(kept));
  if (s && ::rename(paths.mediumFile().c_str(), (folder / "medium.img").c_str()) != 0)
    s = makeError(ErrorKind::Io, "cannot move the disc onto the shelf: " + std::string(std::strerror(errno)));
  if (!s) {
    fs::remove_all(folder, ec);
    return s.error();
  }
  return name;
}

Result<Disc> takeFromShelf(const fs::path& discsDir, const std::string& name, const WriterPaths& paths) {
  if (Status s = validateWriterName(name); !s)
    return makeError(ErrorKind::InvalidInput, "there is no disc " + quoted(name) + " on the shelf");
  auto lock = FileLock::lock(discsDir / ".shelf.lock");
  if (!lock) return lock.error();
  const fs::path folder = discsDir / name;
  std::ifstream in(folder / "disc.json", std::ios::binary);
  if (!in) return makeError(ErrorKind::NotFound, "there is no disc " + quoted(name) + " on the shelf " + discsDir.string());
  std::ostringstream text;
  text << in.rdbuf();
  auto kept = parseToc(text.str());
  if (!kept || !kept.value().disc) return makeError(ErrorKind::InvalidInput, "the shelved disc " + quoted(name) + " is damaged");
  if (::rename((folder / "medium.img").c_str(), paths.mediumFile().c_str()) != 0)
    return makeError(ErrorKind::Io, "cannot take the disc " + quoted(name) + " from the shelf: " + std::strerror(errno));
  std::error_code ec;
  fs::remove_all(folder, ec);
  return *kept.value().disc;
}

}  // namespace

void makeWriterPrivate(const WriterPaths& paths) {
  const int dir = ::open(paths.dir().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return;
  struct stat st {};
  if (::fstat(dir, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::fchmod(dir, 0700);
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(paths.dir(), ec)) {
    const std::string name = entry.path().filename().string();
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
      ::fchmodat(dir, name.c_str(), st.st_mode & 0700, 0);
  }
  ::close(dir);
  makeMountFoldersPrivate(paths.name);
}

fs::path defaultWritersDir() {
  if (const char* v = std::getenv("TESSALINE_WRITERS_DIR"); v != nullptr && v[0] != '\0') return fs::path(v);
  if (const char* v = std::getenv("XDG_DATA_HOME"); v != nullptr && v[0] == '/')
    return fs::path(v) / "tessaline" / "writers";
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "/") / ".local" / "share" / "tessaline" / "writers";
}

fs::path defaultDiscsDir() {
  if (const char* v = std::getenv("TESSALINE_DISCS_DIR"); v != nullptr && v[0] != '\0') return fs::path(v);
  return defaultWritersDir().parent_path() / "discs";
}

QString defaultDisplayName(const std::string& name) {
  return QStringLiteral("Emulated CD Recorder (%1)").arg(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

bool isTransitioning(const Toc& toc) {
  const std::int64_t age = nowMs() - toc.changedAtMs;
  return age >= 0 && age < kTransitionTime.count();
}

std::optional<fs::path> currentMount(const WriterPaths& paths, const Toc& toc, const std::string& bsdName) {
  if (!toc.disc || toc.trayOpen || !toc.disc->appendable() || toc.disc->tracks.empty()) return std::nullopt;
  if (mountIsCurrent(paths, *toc.disc)) return fs::path(readMountTable(paths)->entry.mountPoint);
  // Whoever holds exclusive access unmounted the disc on purpose.
  if (FileLock::isHeld(paths.exclusiveLock())) return std::nullopt;
  if (!checkMediumFile(paths, *toc.disc)) return std::nullopt;
  auto mounted = mountDisc(paths, *toc.disc, bsdName);
  if (!mounted) return std::nullopt;
  return mounted.value();
}

Status checkImageForAddress(const fs::path& image, BlockAddress start, const std::string& sessionString) {
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return makeError(ErrorKind::NotFound, "cannot open " + image.string() + ": " + std::strerror(errno));
  unsigned char pvd[2048];
  const ssize_t n = ::pread(fd, pvd, sizeof pvd, 16 * kBlockBytes);
  struct stat st {};
  ::fstat(fd, &st);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof pvd) || pvd[0] != 1 || std::memcmp(pvd + 1, "CD001", 5) != 0)
    return makeError(ErrorKind::InvalidInput, image.string() + " is not an ISO 9660 image");
  const std::int64_t blocks = BlockCount::fromBytesRoundedUp(st.st_size).value;
  const std::int64_t root = littleEndian32(pvd + 156 + 2);
  const std::int64_t volumeBlocks = littleEndian32(pvd + 80);
  if (root >= start.value && root < start.value + blocks) return {};
  const std::int64_t builtFor = std::max<std::int64_t>(0, volumeBlocks - blocks);
  std::string how = start.value == 0 ? "build it without -C" : "build it with mkisofs -C " + sessionString;
  return makeError(ErrorKind::InvalidInput, image.string() + " was built for a session at block " +
                                                std::to_string(builtFor) + ", but the disc's next session starts at block " +
                                                std::to_string(start.value) + "; " + how);
}

Status createWriter(const fs::path& writersDir, const std::string& name, const QString& displayName) {
  if (Status s = validateWriterName(name); !s) return s;
  std::error_code ec;
  if (fs::create_directories(writersDir, ec)) ::chmod(writersDir.c_str(), 0700);
  if (ec) return makeError(ErrorKind::Io, "cannot create " + writersDir.string() + ": " + ec.message());
  // Device numbers are handed out under a lock and never reused, so a stale
  // mount entry of a removed writer can never name a new one.
  auto lock = FileLock::lock(writersDir / ".create.lock");
  if (!lock) return lock.error();
  const WriterPaths paths{writersDir, name};
  if (fs::exists(fs::symlink_status(paths.dir(), ec)))
    return makeError(ErrorKind::InvalidInput, "a writer named " + quoted(name) + " already exists");
  int number = readCounter(writersDir / ".last-number");
  for (const auto& entry : fs::directory_iterator(writersDir, ec)) {
    if (auto id = readIdentity(WriterPaths{writersDir, entry.path().filename().string()})) number = std::max(number, id.value().number);
  }
  ++number;
  if (Status s = writeFileAtomically(writersDir / ".last-number", std::to_string(number) + "\n"); !s) return s;

  // Built under a hidden name and renamed, so that watchers never see half a writer.
  const fs::path staging = writersDir / (".new-" + std::to_string(::getpid()) + "-" + std::to_string(number));
  removeReadOnlyTree(staging);
  if (::mkdir(staging.c_str(), 0700) != 0)
    return makeError(ErrorKind::Io, "cannot create " + staging.string() + ": " + std::strerror(errno));
  Identity id;
  id.displayName = displayName.trimmed().isEmpty() ? defaultDisplayName(name) : displayName;
  id.number = number;
  Toc toc;
  const WriterPaths staged{writersDir, staging.filename().string()};
  Status s = writeFileAtomically(staged.identityFile(), identityJson(id));
  if (s) s = writeToc(staged, toc);
  if (s && ::rename(staging.c_str(), paths.dir().c_str()) != 0)
    s = makeError(ErrorKind::Io, "cannot create the writer " + quoted(name) + ": " + std::strerror(errno));
  if (!s) {
    removeReadOnlyTree(staging);
    return s;
  }
  return {};
}

Status removeWriter(const fs::path& writersDir, const std::string& name) {
  auto paths = existingWriter(writersDir, name);
  if (!paths) return paths.error();
  auto lock = takeWriter(paths.value());
  if (!lock) return lock.error();
  if (Status s = unmountDisc(paths.value()); !s) return s;
  // Its disc goes on the shelf: removing a writer never throws a disc away.
  if (auto toc = readToc(paths.value()); toc && toc.value().disc && checkMediumFile(paths.value(), *toc.value().disc)) {
    if (auto put = putOnShelf(defaultDiscsDir(), paths.value(), *toc.value().disc); !put) return put.error();
  }
  const fs::path gone = writersDir / (".removed-" + std::to_string(::getpid()) + "-" + name);
  if (::rename(paths.value().dir().c_str(), gone.c_str()) != 0)
    return makeError(ErrorKind::Io, "cannot remove the writer " + quoted(name) + ": " + std::strerror(errno));
  lock.value().release();
  removeReadOnlyTree(gone);
  std::error_code ec;
  fs::remove(writerMountDir(name), ec);
  return {};
}

Status insertMedium(const fs::path& writersDir, const std::string& name, const MediumSpec& spec) {
  auto found = existingWriter(writersDir, name);
  if (!found) return found.error();
  const WriterPaths& paths = found.value();
  if (!spec.shelvedDisc && (spec.capacity.value < sessionFootprint(BlockCount{1}).value || spec.capacity > kMaxCapacity))
    return makeError(ErrorKind::InvalidInput, "a disc must hold from " + std::to_string(sessionFootprint(BlockCount{1}).value) +
                                                  " to " + std::to_string(kMaxCapacity.value) + " blocks");
  auto lock = takeWriter(paths);
  if (!lock) return lock.error();
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  if (toc.value().disc) return makeError(ErrorKind::InvalidInput, "writer " + quoted(name) + " already holds a disc; eject it first");
  if (spec.shelvedDisc) {
    auto disc = takeFromShelf(defaultDiscsDir(), *spec.shelvedDisc, paths);
    if (!disc) return disc.error();
    Toc next;
    next.changedAtMs = nowMs();
    next.disc = disc.value();
    if (Status s = writeToc(paths, next); !s) return s;
    lock.value().release();
    mountAfterChange(paths, disc.value());
    return {};
  }

  // The disc is made in the medium file while the table of contents still
  // shows an empty tray; it appears in one step at the end.
  Disc disc;
  disc.kind = MediumKind::CDR;
  disc.capacity = spec.capacity;
  const int fd = ::open(paths.mediumFile().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return makeError(ErrorKind::Io, "cannot create " + paths.mediumFile().string() + ": " + std::strerror(errno));
  Status status;
  if (::ftruncate(fd, static_cast<off_t>(disc.capacity.bytes())) != 0)
    status = makeError(ErrorKind::Io, "cannot size " + paths.mediumFile().string() + ": " + std::strerror(errno));
  for (std::size_t i = 0; status && i < spec.sessionImages.size(); ++i) {
    const fs::path& image = spec.sessionImages[i];
    status = checkImageForAddress(image, disc.nextWritable(), disc.sessionString());
    if (!status) break;
    auto source = ImageFileSource::open(image);
    if (!source) {
      status = source.error();
      break;
    }
    const BlockCount length = source.value().length();
    if (sessionFootprint(length) > disc.freeBlocks()) {
      status = makeError(ErrorKind::NoSpace, image.string() + " (" + std::to_string(length.value) +
                                                 " blocks) does not fit on the disc: " + std::to_string(disc.freeBlocks().value) +
                                                 " blocks are free");
      break;
    }
    auto written = writeTrackData(fd, disc, length, false, source.value().source(), WriteControl{});
    if (!written) {
      status = makeError(written.error().kind, image.string() + ": " + written.error().message);
      break;
    }
    disc = written.value();
  }
  if (status && ::fdatasync(fd) != 0) status = makeError(ErrorKind::Io, std::string("cannot flush the medium: ") + std::strerror(errno));
  ::close(fd);
  if (!status) {
    ::unlink(paths.mediumFile().c_str());
    return status;
  }
  disc.kind = spec.kind;
  disc.closed = spec.closed || spec.kind == MediumKind::CDROM;
  Toc next;
  next.trayOpen = false;
  next.changedAtMs = nowMs();
  next.disc = disc;
  if (Status s = writeToc(paths, next); !s) return s;
  lock.value().release();
  mountAfterChange(paths, disc);
  return {};
}

Status appendSession(const fs::path& writersDir, const std::string& name, const fs::path& image, bool close) {
  return appendSession(writersDir, name, image, close, AppendOptions{});
}

Status appendSession(const fs::path& writersDir, const std::string& name, const fs::path& image, bool close,
                     const AppendOptions& options) {
  auto found = existingWriter(writersDir, name);
  if (!found) return found.error();
  const WriterPaths& paths = found.value();
  auto source = ImageFileSource::open(image);
  if (!source) return source.error();
  auto lock = takeWriter(paths);
  if (!lock) return lock.error();
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  auto disc = checkCanAppend(paths, toc.value(), source.value().length());
  if (!disc) return disc.error();
  if (!options.allowNonIso) {
    if (Status s = checkImageForAddress(image, disc.value().nextWritable(), disc.value().sessionString()); !s) return s;
  }
  if (Status s = unmountDisc(paths); !s) return s;
  auto busy = FileLock::lock(paths.busyLock());
  if (!busy) return busy.error();
  WriteControl control;
  control.bytesPerSecond = throttleRate(options.speedKBps);
  control.progress = options.progress;
  auto track = writeSession(paths, source.value().length(), close, source.value().source(), control);
  busy.value().release();
  lock.value().release();
  if (!track) return track.error();
  if (auto now = readToc(paths); now && now.value().disc) mountAfterChange(paths, *now.value().disc);
  return {};
}

Result<std::string> eject(const fs::path& writersDir, const std::string& name) {
  auto found = existingWriter(writersDir, name);
  if (!found) return found.error();
  const WriterPaths& paths = found.value();
  auto lock = takeWriter(paths);
  if (!lock) return lock.error();
  if (Status s = unmountDisc(paths); !s) return s.error();
  // A damaged table of contents is cleared by ejecting: it is how a writer
  // is reset. A disc that can be read goes on the shelf, as a real disc
  // leaves the tray in one piece.
  auto toc = readToc(paths);
  std::string shelved;
  if (toc && toc.value().disc && checkMediumFile(paths, *toc.value().disc)) {
    auto put = putOnShelf(defaultDiscsDir(), paths, *toc.value().disc);
    if (!put) return put.error();
    shelved = put.value();
  }
  Toc next;
  next.trayOpen = true;
  next.changedAtMs = nowMs();
  if (Status s = writeToc(paths, next); !s) return s.error();
  ::unlink(paths.mediumFile().c_str());
  return shelved;
}

Status setTray(const fs::path& writersDir, const std::string& name, bool open) {
  auto found = existingWriter(writersDir, name);
  if (!found) return found.error();
  const WriterPaths& paths = found.value();
  auto lock = takeWriter(paths);
  if (!lock) return lock.error();
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  if (open) {
    if (Status s = unmountDisc(paths); !s) return s;
  }
  Toc next = toc.value();
  next.trayOpen = open;
  next.changedAtMs = nowMs();
  if (Status s = writeToc(paths, next); !s) return s;
  lock.value().release();
  if (!open && next.disc) mountAfterChange(paths, *next.disc);
  return {};
}

Result<WriterInfo> writerInfo(const fs::path& writersDir, const std::string& name) {
  auto found = existingWriter(writersDir, name);
  if (!found) return found.error();
  const WriterPaths& paths = found.value();
  auto id = readIdentity(paths);
  if (!id) return id.error();
  auto toc = readToc(paths);
  if (!toc) return toc.error();
  if (toc.value().disc) {
    if (Status s = checkMediumFile(paths, *toc.value().disc); !s) return s.error();
  }
  WriterInfo info;
  info.name = name;
  info.displayName = id.value().displayName;
  info.bsdName = id.value().bsdName();
  info.ioRegistryEntryPath = "/emulated/" + name;
  info.mediumFile = paths.mediumFile();
  info.trayOpen = toc.value().trayOpen;
  info.busy = FileLock::isHeld(paths.busyLock());
  info.transitioning = isTransitioning(toc.value());
  info.disc = toc.value().disc;
  info.mountPoint = currentMount(paths, toc.value(), info.bsdName);
  if (!info.mountPoint && info.disc && info.disc->appendable()) info.mountFailure = rememberedMountFailure(paths);
  return info;
}

std::vector<std::string> listWriters(const fs::path& writersDir) {
  std::vector<std::pair<int, std::string>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(writersDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!validateWriterName(name) || !entry.is_directory(ec)) continue;
    auto id = readIdentity(WriterPaths{writersDir, name});
    found.emplace_back(id ? id.value().number : INT32_MAX, name);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(std::move(f.second));
  return names;
}

std::vector<ShelvedDisc> listShelf(const fs::path& discsDir) {
  std::vector<ShelvedDisc> discs;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(discsDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!validateWriterName(name) || !entry.is_directory(ec)) continue;
    std::ifstream in(entry.path() / "disc.json", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    auto kept = parseToc(text.str());
    if (kept && kept.value().disc) discs.push_back({name, *kept.value().disc});
  }
  std::sort(discs.begin(), discs.end(), [](const ShelvedDisc& a, const ShelvedDisc& b) { return a.name < b.name; });
  return discs;
}

Status deleteShelvedDisc(const fs::path& discsDir, const std::string& name) {
  if (Status s = validateWriterName(name); !s)
    return makeError(ErrorKind::InvalidInput, "there is no disc " + quoted(name) + " on the shelf");
  auto lock = FileLock::lock(discsDir / ".shelf.lock");
  if (!lock) return lock.error();
  const fs::path folder = discsDir / name;
  std::error_code ec;
  if (!fs::exists(folder / "disc.json", ec)) return makeError(ErrorKind::NotFound, "there is no disc " + quoted(name) + " on the shelf");
  fs::remove_all(folder, ec);
  if (ec) return makeError(ErrorKind::Io, "cannot delete the disc " + quoted(name) + ": " + ec.message());
  return {};
}

}  // namespace tessaline::emulated
