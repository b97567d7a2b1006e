#pragma once
// Mounting an emulated disc: the last session's ISO 9660 tree, read with
// libisofs, materialised read-only in a folder named after the volume, and
// listed in the writer's mount table as "/dev/<bsdName> <mount point> iso9660 ro 0 0".

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/units.h"
#include "devices/disc_recording_service.h"
#include "devices/emulated/emulated_medium.h"

namespace tessaline::emulated {

// $XDG_RUNTIME_DIR/tessaline/mounts, else $XDG_CACHE_HOME/tessaline/mounts,
// else ~/.cache/tessaline/mounts, else <temp>/tessaline-<uid>/mounts. The
// folder and the one above it are made private (0700, this user's) before
// anything is unpacked there, and one of another user is never used.
fs::path mountBaseDir();
// The folder that holds the mount of one writer's disc.
fs::path writerMountDir(const std::string& writerName);
// Closes the writer's mount folders to other users where they exist (earlier
// versions left them open).
void makeMountFoldersPrivate(const std::string& writerName);

struct MountRecord {
  BlockAddress session;  // start of the session that is mounted
  MountEntry entry;
};

// The writer's mount table (no value when nothing is mounted).
std::optional<MountRecord> readMountTable(const WriterPaths& paths);

// The volume id of the ISO 9660 volume whose session starts at `start`, or
// no value when there is none there.
std::optional<std::string> isoVolumeIdAt(const fs::path& mediumFile, BlockAddress start);

struct MountControl {
  // Asked now and then while a disc is unpacked; true stops it (Cancelled).
  std::function<bool()> stop;
  // Free bytes of the file system holding a folder; statvfs when not given.
  std::function<std::optional<std::uint64_t>(const fs::path&)> freeBytes;
};

// Reads the tree of the session at `start` of the medium file (iso_tree.h:
// bounded, loops refused) and builds it in `target` (which must not exist):
// files, folders and symbolic links with their exact names and modification
// times, read-only; hard links stay links. Nothing is written unless the
// file system has room for all of it; `neededBytes` receives what it needs.
Status materialiseSession(const fs::path& mediumFile, BlockAddress start, const fs::path& target,
                          const MountControl& control = {}, std::uint64_t* neededBytes = nullptr);

// True when the mount table names the disc's last session and its folder is
// still there.
bool mountIsCurrent(const WriterPaths& paths, const Disc& disc);

// Mounts the last session of an open disc that carries an ISO 9660 volume
// (unless it already is). Answers the mount point, or no value when the disc
// is not one to mount. A disc that cannot be unpacked is remembered with the
// reason (in the writer's "mount.failure"), and the reason is answered again
// without unpacking until the disc changes, or, for want of space, until the
// space is there.
Result<std::optional<fs::path>> mountDisc(const WriterPaths& paths, const Disc& disc, const std::string& bsdName,
                                          const MountControl& control = {});
// The reason the disc now in the writer could not be mounted, if it could not.
std::optional<Error> rememberedMountFailure(const WriterPaths& paths, const MountControl& control = {});

// Removes the mount folder and empties the mount table.
Status unmountDisc(const WriterPaths& paths);
// Unmounts, but keeps the materialised tree aside so that mounting the same
// session again is a rename instead of a copy of the whole session (exclusive
// access unmounts the disc for a moment before every burn).
Status unmountDiscKeepingTree(const WriterPaths& paths);

// Removes a read-only tree (folders are made writable first); only used on
// folders of our own.
void removeReadOnlyTree(const fs::path& path);

}  // namespace tessaline::emulated
