#include "catalogue/burn_configuration.h"

#include <plist/plist++.h>
#include <plist/plist.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "common/utf8.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// A valid configuration is two levels deep; libplist recurses once per level
// and runs out of stack on a few hundred thousand, so deeper input is refused
// before it reaches the library.
constexpr int kMaxNesting = 32;
// Bounds the work of the binary depth check on files that share objects.
constexpr std::size_t kMaxBinaryVisits = 1'000'000;

// Characters an XML 1.0 document carries unchanged in element content.
// A carriage return is left out: XML parsers turn it into a line feed.
bool xmlKeeps(char32_t cp) {
  return cp == 0x9 || cp == 0xA || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         cp >= 0x10000;
}

// True when the bytes survive as a property-list string exactly.
bool storableAsString(std::string_view s) { return allCodePoints(s, xmlKeeps); }

// A readable stand-in: every byte or character that cannot be stored becomes U+FFFD.
std::string readableString(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    const std::size_t len = decodeUtf8(s, i, cp);
    if (len != 0 && xmlKeeps(cp)) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += len == 0 ? 1 : len;
    }
  }
  return out;
}

void setStringWithBytes(PList::Dictionary& dict, const char* key, const char* bytesKey, const std::string& value) {
  if (storableAsString(value)) {
    dict.Set(key, PList::String(value));
    return;
  }
  dict.Set(key, PList::String(readableString(value)));
  dict.Set(bytesKey, PList::Data(std::vector<char>(value.begin(), value.end())));
}

// Deepest nesting of <array> and <dict> elements, skipping comments, CDATA,
// processing instructions and the document type. Stops counting past the limit.
int xmlNesting(std::string_view s) {
  int depth = 0;
  int deepest = 0;
  std::size_t i = 0;
  auto skipPast = [&](std::string_view end) {
    const std::size_t at = s.find(end, i);
    i = at == std::string_view::npos ? s.size() : at + end.size();
  };
  while ((i = s.find('<', i)) != std::string_view::npos) {
    const std::string_view rest = s.substr(i);
    if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast("]]>");
    } else if (rest.starts_with("<?")) {
      skipPast("?>");
    } else if (rest.starts_with("<!")) {
      skipPast(">");
    } else if (rest.starts_with("</")) {
      if (rest.starts_with("</array") || rest.starts_with("</dict")) --depth;
      skipPast(">");
    } else {
      const bool container = rest.starts_with("<array") || rest.starts_with("<dict");
      const std::size_t close = rest.find('>');
      const bool selfClosing = close != std::string_view::npos && close > 0 && rest[close - 1] == '/';
      if (container && !selfClosing) {
        ++depth;
        if (depth > deepest) deepest = depth;
        if (deepest > kMaxNesting) return deepest;
      }
      skipPast(">");
    }
  }
  return deepest;
}

std::uint64_t readBigEndian(std::string_view s, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t k = 0; k < width; ++k) v = (v << 8) | static_cast<unsigned char>(s[at + k]);
  return v;
}

// Checks a binary property list's structure as far as nesting goes: the
// trailer and offset table are in range and no path from the top object is
// deeper than the limit. False for anything malformed (libplist then need not see it).
bool binaryNestingAcceptable(std::string_view s) {
  constexpr std::size_t kHeader = 8;
  constexpr std::size_t kTrailer = 32;
  if (s.size() < kHeader + kTrailer) return false;
  const std::size_t t = s.size() - kTrailer;
  const std::size_t offsetSize = static_cast<unsigned char>(s[t + 6]);
  const std::size_t refSize = static_cast<unsigned char>(s[t + 7]);
  const std::uint64_t objects = readBigEndian(s, t + 8, 8);
  const std::uint64_t top = readBigEndian(s, t + 16, 8);
  const std::uint64_t tableAt = readBigEndian(s, t + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
  if (objects == 0 || top >= objects || tableAt < kHeader || tableAt > t) return false;
  if (objects > (t - tableAt) / offsetSize) return false;

  auto objectAt = [&](std::uint64_t index, std::size_t& at) {
    at = static_cast<std::size_t>(readBigEndian(s, static_cast<std::size_t>(tableAt + index * offsetSize), offsetSize));
    return at >= kHeader && at < tableAt;
  };
  struct Frame {
    std::uint64_t index;
    int depth;
  };
  std::vector<Frame> stack{{top, 1}};
  std::size_t visits = 0;
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    if (f.depth > kMaxNesting || ++visits > kMaxBinaryVisits) return false;
    std::size_t at = 0;
    if (!objectAt(f.index, at)) return false;
    const auto marker = static_cast<unsigned char>(s[at]);
    const unsigned kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) continue;  // not a container
    std::uint64_t count = marker & 0x0Fu;
    std::size_t refsAt = at + 1;
    if (count == 0xF) {
      if (refsAt >= tableAt) return false;
      const auto intMarker = static_cast<unsigned char>(s[refsAt]);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0Fu) > 3) return false;
      const std::size_t width = std::size_t{1} << (intMarker & 0x0Fu);
      if (refsAt + 1 + width > tableAt) return false;
      count = readBigEndian(s, refsAt + 1, width);
      refsAt += 1 + width;
    }
    const std::uint64_t refs = kind == 0xD ? count * 2 : count;
    if (refs > (tableAt - refsAt) / refSize) return false;
    for (std::uint64_t k = 0; k < refs; ++k) {
      const std::uint64_t child = readBigEndian(s, static_cast<std::size_t>(refsAt + k * refSize), refSize);
      if (child >= objects) return false;
      stack.push_back({child, f.depth + 1});
    }
  }
  return true;
}

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

