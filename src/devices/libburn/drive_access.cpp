#include "devices/libburn/drive_access.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace tessaline::libburn {
namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string s) {
  const auto notSpace = [](unsigned char c) { return c != ' ' && c != '\n' && c != '\t' && c != '\0'; };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

std::string readSmallFile(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return trimmed(out.str());
}

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct CommandReply {
  bool ok = false;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> sense;
};

// One MMC command that reads data, through SG_IO.
CommandReply sendCommand(int fd, std::span<const std::uint8_t> cdb, std::size_t replyBytes) {
  CommandReply reply;
  reply.data.assign(replyBytes, 0);
  reply.sense.assign(32, 0);
  std::array<std::uint8_t, 16> cdbCopy{};
  std::copy(cdb.begin(), cdb.end(), cdbCopy.begin());
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = replyBytes > 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
  io.cmd_len = static_cast<unsigned char>(cdb.size());
  io.cmdp = cdbCopy.data();
  io.dxfer_len = static_cast<unsigned int>(replyBytes);
  io.dxferp = replyBytes > 0 ? reply.data.data() : nullptr;
  io.mx_sb_len = static_cast<unsigned char>(reply.sense.size());
  io.sbp = reply.sense.data();
  io.timeout = 10000;  // milliseconds
  if (::ioctl(fd, SG_IO, &io) != 0) {
    reply.sense.clear();
    return reply;
  }
  reply.sense.resize(io.sb_len_wr);
  reply.ok = io.status == 0 && io.host_status == 0 && (io.driver_status & 0x0F) == 0;
  if (reply.ok && io.resid > 0 && static_cast<std::size_t>(io.resid) <= replyBytes)
    reply.data.resize(replyBytes - static_cast<std::size_t>(io.resid));
  return reply;
}

std::uint8_t hi(std::size_t v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
std::uint8_t lo(std::size_t v) { return static_cast<std::uint8_t>(v & 0xFF); }

// The write speeds for the disc in the drive: GET PERFORMANCE knows them per
// medium; older drives only list theirs in the capabilities page.
std::vector<int> readWriteSpeeds(int fd) {
  constexpr std::size_t kMaxSpeeds = 32;
  constexpr std::size_t kPerformanceBytes = 8 + 16 * kMaxSpeeds;
  const std::array<std::uint8_t, 12> getPerformance{0xAC, 0, 0, 0, 0, 0, 0, 0, hi(kMaxSpeeds), lo(kMaxSpeeds), 0x03, 0};
  if (const auto reply = sendCommand(fd, getPerformance, kPerformanceBytes); reply.ok)
    if (auto speeds = parseWriteSpeedDescriptors(reply.data); !speeds.empty()) return speeds;
  constexpr std::size_t kModeBytes = 8 + 32 + 4 * kMaxSpeeds;
  const std::array<std::uint8_t, 10> modeSense{0x5A, 0x08, 0x2A, 0, 0, 0, 0, hi(kModeBytes), lo(kModeBytes), 0};
  if (const auto reply = sendCommand(fd, modeSense, kModeBytes); reply.ok)
    return parseCapabilitiesWriteSpeeds(reply.data);
  return {};
}

}  // namespace

std::string DriveIdentity::displayName() const {
  std::string name = vendor;
  if (!model.empty()) name += (name.empty() ? "" : " ") + model;
  return name.empty() ? "Optical drive " + bsdName : name;
}

std::vector<DriveIdentity> listOpticalDrives(const fs::path& sysRoot, const fs::path& devRoot) {
  static const std::regex srName("sr([0-9]+)");
  std::vector<std::pair<long, DriveIdentity>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysRoot / "class" / "block", ec)) {
    const std::string name = entry.path().filename().string();
    std::smatch m;
    if (!std::regex_match(name, m, srName)) continue;
    DriveIdentity d;
    d.bsdName = name;
    d.devicePath = (devRoot / name).string();
    std::error_code ec2;
    const fs::path real = fs::canonical(entry.path(), ec2);
    d.sysfsPath = ec2 ? entry.path().string() : real.string();
    d.vendor = readSmallFile(entry.path() / "device" / "vendor");
    d.model = readSmallFile(entry.path() / "device" / "model");
    found.emplace_back(std::stol(m[1].str()), std::move(d));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<DriveIdentity> drives;
  for (auto& f : found) drives.push_back(std::move(f.second));
  return drives;
}

Error permissionError(const std::string& devicePath) {
  std::string groupName;
  struct stat st {};
  if (::stat(devicePath.c_str(), &st) == 0) {
    if (const struct group* g = ::getgrgid(st.st_gid)) groupName = g->gr_name;
    else groupName = std::to_string(st.st_gid);
  }
  // A node owned by root's group gives no group to join; udev's default is "cdrom".
  if (groupName.empty() || groupName == "root") groupName = "cdrom";
  return makeError(ErrorKind::PermissionDenied, "No permission to use the drive " + devicePath +
                                                    ". Add your user to the group \"" + groupName +
                                                    "\" (for example: sudo adduser $USER " + groupName +
                                                    "), then log out and in again.");
}

