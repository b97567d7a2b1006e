#pragma once
// Managing emulated writers and their media from outside a burn: creating and
// removing writers, inserting, ejecting, moving the tray, appending a session
// as a burn would, and reading a writer's state. Every change takes the
// writer's exclusive access, so it is refused while another program burns.

#include <QString>

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

// Gives a writer folder of this user mode 0700 and its files 0600 (only
// their owner may read a disc), and closes its mount folders: writers made
// by earlier versions were open to every user. Called whenever a writer is
// opened.
void makeWriterPrivate(const WriterPaths& paths);

// $TESSALINE_WRITERS_DIR, else $XDG_DATA_HOME/tessaline/writers, else
// ~/.local/share/tessaline/writers.
fs::path defaultWritersDir();

// Where ejected discs are kept: $TESSALINE_DISCS_DIR, else the folder
// "discs" beside the writers folder.
fs::path defaultDiscsDir();

// "Emulated CD Recorder (NAME)".
QString defaultDisplayName(const std::string& name);

struct MediumSpec {
  MediumKind kind = MediumKind::CDR;
  BlockCount capacity = kCd80Capacity;
  // Written in turn as sessions, the first at block 0; each later one must
  // have been built (mkisofs -C) for the address where it lands.
  std::vector<fs::path> sessionImages;
  bool closed = false;
  // A disc from the shelf, by name: inserted as it was ejected (the fields
  // above are not used).
  std::optional<std::string> shelvedDisc;
};

struct WriterInfo {
  std::string name;
  QString displayName;
  std::string bsdName;
  std::string ioRegistryEntryPath;
  fs::path mediumFile;
  bool trayOpen = false;
  bool busy = false;           // a burn or erase is running
  bool transitioning = false;  // loading, ejecting or the tray is moving
  std::optional<Disc> disc;    // the disc in the tray (open or closed)
  std::optional<fs::path> mountPoint;
  std::optional<Error> mountFailure;  // why the disc is not mounted, when it could not be
};

struct AppendOptions {
  std::optional<float> speedKBps;  // honoured with TESSALINE_EMULATED_SPEED=1
  bool allowNonIso = false;        // write data that is not an ISO 9660 image
  std::function<void(double percent)> progress;
};

Status createWriter(const fs::path& writersDir, const std::string& name, const QString& displayName = {});
Status removeWriter(const fs::path& writersDir, const std::string& name);
Status insertMedium(const fs::path& writersDir, const std::string& name, const MediumSpec& spec);
Status appendSession(const fs::path& writersDir, const std::string& name, const fs::path& image, bool close);
Status appendSession(const fs::path& writersDir, const std::string& name, const fs::path& image, bool close,
                     const AppendOptions& options);
// Ejects the disc onto the shelf, from where it can be inserted again;
// answers the name it is kept under.
Result<std::string> eject(const fs::path& writersDir, const std::string& name);
Status setTray(const fs::path& writersDir, const std::string& name, bool open);
Result<WriterInfo> writerInfo(const fs::path& writersDir, const std::string& name);
// The writers' names in creation order.
std::vector<std::string> listWriters(const fs::path& writersDir);

// The discs on the shelf (ejected from emulated writers), by name.
struct ShelvedDisc {
  std::string name;
  Disc disc;
};
std::vector<ShelvedDisc> listShelf(const fs::path& discsDir);
// Throws a disc on the shelf away for good.
Status deleteShelvedDisc(const fs::path& discsDir, const std::string& name);

// Checks that an image is ISO 9660 and was built for a session at `start`.
Status checkImageForAddress(const fs::path& image, BlockAddress start, const std::string& sessionString);

// The mount point of the disc's last session, mounting it first when it is
// an open ISO 9660 disc whose mount has gone missing (unless the writer is in
// exclusive use).
std::optional<fs::path> currentMount(const WriterPaths& paths, const Toc& toc, const std::string& bsdName);

// True within the short time after an insert, eject or tray move.
bool isTransitioning(const Toc& toc);

}  // namespace tessaline::emulated
