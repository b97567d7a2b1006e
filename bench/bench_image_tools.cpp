// A full first session of 650 MB: the image build alone, xorrisofs against
// genisoimage, on the same staged tree with the argument list a burn uses.
// Also shows that each tool writes its image as it goes (what the imaging
// bar watches): the image's size is sampled while the tool runs.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "burn/image_tool.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 2000;
constexpr std::size_t kFileBytes = 325'000;  // 650 MB in all
constexpr int kRuns = 3;

void fill(const fs::path& file, unsigned seed) {
  std::string data(kFileBytes, '\0');
  for (char& c : data) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  std::ofstream(file, std::ios::binary) << data;
}

struct Build {
  double seconds = 0;
  int samples = 0;         // image sizes seen while the tool ran, between empty and complete
  long long bytes = 0;
};

// Runs the tool, sampling the image's size every 50 ms as the progress watcher would.
Build build(const std::string& tool, const std::vector<std::string>& args, const fs::path& image) {
  fs::remove(image);
  Build b;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (std::freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
    setenv("LC_ALL", "C.UTF-8", 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  std::vector<long long> sizes;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    std::error_code ec;
    const auto size = fs::file_size(image, ec);
    if (!ec) sizes.push_back(static_cast<long long>(size));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  b.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ec;
  b.bytes = static_cast<long long>(fs::file_size(image, ec));
  long long last = 0;
  for (long long s : sizes)
    if (s > 0 && s < b.bytes && s != last) {
      ++b.samples;
      last = s;
    }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) b.seconds = -1;
  return b;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/tessaline-bench-tools-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const fs::path root = tmpl;
  const fs::path staged = root / "42";
  std::printf("generating %d files, %zu MB...\n", kFiles, kFiles * kFileBytes / 1000000);
  for (int i = 0; i < kFiles; ++i) {
    const fs::path dir = staged / "Docs" / ("folder" + std::to_string(i % 40));
    fs::create_directories(dir);
    fill(dir / ("file " + std::to_string(i) + ".bin"), static_cast<unsigned>(i));
  }
  tessaline::ImageToolRequest request;
  request.volumeName = QStringLiteral("Bench");
  request.imagePath = root / "42.iso";
  request.sessionText = "0";
  request.stagingFolder = staged;
  const auto plain = tessaline::mkisofsArguments(request);
  request.jolietUtf16 = true;
  const auto utf16 = tessaline::mkisofsArguments(request);

  std::vector<double> xorr, geniso;
  Build lastX, lastG;
  for (int i = 0; i < kRuns; ++i) {  // alternating, so both meet the same cache
    lastX = build("xorrisofs", utf16, request.imagePath);
    lastG = build("genisoimage", plain, request.imagePath);
    if (lastX.seconds < 0 || lastG.seconds < 0) {
      std::fprintf(stderr, "an image build failed\n");
      return 1;
    }
    xorr.push_back(lastX.seconds);
    geniso.push_back(lastG.seconds);
  }
  const double x = bench::median(xorr), g = bench::median(geniso);
  std::printf("first session image, xorrisofs:   %.2f s (median of %d), %lld bytes, %d growing sizes seen\n", x, kRuns,
              lastX.bytes, lastX.samples);
  std::printf("first session image, genisoimage: %.2f s (median of %d), %lld bytes, %d growing sizes seen\n", g, kRuns,
              lastG.bytes, lastG.samples);
  std::printf("ratio xorrisofs / genisoimage:    %.2f\n", x / g);
  bench::run({"rm", "-rf", root.string()});
  return 0;
}
