#include "staging/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace tessaline::staging {

bool EntryInfo::isFolder() const { return S_ISDIR(mode); }
bool EntryInfo::isLink() const { return S_ISLNK(mode); }
bool EntryInfo::isRegular() const { return S_ISREG(mode); }

namespace {

EntryInfo infoFrom(const struct stat& st) {
  EntryInfo info;
  info.mode = st.st_mode;
  info.size = static_cast<std::int64_t>(st.st_size);
  info.mtime = st.st_mtim;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  return info;
}

struct Listed {
  std::string name;
  EntryInfo info;
};

struct Frame {
  std::size_t relLength = 0;  // length of the folder's relative path, its "/" included
  std::vector<Listed> entries;
  std::size_t next = 0;
};

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Lists an open folder; takes ownership of fd. Answers 0 or an errno.
int listFolder(int fd, const std::string& fullPrefix, std::vector<Listed>& out, const WalkErrorHandler& onError) {
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
  if (!dir) {
    const int err = errno;
    close(fd);
    return err;
  }
  const int dfd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    dirent* d = readdir(dir.get());
    if (d == nullptr) {
      if (errno != 0) return errno;
      break;
    }
    const char* name = d->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    struct stat st {};
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      if (err != ENOENT && onError) onError(fullPrefix + name, err);
      continue;
    }
    out.push_back(Listed{name, infoFrom(st)});
  }
  return 0;
}

int openFolder(const char* path, bool followLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLink) flags |= O_NOFOLLOW;
  return open(path, flags);
}

}  // namespace

bool readEntryInfo(const char* path, EntryInfo& info) {
  struct stat st {};
  if (lstat(path, &st) != 0) return false;
  info = infoFrom(st);
  return true;
}

int walkTree(const std::filesystem::path& root, const std::function<void(const WalkEntry&)>& visit,
             const WalkErrorHandler& onError, const WalkLeaveOut& leaveOut) {
  std::string full = root.native();
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  if (full != "/") full += '/';
  const std::size_t rootLength = full.size();

  std::vector<Frame> stack;
  {
    const int fd = openFolder(root.c_str(), true);
    if (fd < 0) return errno;
    Frame top;
    if (const int err = listFolder(fd, full, top.entries, onError); err != 0) return err;
    stack.push_back(std::move(top));
  }

  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next >= frame.entries.size()) {
      stack.pop_back();
      continue;
    }
    Listed entry = std::move(frame.entries[frame.next++]);
    if (leaveOut && leaveOut(entry.info)) continue;
    const std::size_t base = rootLength + frame.relLength;
    full.resize(base);
    if (frame.relLength > 0) full[base - 1] = '/';
    full += entry.name;

    WalkEntry w;
    w.info = entry.info;
    Frame child;
    bool descend = false;
    if (entry.info.isFolder()) {
      // Opened before the visit so an unreadable folder is known as such;
      // O_NOFOLLOW keeps a folder swapped for a link from leading elsewhere.
      const int fd = openFolder(full.c_str(), false);
      std::string prefix = full + '/';
      if (fd < 0) {
        w.listError = errno;
      } else if (const int err = listFolder(fd, prefix, child.entries, onError); err != 0) {
        w.listError = err;
        child.entries.clear();
      } else {
        descend = true;
        child.relLength = full.size() + 1 - rootLength;
      }
      if (w.listError == ENOENT) continue;  // vanished meanwhile
    }
    w.full = full;
    w.relative = std::string_view(full).substr(rootLength);
    visit(w);
    if (descend) stack.push_back(std::move(child));
  }
  return 0;
}

}  // namespace tessaline::staging
