// Streams a 650 MB session image through the track producer, as a burn does,
// and compares the rate with `cat IMAGE > /dev/null`, with the image in the
// page cache (warm) and, where the cache can be emptied, out of it (cold).
// Usage: bench_producer [megabytes]

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "burn/producer.h"

namespace fs = std::filesystem;
using tessaline::Producer;

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Share of the file's pages now in the page cache.
double residentShare(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  ::fstat(fd, &st);
  const auto size = static_cast<std::size_t>(st.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return -1;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> vec((size + page - 1) / page);
  double share = -1;
  if (::mincore(map, size, vec.data()) == 0) {
    std::size_t resident = 0;
    for (unsigned char v : vec) resident += v & 1;
    share = static_cast<double>(resident) / static_cast<double>(vec.size());
  }
  ::munmap(map, size);
  return share;
}

void dropFromCache(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
  if (::geteuid() == 0) {  // succeeds only where /proc/sys is writable
    if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
      std::fputs("1\n", f);
      std::fclose(f);
    }
  }
}

double timeCat(const fs::path& file) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execlp("cat", "cat", file.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return seconds(std::chrono::steady_clock::now() - start);
}

// One pass over the image; answers the seconds, or a negative number on failure.
double timeProducer(const fs::path& file, std::size_t bufferSize, Producer::CacheBypass bypass, bool& direct) {
  const auto start = std::chrono::steady_clock::now();
  Producer producer(bypass);
  producer.setFilePath(file);
  if (!producer.prepareTrack().ok()) return -1;
  direct = producer.readsDirectly();
  const auto total = static_cast<std::uint64_t>(fs::file_size(file));
  std::vector<std::byte> buffer(bufferSize);
  std::uint64_t done = 0;
  while (done < total) {
    auto r = producer.produceData(buffer);
    if (!r.ok() || r.value() == 0) return -1;
    done += r.value();
  }
  producer.cleanupTrack();
  return seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 650;
  std::string tmpl = (fs::temp_directory_path() / "tessaline-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  const fs::path image = dir / "session.iso";
  {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + i / 4096);
    FILE* out = std::fopen(image.c_str(), "wb");
    for (std::size_t i = 0; i < megabytes; ++i) {
      block[0] = static_cast<char>(i);
      std::fwrite(block.data(), 1, block.size(), out);
    }
    std::fflush(out);
    ::fsync(::fileno(out));
    std::fclose(out);
  }
  const double mb = static_cast<double>(fs::file_size(image)) / 1e6;
  std::printf("image: %s, %.0f MB\n\n", image.c_str(), mb);

  struct Variant {
    const char* name;
    std::size_t buffer;
    Producer::CacheBypass bypass;
  };
  const Variant variants[] = {
      {"producer 64 KiB", 64 * 1024, Producer::CacheBypass::Automatic},
      {"producer 1 MiB", 1024 * 1024, Producer::CacheBypass::Automatic},
      {"producer 64 KiB (O_DIRECT)", 64 * 1024, Producer::CacheBypass::DirectIo},
      {"producer 1 MiB (O_DIRECT)", 1024 * 1024, Producer::CacheBypass::DirectIo},
  };

  for (const bool cold : {false, true}) {
    auto prepare = [&] {
      if (cold) {
        dropFromCache(image);
      } else {
        timeCat(image);  // read once so the whole image is cached
      }
      return residentShare(image);
    };
    const double catResident = prepare();
    if (cold && catResident > 0.05) {
      std::printf("cold: the page cache could not be emptied (%.0f%% still resident); skipped\n", catResident * 100);
      break;
    }
    const double catSeconds = timeCat(image);
    std::printf("%s (%.0f%% of the image cached before each run)\n", cold ? "cold" : "warm", catResident * 100);
    std::printf("  %-30s %8.0f MB/s\n", "cat > /dev/null", mb / catSeconds);
    for (const Variant& v : variants) {
      const double resident = prepare();
      bool direct = false;
      const double s = timeProducer(image, v.buffer, v.bypass, direct);
      if (s < 0) {
        std::printf("  %-30s failed\n", v.name);
        continue;
      }
      std::printf("  %-30s %8.0f MB/s  %.2fx cat%s  (cached before: %.0f%%, after: %.0f%%)\n", v.name, mb / s,
                  catSeconds / s, direct ? ", O_DIRECT" : "", resident * 100, residentShare(image) * 100);
    }
    std::printf("\n");
  }
  fs::remove_all(dir);
  return 0;
}
