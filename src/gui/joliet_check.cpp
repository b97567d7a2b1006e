#include "gui/joliet_check.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include <memory>
#include <optional>

#include "app/staging_plan.h"
#include "burn/image_tool.h"
#include "staging/source_entries.h"

namespace tessaline::gui {

namespace {

void showJolietNames(QWidget* window, appController& controller, const std::vector<JolietNameWarning>& warnings) {
  QStringList lines;
  for (const auto& w : warnings) lines << describeJolietWarning(w);
  auto* box = new QMessageBox(window);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName(QStringLiteral("jolietNames"));
  box->setIcon(QMessageBox::Information);
  box->setWindowTitle(QStringLiteral("Tessaline"));
  box->setText(QObject::tr("%n name(s) will look different on Windows", nullptr, static_cast<int>(warnings.size())));
  box->setInformativeText(
      QObject::tr("Linux and macOS read every name exactly (Rock Ridge). Windows reads the Joliet names, which "
                  "cannot hold some characters, end after 103 characters, and get a number where two become "
                  "equal. The files themselves are burned unchanged.\n\n%1%2")
          .arg(lines.mid(0, 5).join(QLatin1Char('\n')),
               lines.size() > 5 ? QObject::tr("\n… and %1 more (Show Details)").arg(lines.size() - 5) : QString()));
  box->setDetailedText(lines.join(QLatin1Char('\n')));
  auto* burn = box->addButton(QObject::tr("Burn"), QMessageBox::AcceptRole);
  box->addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
  box->setDefaultButton(burn);
  QPointer<appController> target(&controller);
  QObject::connect(box, &QMessageBox::finished, box, [box, burn, target](int) {
    if (box->clickedButton() == burn && target) target->attemptBurn();
  });
  box->open();
}

constexpr char kChecking[] = "jolietNamesChecking";

}  // namespace

void checkJolietNamesThenBurn(QWidget* window, appController& controller) {
  const DiscStatusRecord& status = controller.statusController().content();
  // Without a disc that takes a session the burn's own checks answer.
  if (!status.title || controller.burnInProgress()) {
    controller.attemptBurn();
    return;
  }
  if (window->property(kChecking).toBool()) return;  // a second press while the names are read
  Preferences& prefs = controller.preferences();
  SourceEntryOptions options;
  options.resolveAliases = !prefs.boolForKey(prefs::resolveDisabled);
  options.splitForks = !prefs.boolForKey(prefs::disableSplitForks);
  options.storeConfiguration = prefs.boolForKey(prefs::storeBurnConfiguration);
  const std::optional<std::filesystem::path> disc = controller.continuedDiscTree();
  const std::vector<BurnItem> items = controller.sessionContentController().items();

  // A large tree takes a moment to walk: off the main thread.
  auto warnings = std::make_shared<std::vector<JolietNameWarning>>();
  QThread* thread = QThread::create([items, options, disc, warnings] {
    const auto tool = findImageTool();
    *warnings = nextSessionJolietWarnings(disc, sourceEntriesOf(items, options),
                                          tool ? tool.value().kind : ImageToolKind::Other);
  });
  window->setProperty(kChecking, true);
  QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  QPointer<appController> target(&controller);
  QObject::connect(thread, &QThread::finished, window, [window, target, warnings] {
    window->setProperty(kChecking, false);
    if (!target) return;
    if (warnings->empty()) target->attemptBurn();
    else showJolietNames(window, *target, *warnings);
  });
  thread->start();
}

}  // namespace tessaline::gui
