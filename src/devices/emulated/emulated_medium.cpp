#include "devices/emulated/emulated_medium.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tessaline::emulated {

namespace {

std::string errnoText() { return std::strerror(errno); }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// A whole, non-negative number no bigger than `max`.
std::optional<std::int64_t> integerField(const QJsonObject& o, const char* key, std::int64_t max) {
  const QJsonValue v = o.value(QLatin1String(key));
  if (!v.isDouble()) return std::nullopt;
  const double d = v.toDouble();
  if (!std::isfinite(d) || d < 0 || d > static_cast<double>(max) || std::floor(d) != d) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

Result<std::string> readSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return makeError(errno == ENOENT ? ErrorKind::NotFound : ErrorKind::Io, errnoText());
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return makeError(ErrorKind::Io, "read failed");
  return s.str();
}

Status fsyncDir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return makeError(ErrorKind::Io, "cannot open " + dir.string() + ": " + errnoText());
  const int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) return makeError(ErrorKind::Io, "cannot sync " + dir.string() + ": " + errnoText());
  return {};
}

}  // namespace

QJsonArray tracksToJson(const std::vector<TrackRecord>& tracks) {
  QJsonArray list;
  for (const TrackRecord& t : tracks) {
    QJsonObject track;
    track[QStringLiteral("start")] = static_cast<double>(t.start.value);
    track[QStringLiteral("length")] = static_cast<double>(t.length.value);
    list.append(track);
  }
  return list;
}

std::string mediumKindText(MediumKind kind) {
  switch (kind) {
    case MediumKind::CDR: return "cd-r";
    case MediumKind::CDRW: return "cd-rw";
    case MediumKind::CDROM: return "cd-rom";
    case MediumKind::Other: return "dvd";
  }
  return "dvd";
}

std::optional<MediumKind> mediumKindFromText(const std::string& text) {
  if (text == "cd-r") return MediumKind::CDR;
  if (text == "cd-rw") return MediumKind::CDRW;
  if (text == "cd-rom") return MediumKind::CDROM;
  if (text == "dvd") return MediumKind::Other;
  return std::nullopt;
}

std::vector<int> emulatedWriteSpeeds(MediumKind kind) {
  switch (kind) {
    case MediumKind::CDR: return {4, 8, 16, 24, 32, 48};
    case MediumKind::CDRW: return {4, 10, 16, 24};
    default: return {};
  }
}

BlockCount paddedTrackLength(BlockCount data) { return std::max(data, kMinTrackLength); }

BlockCount sessionFootprint(BlockCount data) { return paddedTrackLength(data) + kRunOutBlocks; }

BlockAddress Disc::nextWritable() const {
  if (tracks.empty()) return BlockAddress{0};
  const TrackRecord& last = tracks.back();
  const BlockCount gap = tracks.size() == 1 ? kFirstSessionGap : kLaterSessionGap;
  return last.start + last.length + kRunOutBlocks + gap;
}

BlockCount Disc::freeBlocks() const {
  if (!appendable()) return BlockCount{0};
  const BlockCount left = BlockAddress{capacity.value} - nextWritable();
  return left.value > 0 ? left : BlockCount{0};
}

BlockCount Disc::usedBlocks() const {
  if (tracks.empty()) return BlockCount{0};
  if (!appendable()) {
    const TrackRecord& last = tracks.back();
    return (last.start + last.length + kRunOutBlocks) - BlockAddress{0};
  }
  return std::min(capacity, nextWritable() - BlockAddress{0});
}

std::string Disc::sessionString() const {
  if (tracks.empty()) return "0";
  return std::to_string(tracks.back().start.value) + "," + std::to_string(nextWritable().value);
}

