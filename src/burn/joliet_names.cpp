#include "burn/joliet_names.h"

#include <system_error>

#include "common/records.h"
#include "common/utf8.h"

namespace tessaline {

namespace fs = std::filesystem;

namespace {

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool jolietForbids(char32_t c) {
  return c < 0x20 || c == U'*' || c == U'/' || c == U':' || c == U';' || c == U'?' || c == U'\\';
}

// True when the bytes from `at` to the end are the start of one UTF-8
// sequence cut short: iconv, under xorrisofs, drops such a tail whole.
bool endsInACutSequence(std::string_view name, std::size_t at) {
  const std::size_t length = utf8SequenceLength(static_cast<unsigned char>(name[at]));
  if (length < 2 || name.size() - at >= length) return false;
  // iconv asks for more input before it looks at what the bytes would mean
  // (even a surrogate's start is "incomplete").
  for (std::size_t i = at + 1; i < name.size(); ++i)
    if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) return false;
  return true;
}

// The name as the image tool converts it, before any cut.
std::u16string toUnits(std::string_view name, JolietEncoding encoding, bool& substituted) {
  std::u16string units;
  units.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    char32_t cp = 0;
    const std::size_t len = decodeUtf8(name, i, cp);
    if (len == 0 && encoding == JolietEncoding::Utf16 && endsInACutSequence(name, i)) {
      substituted = true;
      break;
    }
    if (len == 0) {  // each stray byte on its own, as iconv skips them
      units.push_back(u'_');
      substituted = true;
      ++i;
      continue;
    }
    i += len;
    if (cp > 0xFFFF) {
      if (encoding == JolietEncoding::Ucs2) {
        units.push_back(u'_');
        substituted = true;
      } else {
        const char32_t v = cp - 0x10000;
        units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
        units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
      }
      continue;
    }
    if (jolietForbids(cp)) {
      units.push_back(u'_');
      substituted = true;
      continue;
    }
    units.push_back(static_cast<char16_t>(cp));
  }
  return units;
}

bool splitsAPair(const std::u16string& u) {
  for (std::size_t i = 0; i < u.size(); ++i) {
    if (isHighSurrogate(u[i])) {
      if (i + 1 >= u.size() || !isLowSurrogate(u[i + 1])) return true;
      ++i;
    } else if (isLowSurrogate(u[i])) {
      return true;
    }
  }
  return false;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

JolietName jolietName(std::string_view name, bool isFolder, JolietEncoding encoding) {
  JolietName out;
  const std::u16string u = toUnits(name, encoding, out.substituted);
  const std::size_t max = kJolietMaxUnits;
  const std::size_t dot = u.rfind(u'.');
  if (isFolder || dot == std::u16string::npos || dot + 1 == u.size()) {
    out.units = u.substr(0, max);
  } else if (u.size() <= max + 1) {  // the dot between stem and extension is not counted
    out.units = u;
  } else {
    const std::size_t stem = dot;
    const std::size_t extension = u.size() - dot - 1;
    const std::size_t keptExtension = extension > 3 ? (stem < max - 3 ? max - stem : 3) : extension;
    out.units = u.substr(0, max - keptExtension) + u'.' + u.substr(dot + 1, keptExtension);
  }
  out.cut = out.units.size() < u.size();
  if (out.cut && splitsAPair(out.units)) out.substituted = true;
  return out;
}

std::string jolietUnitsToUtf8(const std::u16string& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (isHighSurrogate(u) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
      appendUtf8(out,
                 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (static_cast<char32_t>(units[i + 1]) - 0xDC00));
      ++i;
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

void SessionNameTree::add(std::string_view relativePath, SessionEntryKind kind) {
  std::string folder;
  std::size_t start = 0;
  while (start < relativePath.size()) {
    std::size_t slash = relativePath.find('/', start);
    if (slash == std::string_view::npos) slash = relativePath.size();
    const std::string name(relativePath.substr(start, slash - start));
    start = slash + 1;
    if (name.empty() || name == ".") continue;
    const bool last = start > relativePath.size();
    const SessionEntryKind k = last ? kind : SessionEntryKind::Folder;
    auto& entries = folders_[folder];
    const std::string path = joinPath(folder, name);
    auto it = entries.find(name);
    if (it == entries.end()) {
      entries.emplace(name, k);
    } else if (last || it->second != SessionEntryKind::Folder) {
      if (it->second == SessionEntryKind::Folder && k != SessionEntryKind::Folder) removeBelow(path);
      it->second = k;
    }
    folder = path;
  }
}

void SessionNameTree::removeBelow(const std::string& folderPath) {
  const std::string prefix = folderPath + "/";
  folders_.erase(folderPath);
  for (auto it = folders_.lower_bound(prefix); it != folders_.end() && it->first.starts_with(prefix);)
    it = folders_.erase(it);
}

void SessionNameTree::addTreeOnDisk(const fs::path& root) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const auto status = it->symlink_status(ec);
    if (ec) break;
    SessionEntryKind kind = SessionEntryKind::Other;
    if (fs::is_directory(status)) kind = SessionEntryKind::Folder;
    else if (fs::is_regular_file(status)) kind = SessionEntryKind::File;
    add(it->path().lexically_relative(root).native(), kind);
  }
}

std::vector<JolietNameWarning> jolietNameWarnings(const SessionNameTree& tree, JolietEncoding encoding) {
  std::map<std::string, JolietNameWarning> found;  // by path, so the result is in byte order
  for (const auto& [folder, entries] : tree.folders()) {
    std::map<std::u16string, std::vector<std::string>> byJolietName;
    std::map<std::string, JolietName> names;
    for (const auto& [name, kind] : entries) {
      if (kind == SessionEntryKind::Other) continue;  // not in the Joliet tree
      JolietName j = jolietName(name, kind == SessionEntryKind::Folder, encoding);
      byJolietName[j.units].push_back(name);
      names.emplace(name, std::move(j));
    }
    for (const auto& [name, j] : names) {
      const auto& same = byJolietName[j.units];
      if (!j.substituted && !j.cut && same.size() < 2) continue;
      JolietNameWarning w;
      w.path = joinPath(folder, name);
      w.jolietName = jolietUnitsToUtf8(j.units);
      w.substituted = j.substituted;
      w.cut = j.cut;
      if (same.size() > 1) w.collidesWith = joinPath(folder, same.front() != name ? same.front() : same[1]);
      found.emplace(w.path, std::move(w));
    }
  }
  std::vector<JolietNameWarning> out;
  out.reserve(found.size());
  for (auto& [path, w] : found) out.push_back(std::move(w));
  return out;
}

QString describeJolietWarning(const JolietNameWarning& warning) {
  QStringList why;
  if (warning.substituted) why << QStringLiteral("characters Joliet cannot hold become _");
  if (warning.cut) why << QStringLiteral("cut to %1 characters").arg(kJolietMaxUnits);
  if (!warning.collidesWith.empty())
    why << QStringLiteral("the same as for \"%1\", so Joliet numbers them").arg(displayName(warning.collidesWith));
  return QStringLiteral("\"%1\" shows in Joliet as \"%2\" (%3)")
      .arg(displayName(warning.path), QString::fromUtf8(warning.jolietName.c_str()), why.join(QStringLiteral("; ")));
}

}  // namespace tessaline
