#include "devices/mount_table.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tessaline {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isOctal(char c) { return c >= '0' && c <= '7'; }

std::string decodeField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
        isOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0377) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    // Anything else, a lone backslash included, stands for itself.
    out.push_back(field[i]);
  }
  return out;
}

}  // namespace

std::vector<MountEntry> parseMountTable(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size() && fields.size() < 3) {
      while (i < line.size() && isBlank(line[i])) ++i;
      if (i == line.size()) break;
      const std::size_t start = i;
      while (i < line.size() && !isBlank(line[i])) ++i;
      fields.push_back(line.substr(start, i - start));
    }
    if (fields.empty() || fields.front().front() == '#') continue;
    if (fields.size() < 3) continue;
    entries.push_back(MountEntry{decodeField(fields[0]), decodeField(fields[1]), decodeField(fields[2])});
  }
  return entries;
}

std::optional<std::string> readMountTableText(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

std::vector<MountEntry> readMountTable(const std::string& path) {
  const auto text = readMountTableText(path);
  return text ? parseMountTable(*text) : std::vector<MountEntry>{};
}

std::string escapeMountField(std::string_view field) {
  std::string out;
  for (const char c : field) {
    switch (c) {
      case ' ': out += "\\040"; break;
      case '\t': out += "\\011"; break;
      case '\n': out += "\\012"; break;
      case '\\': out += "\\134"; break;
      default: out += c;
    }
  }
  return out;
}

std::string mountTableLine(const MountEntry& entry, std::string_view options) {
  return escapeMountField(entry.mountedFrom) + " " + escapeMountField(entry.mountPoint) + " " +
         escapeMountField(entry.type) + " " + std::string(options) + " 0 0\n";
}

}  // namespace tessaline