std::string serializeToc(const Toc& toc) {
  QJsonObject o;
  o[QStringLiteral("format")] = 1;
  o[QStringLiteral("trayOpen")] = toc.trayOpen;
  o[QStringLiteral("changedAt")] = static_cast<double>(toc.changedAtMs);
  if (toc.disc) {
    QJsonObject d;
    d[QStringLiteral("kind")] = QString::fromStdString(mediumKindText(toc.disc->kind));
    d[QStringLiteral("capacity")] = static_cast<double>(toc.disc->capacity.value);
    d[QStringLiteral("closed")] = toc.disc->closed;
    d[QStringLiteral("tracks")] = tracksToJson(toc.disc->tracks);
    o[QStringLiteral("disc")] = d;
  } else {
    o[QStringLiteral("disc")] = QJsonValue::Null;
  }
  return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

Result<Toc> parseToc(const std::string& json) {
  QJsonParseError perr{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &perr);
  if (perr.error != QJsonParseError::NoError)
    return makeError(ErrorKind::InvalidInput, "not valid JSON (" + perr.errorString().toStdString() + " at offset " +
                                                  std::to_string(perr.offset) + ")");
  if (!doc.isObject()) return makeError(ErrorKind::InvalidInput, "not a JSON object");
  const QJsonObject o = doc.object();
  Toc toc;
  const QJsonValue tray = o.value(QStringLiteral("trayOpen"));
  if (!tray.isBool()) return makeError(ErrorKind::InvalidInput, "\"trayOpen\" must be true or false");
  toc.trayOpen = tray.toBool();
  if (o.contains(QStringLiteral("changedAt"))) {
    const auto changed = integerField(o, "changedAt", std::int64_t{1} << 52);
    if (!changed) return makeError(ErrorKind::InvalidInput, "\"changedAt\" must be a whole number of milliseconds");
    toc.changedAtMs = *changed;
  }
  const QJsonValue discValue = o.value(QStringLiteral("disc"));
  if (discValue.isNull() || discValue.isUndefined()) return toc;
  if (!discValue.isObject()) return makeError(ErrorKind::InvalidInput, "\"disc\" must be an object or null");
  const QJsonObject d = discValue.toObject();
  Disc disc;
  const auto kind = mediumKindFromText(d.value(QStringLiteral("kind")).toString().toStdString());
  if (!kind) return makeError(ErrorKind::InvalidInput, "\"kind\" must be one of cd-r, cd-rw, cd-rom, dvd");
  disc.kind = *kind;
  const auto capacity = integerField(d, "capacity", kMaxCapacity.value);
  if (!capacity || *capacity == 0)
    return makeError(ErrorKind::InvalidInput,
                     "\"capacity\" must be a whole number of blocks from 1 to " + std::to_string(kMaxCapacity.value));
  disc.capacity = BlockCount{*capacity};
  const QJsonValue closed = d.value(QStringLiteral("closed"));
  if (!closed.isBool()) return makeError(ErrorKind::InvalidInput, "\"closed\" must be true or false");
  disc.closed = closed.toBool();
  const QJsonValue tracks = d.value(QStringLiteral("tracks"));
  if (!tracks.isArray()) return makeError(ErrorKind::InvalidInput, "\"tracks\" must be a list");
  std::int64_t minStart = 0;
  int index = 0;
  for (const QJsonValue& tv : tracks.toArray()) {
    ++index;
    const std::string which = "track " + std::to_string(index);
    if (!tv.isObject()) return makeError(ErrorKind::InvalidInput, which + " is not an object");
    const auto start = integerField(tv.toObject(), "start", kMaxCapacity.value);
    const auto length = integerField(tv.toObject(), "length", kMaxCapacity.value);
    if (!start || !length || *length == 0)
      return makeError(ErrorKind::InvalidInput, which + ": \"start\" and \"length\" must be whole numbers of blocks, "
                                                        "the length at least 1");
    if (*start < minStart)
      return makeError(ErrorKind::InvalidInput, which + " starts at block " + std::to_string(*start) +
                                                    ", inside the track before it (which ends at block " +
                                                    std::to_string(minStart) + ")");
    if (*start + *length + kRunOutBlocks.value > disc.capacity.value)
      return makeError(ErrorKind::InvalidInput, which + " runs past the end of the disc");
    disc.tracks.push_back(TrackRecord{BlockAddress{*start}, BlockCount{*length}});
    minStart = *start + *length + kRunOutBlocks.value;
  }
  if (disc.kind == MediumKind::CDROM) disc.closed = true;
  toc.disc = disc;
  return toc;
}

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Status validateWriterName(const std::string& name) {
  if (name.empty()) return makeError(ErrorKind::InvalidInput, "a writer name must not be empty");
  if (name.find('/') != std::string::npos)
    return makeError(ErrorKind::InvalidInput, "writer name " + quoted(name) + " must not contain a slash");
  if (name.front() == '.')
    return makeError(ErrorKind::InvalidInput, "writer name " + quoted(name) + " must not begin with a dot");
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f)
      return makeError(ErrorKind::InvalidInput, "a writer name must not contain control characters");
  }
  if (name.size() > 200) return makeError(ErrorKind::InvalidInput, "a writer name must be at most 200 bytes long");
  return {};
}