std::optional<std::string> stringValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (value == nullptr) return std::nullopt;
  std::string out(value);
  std::free(value);
  return out;
}

std::optional<std::string> dataValue(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  char* value = nullptr;
  std::uint64_t length = 0;
  plist_get_data_val(node, &value, &length);
  std::string out = value != nullptr ? std::string(value, static_cast<std::size_t>(length)) : std::string();
  std::free(value);
  return out;
}

// Reads at most limit + 1 bytes of a regular file; nullopt on any failure.
std::optional<std::string> readSmallFile(const fs::path& path, std::size_t limit) {
  // O_NONBLOCK: a FIFO in place of the file must not hang the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= limit) {
    std::string data;
    data.resize(limit + 1);
    std::size_t have = 0;
    bool failed = false;
    while (have < data.size()) {
      const ssize_t n = ::read(fd, data.data() + have, data.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failed = true;
        break;
      }
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    if (!failed && have <= limit) {
      data.resize(have);
      out = std::move(data);
    }
  }
  ::close(fd);
  return out;
}

}  // namespace

std::string serializeBurnConfiguration(const std::vector<BurnItem>& items) {
  PList::Array array;
  for (const BurnItem& item : items) {
    if (item.isPermanent != "0") continue;
    PList::Dictionary dict;
    setStringWithBytes(dict, keys::aPath, kAPathBytesKey, item.aPath.native());
    setStringWithBytes(dict, keys::aPathComponent, kAPathComponentBytesKey, item.aPathComponent);
    dict.Set(keys::isPermanent, PList::String("0"));
    // "nan" or "inf" would make the file unreadable for strict readers.
    dict.Set(keys::sizeInMB, PList::Real(std::isfinite(item.sizeInMB) ? item.sizeInMB : 0.0));
    array.Append(&dict);
  }
  return array.ToXml();
}

std::vector<fs::path> parseBurnConfiguration(std::string_view bytes) {
  std::vector<fs::path> paths;
  if (bytes.empty() || bytes.size() > kMaxBurnConfigurationBytes) return paths;
  const bool binary = bytes.starts_with("bplist00");
  if (binary ? !binaryNestingAcceptable(bytes) : xmlNesting(bytes) > kMaxNesting) return paths;

  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
  const PlistHolder root(raw);
  if (raw == nullptr || plist_get_node_type(raw) != PLIST_ARRAY) return paths;

  const std::uint32_t count = plist_array_get_size(raw);
  for (std::uint32_t i = 0; i < count; ++i) {
    plist_t element = plist_array_get_item(raw, i);
    if (element == nullptr || plist_get_node_type(element) != PLIST_DICT) continue;
    std::optional<std::string> path = dataValue(plist_dict_get_item(element, kAPathBytesKey));
    if (!path) path = stringValue(plist_dict_get_item(element, keys::aPath));
    // Sources are absolute; a NUL byte cannot be part of a Linux path.
    if (!path || path->empty() || path->front() != '/' || path->find('\0') != std::string::npos) continue;
    paths.emplace_back(std::move(*path));
  }
  return paths;
}

Status writeSettingsToPath(const fs::path& folder, const std::vector<BurnItem>& items) {
  const fs::path file = fs::path(folder.native() + "/" + kBurnConfigurationFileName);
  const std::string content = serializeBurnConfiguration(items);

  // A staged entry of this name could be a link to a user's file: remove the
  // link (it lives in the staging tree) instead of writing through it.
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(file.c_str()) != 0) {
    return makeError(ErrorKind::Io, "cannot replace " + file.string() + ": " + std::strerror(errno));
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
  if (fd < 0) {
    const int err = errno;
    return makeError(err == EACCES || err == EPERM ? ErrorKind::PermissionDenied
                     : err == ENOSPC               ? ErrorKind::NoSpace
                     : err == ENOENT               ? ErrorKind::NotFound
                                                   : ErrorKind::Io,
                     "cannot write " + file.string() + ": " + std::strerror(err));
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      return makeError(err == ENOSPC ? ErrorKind::NoSpace : ErrorKind::Io,
                       "cannot write " + file.string() + ": " + std::strerror(err));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    return makeError(ErrorKind::Io, "cannot write " + file.string() + ": " + std::strerror(errno));
  }
  return {};
}

std::vector<fs::path> readStoredSources(const fs::path& mountPath) {
  const fs::path file = fs::path(mountPath.native() + "/" + kBurnConfigurationFileName);
  const std::optional<std::string> bytes = readSmallFile(file, kMaxBurnConfigurationBytes);
  if (!bytes) return {};
  return parseBurnConfiguration(*bytes);
}

std::vector<fs::path> readSettingsPaths(const fs::path& mountPath) {
  std::vector<fs::path> present;
  for (fs::path& path : readStoredSources(mountPath)) {
    std::error_code ec;
    if (fs::exists(path, ec)) present.push_back(std::move(path));
  }
  return present;
}

}  // namespace tessaline
