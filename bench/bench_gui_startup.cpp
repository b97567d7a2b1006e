// Start-up of the desktop application to a shown window with one emulated
// writer (target: under 1 s), and on to the disc's status in the window.
// Each run is a fresh process (this program started again with --child), so
// every start pays for loading Qt and the platform plug-in.

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_gui_common.h"
#include "gui/desktop_app.h"
#include "gui/main_window.h"

namespace {

constexpr int kRuns = 7;

int child(int argc, char** argv, const char* prefsFile) {
  QElapsedTimer clock;
  clock.start();
  QApplication app(argc, argv);
  tessaline::gui::DesktopOptions options;
  options.preferencesFile = QString::fromLocal8Bit(prefsFile);
  tessaline::gui::DesktopApp desktop(options);
  desktop.start();
  const qint64 started = clock.elapsed();
  qint64 shown = -1;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* window = desktop.window().windowHandle();
    if (shown < 0 && window != nullptr && window->isExposed()) shown = clock.elapsed();
    const auto& title = desktop.controller().statusController().content().title;
    if (shown >= 0 && title.has_value() && desktop.window().titleLabel()->text() == *title) {
      std::printf("%lld %lld %lld\n", static_cast<long long>(started), static_cast<long long>(shown),
                  static_cast<long long>(clock.elapsed()));
      std::fflush(stdout);
      QCoreApplication::quit();
    }
  });
  poll.start(0);
  QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });
  return app.exec();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (argc >= 3 && std::string(argv[1]) == "--child") return child(1, argv, argv[2]);

  bench::GuiBenchFolder folder;
  if (!folder.addWriterWithBlankCDR("recorder")) {
    std::fprintf(stderr, "cannot create the emulated writer\n");
    return 1;
  }
  QCoreApplication app(argc, argv);
  std::vector<double> toShown, toStatus, process;
  for (int run = 0; run < kRuns; ++run) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer wall;
    wall.start();
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), QString::fromStdString(folder.prefsFile.string())});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
      std::fprintf(stderr, "run %d failed\n", run);
      return 1;
    }
    const double processMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    long long started = 0, shown = 0, status = 0;
    if (std::sscanf(p.readAllStandardOutput().constData(), "%lld %lld %lld", &started, &shown, &status) != 3) {
      std::fprintf(stderr, "run %d printed nothing\n", run);
      return 1;
    }
    toShown.push_back(static_cast<double>(shown));
    toStatus.push_back(static_cast<double>(status));
    process.push_back(processMs);
  }
  std::printf("platform %s, %d runs, one emulated writer with a blank CD-R\n",
              qPrintable(qEnvironmentVariable("QT_QPA_PLATFORM")), kRuns);
  std::printf("main() to shown window: median %.0f ms (min %.0f, max %.0f); target under 1000 ms\n", median(toShown),
              *std::min_element(toShown.begin(), toShown.end()), *std::max_element(toShown.begin(), toShown.end()));
  std::printf("main() to the disc's status in the window: median %.0f ms\n", median(toStatus));
  std::printf("whole process (exec to exit, after the status): median %.0f ms\n", median(process));
  return 0;
}
