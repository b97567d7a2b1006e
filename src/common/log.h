#pragma once
// The system log. Lines go to syslog(3) with the ident "tessaline"
// (journalctl -t tessaline). Tests capture them with LogCapture.

#include <functional>
#include <string>
#include <string_view>

namespace tessaline {

// Writes one line to the system log.
void logLine(std::string_view line);

// While alive, every logged line is also handed to the sink (tests, and the
// CLI's --verbose). Captures nest; the innermost one receives the lines.
class LogCapture {
 public:
  explicit LogCapture(std::function<void(const std::string&)> sink);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

 private:
  friend void logLine(std::string_view line);
  std::function<void(const std::string&)> sink_;
  LogCapture* previous_;
};

}  // namespace tessaline
