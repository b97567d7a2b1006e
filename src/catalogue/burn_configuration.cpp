#include "catalogue/burn_configuration.h"

#include <plist/plist++.h>

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

#include "catalogue/property_list.h"
#include "common/log.h"
#include "common/utf8.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

std::optional<std::string> readBurnConfigurationFile(const fs::path& path) {
  constexpr std::size_t limit = kMaxBurnConfigurationBytes;
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

Result<std::vector<fs::path>> readBurnConfiguration(std::string_view bytes) {
  PlistLimits limits;
  limits.maxInputBytes = kMaxBurnConfigurationBytes;
  auto root = readPropertyList(bytes, limits);
  if (!root) return root.error();
  if (root.value().type != PlistType::Array) return makeError(ErrorKind::InvalidInput, "does not hold a list");
  std::vector<fs::path> paths;
  for (const PlistValue& element : root.value().children) {
    const PlistValue* bytesValue = element.find(kAPathBytesKey);
    const PlistValue* text = element.find(keys::aPath);
    const std::string* path = nullptr;
    if (bytesValue != nullptr && bytesValue->type == PlistType::Data) path = &bytesValue->bytes;
    else if (text != nullptr && text->type == PlistType::String) path = &text->bytes;
    // Sources are absolute; a NUL byte cannot be part of a Linux path.
    if (path == nullptr || path->empty() || path->front() != '/' || path->find('\0') != std::string::npos) continue;
    paths.emplace_back(*path);
  }
  return paths;
}

std::vector<fs::path> parseBurnConfiguration(std::string_view bytes) {
  auto paths = readBurnConfiguration(bytes);
  return paths ? std::move(paths.value()) : std::vector<fs::path>();
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
    return makeError(errorKindOf(err), "cannot write " + file.string() + ": " + std::strerror(err));
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      return makeError(errorKindOf(err), "cannot write " + file.string() + ": " + std::strerror(err));
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
  const std::optional<std::string> bytes = readBurnConfigurationFile(file);
  if (!bytes) return {};
  auto paths = readBurnConfiguration(*bytes);
  if (!paths) {
    logLine("the stored burn configuration " + file.string() + " " + paths.error().message + "; nothing restored");
    return {};
  }
  return std::move(paths.value());
}

}  // namespace tessaline
