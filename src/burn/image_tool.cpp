#include "burn/image_tool.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <system_error>

#include "common/log.h"
#include "common/utf8.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

// True when every character is valid UTF-8 within UCS-2 (Joliet's encoding).
bool jolietCanCarry(const std::string& name) {
  return allCodePoints(name, [](char32_t cp) { return cp <= 0xFFFF; });
}

// The name as a pattern that matches only itself.
std::string escapeGlob(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

bool executableFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Decimal digits only, below 2^31 (genisoimage reads them as int).
bool parseBlockNumber(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 0x7FFFFFFFLL;
}

}  // namespace

std::vector<std::string> mkisofsArguments(const ImageToolRequest& request) {
  const QByteArray volume = request.volumeName.toUtf8();
  std::vector<std::string> args;
  if (request.sessionText == "0") {
    args = {"-quiet", "-D", "-J", "-joliet-long", "-V", volume.toStdString(), "-r", "-o", request.imagePath.native()};
  } else {
    args = {"-quiet", "-D", "-r", "-J", "-joliet-long", "-V", volume.toStdString(), "-o", request.imagePath.native()};
    if (!request.hidePreviousSessions) {
      args.emplace_back("-M");
      args.push_back(request.toolDevice);
    }
    args.emplace_back("-C");
    args.push_back(request.sessionText);
  }
  for (const std::string& pattern : request.jolietHidden) {
    args.emplace_back("-hide-joliet");
    args.push_back(pattern);
  }
  args.push_back(request.stagingFolder.native());
  return args;
}

std::vector<fs::path> entriesJolietCannotCarry(const fs::path& tree) {
  std::vector<fs::path> entries;
  std::error_code ec;
  fs::recursive_directory_iterator it(tree, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!jolietCanCarry(it->path().filename().native())) entries.push_back(it->path().lexically_relative(tree));
  }
  return entries;
}

std::vector<std::string> namesToHideFromJoliet(const fs::path& stagingFolder) {
  std::vector<std::string> patterns;
  std::set<std::string> seen;
  for (const fs::path& entry : entriesJolietCannotCarry(stagingFolder)) {
    logLine("keeping out of the Joliet tree (name not UTF-8 or beyond UCS-2): " + entry.native());
    std::string pattern = escapeGlob(entry.filename().native());
    if (seen.insert(pattern).second) patterns.push_back(std::move(pattern));
  }
  return patterns;
}

Result<fs::path> locateImageTool() {
  if (const char* override = std::getenv("TESSALINE_MKISOFS"); override != nullptr && *override != '\0') {
    if (executableFile(override)) return fs::path(override);
    return makeError(ErrorKind::NotFound,
                     std::string("the image tool named by TESSALINE_MKISOFS is not an executable file: ") + override);
  }
  std::vector<fs::path> searched;
  const fs::path installed = fs::path(TESSALINE_LIBEXECDIR) / "mkisofs";
  searched.push_back(installed);
  if (executableFile(installed)) return installed;

  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = (self.parent_path() / ".." / "libexec" / "tessaline" / "mkisofs").lexically_normal();
    searched.push_back(beside);
    if (executableFile(beside)) return beside;
  }

  const char* pathVariable = std::getenv("PATH");
  const std::string path = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  for (const char* name : {"mkisofs", "genisoimage"}) {
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find(':', start), path.size());
      const std::string dir = path.substr(start, end - start);
      start = end + 1;
      if (dir.empty()) continue;  // the current folder is never searched
      const fs::path candidate = fs::path(dir) / name;
      if (executableFile(candidate)) return candidate;
    }
    searched.emplace_back(std::string(name) + " on PATH");
  }
  std::string message = "the image tool (genisoimage's mkisofs) was not found; searched:";
  for (const fs::path& p : searched) message += " " + p.string() + ";";
  message.pop_back();
  return makeError(ErrorKind::NotFound, message);
}

Result<void> checkSessionText(const std::string& sessionText) {
  if (sessionText == "0") return {};
  const std::size_t comma = sessionText.find(',');
  long long last = 0;
  long long next = 0;
  if (comma == std::string::npos || !parseBlockNumber(sessionText.substr(0, comma), last) ||
      !parseBlockNumber(sessionText.substr(comma + 1), next)) {
    return makeError(ErrorKind::InvalidInput,
                     "session addresses \"" + sessionText + "\" are not \"0\" or two block numbers \"A,B\"");
  }
  if (next < last + kMinimumTrackBlocks) {
    return makeError(ErrorKind::InvalidInput, "session addresses \"" + sessionText +
                                                  "\": the next session would overlap the last one");
  }
  return {};
}

}  // namespace tessaline
