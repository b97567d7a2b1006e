// Staging against peer tools:
//  - incremental staging of 20,000 files (~200 MB) against a disc copy on
//    which 1% are older, versus `rsync -a --compare-dest=DISC SRC/ DST/`
//    (needs rsync), with this process's peak resident size;
//  - a full staging copy of 500 MB in 50 files versus `cp -a`.

#include "staging/tree_update.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

bool writeData(const fs::path& path, const std::string& data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const std::size_t n = std::min(data.size(), size - done);
    if (write(fd, data.data(), n) != static_cast<ssize_t>(n)) {
      close(fd);
      return false;
    }
    done += n;
  }
  return close(fd) == 0;
}

// The disc's copy needs only the same size and date: a sparse file will do.
bool sparseCopy(const fs::path& path, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  return close(fd) == 0 && ok;
}

void setTime(const fs::path& path, time_t sec) {
  timespec t[2];
  t[0].tv_sec = sec;
  t[0].tv_nsec = 0;
  t[1] = t[0];
  utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  if (std::system("rsync --version > /dev/null 2>&1") != 0) {
    std::fprintf(stderr, "bench_staging needs rsync (apt-get install rsync)\n");
    return 2;
  }
  char tmpl[] = "/tmp/tessaline-bench-staging-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const fs::path base(tmpl);
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);

  // Incremental: 200 folders of 100 files of about 10 kB.
  const fs::path src = base / "src", disc = base / "disc";
  std::size_t bytes = 0, newer = 0;
  for (int d = 0; d < 200; ++d) {
    const fs::path sd = src / ("folder" + std::to_string(d)), dd = disc / ("folder" + std::to_string(d));
    fs::create_directories(sd);
    fs::create_directories(dd);
    for (int f = 0; f < 100; ++f) {
      const std::string name = "file" + std::to_string(f) + ".dat";
      const std::size_t size = 5000 + static_cast<std::size_t>((d * 100 + f) * 7919 % 10000);
      if (!writeData(sd / name, data, size) || !sparseCopy(dd / name, size)) return 1;
      bytes += size;
      const bool changed = (d * 100 + f) % 100 == 0;
      setTime(sd / name, changed ? 1700000100 : 1700000000);
      setTime(dd / name, 1700000000);
      newer += changed ? 1 : 0;
    }
    setTime(sd, 1700000000);
    setTime(dd, 1700000000);
  }
  std::printf("incremental: 20000 files, %.1f MB, %zu newer on the source\n", static_cast<double>(bytes) / 1e6, newer);

  std::vector<double> ours, theirs;
  for (int run = 0; run < 5; ++run) {
    const fs::path out = base / ("stage" + std::to_string(run));
    fs::create_directories(out);
    ours.push_back(seconds([&] { tessaline::updateSourcePath(src, out / "src", true, disc, true, nullptr); }));
    const fs::path rs = base / ("rsync" + std::to_string(run));
    const std::string cmd = "rsync -a --compare-dest='" + disc.native() + "/' '" + src.native() + "/' '" +
                            rs.native() + "/'";
    theirs.push_back(seconds([&] { (void)std::system(cmd.c_str()); }));
    if (run == 0) {
      std::size_t staged = 0;
      for (auto& e : fs::recursive_directory_iterator(out / "src")) staged += e.is_regular_file() ? 1 : 0;
      std::printf("staged %zu files\n", staged);
    }
    fs::remove_all(out);
    fs::remove_all(rs);
  }
  const double o = median(ours), t = median(theirs);
  std::printf("incremental staging: median %.1f ms; rsync --compare-dest: median %.1f ms\n", o * 1000, t * 1000);
  std::printf("ratio (ours / rsync): %.2f (target <= 1.0)\n", o / t);
  std::printf("peak RSS: %.1f MB (target <= 64)\n", static_cast<double>(peakRssKiB()) / 1024.0);
  fs::remove_all(src);
  fs::remove_all(disc);

  // Full copy: 50 files of 10 MB.
  const fs::path big = base / "big";
  fs::create_directories(big);
  for (int f = 0; f < 50; ++f)
    if (!writeData(big / ("part" + std::to_string(f) + ".bin"), data, 10 * 1000 * 1000)) return 1;
  sync();
  std::vector<double> oursFull, cpFull;
  for (int run = 0; run < 3; ++run) {
    const fs::path out = base / "fullstage", cpOut = base / "cpcopy";
    fs::create_directories(out);
    oursFull.push_back(seconds([&] { tessaline::updateSourcePath(big, out / "big", false, std::nullopt, true, nullptr); }));
    const std::string cmd = "cp -a '" + big.native() + "' '" + cpOut.native() + "'";
    cpFull.push_back(seconds([&] { (void)std::system(cmd.c_str()); }));
    fs::remove_all(out);
    fs::remove_all(cpOut);
    sync();
  }
  const double of = median(oursFull), cf = median(cpFull);
  std::printf("full copy 500 MB: median %.1f ms; cp -a: median %.1f ms\n", of * 1000, cf * 1000);
  std::printf("ratio (ours / cp -a): %.2f (target <= 1.1)\n", of / cf);
  fs::remove_all(base);
  return 0;
}
