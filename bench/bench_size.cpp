// Size estimation of a 50,000-entry tree against `du -s --apparent-size -B1`.
// Both run warm; the figure is the median of several runs.

#include "staging/size_estimation.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"

namespace fs = std::filesystem;

namespace {

using bench::median;
using bench::seconds;

}  // namespace

int main() {
  char tmpl[] = "/tmp/tessaline-bench-size-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const fs::path root = fs::path(tmpl) / "tree";
  // 50 folders of 10 subfolders of up to 99 small files: 50,000 entries in all.
  std::size_t entries = 0;
  const std::string data(300, 'd');
  for (int a = 0; a < 50 && entries < 50000; ++a) {
    for (int b = 0; b < 10; ++b) {
      const fs::path dir = root / ("a" + std::to_string(a)) / ("b" + std::to_string(b));
      fs::create_directories(dir);
      entries += (b == 0) ? 2 : 1;
      for (int f = 0; f < 99 && entries < 50000; ++f, ++entries) {
        const std::string name = (dir / ("f" + std::to_string(f))).native();
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return 1;
        const auto n = static_cast<std::size_t>(f * 37 % 300);
        if (write(fd, data.data(), n) != static_cast<ssize_t>(n)) return 1;
        close(fd);
      }
    }
  }
  std::printf("tree: %zu entries in %s\n", entries, root.c_str());

  const std::string du = "du -s --apparent-size -B1 '" + root.native() + "' > /dev/null";
  double mb = 0;
  std::vector<double> ours, theirs;
  for (int run = 0; run < 7; ++run) {
    ours.push_back(seconds([&] { mb = tessaline::sizeInMBWithPath(root, true); }));
    theirs.push_back(seconds([&] { (void)std::system(du.c_str()); }));
  }
  const double o = median(ours), t = median(theirs);
  std::printf("sizeInMBWithPath: %.4f MB, median %.1f ms\n", mb, o * 1000);
  std::printf("du --apparent-size: median %.1f ms\n", t * 1000);
  std::printf("ratio (ours / du): %.2f (target <= 1.5)\n", o / t);
  fs::remove_all(tmpl);
  return 0;
}
