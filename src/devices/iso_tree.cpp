#include "devices/iso_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <map>
#include <tuple>
#include <unordered_set>
#include <utility>

namespace tessaline {

namespace {

constexpr std::uint64_t kBlock = 2048;
constexpr std::size_t kNameMax = 255;
constexpr std::size_t kLinkMax = 4095;
// Continuation areas followed for one record, and their size.
constexpr int kMaxContinuations = 16;
constexpr std::uint32_t kMaxContinuationBytes = 8192;
// File type bits of a Rock Ridge mode.
constexpr std::uint32_t kTypeMask = 0170000, kTypeFolder = 0040000, kTypeFile = 0100000, kTypeLink = 0120000;

Error damaged(std::string what) { return makeError(ErrorKind::InvalidInput, "the disc " + std::move(what)); }

std::uint32_t le16(const char* p) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(p[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(p[1])) << 8;
}

std::uint32_t le32(const char* p) { return le16(p) | le16(p + 2) << 16; }

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned shifted = m > 2 ? m - 3 : m + 9;  // months from March
  const unsigned doy = (153 * shifted + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t civilSeconds(std::int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                          unsigned second, int offsetQuarters) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return 0;
  return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offsetQuarters * 900;
}

// The 7-byte date of a directory record and of a short Rock Ridge stamp.
std::int64_t shortDate(const char* p) {
  auto u = [p](int i) { return static_cast<unsigned>(static_cast<unsigned char>(p[i])); };
  return civilSeconds(1900 + static_cast<std::int64_t>(u(0)), u(1), u(2), u(3), u(4), u(5), static_cast<signed char>(p[6]));
}

// The 17-byte form: "YYYYMMDDHHMMSScc" in digits and an offset.
std::int64_t longDate(const char* p) {
  unsigned v[7] = {};
  const int widths[7] = {4, 2, 2, 2, 2, 2, 2};
  int at = 0;
  for (int f = 0; f < 7; ++f) {
    for (int k = 0; k < widths[f]; ++k, ++at) {
      if (p[at] < '0' || p[at] > '9') return 0;
      v[f] = v[f] * 10 + static_cast<unsigned>(p[at] - '0');
    }
  }
  return civilSeconds(v[0], v[1], v[2], v[3], v[4], v[5], static_cast<signed char>(p[16]));
}

// What a record's Rock Ridge entries say.
struct RockRidge {
  std::string name;
  bool hasName = false;
  bool nameIsDot = false;  // "." or ".." given as flags
  std::optional<std::uint32_t> mode;
  std::optional<std::int64_t> mtime, atime;
  std::string link;
  bool hasLink = false;
  bool linkContinues = false;  // the last component goes on in the next entry
  std::optional<std::uint32_t> childLink;
  bool relocated = false;
};

struct Record {
  std::uint32_t extent = 0;  // first block of the data (after any extended attributes)
  std::uint32_t length = 0;
  std::uint8_t flags = 0;
  std::string_view isoName;
  std::int64_t date = 0;
  std::string_view systemUse;
};

// Parses the record at the start of `r`; false when it is damaged.
bool parseRecord(std::string_view r, Record& out) {
  const auto length = static_cast<unsigned char>(r[0]);
  if (length < 34 || length > r.size()) return false;
  const auto nameLength = static_cast<unsigned char>(r[32]);
  if (33u + nameLength > length) return false;
  out.extent = le32(r.data() + 2) + static_cast<unsigned char>(r[1]);
  out.length = le32(r.data() + 10);
  out.date = shortDate(r.data() + 18);
  out.flags = static_cast<std::uint8_t>(r[25]);
  out.isoName = r.substr(33, nameLength);
  const std::size_t su = 33u + nameLength + (nameLength % 2 == 0 ? 1u : 0u);
  out.systemUse = su <= length ? r.substr(su, length - su) : std::string_view();
  return true;
}

class Walker {
 public:
  Walker(const MediumReader& read, std::uint64_t mediumBytes, const IsoLimits& limits, const std::function<bool()>& stop)
      : read_(read), mediumBytes_(mediumBytes), limits_(limits), stop_(stop),
        maxFileBytes_(limits.maxFileBytes.value_or(mediumBytes)) {}

