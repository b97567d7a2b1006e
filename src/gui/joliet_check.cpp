#include "gui/joliet_check.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include "burn/image_tool.h"
#include "burn/joliet_names.h"
#include "staging/source_entries.h"

namespace tessaline::gui {

namespace {

SessionEntryKind kindOf(StagedType type) {
  switch (type) {
    case StagedType::File: return SessionEntryKind::File;
    case StagedType::Folder: return SessionEntryKind::Folder;
    case StagedType::Link: break;
  }
  return SessionEntryKind::Other;
}

}  // namespace

void checkJolietNamesThenBurn(QWidget* window, appController& controller) {
  const DiscStatusRecord& status = controller.statusController().content();
  // Without a disc that takes a session the burn's own checks answer.
  if (!status.title || controller.burnInProgress()) {
    controller.attemptBurn();
    return;
  }
  Preferences& prefs = controller.preferences();
  SourceEntryOptions options;
  options.resolveAliases = !prefs.boolForKey(prefs::resolveDisabled);
  options.splitForks = !prefs.boolForKey(prefs::disableSplitForks);
  options.storeConfiguration = prefs.boolForKey(prefs::storeBurnConfiguration);
  SessionNameTree tree;
  if (status.mountPath && !controller.hidePreviousSessions()) tree.addTreeOnDisk(*status.mountPath);
  for (const StagedEntry& e : sourceEntriesOf(controller.sessionContentController().items(), options))
    tree.add(e.path, kindOf(e.type));
  const auto tool = findImageTool();
  const JolietEncoding encoding = jolietEncodingOf(tool ? tool.value().kind : ImageToolKind::Other);
  const auto warnings = jolietNameWarnings(tree, encoding);
  if (warnings.empty()) {
    controller.attemptBurn();
    return;
  }

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
  box->setWindowModality(Qt::WindowModal);
  QPointer<appController> target(&controller);
  QObject::connect(box, &QMessageBox::finished, box, [box, burn, target](int) {
    if (box->clickedButton() == burn && target) target->attemptBurn();
  });
  box->open();
}

}  // namespace tessaline::gui
