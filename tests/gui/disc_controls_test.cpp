// What the window offers for the disc in the writer; the no-writer and update alerts; the progress sheet.

#include <QDesktopServices>
#include <QPointer>
#include <QStatusBar>

#include "devices/emulated/emulated_medium.h"
#include "devices/emulated/emulated_writers.h"
#include "gui_fixture.h"
#include "support/loopback_server.h"
#include "window_look.h"

namespace tessaline::test {
namespace {

class DiscControls : public GuiFixture {};

TEST_F(DiscControls, StatusSpeedsBurnAndEraseFollowTheDiscInTheWriter) {
  writeFile(temp_ / "disc/a.txt", "a");
  writeFile(temp_ / "junk.img", std::string(2048 * 400, '\x5a'));
  ScopedEnv wait("TESSALINE_MOUNT_WAIT_S", "1");
  const struct {
    const char* medium;  // null: the tray stays empty
    bool closed;
    const char* status;  // keys
    QString title;
    QList<int> speeds;
    bool canBurn, canErase;
  } steps[] = {{"cd-r", false, "MediaCDR", QStringLiteral("untitled"), {0, 4, 8, 16, 24, 32, 48}, true, false},
               {"cd-rw", false, "MediaCDRW", QStringLiteral("Holiday"), {0, 4, 10, 16, 24}, true, true},
               {"cd-rw", true, "MediaCDRW closed", QStringLiteral("No usable disc"), {0}, false, true},
               {"cd-rom", false, "MediaCDROM", QStringLiteral("No usable disc"), {0}, false, false},
               {"dvd", false, "MediaNotSupported", QStringLiteral("No usable disc"), {0}, false, false},
               {nullptr, false, "noDisc", QStringLiteral("No usable disc"), {0}, false, false},
               {"cd-r", false, "MediaCDR unsupportedfs", QStringLiteral("No usable disc"), {0, 4, 8, 16, 24, 32, 48}, false, false}};
  const auto name = [](std::size_t i) { return "w" + std::to_string(i); };
  const std::vector<fs::path> holiday{makeImage(temp_ / "disc", "Holiday")};
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    addWriter(name(i), QStringLiteral("Writer %1").arg(i));
    if (steps[i].medium) insert(name(i), steps[i].medium, i >= 1 && i <= 3 ? holiday : std::vector<fs::path>{}, steps[i].closed);
  }
  emulated::AppendOptions nonIso;
  nonIso.allowNonIso = true;
  ASSERT_TRUE(emulated::appendSession(writersDir_, name(6), temp_ / "junk.img", false, nonIso).ok());
  start();
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  const auto choose = [&](int index) {
    window().writerCombo()->setCurrentIndex(index);
    Q_EMIT window().writerCombo()->activated(index);
    ASSERT_TRUE(settle());
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    SCOPED_TRACE(step.status);
    if (i > 0) choose(static_cast<int>(i));
    QStringList words;
    for (const QString& key : QString::fromLatin1(step.status).split(QLatin1Char(' ')))
      words << controller().strings().localized(key);
    EXPECT_EQ(window().statusLabel()->text(), words.join(QLatin1Char(' ')));
    EXPECT_EQ(window().titleLabel()->text(), step.title);
    // The name field offers a continued disc's name while it is in the writer.
    EXPECT_EQ(window().nameEdit()->text(), i == 1 ? QStringLiteral("Holiday") : QString());
    QList<int> offered;
    for (int s = 0; s < window().speedCombo()->count(); ++s) offered << window().speedCombo()->itemData(s).toInt();
    EXPECT_EQ(offered, step.speeds);
    EXPECT_EQ(window().burnButton()->isEnabled(), step.canBurn);
    EXPECT_EQ(window().burnButton()->toolTip().isEmpty(), step.canBurn);  // a disabled button says what disc to insert
    EXPECT_EQ(window().action("burnAction")->isEnabled(), step.canBurn);
    EXPECT_EQ(window().eraseButton()->isEnabled(), step.canErase);
    EXPECT_EQ(window().capacityBar()->isEnabled(), step.canBurn);
    EXPECT_EQ(window().capacityBar()->toolTip(), window().spaceLabel()->text());  // nothing left from an earlier disc
    EXPECT_EQ(listNames(), (i == 1 ? std::vector<std::string>{"src", "a.txt"} : std::vector<std::string>{"src"}));
    if (i > 0) continue;
    EXPECT_TRUE(window().spaceLabel()->text().startsWith(QStringLiteral("0.0 MB used, 700.0 MB free;")));
    // A chosen speed stays chosen while the disc allows it.
    window().speedCombo()->setCurrentIndex(window().speedCombo()->findData(16));
    Q_EMIT controller().statusController().contentChanged();  // the status is shown again
    EXPECT_EQ(window().parts().speedMenue->selectedTag(), 16);
  }
  // The erase question names the disc and the writer; Return cancels.
  choose(1);
  window().eraseButton()->click();
  QMessageBox* box = waitForBox(QStringLiteral("attempteraseshort"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), &window());
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cHoliday\u201d (CD-RW)")));
  EXPECT_TRUE(box->informativeText().contains(QStringLiteral("\u201cWriter 1\u201d")));
  QTest::keyClick(box, Qt::Key_Return);
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  waitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(shown_.wasShown(QStringLiteral("eraseProgressPanel")));
  {
    ScopedEnv slow("TESSALINE_EMULATED_SPEED", "1");  // an erase of two seconds: time to stop it
    window().eraseButton()->click();
    clickButton(waitForBox(QStringLiteral("attempteraseshort")), QStringLiteral("Erase"));
    ASSERT_TRUE(waitUntil([&] { return window().progressPanels().runningErase() != nullptr; }));
  }
  // Stop asks first, and says what a stopped erase leaves.
  auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("eraseProgressPanel"));
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->windowTitle(), QStringLiteral("Erasing disk..."));
  // Quitting asks over the erase panel, and Keep Erasing keeps it.
  EXPECT_FALSE(window().close());
  QMessageBox* quit = namedBox("quitDuringWork");
  ASSERT_NE(quit, nullptr);
  EXPECT_EQ(quit->parentWidget(), panel);
  EXPECT_EQ(quit->text(), QStringLiteral("The disc is being erased."));
  EXPECT_EQ(defaultTitle(quit), "Keep Erasing");  // Return keeps erasing
  clickButton(quit, QStringLiteral("Keep Erasing"));
  ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
  ASSERT_NE(window().progressPanels().runningErase(), nullptr);
  panel->stopButton()->click();
  QMessageBox* question = namedBox("stopQuestion");
  ASSERT_NE(question, nullptr);
  EXPECT_TRUE(question->informativeText().contains(QStringLiteral("cannot be used until it is erased again")));
  EXPECT_EQ(defaultTitle(question), "Keep Erasing");
  EXPECT_EQ(question->escapeButton(), question->defaultButton());  // Escape keeps erasing
  clickButton(question, QStringLiteral("Stop"));
  ASSERT_TRUE(waitUntil([&] { return window().progressPanels().runningErase() == nullptr; }));
  EXPECT_EQ(findBox(), nullptr);  // the user asked for the stop: no alert follows
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("untitled"); },
                        std::chrono::seconds(30)));
  EXPECT_FALSE(window().eraseButton()->isEnabled());
  // Eject takes the disc out; a name the user typed stays.
  window().nameEdit()->setText(QStringLiteral("Mine"));
  ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
  window().action("ejectAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == controller().strings().localized("noDisc"); },
                        std::chrono::seconds(10)));
  EXPECT_EQ(window().nameEdit()->text(), QStringLiteral("Mine"));
  // A blank put in from the menu: while it loads, nothing goes in or comes out.
  QAction* insertBlank = window().action("insertCDRAction");
  insertBlank->trigger();
  ASSERT_TRUE(waitUntil([&] { return !insertBlank->isEnabled(); }));
  EXPECT_FALSE(window().action("ejectAction")->isEnabled());
  EXPECT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }));
}