  Result<IsoTree> walk(BlockAddress session) {
    if (session.value < 0) return damaged("session starts at a negative block");
    auto pvd = bytesAt((static_cast<std::uint64_t>(session.value) + 16) * kBlock, kBlock);
    if (!pvd) return damaged("has no ISO 9660 volume where its last session starts");
    const std::string& d = pvd.value();
    if (d.compare(0, 7, std::string_view("\x01" "CD001\x01", 7)) != 0)
      return damaged("has no ISO 9660 volume where its last session starts");
    if (le16(d.data() + 128) != kBlock) return damaged("uses a block size this program does not read");
    Record rootRecord;
    if (!parseRecord(std::string_view(d).substr(156, 34), rootRecord)) return damaged("has a damaged root folder record");

    tree_.volumeId = d.substr(40, 32);
    while (!tree_.volumeId.empty() && (tree_.volumeId.back() == ' ' || tree_.volumeId.back() == '\0'))
      tree_.volumeId.pop_back();
    tree_.created = longDate(d.data() + 813);

    auto rootListing = readFolder(rootRecord.extent, rootRecord.length, "/");
    if (!rootListing) return rootListing.error();
    folders_.insert(rootRecord.extent);
    IsoEntry root;
    root.kind = IsoKind::Folder;
    root.mode = 0555;
    root.mtime = root.atime = rootRecord.date;
    // The root's own record "." carries the Rock Ridge mark (SP) and the root's attributes.
    Record dot;
    if (parseRecord(rootListing.value(), dot) && dot.isoName == std::string_view("\0", 1)) {
      const std::string_view su = dot.systemUse;
      if (su.size() >= 7 && su.substr(0, 2) == "SP" && static_cast<unsigned char>(su[4]) == 0xBE &&
          static_cast<unsigned char>(su[5]) == 0xEF)
        skip_ = static_cast<unsigned char>(su[6]);
      RockRidge rr;
      if (Status s = rockRidge(dot.systemUse, rr, false); !s) return s.error();
      applyAttributes(rr, root);
    }
    tree_.entries.push_back(std::move(root));

    std::vector<Frame> stack;
    auto children = listFolder(rootListing.value(), "");
    if (!children) return children.error();
    stack.push_back(Frame{0, std::move(children.value()), 0, 0, 0});
    while (!stack.empty()) {
      if (stop_ && ++sinceAsked_ >= 256) {
        sinceAsked_ = 0;
        if (stop_()) return makeError(ErrorKind::Cancelled, "unpacking the disc was stopped");
      }
      Frame& top = stack.back();
      if (top.next == top.children.size()) {
        stack.pop_back();
        continue;
      }
      Child child = std::move(top.children[top.next++]);
      const std::size_t parent = top.entry;
      const std::size_t pathBytes = top.pathBytes + (parent == 0 ? 0 : 1) + child.entry.name.size();
      const std::size_t depth = top.depth + 1;
      if (tree_.entries.size() >= limits_.maxEntries)
        return damaged("holds more than " + std::to_string(limits_.maxEntries) + " entries");
      if (pathBytes > limits_.maxPathBytes)
        return damaged("holds a path longer than " + std::to_string(limits_.maxPathBytes) + " bytes");
      child.entry.parent = parent;
      const std::size_t index = tree_.entries.size();
      tree_.entries.push_back(std::move(child.entry));
      IsoEntry& entry = tree_.entries.back();
      if (entry.kind == IsoKind::File) {
        if (Status s = placeFileData(index); !s) return s.error();
        continue;
      }
      if (entry.kind != IsoKind::Folder) continue;
      const std::string path = "/" + isoEntryPath(tree_, index);
      if (depth > limits_.maxDepth)
        return damaged("nests folders deeper than " + std::to_string(limits_.maxDepth) + " levels (at " + path + ")");
      if (!folders_.insert(child.extent).second)
        return damaged("is damaged: its folder " + path + " leads back into a folder already read (the tree loops)");
      auto listing = readFolder(child.extent, child.length, path);
      if (!listing) return listing.error();
      auto grandChildren = listFolder(listing.value(), path);
      if (!grandChildren) return grandChildren.error();
      stack.push_back(Frame{index, std::move(grandChildren.value()), 0, pathBytes, depth});
    }
    return std::move(tree_);
  }

 private:
  struct Child {
    IsoEntry entry;
    std::uint32_t extent = 0;  // Folder
    std::uint32_t length = 0;
  };
  struct Frame {
    std::size_t entry;
    std::vector<Child> children;
    std::size_t next;
    std::size_t pathBytes;
    std::size_t depth;
  };

