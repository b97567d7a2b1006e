#include "burn/image_tool.h"

#include <QProcess>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
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
  if (request.jolietUtf16) args.emplace_back("-joliet-utf16");
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
  std::sort(entries.begin(), entries.end(),
            [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
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
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::string dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.empty()) continue;  // the current folder is never searched
    const fs::path candidate = fs::path(dir) / "xorrisofs";
    if (executableFile(candidate)) return candidate;
  }
  searched.emplace_back("xorrisofs on PATH");
  std::string message = "the image tool xorrisofs was not found: install the package xorriso (searched:";
  for (const fs::path& p : searched) message += " " + p.string() + ";";
  message.back() = ')';
  return makeError(ErrorKind::NotFound, message);
}

Result<ImageToolKind> imageToolKindFromVersion(std::string_view out) {
  const auto has = [out](std::string_view word) { return out.find(word) != std::string_view::npos; };
  // xorrisofs: "mkisofs 2.01-Emulation Copyright (C) 2019 see libburnia-project.org xorriso"
  if (has("-Emulation") && has("xorriso")) return ImageToolKind::Xorrisofs;
  if (has("genisoimage")) return ImageToolKind::Genisoimage;
  if (out.starts_with("xorriso ") || has("\nxorriso ")) {
    return makeError(ErrorKind::InvalidInput,
                     "this is xorriso itself, which takes mkisofs arguments only when started under the name "
                     "xorrisofs (or mkisofs): name the xorrisofs link instead");
  }
  return ImageToolKind::Other;
}

Result<ImageTool> identifyImageTool(const fs::path& path) {
  ImageTool tool{path, ImageToolKind::Other};
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.setStandardInputFile(QProcess::nullDevice());
  process.start(QString::fromLocal8Bit(path.c_str()), {QStringLiteral("-version")});
  // Both tools answer at once; one that does not is taken as it comes.
  constexpr int kAnswerMs = 3000;
  if (!process.waitForStarted(kAnswerMs)) return tool;
  if (!process.waitForFinished(kAnswerMs)) {
    process.kill();
    process.waitForFinished(5000);
    return tool;
  }
  const QByteArray out = process.readAll().left(64 * 1024);
  auto kind = imageToolKindFromVersion(std::string_view(out.constData(), static_cast<std::size_t>(out.size())));
  if (!kind) return makeError(kind.error().kind, path.string() + ": " + kind.error().message);
  tool.kind = kind.value();
  return tool;
}

Result<ImageTool> findImageTool() {
  auto path = locateImageTool();
  if (!path) return path.error();
  return identifyImageTool(path.value());
}

QString describeImageTool(const ImageTool& tool) {
  const QString path = QString::fromLocal8Bit(tool.path.c_str());
  switch (tool.kind) {
    case ImageToolKind::Xorrisofs: return QStringLiteral("xorrisofs (%1, package xorriso)").arg(path);
    case ImageToolKind::Genisoimage: return QStringLiteral("genisoimage (%1, package genisoimage)").arg(path);
    case ImageToolKind::Other: break;
  }
  return path;
}

Result<void> checkImageHead(std::string_view block16, std::uint64_t fileSize, long long nextSessionStart) {
  constexpr std::uint64_t kBlock = 2048;
  if (fileSize == 0) return makeError(ErrorKind::ToolFailed, "the image is empty");
  if (fileSize % kBlock != 0)
    return makeError(ErrorKind::ToolFailed, "the image is not a whole number of 2048-byte blocks (" +
                                                std::to_string(fileSize) + " bytes)");
  if (block16.size() < kBlock || static_cast<unsigned char>(block16[0]) != 1 || block16.substr(1, 5) != "CD001")
    return makeError(ErrorKind::ToolFailed, "the image holds no ISO 9660 volume descriptor");
  std::uint32_t declared = 0;  // the volume space size, little-endian half of the both-endian field
  for (std::size_t i = 4; i-- > 0;) declared = (declared << 8) | static_cast<unsigned char>(block16[80 + i]);
  std::uint64_t needed = declared;
  if (nextSessionStart > 0 && declared > static_cast<std::uint64_t>(nextSessionStart))
    needed = declared - static_cast<std::uint64_t>(nextSessionStart);
  const std::uint64_t blocks = fileSize / kBlock;
  if (blocks < needed)
    return makeError(ErrorKind::ToolFailed, "the image is cut short: " + std::to_string(blocks) + " blocks of the " +
                                                std::to_string(needed) + " its volume descriptor counts");
  return {};
}

Result<void> checkImageFile(const fs::path& image, long long nextSessionStart) {
  std::error_code ec;
  const auto size = fs::file_size(image, ec);
  if (ec) return makeError(ErrorKind::ToolFailed, "no image was written (" + ec.message() + ")");
  std::string block(2048, '\0');
  std::ifstream in(image, std::ios::binary);
  in.seekg(16 * 2048);
  in.read(block.data(), static_cast<std::streamsize>(block.size()));
  block.resize(in ? block.size() : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return checkImageHead(block, static_cast<std::uint64_t>(size), nextSessionStart);
}

long long nextSessionStartOf(const std::string& sessionText) {
  const std::size_t comma = sessionText.find(',');
  long long next = 0;
  if (comma == std::string::npos || !parseBlockNumber(sessionText.substr(comma + 1), next)) return 0;
  return next;
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
