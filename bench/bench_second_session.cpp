// Preparing the second session of a disc (staging plus image build) for a
// 5,000-file, 300 MB folder of which 1% changed, against xorriso updating a
// copy of the same disc with -update_r. Both session sizes are reported.
//
// Ours is timed through `tessaline-cli burn` with an image tool that builds
// the image and then stops the burn, so nothing is written; xorriso's time
// includes writing its session into the copy. Ours runs with each supported
// image tool: xorrisofs (the default) and genisoimage.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 5000;
constexpr std::size_t kFileBytes = 60'000;  // 300 MB in all
constexpr int kRuns = 3;

using bench::median;
using bench::run;
using bench::seconds;

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void fill(const fs::path& file, unsigned seed) { bench::fillFile(file, kFileBytes, seed); }

}  // namespace

int main() {
  const fs::path root = bench::privateHome("second");
  if (root.empty()) return 1;
  const std::string cli = TESSALINE_CLI_PATH;
  const fs::path docs = root / "src/Docs";

  std::printf("generating %d files, %zu MB...\n", kFiles, kFiles * kFileBytes / 1000000);
  bench::fillTree(docs, kFiles, kFileBytes);
  if (run({cli, "writer", "create", "bench"}) != 0 || run({cli, "writer", "insert", "bench", "--medium", "cd-r"}) != 0 ||
      run({cli, "config", "set", "storeBurnConfiguration", "true"}) != 0) {
    std::fprintf(stderr, "setting up the writer failed\n");
    return 1;
  }
  std::printf("burning the first session...\n");
  if (run({cli, "burn", "--volume", "Bench", docs.string()}) != 0) {
    std::fprintf(stderr, "first burn failed\n");
    return 1;
  }
  // 1% of the files change; a few are new.
  for (int i = 0; i < kFiles; i += 100) {
    const fs::path f = docs / ("folder" + std::to_string(i % 50)) / ("file" + std::to_string(i) + ".bin");
    fill(f, static_cast<unsigned>(i + 7));
    const auto later = fs::last_write_time(f) + std::chrono::seconds(5);
    fs::last_write_time(f, later);
  }
  fs::create_directories(docs / "new");
  for (int i = 0; i < 10; ++i) fill(docs / "new" / ("new" + std::to_string(i) + ".bin"), 99u + static_cast<unsigned>(i));

  // Our second session: staging and the image build, then the tool stops the burn.
  const fs::path sizeFile = root / "image-size";
  const auto timeOurs = [&](const std::string& real, long long& bytes) {
    const fs::path tool = root / ("mkisofs-" + real);
    {
      std::ofstream t(tool);
      t << "#!/bin/sh\n[ \"$1\" = -version ] && exec " << real << " -version\n"
        << real << " \"$@\" || exit 1\nout=\nprev=\nfor a in \"$@\"; do [ \"$prev\" = -o ] && out=$a; prev=$a; done\n"
        << "stat -c %s \"$out\" > '" << sizeFile.string() << "'\nexit 3\n";
    }
    fs::permissions(tool, fs::perms::owner_all);
    setenv("TESSALINE_MKISOFS", tool.c_str(), 1);
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) times.push_back(seconds([&] { run({cli, "burn", "--yes"}); }));
    unsetenv("TESSALINE_MKISOFS");
    bytes = std::atoll(slurp(sizeFile).c_str());
    return median(times);
  };
  long long ourBytes = 0;
  long long genisoBytes = 0;
  const double ours = timeOurs("xorrisofs", ourBytes);
  const double genisoimage = timeOurs("genisoimage", genisoBytes);

  // xorriso on a copy of the same disc.
  const fs::path medium = root / "writers/bench/medium.img";
  std::vector<double> theirs;
  long long theirBytes = 0;
  for (int i = 0; i < kRuns; ++i) {
    const fs::path copy = root / "copy.img";
    fs::remove(copy);
    if (run({"cp", "--sparse=always", medium.string(), copy.string()}) != 0) return 1;
    theirs.push_back(seconds([&] {
      run({"xorriso", "-dev", "stdio:" + copy.string(), "-update_r", docs.string(), "/Docs", "-commit"});
    }));
    run({"xorriso", "-indev", "stdio:" + copy.string(), "-toc"}, (root / "toc.txt").string());
    // The last "ISO session" line gives the new session's size in blocks.
    std::istringstream toc(slurp(root / "toc.txt"));
    for (std::string line; std::getline(toc, line);) {
      if (line.rfind("ISO session", 0) != 0) continue;
      std::istringstream fields(line.substr(line.find(':') + 1));
      std::string num, comma, lba, size;
      fields >> num >> comma >> lba >> comma >> size;
      theirBytes = std::atoll(size.c_str()) * 2048;
    }
  }
  const double b = median(theirs);
  std::printf("second session, ours with xorrisofs:     %.3f s (median of %d), session %lld bytes\n", ours, kRuns,
              ourBytes);
  std::printf("second session, ours with genisoimage:   %.3f s (median of %d), session %lld bytes\n", genisoimage,
              kRuns, genisoBytes);
  std::printf("xorriso -update_r ... -commit:           %.3f s (median of %d), session %lld bytes\n", b, kRuns,
              theirBytes);
  std::printf("ratio ours (xorrisofs) / xorriso:        %.2f (target: at most 0.3)\n", ours / b);
  std::printf("ratio ours (genisoimage) / xorriso:      %.2f\n", genisoimage / b);
  run({"rm", "-rf", root.string()});
  return 0;
}