// A disc the system has not mounted: the Mount button asks for it and goes once the disc is in.
TEST_F(DiscControls, TheMountButtonShowsForADiscNotMountedAndMountsIt) {
  NoMounting noMounting;
  addWriter("rec");
  writeFile(temp_ / "disc/a.txt", "a");
  insert("rec", "cd-r", {makeImage(temp_ / "disc", "Holiday")});
  start();
  QPushButton* mount = window().mountButton();
  ASSERT_TRUE(waitUntil([&] { return mount->isVisible(); }));
  ScopedEnv room("XDG_RUNTIME_DIR", (temp_ / "runtime").string());
  mount->click();
  EXPECT_TRUE(waitUntil([&] { return !mount->isVisible() && window().titleLabel()->text() == QStringLiteral("Holiday"); }));
}

// An ejected disc waits on the shelf: the Writer menu puts it back into an
// empty tray, or throws it away once the user confirms.
TEST_F(DiscControls, AnEjectedDiscWaitsOnTheShelfToGoBackInOrBeDeleted) {
  addWriter("rec");
  writeFile(temp_ / "disc/a.txt", "a");
  insert("rec", "cd-r", {makeImage(temp_ / "disc", "Holiday")});
  start();
  writeFile(temp_ / "src/x.txt", "x");
  app().openFiles({temp_ / "src"});
  QMenu* shelf = window().findChild<QMenu*>(QStringLiteral("shelfMenu"));
  QMenu* deleting = window().findChild<QMenu*>(QStringLiteral("deleteShelfMenu"));
  const auto offered = [&](QMenu* menu) {
    Q_EMIT window().writerMenu()->aboutToShow();
    QStringList texts;
    for (QAction* a : menu->actions()) texts << a->text() + (a->isEnabled() ? QString() : QStringLiteral(" (off)"));
    return menu->isEnabled() ? texts : QStringList{QStringLiteral("(menu off)")};
  };
  const auto ejectToShelf = [&](const QString& shelved) {
    ASSERT_TRUE(waitUntil([&] { return window().action("ejectAction")->isEnabled(); }, std::chrono::seconds(10)));
    window().action("ejectAction")->trigger();
    ASSERT_TRUE(waitUntil([&] { return window().statusLabel()->text() == controller().strings().localized("noDisc"); }));
    EXPECT_EQ(window().statusBar()->currentMessage(), QStringLiteral("The disc is on the shelf as \"%1\".").arg(shelved));
  };
  const QStringList holiday{QStringLiteral("Holiday (CD-R, 1 session(s))")};
  EXPECT_EQ(offered(shelf), QStringList{QStringLiteral("(menu off)")});
  ejectToShelf(QStringLiteral("Holiday"));
  EXPECT_EQ(offered(shelf), holiday);
  ASSERT_TRUE(emulated::setTray(writersDir_, "rec", false));  // an empty tray, closed
  EXPECT_TRUE(waitUntil([&] { return offered(shelf) == holiday && !controller().theDevice()->mediumState().trayOpen; }));
  shelf->actions().constFirst()->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("Holiday"); }));
  EXPECT_EQ(offered(deleting), QStringList{QStringLiteral("(menu off)")});

  // With another disc in the tray it cannot go in, but it can be deleted; only Delete deletes.
  ejectToShelf(QStringLiteral("Holiday"));
  window().action("insertCDRAction")->trigger();
  ASSERT_TRUE(waitUntil([&] { return window().titleLabel()->text() == QStringLiteral("untitled"); }));
  // The burn list stayed as it was; the new disc's room is weighed against it.
  EXPECT_EQ(window().spaceLabel()->text(), QStringLiteral("0.0 MB used, 700.0 MB free; the next session takes < 0.01 MB"));
  EXPECT_EQ(offered(shelf), QStringList{holiday[0] + QStringLiteral(" (off)")});
  for (const QString& answer : {QStringLiteral("Cancel"), QStringLiteral("Delete")}) {
    ASSERT_EQ(offered(deleting), holiday);
    deleting->actions().constFirst()->trigger();
    QMessageBox* box = namedBox("deleteDiscQuestion");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(defaultTitle(box), "Cancel");
    const QPointer<QMessageBox> gone(box);
    clickButton(box, answer);
    ASSERT_TRUE(waitUntil([&] { return gone.isNull(); }));
    EXPECT_EQ(emulated::listShelf(emulated::defaultDiscsDir()).size(), answer == QStringLiteral("Delete") ? 0u : 1u);
  }
  EXPECT_EQ(offered(deleting), QStringList{QStringLiteral("(menu off)")});

  // Taken off the shelf by another program while the question was up: Delete says so.
  ejectToShelf(QStringLiteral("blank-cd-r"));
  ASSERT_EQ(offered(deleting).size(), 1);
  deleting->actions().constFirst()->trigger();
  QMessageBox* question = namedBox("deleteDiscQuestion");
  ASSERT_TRUE(emulated::deleteShelvedDisc(emulated::defaultDiscsDir(), "blank-cd-r"));
  clickButton(question, QStringLiteral("Delete"));
  QMessageBox* alert = namedBox("alert");
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->text(), QStringLiteral("The disc could not be deleted."));
  EXPECT_EQ(alert->informativeText(), QStringLiteral("there is no disc 'blank-cd-r' on the shelf"));
  const QPointer<QMessageBox> answered(alert);  // an answered alert is gone, not kept hidden
  clickButton(alert, QStringLiteral("OK"));
  EXPECT_TRUE(waitUntil([&] { return answered.isNull(); }));
}

