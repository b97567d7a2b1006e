#pragma once
// Shared set-up of the desktop application's benchmarks: a private folder
// for the writers, runtime, cache, temp files and preferences, and one
// emulated writer with a blank CD-R.

#include <QString>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/preferences.h"
#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"

namespace bench {

namespace fs = std::filesystem;

struct GuiBenchFolder {
  fs::path root;
  fs::path prefsFile;

  GuiBenchFolder() {
    std::string pattern = (fs::temp_directory_path() / "tessaline-gui-bench-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    for (const char* d : {"writers", "runtime", "cache", "config", "tmp"}) fs::create_directories(root / d);
    fs::permissions(root / "runtime", fs::perms::owner_all);  // as a runtime folder must be
    ::setenv("TESSALINE_WRITERS_DIR", (root / "writers").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
    ::setenv("TESSALINE_NO_REAL_DRIVES", "1", 1);
    ::setenv("TESSALINE_MOUNT_WAIT_S", "10", 1);
    prefsFile = root / "prefs.conf";
    tessaline::Preferences(QString::fromStdString(prefsFile.string()))
        .setValue(tessaline::prefs::disableUpdateCheck, true);
  }
  ~GuiBenchFolder() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  bool addWriterWithBlankCDR(const std::string& name) {
    const fs::path writers = root / "writers";
    if (!tessaline::emulated::createWriter(writers, name, QStringLiteral("Emulated CD Recorder"))) return false;
    tessaline::emulated::MediumSpec spec;
    spec.kind = tessaline::MediumKind::CDR;
    return static_cast<bool>(tessaline::emulated::insertMedium(writers, name, spec));
  }
};

}  // namespace bench