Status checkDeviceAccess(const std::string& devicePath) {
  if (::access(devicePath.c_str(), F_OK) != 0)
    return makeError(ErrorKind::NotFound, "The drive " + devicePath + " is no longer connected.");
  if (::access(devicePath.c_str(), R_OK | W_OK) != 0) {
    if (errno == EACCES || errno == EPERM || errno == EROFS) return permissionError(devicePath);
    return makeError(ErrorKind::Io, "Cannot use the drive " + devicePath + ": " + std::strerror(errno));
  }
  return {};
}

Status checkNotBusy(const std::string& devicePath) {
  const int fd = ::open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return {};
  }
  if (errno == EBUSY)
    return makeError(ErrorKind::Busy, "The drive " + devicePath +
                                          " is in use by another program or its disc is mounted. Close that "
                                          "program or unmount the disc, then try again.");
  if (errno == EACCES || errno == EPERM) return permissionError(devicePath);
  if (errno == ENOENT || errno == ENXIO || errno == ENODEV)
    return makeError(ErrorKind::NotFound, "The drive " + devicePath + " is no longer connected.");
  return {};  // Other failures (no medium) do not mean someone holds the drive.
}

Result<QuickStatus> readQuickStatus(const std::string& devicePath) {
  const Fd fd(::open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == EACCES || errno == EPERM) return permissionError(devicePath);
    return makeError(ErrorKind::NotFound, "The drive " + devicePath + " is no longer connected.");
  }
  QuickStatus q;
  const int status = ::ioctl(fd.get(), CDROM_DRIVE_STATUS, CDSL_CURRENT);
  q.status = status < 0 ? DriveStatus::NoInfo : driveStatusFromIoctl(status);
  q.mediaChanged = ::ioctl(fd.get(), CDROM_MEDIA_CHANGED, CDSL_CURRENT) == 1;
  return q;
}

Result<DriveReadings> readDrive(const std::string& devicePath) {
  const Fd fd(::open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    if (err == EACCES || err == EPERM) return permissionError(devicePath);
    // The drive then shows no medium; only a permission error is worth telling.
    return makeError(errorKindOf(err), "Cannot open the drive " + devicePath + ": " + std::strerror(err));
  }

  DriveReadings r;
  const int status = ::ioctl(fd.get(), CDROM_DRIVE_STATUS, CDSL_CURRENT);
  r.status = status < 0 ? DriveStatus::NoInfo : driveStatusFromIoctl(status);
  if (r.status == DriveStatus::NoDisc || r.status == DriveStatus::TrayOpen) return r;
  if (r.status == DriveStatus::NotReady) {
    const std::array<std::uint8_t, 6> testUnitReady{0x00, 0, 0, 0, 0, 0};
    const CommandReply tur = sendCommand(fd.get(), testUnitReady, 0);
    r.sense = tur.ok ? SenseMeaning::None : classifySense(tur.sense);
    if (!tur.ok) return r;
    r.status = DriveStatus::DiscOk;  // it became ready meanwhile
  }

  constexpr std::size_t kConfigBytes = 8;
  const std::array<std::uint8_t, 10> getConfiguration{0x46, 0x02, 0, 0, 0, 0, 0, hi(kConfigBytes), lo(kConfigBytes), 0};
  if (const auto reply = sendCommand(fd.get(), getConfiguration, kConfigBytes); reply.ok)
    r.profile = parseCurrentProfile(reply.data);

  constexpr std::size_t kDiscInfoBytes = 34;
  const std::array<std::uint8_t, 10> readDiscInfo{0x51, 0, 0, 0, 0, 0, 0, hi(kDiscInfoBytes), lo(kDiscInfoBytes), 0};
  if (const auto reply = sendCommand(fd.get(), readDiscInfo, kDiscInfoBytes); reply.ok)
    r.disc = parseDiscInformation(reply.data);

  if (r.disc && r.disc->status != DiscStatus::Other) {
    constexpr std::size_t kTrackInfoBytes = 40;
    const int last = std::min(r.disc->lastTrackInLastSession, 99 + 1);
    for (int track = std::max(1, r.disc->firstTrack); track <= last; ++track) {
      const auto t = static_cast<std::size_t>(track);
      const std::array<std::uint8_t, 10> readTrackInfo{
          0x52, 0x01, 0, 0, hi(t), lo(t), 0, hi(kTrackInfoBytes), lo(kTrackInfoBytes), 0};
      const auto reply = sendCommand(fd.get(), readTrackInfo, kTrackInfoBytes);
      const auto info = reply.ok ? parseTrackInformation(reply.data) : std::nullopt;
      if (!info) {
        r.tracks.clear();  // a partial layout is worse than the table of contents
        break;
      }
      r.tracks.push_back(*info);
    }
  }

  if (r.disc && (r.disc->status == DiscStatus::Blank || r.disc->status == DiscStatus::Incomplete))
    r.writeSpeedsKBps = readWriteSpeeds(fd.get());

  constexpr std::size_t kTocBytes = 4 + 8 * 101;
  const std::array<std::uint8_t, 10> readToc{0x43, 0, 0, 0, 0, 0, 0, hi(kTocBytes), lo(kTocBytes), 0};
  if (const auto reply = sendCommand(fd.get(), readToc, kTocBytes); reply.ok) r.toc = parseToc(reply.data);
  return r;
}

}  // namespace tessaline::libburn
