// How long the desktop application's main thread stalls: while the sizes of
// a 50,000-file folder are computed (synchronous by design: the size walk
// blocks the window, and is reported on its own), and through a burn of that
// folder on an emulated writer: staging, the image build, the writing.
//
// A 0-ms repeating timer is the heartbeat: each gap between two of its
// ticks is time the event loop could not run. Run with QT_QPA_PLATFORM=
// offscreen (the default here) or under xvfb-run with -platform xcb.

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <vector>

#include "bench_gui_common.h"
#include "gui/desktop_app.h"
#include "gui/main_window.h"

namespace {

constexpr int kFolders = 500;
constexpr int kFilesPerFolder = 100;  // 50,000 files

// Records every gap between ticks with the time it ended.
class Heartbeat {
 public:
  Heartbeat() {
    clock_.start();
    connect();
  }
  void connect() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.nsecsElapsed();
      if (last_ >= 0) gaps_.push_back({now, now - last_});
      last_ = now;
    });
    timer_.start(0);
  }
  qint64 now() const { return clock_.nsecsElapsed(); }
  // The n longest gaps that ended within [from, to]: (end, gap) in nanoseconds.
  std::vector<std::pair<qint64, qint64>> longest(qint64 from, qint64 to, std::size_t n) const {
    std::vector<std::pair<qint64, qint64>> in;
    for (const auto& g : gaps_)
      if (g.first >= from && g.first <= to) in.push_back(g);
    std::sort(in.begin(), in.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (in.size() > n) in.resize(n);
    return in;
  }
  // Longest gap that ended within [from, to] (nanoseconds), in milliseconds.
  double longestMs(qint64 from, qint64 to) const {
    qint64 longest = 0;
    for (const auto& [end, gap] : gaps_)
      if (end >= from && end <= to) longest = std::max(longest, gap);
    return static_cast<double>(longest) / 1e6;
  }

 private:
  QElapsedTimer clock_;
  QTimer timer_;
  qint64 last_ = -1;
  std::vector<std::pair<qint64, qint64>> gaps_;
};

bool runUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  bench::GuiBenchFolder folder;
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  if (!folder.addWriterWithBlankCDR("recorder")) {
    std::fprintf(stderr, "cannot create the emulated writer\n");
    return 1;
  }

  const bench::fs::path source = folder.root / "home/Big";
  QElapsedTimer made;
  made.start();
  for (int d = 0; d < kFolders; ++d) {
    const bench::fs::path sub = source / ("folder-" + std::to_string(d));
    bench::fs::create_directories(sub);
    for (int f = 0; f < kFilesPerFolder; ++f) std::ofstream(sub / ("file-" + std::to_string(f) + ".txt")) << "data " << d << ' ' << f << '\n';
  }
  std::printf("platform %s; %d files made in %.1f s\n", qPrintable(QGuiApplication::platformName()),
              kFolders * kFilesPerFolder, static_cast<double>(made.elapsed()) / 1000.0);

  tessaline::gui::DesktopOptions options;
  options.preferencesFile = QString::fromStdString(folder.prefsFile.string());
  options.quitOnTerminate = false;
  tessaline::gui::DesktopApp desktop(options);
  int settled = 0;
  QObject::connect(&desktop.controller(), &tessaline::appController::statusSettled, [&] { ++settled; });
  desktop.start();
  auto& controller = desktop.controller();
  if (!runUntil([&] { return settled > 0 && controller.statusController().content().title.has_value(); }, 30000)) {
    std::fprintf(stderr, "the blank disc was not recognised\n");
    return 1;
  }

  Heartbeat heartbeat;
  runUntil([] { return false; }, 200);  // a quiet baseline
  const double idle = heartbeat.longestMs(0, heartbeat.now());

  // 1. The size walk (adding the folder computes its size on the main thread).
  const qint64 addStart = heartbeat.now();
  QElapsedTimer walk;
  walk.start();
  desktop.openFiles({source});
  const double walkMs = static_cast<double>(walk.nsecsElapsed()) / 1e6;
  runUntil([] { return false; }, 100);
  const double addStall = heartbeat.longestMs(addStart, heartbeat.now());
  std::printf("size walk of %d files: blocks %.0f ms (synchronous by design); longest stall %.0f ms; %.2f MB\n",
              kFolders * kFilesPerFolder, walkMs, addStall, controller.sessionContentController().sumSizeInMB());

  // 2. The burn.
  std::optional<tessaline::BurnOutcome> outcome;
  QObject::connect(&controller, &tessaline::appController::burnFinished,
                   [&](const tessaline::BurnOutcome& o) { outcome = o; });
  auto* imaging = desktop.window().imagingSheet().dialog();
  const qint64 burnStart = heartbeat.now();
  desktop.window().burnButton()->click();
  const qint64 clickReturned = heartbeat.now();
  qint64 imageBuilt = -1;
  qint64 imagingShown = -1;  // after the names have been checked (off the main thread)
  runUntil([&] {
    if (imagingShown < 0 && imaging->isVisible()) imagingShown = heartbeat.now();
    if (imagingShown >= 0 && imageBuilt < 0 && !imaging->isVisible()) imageBuilt = heartbeat.now();
    return outcome.has_value();
  }, 600000);
  const qint64 burnEnd = heartbeat.now();
  if (imageBuilt < 0) imageBuilt = burnEnd;
  if (!outcome || !outcome->written) {
    std::fprintf(stderr, "the burn did not complete: %s\n",
                 outcome && outcome->error ? outcome->error->message.c_str() : "time-out");
    return 1;
  }
  std::printf("Burn pressed: the click returned after %.0f ms (work done on the main thread before the image build)\n",
              static_cast<double>(clickReturned - burnStart) / 1e6);
  if (imagingShown >= 0)
    std::printf("the names checked for Joliet before the burn: %.0f ms, longest stall %.0f ms\n",
                static_cast<double>(imagingShown - burnStart) / 1e6, heartbeat.longestMs(burnStart, imagingShown));
  std::printf("longest stall while staging and building the image: %.0f ms (of %.1f s)\n",
              heartbeat.longestMs(burnStart, imageBuilt), static_cast<double>(imageBuilt - burnStart) / 1e9);
  std::printf("longest stall while the image tool ran (after the click returned): %.0f ms\n",
              heartbeat.longestMs(clickReturned + 1, imageBuilt));
  std::printf("longest stall while writing and verifying: %.0f ms (of %.1f s)\n",
              heartbeat.longestMs(imageBuilt + 1, burnEnd), static_cast<double>(burnEnd - imageBuilt) / 1e9);
  std::printf("the three longest stalls of the burn (when they began, from Burn pressed):");
  for (const auto& [end, gap] : heartbeat.longest(burnStart, burnEnd, 3))
    std::printf(" %.0f ms at %.2f s;", static_cast<double>(gap) / 1e6, static_cast<double>(end - gap - burnStart) / 1e9);
  std::printf(" the image was ready at %.2f s\n", static_cast<double>(imageBuilt - burnStart) / 1e9);
  std::printf("idle baseline: longest gap %.1f ms\n", idle);
  return 0;
}
