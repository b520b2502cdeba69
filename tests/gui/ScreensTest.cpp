// The application end to end on a real (virtual) display: repairs the bundled damaged
// sample from the window, previews and saves the result, goes through stop and failure,
// and writes a screenshot of every screen into the folder given as the argument.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMediaPlayer>
#include <QMessageBox>
#include <QScreen>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <functional>

#include "gui/Controls.h"
#include "gui/PreviewWindow.h"
#include "gui/Vorn_Video_Repair_AppDelegate.h"
#include "GuiTestSupport.h"

using vr::Vorn_Video_Repair_AppDelegate;
using namespace vr::guitest;

namespace {

int failures = 0;

#define CHECK(cond) \
  if (!(cond)) std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), ++failures

bool waitFor(const std::function<bool()>& cond, int ms) { return QTest::qWaitFor(cond, ms); }

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStandardPaths::setTestModeEnabled(true);
  const QString shots = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
  QDir().mkpath(shots);
  QTemporaryDir tmp;
  const QString damaged = QStringLiteral(VR_SOURCE_DIR "/samples/damaged.mov");
  const QString reference = QStringLiteral(VR_SOURCE_DIR "/samples/reference.mov");
  // Without VLC on PATH, preview opens the application's own player.
  qputenv("PATH", "/usr/local/bin:/bin");

  Vorn_Video_Repair_AppDelegate w(tmp.filePath(QStringLiteral("work")));
  w.resize(820, 560);
  w.move(40, 40);
  w.show();
  CHECK(QTest::qWaitForWindowExposed(&w));
  const auto shoot = [&](const QString& name) {
    QTest::qWait(250);
    const QString file = QDir(shots).filePath(name + QStringLiteral(".png"));
    CHECK(QGuiApplication::primaryScreen()->grabWindow(0).save(file));
    std::printf("screenshot %s\n", qPrintable(file));
  };
  const auto onTab = [&](QWidget* tab, int ms) { return waitFor([&] { return w.tabview->currentWidget() == tab; }, ms); };
  // The first run of a movie without an index asks for a reference; then one is chosen.
  const auto toReference = [&](const QString& movie, const QString& ref) {
    w.didChooseCorruptFile(movie);
    w.repair();
    CHECK(waitFor([&] { return !w.repairing; }, 120000));
    CHECK(w.selectRefFileBtn->isVisible());
    w.didChooseReferenceFile(ref);
  };

  shoot(QStringLiteral("main"));

  // A long recording: progress, the stop confirmation and the aborted notice.
  const QString longMovie = tmp.filePath(QStringLiteral("long recording.mov"));
  writeFile(longMovie, readFile(damaged), 1LL << 30);
  toReference(longMovie, reference);
  shoot(QStringLiteral("reference"));
  w.repair();
  // A loaded machine may take a while to show the first percent.
  CHECK(waitFor([&] { return !w.repairing || w.percent->text() != QStringLiteral("0%"); }, 60000));
  CHECK(w.repairing);
  shoot(QStringLiteral("repairing"));
  w.stopProgress();
  shoot(QStringLiteral("stop"));
  w.stopRepairOk();
  shoot(QStringLiteral("aborted"));
  w.repairAbortedOk();
  CHECK(w.tabview->currentWidget() == w.mainTab);

  // The bundled sample, repaired with its reference.
  toReference(damaged, reference);
  w.repair();
  CHECK(onTab(w.detailsTab, 120000));
  CHECK(w.videoCodecField->text() == QStringLiteral("AVC1"));
  shoot(QStringLiteral("details"));

  w.preview();
  CHECK(w.previewWindow);
  if (w.previewWindow) {
    w.previewWindow->move(480, 200);
    QMediaPlayer* player = w.previewWindow->player();
    const bool playing = waitFor([&] { return !w.previewWindow || player->position() > 500; }, 30000);
    CHECK(playing && w.previewWindow && !w.previewWindow->handedToDesktop());
    // How soon the first picture reaches a virtual display varies with the load; the
    // screenshot waits a little for one but does not insist.
    waitFor([&] { return !w.previewWindow || w.previewWindow->framesShown() > 0; }, 5000);
    shoot(QStringLiteral("preview"));
    if (w.previewWindow) w.previewWindow->close();
  }

  w.didChooseSaveFolder(tmp.filePath(QStringLiteral("Repaired")));
  CHECK(w.tabview->currentWidget() == w.savingTab);
  w.stopSaving();
  w.continueSaving();
  shoot(QStringLiteral("saving"));
  CHECK(waitFor([&] { return w.savingCompletedwindow->isVisible(); }, 120000));
  shoot(QStringLiteral("saved"));
  w.saveCompletedOk();
  CHECK(w.tabview->currentWidget() == w.mainTab);

  // A reference of another codec: the failure notice.
  QByteArray other = readFile(reference);
  other.replace("avc1", "mp4v");
  const QString otherReference = tmp.filePath(QStringLiteral("other codec.mov"));
  writeFile(otherReference, other);
  toReference(damaged, otherReference);
  w.repair();
  CHECK(waitFor([&] { return w.couldntRepair->isVisible(); }, 120000));
  shoot(QStringLiteral("failure"));
  w.couldntRepairOk();

  std::printf("%s\n", failures ? "FAILED" : "passed");
  return failures ? 1 : 0;
}
