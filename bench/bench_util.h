#pragma once
// What every benchmark needs: wall-clock timing, medians, and running a peer
// tool with its output discarded.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double seconds(const std::function<void()>& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs a program (found on PATH); its standard output goes to outFile, its
// errors nowhere. Answers its exit status, or -1.
inline int run(const std::vector<std::string>& args, const std::string& outFile = "/dev/null") {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (std::freopen(outFile.c_str(), "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr)
      _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private home for tessaline-cli in a new temporary folder: its writers,
// settings, runtime and temporary folders, and no real drives.
inline std::filesystem::path privateHome(const char* name) {
  std::string tmpl = std::string("/tmp/tessaline-bench-") + name + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return {};
  const std::filesystem::path root = tmpl;
  for (const char* d : {"writers", "config", "run", "cache", "tmp"}) std::filesystem::create_directories(root / d);
  setenv("TESSALINE_WRITERS_DIR", (root / "writers").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
  setenv("TMPDIR", (root / "tmp").c_str(), 1);
  setenv("TESSALINE_NO_REAL_DRIVES", "1", 1);
  return root;
}

// A file of `bytes` pseudo-random bytes that differ with the seed.
inline void fillFile(const std::filesystem::path& file, std::size_t bytes, unsigned seed) {
  std::string data(bytes, '\0');
  for (char& c : data) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  std::ofstream(file, std::ios::binary) << data;
}

// `files` files of `bytes` each, spread over 50 folders.
inline void fillTree(const std::filesystem::path& top, int files, std::size_t bytes) {
  for (int i = 0; i < files; ++i) {
    const auto dir = top / ("folder" + std::to_string(i % 50));
    std::filesystem::create_directories(dir);
    fillFile(dir / ("file" + std::to_string(i) + ".bin"), bytes, static_cast<unsigned>(i));
  }
}

}  // namespace bench