  Result<std::string> bytesAt(std::uint64_t offset, std::uint64_t length) const {
    if (offset > mediumBytes_ || length > mediumBytes_ - offset)
      return damaged("refers to data beyond its end");
    std::string out(static_cast<std::size_t>(length), '\0');
    if (!read_(offset, std::span<char>(out.data(), out.size()))) return makeError(ErrorKind::Io, "cannot read the disc");
    return out;
  }

  Result<std::string> readFolder(std::uint32_t extent, std::uint32_t length, const std::string& path) {
    if (length > limits_.maxFolderBytes)
      return damaged("has a folder larger than " + std::to_string(limits_.maxFolderBytes / 1024 / 1024) + " MiB (" + path + ")");
    if (length > limits_.maxAllFolderBytes - folderBytes_)
      return damaged("has more than " + std::to_string(limits_.maxAllFolderBytes / 1024 / 1024) + " MiB of folders");
    folderBytes_ += length;
    auto bytes = bytesAt(static_cast<std::uint64_t>(extent) * kBlock, length);
    if (!bytes && bytes.error().kind == ErrorKind::InvalidInput)
      return damaged("has a folder beyond its end (" + path + ")");
    return bytes;
  }

  // The Rock Ridge entries of a system use area, following its continuation areas.
  Status rockRidge(std::string_view area, RockRidge& rr, bool skipFirst) {
    if (skipFirst) area = skip_ <= area.size() ? area.substr(skip_) : std::string_view();
    std::string continuation;
    for (int followed = 0;; ++followed) {
      std::optional<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> next;
      bool end = false;
      for (std::size_t pos = 0; pos + 4 <= area.size() && !end;) {
        const auto length = static_cast<unsigned char>(area[pos + 2]);
        if (length < 4 || pos + length > area.size()) break;
        const std::string_view sig = area.substr(pos, 2);
        const std::string_view body = area.substr(pos + 4, length - 4u);
        if (sig == "ST") end = true;
        else if (sig == "CE" && body.size() >= 24) next = {le32(body.data()), le32(body.data() + 8), le32(body.data() + 16)};
        else entry(sig, body, rr);
        pos += length;
      }
      if (end || !next || followed >= kMaxContinuations) return {};
      const auto [block, offset, length] = *next;
      // Continuation areas count with the folders' records: many records
      // each continuing elsewhere cannot make the walk read without end.
      if (length > kMaxContinuationBytes || length > limits_.maxAllFolderBytes - folderBytes_) return {};
      folderBytes_ += length;
      auto bytes = bytesAt(static_cast<std::uint64_t>(block) * kBlock + offset, length);
      if (!bytes) return {};  // a continuation that is not there adds nothing
      continuation = std::move(bytes.value());
      area = continuation;
    }
  }

  static void entry(std::string_view sig, std::string_view body, RockRidge& rr) {
    if (sig == "NM" && !body.empty()) {
      const auto flags = static_cast<unsigned char>(body[0]);
      if (flags & 0x06) rr.nameIsDot = true;
      if (rr.name.size() <= kNameMax) rr.name.append(body.substr(1));
      rr.hasName = true;
    } else if (sig == "PX" && body.size() >= 4) {
      rr.mode = le32(body.data());
    } else if (sig == "TF" && !body.empty()) {
      const auto flags = static_cast<unsigned char>(body[0]);
      const std::size_t width = (flags & 0x80) ? 17 : 7;
      std::size_t at = 1;
      for (int bit = 0; bit < 7; ++bit) {
        if (!(flags & (1u << bit))) continue;
        if (at + width > body.size()) break;
        const std::int64_t t = width == 17 ? longDate(body.data() + at) : shortDate(body.data() + at);
        if (bit == 1) rr.mtime = t;
        if (bit == 2) rr.atime = t;
        at += width;
      }
    } else if (sig == "SL" && !body.empty()) {
      rr.hasLink = true;
      for (std::size_t at = 1; at + 2 <= body.size();) {
        const auto flags = static_cast<unsigned char>(body[at]);
        const auto length = static_cast<unsigned char>(body[at + 1]);
        if (at + 2 + length > body.size()) break;
        if (!rr.link.empty() && !rr.linkContinues && rr.link.back() != '/') rr.link += '/';
        if (flags & 0x08) {
          if (rr.link.empty()) rr.link = "/";
        } else if (flags & 0x02) {
          rr.link += ".";
        } else if (flags & 0x04) {
          rr.link += "..";
        } else {
          rr.link.append(body.substr(at + 2, length));
        }
        rr.linkContinues = flags & 0x01;
        if (rr.link.size() > kLinkMax + 1) rr.link.resize(kLinkMax + 1);
        at += 2u + length;
      }
    } else if (sig == "CL" && body.size() >= 4) {
      rr.childLink = le32(body.data());
    } else if (sig == "RE") {
      rr.relocated = true;
    }
  }