Result<Identity> readIdentity(const WriterPaths& paths) {
  struct stat st {};
  if (::stat(paths.dir().c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return makeError(ErrorKind::NotFound, "there is no writer named " + quoted(paths.name) + " in " +
                                              paths.writersDir.string());
  auto text = readSmallFile(paths.identityFile());
  if (!text)
    return makeError(ErrorKind::InvalidInput, "writer " + quoted(paths.name) + " is damaged: cannot read " +
                                                  paths.identityFile().string() + " (" + text.error().message + ")");
  QJsonParseError perr{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text.value()), &perr);
  const QJsonObject o = doc.object();
  const auto number = integerField(o, "number", 1'000'000);
  if (perr.error != QJsonParseError::NoError || !doc.isObject() || !number || !o.value(QStringLiteral("displayName")).isString())
    return makeError(ErrorKind::InvalidInput,
                     "writer " + quoted(paths.name) + " is damaged: " + paths.identityFile().string() +
                         " must hold a \"displayName\" text and a whole \"number\"");
  Identity id;
  id.displayName = o.value(QStringLiteral("displayName")).toString();
  id.number = static_cast<int>(*number);
  return id;
}

std::string identityJson(const Identity& identity) {
  QJsonObject o;
  o[QStringLiteral("displayName")] = identity.displayName;
  o[QStringLiteral("number")] = identity.number;
  return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

Result<Toc> readToc(const WriterPaths& paths) {
  auto text = readSmallFile(paths.tocFile());
  if (!text) {
    if (text.error().kind == ErrorKind::NotFound) {
      struct stat st {};
      if (::stat(paths.dir().c_str(), &st) != 0)
        return makeError(ErrorKind::NotFound, "there is no writer named " + quoted(paths.name) + " in " +
                                                  paths.writersDir.string());
      return makeError(ErrorKind::InvalidInput, "writer " + quoted(paths.name) +
                                                    " has lost its table of contents (" + paths.tocFile().string() +
                                                    " is missing); eject the disc to reset it");
    }
    return makeError(ErrorKind::Io, "cannot read the table of contents of writer " + quoted(paths.name) + ": " +
                                        text.error().message);
  }
  auto toc = parseToc(text.value());
  if (!toc)
    return makeError(ErrorKind::InvalidInput, "the table of contents of writer " + quoted(paths.name) + " (" +
                                                  paths.tocFile().string() + ") is damaged: " + toc.error().message +
                                                  "; eject the disc to reset it");
  return toc;
}

Status writeFileAtomically(const fs::path& path, const std::string& content) {
  const fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".tmp." + std::to_string(::getpid()));
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return makeError(ErrorKind::Io, "cannot write " + tmp.string() + ": " + errnoText());
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string why = errnoText();
      ::close(fd);
      ::unlink(tmp.c_str());
      return makeError(errno == ENOSPC ? ErrorKind::NoSpace : ErrorKind::Io, "cannot write " + tmp.string() + ": " + why);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    const std::string why = errnoText();
    ::close(fd);
    ::unlink(tmp.c_str());
    return makeError(ErrorKind::Io, "cannot sync " + tmp.string() + ": " + why);
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string why = errnoText();
    ::unlink(tmp.c_str());
    return makeError(ErrorKind::Io, "cannot replace " + path.string() + ": " + why);
  }
  return fsyncDir(path.parent_path());
}

