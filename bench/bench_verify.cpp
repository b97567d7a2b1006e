// Verifying a 300 MB, 5,000-file disc against its sources, contents and
// all, against two peers on the same disc: xorriso -compare_r reading the
// disc image, and diff -r against the disc's tree extracted beforehand.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 5000;
constexpr std::size_t kFileBytes = 60'000;  // 300 MB in all
constexpr int kRuns = 3;

}  // namespace

int main() {
  using bench::median;
  using bench::run;
  using bench::seconds;
  const fs::path root = bench::privateHome("verify");
  if (root.empty()) return 1;
  const std::string cli = TESSALINE_CLI_PATH;
  const fs::path docs = root / "src/Docs";
  std::printf("generating %d files, %zu MB...\n", kFiles, kFiles * kFileBytes / 1000000);
  bench::fillTree(docs, kFiles, kFileBytes);
  if (run({cli, "writer", "create", "bench"}) != 0 || run({cli, "writer", "insert", "bench", "--medium", "cd-r"}) != 0 ||
      run({cli, "config", "set", "storeBurnConfiguration", "true"}) != 0 ||
      run({cli, "burn", "--yes", "--volume", "Bench", docs.string()}) != 0) {
    std::fprintf(stderr, "burning the disc failed\n");
    return 1;
  }
  const fs::path medium = root / "writers/bench/medium.img";
  const fs::path extracted = root / "extracted";
  if (run({"xorriso", "-osirrox", "on", "-indev", "stdio:" + medium.string(), "-extract", "/Docs",
           extracted.string()}) != 0) {
    std::fprintf(stderr, "extracting the disc failed\n");
    return 1;
  }

  std::vector<double> ours, xorriso, diff;
  int ourExit = 0, xorrisoExit = 0, diffExit = 0;
  for (int i = 0; i < kRuns; ++i) {
    ours.push_back(seconds([&] { ourExit = run({cli, "verify"}); }));
    xorriso.push_back(seconds([&] {
      xorrisoExit = run({"xorriso", "-indev", "stdio:" + medium.string(), "-compare_r", docs.string(), "/Docs"});
    }));
    diff.push_back(seconds([&] { diffExit = run({"diff", "-r", "-q", docs.string(), extracted.string()}); }));
  }
  if (ourExit != 0 || xorrisoExit != 0 || diffExit != 0)
    std::fprintf(stderr, "a comparison found differences (verify %d, xorriso %d, diff %d)\n", ourExit, xorrisoExit,
                 diffExit);
  const double a = median(ours), x = median(xorriso), d = median(diff);
  std::printf("tessaline-cli verify:                %.3f s (median of %d)\n", a, kRuns);
  std::printf("xorriso -compare_r:                  %.3f s\n", x);
  std::printf("diff -r -q (extracted tree):         %.3f s\n", d);
  std::printf("ratio verify / xorriso -compare_r:   %.2f (target: at most 1.2)\n", a / x);
  std::printf("ratio verify / diff -r:              %.2f\n", a / d);
  run({"rm", "-rf", root.string()});
  return 0;
}
