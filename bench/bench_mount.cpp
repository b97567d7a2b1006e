// Mounting an emulated disc (materialising its last session) against xorriso
// extracting the same session from the same medium file; then
// `tessaline-cli status` on the mounted disc against the mount step alone.
//
// The disc's last session holds 100 MB in 2,000 files; each tool runs several
// times on a warm cache and the medians are compared.

#include <QCoreApplication>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "devices/emulated/emulated_mount.h"
#include "devices/emulated/emulated_writers.h"

#include "bench_util.h"

namespace fs = std::filesystem;
using namespace tessaline;
using namespace tessaline::emulated;

namespace {

constexpr int kFiles = 2000;
constexpr std::size_t kTotalBytes = 100u * 1000u * 1000u;
constexpr int kRuns = 5;

using bench::median;
using bench::run;
using bench::seconds;

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  char tmpl[] = "/tmp/tessaline-bench-mount-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const fs::path root = tmpl;
  setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
  setenv("TESSALINE_EMULATED_SPEED", "0", 1);

  // 2,000 files of 50 kB in 40 folders, with varied content.
  std::printf("generating %d files, %zu MB...\n", kFiles, kTotalBytes / 1000000);
  const std::size_t each = kTotalBytes / kFiles;
  std::string data(each, '\0');
  unsigned seed = 12345;
  for (int i = 0; i < kFiles; ++i) {
    for (char& c : data) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 16);
    }
    const fs::path dir = root / "tree" / ("folder" + std::to_string(i % 40));
    fs::create_directories(dir);
    std::ofstream(dir / ("file" + std::to_string(i) + ".bin"), std::ios::binary) << data;
  }
  const fs::path image = root / "session.iso";
  if (run({"genisoimage", "-quiet", "-r", "-J", "-V", "BENCH", "-o", image.string(), (root / "tree").string()}) != 0) {
    std::fprintf(stderr, "genisoimage failed\n");
    return 1;
  }
  const fs::path writers = root / "writers";
  MediumSpec spec;
  spec.sessionImages = {image};
  if (Status s = createWriter(writers, "bench", {}); !s) return std::fprintf(stderr, "%s\n", s.error().message.c_str()), 1;
  if (Status s = insertMedium(writers, "bench", spec); !s) return std::fprintf(stderr, "%s\n", s.error().message.c_str()), 1;
  const WriterPaths paths{writers, "bench"};
  auto toc = readToc(paths);
  if (!toc || !toc.value().disc) return 1;
  const Disc disc = *toc.value().disc;
  const std::string medium = paths.mediumFile().string();
  const std::string start = std::to_string(disc.tracks.back().start.value);

  std::vector<double> ours, theirs;
  for (int i = 0; i < kRuns; ++i) {
    const fs::path out = root / "xorriso-out";
    theirs.push_back(seconds([&] {
      run({"xorriso", "-osirrox", "on", "-indev", "stdio:" + medium, "-load", "sbsector", start, "-extract", "/", out.string()});
    }));
    removeReadOnlyTree(out);
    if (Status s = unmountDisc(paths); !s) return 1;
    bool ok = true;
    ours.push_back(seconds([&] {
      auto mounted = mountDisc(paths, disc, "emu1");
      ok = mounted && mounted.value().has_value();
    }));
    if (!ok) {
      std::fprintf(stderr, "mount failed\n");
      return 1;
    }
  }
  const double a = median(ours);
  const double b = median(theirs);
  std::printf("mount (ours):                 %.3f s (median of %d)\n", a, kRuns);
  std::printf("xorriso -osirrox -extract:    %.3f s (median of %d)\n", b, kRuns);
  std::printf("ratio ours / xorriso:         %.2f (target: at most 1.5)\n", a / b);

  // tessaline-cli status on the mounted disc, against the mount step alone.
  if (auto mounted = mountDisc(paths, disc, "emu1"); !mounted) return 1;
  setenv("TESSALINE_WRITERS_DIR", writers.c_str(), 1);
  setenv("TESSALINE_NO_REAL_DRIVES", "1", 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  std::vector<double> status;
  for (int i = 0; i < kRuns; ++i) {
    int rc = 0;
    status.push_back(seconds([&] { rc = run({TESSALINE_CLI_PATH, "status"}); }));
    if (rc != 0) {
      std::fprintf(stderr, "tessaline-cli status failed\n");
      return 1;
    }
  }
  const double c = median(status);
  std::printf("tessaline-cli status (mounted): %.3f s (median of %d)\n", c, kRuns);
  std::printf("ratio status / mount:         %.2f (target: at most 2)\n", c / a);
  (void)unmountDisc(paths);
  removeReadOnlyTree(root);
  return 0;
}