  static void applyAttributes(const RockRidge& rr, IsoEntry& e) {
    if (rr.mode) e.mode = *rr.mode & 07777;
    if (rr.mtime) e.mtime = *rr.mtime;
    e.atime = rr.atime.value_or(e.mtime);
  }

  void skipEntry(const std::string& path, std::string_view name, const std::string& why) {
    if (tree_.skipped.size() < 100) tree_.skipped.push_back(path + "/" + std::string(name.substr(0, 300)) + ": " + why);
  }

  // A name as the folder shows it: Rock Ridge's, else the ISO 9660 name
  // without its version and a trailing dot.
  static std::string displayName(const Record& r, const RockRidge& rr) {
    if (rr.hasName) return rr.name;
    std::string_view n = r.isoName;
    if (const std::size_t semi = n.find(';'); semi != std::string_view::npos) n = n.substr(0, semi);
    if (!n.empty() && n.back() == '.') n.remove_suffix(1);
    return std::string(n);
  }

  Result<std::vector<Child>> listFolder(std::string_view bytes, const std::string& path) {
    std::vector<Child> children;
    std::unordered_set<std::string> names;
    std::optional<Child> partial;  // a file whose data continues in the next record
    std::size_t records = 0;
    for (std::size_t pos = 0; pos < bytes.size();) {
      const auto length = static_cast<unsigned char>(bytes[pos]);
      const std::size_t blockEnd = (pos / kBlock + 1) * kBlock;
      Record r;
      if (length == 0 || pos + length > std::min<std::size_t>(bytes.size(), blockEnd) ||
          !parseRecord(bytes.substr(pos, length), r)) {
        pos = blockEnd;  // padding to the block's end, or a damaged record
        continue;
      }
      pos += length;
      if (++records > limits_.maxEntries) return damaged("holds more than " + std::to_string(limits_.maxEntries) + " entries");
      if (r.isoName.size() == 1 && (r.isoName[0] == '\0' || r.isoName[0] == '\1')) continue;  // "." and ".."
      if (r.flags & 0x04) continue;  // an associated file

      const bool more = (r.flags & 0x80) != 0;
      if (partial) {
        if (!(r.flags & 0x02) && partial->entry.extents.size() < 1024) {
          partial->entry.extents.push_back(IsoExtent{static_cast<std::uint64_t>(r.extent) * kBlock, r.length});
          partial->entry.size += r.length;
          if (more) continue;
          children.push_back(std::move(*partial));
          partial.reset();
          continue;
        }
        children.push_back(std::move(*partial));
        partial.reset();
      }

      RockRidge rr;
      if (Status s = rockRidge(r.systemUse, rr, true); !s) return s.error();
      if (rr.relocated) continue;  // reached through its placeholder's child link
      Child c;
      c.entry.name = displayName(r, rr);
      const std::string& name = c.entry.name;
      if (name.empty() || rr.nameIsDot || name == "." || name == ".." || name.size() > kNameMax ||
          name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
        skipEntry(path, name, "the name cannot be a file name here");
        continue;
      }
      c.entry.mtime = c.entry.atime = r.date;
      const std::uint32_t type = rr.mode ? *rr.mode & kTypeMask : 0;
      if (rr.childLink) {
        // A relocated folder: its attributes are in its own "." record.
        auto dot = bytesAt(static_cast<std::uint64_t>(*rr.childLink) * kBlock, 256);
        Record self;
        if (!dot || !parseRecord(dot.value(), self)) return damaged("has a damaged relocated folder (" + path + "/" + name + ")");
        RockRidge own;
        if (Status s = rockRidge(self.systemUse, own, true); !s) return s.error();
        c.entry.kind = IsoKind::Folder;
        c.entry.mode = 0555;
        c.entry.mtime = c.entry.atime = self.date;
        applyAttributes(own, c.entry);
        c.extent = self.extent;
        c.length = self.length;
      } else if (r.flags & 0x02) {
        c.entry.kind = IsoKind::Folder;
        c.entry.mode = 0555;
        c.extent = r.extent;
        c.length = r.length;
        applyAttributes(rr, c.entry);
      } else if (type == kTypeLink || (rr.hasLink && type == 0)) {
        c.entry.kind = IsoKind::Symlink;
        c.entry.mode = 0777;
        applyAttributes(rr, c.entry);
        if (rr.link.empty() || rr.link.size() > kLinkMax) {
          skipEntry(path, name, "the link's target is empty or too long");
          continue;
        }
        c.entry.target = rr.link;
      } else if (type == kTypeFile || type == 0) {
        c.entry.kind = IsoKind::File;
        c.entry.mode = 0444;
        applyAttributes(rr, c.entry);
        c.entry.size = r.length;
        c.entry.extents.push_back(IsoExtent{static_cast<std::uint64_t>(r.extent) * kBlock, r.length});
      } else {
        skipEntry(path, name, "not a file, folder or link");
        continue;
      }
      if (!names.insert(name).second) {
        skipEntry(path, name, "a second entry of that name");
        continue;
      }
      if (c.entry.kind == IsoKind::File && more) {
        partial = std::move(c);
        continue;
      }
      children.push_back(std::move(c));
    }
    if (partial) children.push_back(std::move(*partial));
    return children;
  }

