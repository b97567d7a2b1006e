#include "gui/file_arguments.h"

#include <QMimeData>
#include <QtEndian>

#include <cstring>

namespace tessaline::gui {
namespace {

constexpr qsizetype kMaxPathBytes = 1 << 16;
// Every message begins with this, so a connection that only looks whether
// Tessaline runs (and sends nothing) is not taken for a request.
constexpr char kMessageHeader[] = "tessaline-open-1\n";

}  // namespace

std::vector<std::filesystem::path> localPathsFromUriList(const QByteArray& uriList) {
  std::vector<std::filesystem::path> paths;
  for (QByteArray line : uriList.split('\n')) {
    line = line.trimmed();  // also the CR of CRLF line ends
    if (!line.toLower().startsWith("file:")) continue;  // also blank lines and # comments
    QByteArray rest = line.mid(5);
    if (rest.startsWith("//")) {
      rest = rest.mid(2);
      const qsizetype slash = rest.indexOf('/');
      if (slash < 0) continue;
      const QByteArray host = rest.left(slash).toLower();
      if (!host.isEmpty() && host != "localhost") continue;  // another machine's file
      rest = rest.mid(slash);
    }
    if (!rest.startsWith('/')) continue;
    // Query and fragment are not part of a file name (a literal # or ? is percent-encoded).
    const qsizetype cut = rest.indexOf('?') >= 0 ? rest.indexOf('?') : rest.indexOf('#');
    if (cut >= 0) rest.truncate(cut);
    const QByteArray bytes = QByteArray::fromPercentEncoding(rest);
    if (bytes.contains('\0') || bytes.isEmpty()) continue;
    paths.emplace_back(bytes.toStdString());
  }
  return paths;
}

DragInfo dragInfoFromMimeData(const QMimeData* mime) {
  DragInfo info;
  if (mime == nullptr) return info;
  const QString uriList = QString::fromLatin1(kFileNamesDragType);
  for (const QString& format : mime->formats())
    if (format != uriList) info.types << format;
  if (mime->hasFormat(uriList)) {
    info.fileNames = localPathsFromUriList(mime->data(uriList));
    if (!info.fileNames.empty()) info.types << uriList;
  }
  return info;
}

CommandLine parseCommandLine(int argc, char** argv, const std::filesystem::path& cwd) {
  CommandLine result;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--help" || arg == "-h") result.help = true;
      else if (arg == "--version" || arg == "-v") result.version = true;
      continue;  // other options are Qt's or unknown: not files
    }
    if (arg.empty()) continue;
    std::filesystem::path path(arg);
    if (path.is_relative()) path = cwd / path;
    result.files.push_back(std::move(path));
  }
  return result;
}

QByteArray encodePaths(const std::vector<std::filesystem::path>& paths) {
  QByteArray message(kMessageHeader);
  for (const auto& path : paths) {
    const std::string& bytes = path.native();
    char length[4];
    qToBigEndian(static_cast<quint32>(bytes.size()), length);
    message.append(length, 4);
    message.append(bytes.data(), static_cast<qsizetype>(bytes.size()));
  }
  return message;
}

std::optional<std::vector<std::filesystem::path>> decodePaths(const QByteArray& message) {
  std::vector<std::filesystem::path> paths;
  if (!message.startsWith(kMessageHeader)) return std::nullopt;
  qsizetype at = static_cast<qsizetype>(sizeof(kMessageHeader) - 1);
  while (at < message.size()) {
    if (message.size() - at < 4) return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(message.constData() + at);
    at += 4;
    if (length > static_cast<quint32>(kMaxPathBytes) || static_cast<qsizetype>(length) > message.size() - at)
      return std::nullopt;
    const std::string bytes(message.constData() + at, length);
    at += static_cast<qsizetype>(length);
    if (bytes.empty() || bytes.front() != '/' || bytes.find('\0') != std::string::npos) continue;
    paths.emplace_back(bytes);
  }
  return paths;
}

}  // namespace tessaline::gui