Status writeToc(const WriterPaths& paths, const Toc& toc) { return writeFileAtomically(paths.tocFile(), serializeToc(toc)); }

Status checkMediumFile(const WriterPaths& paths, const Disc& disc) {
  struct stat st {};
  if (::stat(paths.mediumFile().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return makeError(ErrorKind::NotFound, "the medium file of writer " + quoted(paths.name) + " (" +
                                              paths.mediumFile().string() +
                                              ") has gone; eject the disc and insert a new one");
  std::int64_t needed = 0;
  if (!disc.tracks.empty()) needed = (disc.tracks.back().start + disc.tracks.back().length).byteOffset();
  if (st.st_size < needed)
    return makeError(ErrorKind::InvalidInput, "the medium file of writer " + quoted(paths.name) +
                                                  " is shorter than the tracks its table of contents lists");
  return {};
}

FileLock::~FileLock() { release(); }

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void FileLock::release() {
  if (fd_ >= 0) {
    // Closing the last descriptor of the open file releases its OFD lock.
    ::close(fd_);
    fd_ = -1;
  }
}

namespace {

Result<int> openLockFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == ENOENT)
      return makeError(ErrorKind::NotFound, "the writer folder " + file.parent_path().string() + " has gone");
    return makeError(errno == EACCES ? ErrorKind::PermissionDenied : ErrorKind::Io,
                     "cannot open " + file.string() + ": " + errnoText());
  }
  return fd;
}

// Open-file-description locks: like flock(2) they belong to the open file,
// not the process, so two holders in one process exclude each other too; and
// unlike flock they can be tested without being taken.
struct flock wholeFile(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;
  return fl;
}

void notePid(int fd) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
}

}  // namespace

Result<FileLock> FileLock::tryLock(const fs::path& file, const std::string& writerName) {
  auto fd = openLockFile(file);
  if (!fd) return fd.error();
  struct flock fl = wholeFile(F_WRLCK);
  if (::fcntl(fd.value(), F_OFD_SETLK, &fl) != 0) {
    const int err = errno;
    ::close(fd.value());
    if (err == EAGAIN || err == EACCES) return makeError(ErrorKind::Busy, inUseMessage(writerName, file));
    return makeError(ErrorKind::Io, "cannot lock " + file.string() + ": " + std::strerror(err));
  }
  notePid(fd.value());
  return FileLock(fd.value());
}

Result<FileLock> FileLock::lock(const fs::path& file) {
  auto fd = openLockFile(file);
  if (!fd) return fd.error();
  struct flock fl = wholeFile(F_WRLCK);
  while (::fcntl(fd.value(), F_OFD_SETLKW, &fl) != 0) {
    if (errno == EINTR) continue;
    const std::string why = errnoText();
    ::close(fd.value());
    return makeError(ErrorKind::Io, "cannot lock " + file.string() + ": " + why);
  }
  notePid(fd.value());
  return FileLock(fd.value());
}

bool FileLock::isHeld(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl = wholeFile(F_WRLCK);
  const bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

std::string inUseMessage(const std::string& writerName, const fs::path& lockFile) {
  std::string pid;
  if (auto text = readSmallFile(lockFile)) {
    for (const char c : text.value())
      if (c >= '0' && c <= '9') pid += c;
  }
  std::string message = "writer " + quoted(writerName) + " is in use by another program";
  if (!pid.empty()) {
    message += " (pid " + pid + ")";
    if (pid == std::to_string(::getpid())) message = "writer " + quoted(writerName) + " is in use by another part of this program (pid " + pid + ")";
  }
  return message;
}

}  // namespace tessaline::emulated