  // Checks a file's data against the disc and the limits, and marks a file
  // that shares its data and attributes with an earlier one as its hard link.
  Status placeFileData(std::size_t index) {
    IsoEntry& e = tree_.entries[index];
    for (const IsoExtent& x : e.extents) {
      if (x.offset > mediumBytes_ || x.length > mediumBytes_ - x.offset)
        return damaged("has a file whose data lies beyond its end (/" + isoEntryPath(tree_, index) + ")");
    }
    if (e.size == 0) return {};
    const auto key = std::make_tuple(e.extents.front().offset, e.size, e.mode, e.mtime);
    if (const auto it = owners_.find(key); it != owners_.end()) {
      e.linkOf = it->second;
      return {};
    }
    owners_.emplace(key, index);
    if (e.size > maxFileBytes_ - tree_.dataBytes)
      return damaged("holds more file data than fits on it (" + std::to_string(maxFileBytes_ / 1000 / 1000) +
                     " MB): its files name the same data again and again");
    tree_.dataBytes += e.size;
    return {};
  }

  const MediumReader& read_;
  std::uint64_t mediumBytes_;
  const IsoLimits& limits_;
  const std::function<bool()>& stop_;
  std::uint64_t maxFileBytes_;
  std::size_t skip_ = 0;
  std::uint64_t folderBytes_ = 0;
  std::size_t sinceAsked_ = 0;
  std::unordered_set<std::uint32_t> folders_;
  std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, std::int64_t>, std::size_t> owners_;
  IsoTree tree_;
};

}  // namespace

std::string isoEntryPath(const IsoTree& tree, std::size_t index) {
  std::vector<const std::string*> names;
  for (std::size_t i = index; i != 0 && i < tree.entries.size() && names.size() <= tree.entries.size();
       i = tree.entries[i].parent)
    names.push_back(&tree.entries[i].name);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += **it;
  }
  return path;
}

MediumFile::MediumFile(int fd, std::uint64_t bytes) : fd_(fd), bytes_(bytes) {
  reader_ = [fd](std::uint64_t offset, std::span<char> out) {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  };
}

MediumFile::MediumFile(MediumFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), bytes_(other.bytes_), reader_(std::move(other.reader_)) {}

MediumFile::~MediumFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<MediumFile> MediumFile::open(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return makeError(ErrorKind::Io, "cannot read the disc at " + path.string() + ": " + std::strerror(errno));
  // lseek, not fstat: a block device's size shows only at its end.
  const off_t end = ::lseek(fd, 0, SEEK_END);
  return MediumFile(fd, end > 0 ? static_cast<std::uint64_t>(end) : 0);
}

Result<IsoTree> readIsoTree(const MediumReader& read, std::uint64_t mediumBytes, BlockAddress session,
                            const IsoLimits& limits, const std::function<bool()>& stop) {
  return Walker(read, mediumBytes, limits, stop).walk(session);
}

}  // namespace tessaline
