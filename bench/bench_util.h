#pragma once
// What every benchmark needs: wall-clock timing, medians, and running a peer
// tool with its output discarded.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

}  // namespace bench