TEST_F(DiscControls, TheNoWriterAlertQuitsOrCreatesTheEmulatedWriter) {
  start(false);
  QMessageBox* box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  ASSERT_EQ(defaultTitle(box), "Quit");
  // The window behind the alert offers nothing to burn, erase or remove.
  EXPECT_EQ(window().totalLabel()->text(), QStringLiteral("Total: 0.00 MB"));
  for (QPushButton* b : {window().burnButton(), window().eraseButton(), window().removeButton()})
    EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
  box->defaultButton()->click();
  EXPECT_TRUE(waitUntil([&] { return app().terminated(); }));
  app_.reset();
  start(false);
  box = waitForBox(QStringLiteral("noCdWriter"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->informativeText(), controller().strings().localized("noCdWriterOfferLong"));
  clickButton(box, QStringLiteral("Create Emulated Writer"));
  ASSERT_TRUE(waitUntil([&] { return window().writerCombo()->count() == 1; }, std::chrono::seconds(10)));
  EXPECT_FALSE(app().terminated());
  EXPECT_TRUE(window().writerMenu()->menuAction()->isVisible());
}

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> opened;
  Q_INVOKABLE void open(const QUrl& url) { opened.push_back(url); }
};

// The version endpoint: each request gets the body, or nobody listens.
struct VersionEndpoint {
  explicit VersionEndpoint(std::optional<QByteArray> body) : server("HTTP/1.0 200 OK\r\n\r\n" + body.value_or("")) {
    if (!body) server.server_.close();
  }
  LoopbackServer server;
  ScopedEnv env{"TESSALINE_UPDATE_URL", server.url().toString().toStdString()};
};

TEST_F(DiscControls, TheUpdateAlertAtStartUpOpensTheWebPageOnDownloadAndTheMenuCheckAnswers) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
  ScopedEnv site("TESSALINE_WEBSITE_URL", "http://127.0.0.1:9/tessaline/");
  VersionEndpoint endpoint(QByteArray("253\n"));
  addWriter("rec");
  prefs().setValue(prefs::disableUpdateCheck, false);
  const QUrl page(QStringLiteral("http://127.0.0.1:9/tessaline/"));
  for (const auto& [button, opened] : {std::pair{"OK", std::vector<QUrl>{}}, std::pair{"Download", std::vector<QUrl>{page}}}) {
    SCOPED_TRACE(button);
    app_.reset();
    start(false);
    QMessageBox* box = waitForBox(QStringLiteral("update"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);  // a window of its own, not a sheet
    clickButton(box, QString::fromLatin1(button));
    ASSERT_TRUE(waitUntil([&] { return findBox() == nullptr; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(catcher.opened, opened);
  }
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  // Turned off, the start-up check asks nothing; the menu's check tells up to date from failed.
  prefs().setValue(prefs::disableUpdateCheck, true);
  app_.reset();
  start(false);
  for (const auto& [body, boxName] : {std::pair{std::optional<QByteArray>("252\n"), "upToDate"},
                                      std::pair{std::optional<QByteArray>(), "updateCheckFailed"},
                                      std::pair{std::optional<QByteArray>("<html>portal</html>"), "updateCheckFailed"}}) {
    VersionEndpoint endpoint(body);
    window().action("updateAction")->trigger();
    QMessageBox* box = namedBox(boxName);
    ASSERT_NE(box, nullptr) << boxName;
    delete box;
  }
  {  // Asked again while the check waits for its answer: no second request.
    LoopbackServer silent;  // reads the request and answers nothing
    ScopedEnv url("TESSALINE_UPDATE_URL", silent.url().toString().toStdString());
    window().action("updateAction")->trigger();
    ASSERT_TRUE(waitUntil([&] { return silent.connections == 1; }));
    window().action("updateAction")->trigger();
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(silent.connections, 1);
  }
  QMessageBox* failed = namedBox("updateCheckFailed");  // the server went away
  ASSERT_NE(failed, nullptr);
  delete failed;
  EXPECT_EQ(findBox(QStringLiteral("update")), nullptr);
}

// A failed job with a long reason: only the panel's layout is under test.
class FailedJob : public Job {
 public:
  JobStatus status() const override {
    return {JobPhase::Failed, 0.0,
            Error{ErrorKind::MediumNotWritable,
                  "The drive refused to write block 181234: Medium error. Write error. The disc may be damaged or "
                  "dirty; earlier sessions stay readable, and the next burn starts after this one."}};
  }
  void cancel() override {}
};

TEST_F(DiscControls, TheProgressSheetHasAFixedSizeAndShowsAllOfALongReason) {
  addWriter("rec");
  start(false);
  auto job = std::make_unique<FailedJob>();
  window().progressPanels().beginBurnProgress(*job, QStringLiteral("Burning the session"));
  auto* panel = window().findChild<gui::JobProgressDialog*>(QStringLiteral("burnProgressPanel"));
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(panel->findChild<QProgressBar*>()->maximum(), 0);  // busy until the job tells how far it has come
  Q_EMIT job->finished();
  auto* reason = panel->findChild<QLabel*>(QStringLiteral("error"));
  ASSERT_TRUE(waitUntil([&] { return reason->isVisible(); }));
  job.reset();  // an ended job may go while its reason is still read
  EXPECT_TRUE(reason->text().startsWith(QStringLiteral("The drive refused to write block 181234")));
  EXPECT_EQ(panel->minimumSize(), panel->maximumSize());  // not resizable
  // Each part of a sheet has a place of its own within it.
  const auto placedApart = [](QWidget* sheet) {
    const auto parts = sheet->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* a : parts) {
      if (!a->isVisible()) continue;
      EXPECT_TRUE(sheet->rect().contains(a->geometry())) << a->metaObject()->className();
      for (QWidget* b : parts)
        if (a != b && b->isVisible())
          EXPECT_FALSE(a->geometry().intersects(b->geometry())) << a->metaObject()->className() << " over "
                                                                << b->metaObject()->className();
    }
  };
  placedApart(panel);
  EXPECT_GE(reason->height(), reason->heightForWidth(reason->width()));
  expectLook(*panel, "failed_burn_panel");
  EXPECT_TRUE(panel->close());  // an ended job's sheet closes

  auto* imaging = window().findChild<QDialog*>(QStringLiteral("ImagingPanel"));
  ASSERT_NE(imaging, nullptr);
  imaging->show();
  placedApart(imaging);
  expectLook(*imaging, "imaging_sheet");
  // The image's size is an estimate: told more than all of it, the bar stays full.
  auto* imagingBar = imaging->findChild<QProgressBar*>();
  for (const auto& [percent, shown] : {std::pair{42.0, 420}, std::pair{250.0, 1000}}) {
    window().imagingSheet().indicator()->setDoubleValue(percent);
    EXPECT_EQ(imagingBar->value(), shown) << percent;
  }
  imaging->hide();
}

}  // namespace
}  // namespace tessaline::test

#include "disc_controls_test.moc"
