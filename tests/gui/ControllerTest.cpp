// The desktop application's controller, driven the way the window drives it, on the
// offscreen platform with the real repair engines and the bundled sample movies.
#include <signal.h>
#include <sys/resource.h>

#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "gui/Controls.h"
#include "gui/Formatting.h"
#include "gui/PreviewWindow.h"
#include "gui/SaveCopy.h"
#include "gui/Vorn_Video_Repair_AppDelegate.h"
#include "GuiTestSupport.h"
#ifdef VR_HAVE_REPORT
#include "gui/report/ReportWindow.h"
#endif

using namespace vr;
using namespace vr::guitest;
using Controller = Vorn_Video_Repair_AppDelegate;

namespace {

const QString kDamaged = QStringLiteral(VR_SOURCE_DIR "/samples/damaged.mov");
const QString kReference = QStringLiteral(VR_SOURCE_DIR "/samples/reference.mov");

// A three-second AVI recording of about 1 MB as many cameras write it (Motion JPEG pictures, PCM sound);
// picture names the ffmpeg test source, so that two recordings differ. Empty when ffmpeg
// cannot make it.
QString makeAvi(const QString& path, const QString& picture) {
  const QStringList args = {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", picture + "=size=320x240:rate=25", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=22050", "-t", "3", "-c:v", "mjpeg", "-q:v", "4", "-c:a", "pcm_s16le", "-ac", "1", path};
  return QProcess::execute(QStringLiteral("ffmpeg"), args) == 0 ? path : QString();
}

// A copy of an AVI file whose stream descriptions are lost: everything from the first
// stream list to the end of the header list is overwritten with garbage.
QString withHeaderListOverwritten(const QString& from, const QString& to) {
  QByteArray b = readFile(from);
  const qsizetype strl = b.indexOf("strl") - 8, end = b.size() < 20 ? 0 : 20 + qsizetype(qFromLittleEndian<quint32>(b.constData() + 16));
  if (strl < 0 || end <= strl || end > b.size()) return QString();
  for (uint32_t i = uint32_t(strl), seed = 12345; i < end; ++i) b[i] = char((seed = seed * 1664525u + 1013904223u) >> 24);
  return writeFile(to, b) ? to : QString();
}

// The label of the details row that shows value (empty when there is none).
QString detailsLabelFor(QFormLayout* form, const QString& value) {
  for (int row = 0; row < form->rowCount(); ++row) {
    auto *field = form->itemAt(row, QFormLayout::FieldRole), *label = form->itemAt(row, QFormLayout::LabelRole);
    auto* shown = field ? qobject_cast<QLabel*>(field->widget()) : nullptr;
    if (shown && label && shown->text() == value) return qobject_cast<QLabel*>(label->widget())->text();
  }
  return QString();
}

}  // namespace

class ControllerTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir tmp_;

  // Takes a damaged file through its first run, which asks for a reference (the movie has
  // no index of its own, the AVI file no stream descriptions), then chooses reference and
  // starts the second run.
  void runWithReference(Controller& c, const QString& damaged, const QString& reference) {
    c.didChooseCorruptFile(damaged);
    c.repair();
    QCOMPARE(c.tabview->currentWidget(), c.repairingTab);
    QVERIFY(c.repairing);
    QTRY_VERIFY_WITH_TIMEOUT(!c.repairing, 120000);
    QCOMPARE(c.tabview->currentWidget(), c.referenceFileTab);
    QVERIFY(!c.refTabRepairBtn->isEnabled());
    if (damaged.endsWith(".avi")) QCOMPARE(c.referenceFileFilter(), QStringLiteral("AVI files (*.avi *.AVI)"));
    c.didChooseReferenceFile(reference);
    QVERIFY(c.refTabRepairBtn->isEnabled());
    c.repair();
  }

  // A damaged AVI file without stream descriptions, a healthy recording of the same camera
  // and a second damaged one, made once.
  struct AviFiles { QString damaged, healthy, unusable; };
  AviFiles aviFiles() {
    const QString dir = tmp_.filePath("avi");
    QDir().mkpath(dir);
    AviFiles f{dir + "/damaged.avi", dir + "/healthy.avi", dir + "/unusable.avi"};
    if (QFileInfo::exists(f.unusable)) return f;
    const QString original = makeAvi(dir + "/original.avi", "testsrc");
    if (original.isEmpty() || makeAvi(f.healthy, "testsrc2").isEmpty() || withHeaderListOverwritten(original, f.damaged).isEmpty() ||
        withHeaderListOverwritten(f.healthy, f.unusable).isEmpty())
      return {};
    return f;
  }

  // Puts the controller on the details of a repaired movie of the given size.
  void repairedMovie(Controller& c, qint64 size) {
    c.movFile = true;
    c.repairedFilePath = tmp_.filePath("work/.testfile.mov");
    writeFile(c.repairedFilePath, QByteArray(4096, 'v'), size);
    c.tabview->setCurrentWidget(c.detailsTab);
  }

  // Neither going home nor closing the window is allowed while a run or a copy is on.
  void staysPut(Controller& c, QWidget* tab, const QString& message) {
    c.mainScreen();
    QCOMPARE(c.tabview->currentWidget(), tab);
    QVERIFY(!c.close());
    QTRY_VERIFY(c.currentAlert);
    QCOMPARE(c.currentAlert->text(), message);
    c.currentAlert->accept();
  }

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(tmp_.isValid());
  }

  void formatting_data() {
    QTest::addColumn<QString>("got");
    QTest::addColumn<QString>("want");
    QTest::newRow("3725 s") << getTimeFormStringForInterval(3725) << "01:02:05";
    QTest::newRow("59.9 s") << getTimeFormStringForInterval(59.9) << "00:00:59";
    QTest::newRow("61 s") << getTimeFormStringForInterval(61) << "00:01:01";
    QTest::newRow("hours wrap") << getTimeFormStringForInterval(90000) << "01:00:00";
    QTest::newRow("negative") << getTimeFormStringForInterval(-3) << "00:00:00";
    QTest::newRow("0 B") << getFormattedStringForSize(0) << "0.00 KB";
    QTest::newRow("999,999 B") << getFormattedStringForSize(999999) << "1000.00 KB";
    QTest::newRow("1,000,000 B") << getFormattedStringForSize(1000000) << "1.00 MB";
    QTest::newRow("1.5e9 B") << getFormattedStringForSize(1500000000) << "1.50 GB";
    QTest::newRow("upper-case avi") << getRepairedFilePathFor("AVI", "/w") << "/w/.testfile.avi";
    QTest::newRow("other extension") << getRepairedFilePathFor("mp4", "/w") << "/w";
    QTest::newRow("saved movie") << savedFilePathIn("/d/Repaired", false) << "/d/Repaired/repaired.mov";
    QTest::newRow("raw codec bytes") << printableAttribute(std::string("\x01\0\0\0", 4)) << "0x01000000";
  }
  void formatting() {
    QFETCH(QString, got);
    QFETCH(QString, want);
    QCOMPARE(got, want);
  }

  // Choosing a damaged file, from the panel or by a drop: where it leads.
  void choosing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("drop"); QTest::addColumn<QString>("tab"); QTest::addColumn<QString>("workingName");
    QTest::newRow("clip.AVI") << "clip.AVI" << false << "mainTab" << ".testfile.avi";
    QTest::newRow("clip.mp4") << "clip.mp4" << false << "referenceFileTab" << ".testfile.mov";
    QTest::newRow("clip.m4v dropped") << "clip.m4v" << true << "referenceFileTab" << ".testfile.mov";
    QTest::newRow("clip.txt") << "clip.txt" << false << "mainTab" << "";
    QTest::newRow("clip.txt dropped") << "clip.txt" << true << "mainTab" << "";
  }
  void choosing() {
    QFETCH(QString, name); QFETCH(bool, drop); QFETCH(QString, tab); QFETCH(QString, workingName);
    Controller c(tmp_.filePath("work"));
    const QString path = tmp_.filePath(name);
    if (drop) {
      QMimeData mime;
      mime.setUrls({QUrl::fromLocalFile(path)});
      QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(&c, &enter);
      QCOMPARE(enter.isAccepted(), !workingName.isEmpty());
      if (!enter.isAccepted()) return;
      QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(&c, &dropped);
    } else {
      c.didChooseCorruptFile(path);
      c.didChooseCorruptFile(path);  // a repeated choice is offered to the report twice
      QCOMPARE(c.fileClassArray, QStringList({path, path}));
    }
    QCOMPARE(QStringList({c.tabview->currentWidget()->objectName(), QFileInfo(c.repairedFilePath).fileName(), c.referenceFilePath}),
             QStringList({tab, workingName, workingName.isEmpty() ? QString() : path}));
    if (name == "clip.AVI") {
      QCOMPARE(c.focusWidget(), c.repairbutton);
      // Not a readable AVI file: refused, and nothing else changes. The focused button
      // answers the keyboard.
      writeFile(path, QByteArray(100, 'x'));
      QTest::keyClick(c.repairbutton, Qt::Key_Space);
      QTRY_VERIFY(c.currentAlert);
      QCOMPARE(c.currentAlert->windowTitle(), QStringLiteral("Invalid corrupted file"));
      QVERIFY(!c.repairing);
      QCOMPARE(c.tabview->currentWidget(), c.mainTab);
    }
  }

  // The whole road: first run, reference request, repair, details, save, back to the start.
  void repairAndSave() {
    Controller c(tmp_.filePath("work"));
    runWithReference(c, kDamaged, kReference);
    QTRY_COMPARE_WITH_TIMEOUT(c.tabview->currentWidget(), c.detailsTab, 120000);
    QCOMPARE(QStringList({c.fileNamefield->text(), c.videoCodecField->text(), c.fpsField->text(), c.tracksField->text(), c.sizeField->text()}),
             QStringList({"damaged.mov", "AVC1", "25.00", "2", getFormattedStringForSize(QFileInfo(c.repairedFilePath).size())}));
    QVERIFY(!c.durationField->text().isEmpty());

    // How much the engine recovered gets rows of their own, with readable labels.
    RepairFileDelegate* engine = c.runDelegate();
    QVERIFY(engine);
    const struct { const char *key, *value, *shown, *label; } facts[] = {
        {"coverage", "97.3 %", "97.3 %", "Media data recovered:"}, {"recoveredVideo", "14.96 s", "14.96 s", "Video recovered:"},
        {"recoveredAudio", "15.00 s", "15.00 s", "Audio recovered:"}, {"coverage", "88", "88%", "Media data recovered:"}};
    for (const auto& f : facts) engine->repairFileAttribute(f.key, f.value);
    for (const auto& f : facts) QTRY_COMPARE(detailsLabelFor(c.detailsForm, f.shown), QString(f.label));
#ifdef VR_HAVE_REPORT
    // A report closed while the details are shown leaves them in place.
    c.share();
    auto* report = c.findChild<ReportWindow*>();
    QVERIFY(report);
    QVERIFY(report->close());
    QCOMPARE(c.tabview->currentWidget(), c.detailsTab);
#endif

    const QString folder = tmp_.filePath("Saved here");
    c.didChooseSaveFolder(folder);
    QCOMPARE(c.tabview->currentWidget(), c.savingTab);
    QCOMPARE(c.destinationPath->text(), "Destination Path:" + folder + "/repaired.mov");
    QTRY_VERIFY_WITH_TIMEOUT(c.savingCompletedwindow->isVisible(), 120000);
    QCOMPARE(c.savingPercentage->text(), QStringLiteral("100%"));
    QCOMPARE(readFile(folder + "/repaired.mov"), readFile(c.repairedFilePath));
    const QString working = c.repairedFilePath;
    c.saveCompletedOk();
    QCOMPARE(c.tabview->currentWidget(), c.mainTab);
    QVERIFY(!QFileInfo::exists(working));
    QVERIFY(c.fileClassArray.isEmpty());
  }

  // The second run with the chosen reference: a movie reference of another codec and an AVI
  // reference that lacks the stream descriptions too end in the failure notice (a second
  // request for a reference is a failure); a healthy AVI from the same camera stands in for
  // the damaged AVI's lost descriptions.
  void secondRun_data() {
    QTest::addColumn<bool>("avi");
    QTest::addColumn<bool>("repaired");
    QTest::newRow("movie, reference of another codec") << false << false;
    QTest::newRow("AVI, reference without descriptions") << true << false;
    QTest::newRow("AVI, healthy reference") << true << true;
  }
  void secondRun() {
    QFETCH(bool, avi);
    QFETCH(bool, repaired);
    QString damaged = kDamaged, reference = tmp_.filePath("other codec.mov");
    if (avi) {
      const AviFiles files = aviFiles();
      if (files.damaged.isEmpty()) QSKIP("ffmpeg could not make the AVI files");
      damaged = files.damaged, reference = repaired ? files.healthy : files.unusable;
    } else {
      writeFile(reference, readFile(kReference).replace("avc1", "mp4v"));
    }
    Controller c(tmp_.filePath("work"));
    runWithReference(c, damaged, reference);
    if (repaired) {
      QTRY_COMPARE_WITH_TIMEOUT(c.tabview->currentWidget(), c.detailsTab, 120000);
      QCOMPARE(c.fileNamefield->text(), QStringLiteral("damaged.avi"));
      QVERIFY(QFileInfo(c.repairedFilePath).size() > 100000);
      return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(c.couldntRepair->isVisible(), 120000);
    QVERIFY(c.couldntRepair->overlayShown());
    QVERIFY(!c.repairing);
    QVERIFY(!QFileInfo::exists(c.repairedFilePath));
#ifdef VR_HAVE_REPORT
    // The report, offered the damaged file, replaces the notice; closing it returns to the
    // main screen.
    QTest::mouseClick(c.shareBtn, Qt::LeftButton);
    QVERIFY(!c.couldntRepair->isVisible());
    auto* report = c.findChild<ReportWindow*>();
    QVERIFY(report && report->isVisible());
    QCOMPARE(report->filePaths(), QStringList({damaged}));
    QVERIFY(report->close());
    QVERIFY(c.fileClassArray.isEmpty());
#else
    QVERIFY(!c.shareBtn->isEnabled());
    c.couldntRepairOk();
#endif
    QVERIFY(!c.couldntRepair->overlayShown());
    QCOMPARE(c.tabview->currentWidget(), c.mainTab);
  }

  void pauseAndStop() {
    // A long tail of empty bytes keeps the run going long enough to be paused and stopped.
    const QString longMovie = tmp_.filePath("long.mov");
    writeFile(longMovie, readFile(kDamaged), 64LL << 20);
    Controller c(tmp_.filePath("work"));
    runWithReference(c, longMovie, kReference);
    RepairFile* engine = c.repairEngine();
    QVERIFY(engine);
    // The tab, the run, the engine's flags and the stop confirmation and aborted notice.
    const auto state = [&] {
      return QStringLiteral("%1 running %2, paused %3, stopped %4, confirmation %5, aborted %6")
          .arg(c.tabview->currentWidget()->objectName()).arg(c.repairing).arg(engine->pauseRepairing()).arg(engine->stopflag())
          .arg(c.stoprepairwindow->isVisible() && c.stoprepairwindow->overlayShown()).arg(c.repairAbortedWindow->isVisible());
    };
    c.pauseRepairing();
    QCOMPARE(state(), "repairingTab running 1, paused 1, stopped 0, confirmation 0, aborted 0");
    staysPut(c, c.repairingTab, "Repairinig is in progress..");
    c.pauseRepairing();
    QCOMPARE(state(), "repairingTab running 1, paused 0, stopped 0, confirmation 0, aborted 0");
    c.stopProgress();  // pauses at once and asks
    QCOMPARE(state(), "repairingTab running 1, paused 1, stopped 0, confirmation 1, aborted 0");
    c.stopRepairCancel();
    QCOMPARE(state(), "repairingTab running 1, paused 0, stopped 0, confirmation 0, aborted 0");
    c.stopProgress();
    c.stopRepairOk();
    QCOMPARE(state(), "repairingTab running 0, paused 0, stopped 1, confirmation 0, aborted 1");
    // Whatever the stopped engine still reports does not leave the aborted notice.
    QTest::qWait(300);
    QCOMPARE(state(), "repairingTab running 0, paused 0, stopped 1, confirmation 0, aborted 1");
    c.repairAbortedOk();
    QCOMPARE(c.tabview->currentWidget(), c.mainTab);
    QVERIFY(!c.repairEngine());
    QVERIFY(!QFileInfo::exists(c.repairedFilePath));
  }

  // A run that ends just as Stop is pressed: the confirmation goes, the result shows.
  void endUnderStopConfirmation() {
    Controller c(tmp_.filePath("work"));
    runWithReference(c, kDamaged, kReference);
    // The engine finishes while the window does not look at its reports.
    QDeadlineTimer deadline(120000);
    while (!File::parseFileAtPath(c.repairedFilePath.toStdString())->moov() && !deadline.hasExpired())
      QThread::msleep(50);
    QThread::msleep(300);
    QVERIFY(c.repairing);
    c.stopProgress();
    QTRY_COMPARE_WITH_TIMEOUT(c.tabview->currentWidget(), c.detailsTab, 10000);
    QVERIFY(!c.stoprepairwindow->isVisible() && !c.stoprepairwindow->overlayShown());
  }

  // Destination checks and failures of the copy, seen from the window.
  void saveRefusals_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<qint64>("workingSize"); QTest::addColumn<qint64>("fileSizeLimit"); QTest::addColumn<QString>("alert");
    const QString file = tmp_.filePath("plain file");
    writeFile(file, "x");
    const qint64 free = QStorageInfo(tmp_.path()).bytesAvailable();
    QTest::newRow("folder missing") << "/nonexistent-folder/Repaired" << 1000LL << 0LL << "! Disk is not writable";
    QTest::newRow("inside a file") << file + "/Repaired" << 1000LL << 0LL << "! Disk is not writable";
    QTest::newRow("no space") << tmp_.filePath("Big") << free + (1LL << 30) << 0LL << "! Not enough free disk space";
    QTest::newRow("write error") << tmp_.filePath("Limited") << (3LL << 20) << (1LL << 20) << "Saving failed";
  }
  void saveRefusals() {
    QFETCH(QString, folder); QFETCH(qint64, workingSize); QFETCH(qint64, fileSizeLimit); QFETCH(QString, alert);
    Controller c(tmp_.filePath("work"));
    repairedMovie(c, workingSize);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    // Writes past the limit fail with EFBIG instead of ending the process.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limited{fileSizeLimit ? rlim_t(fileSizeLimit) : saved.rlim_cur, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    c.didChooseSaveFolder(folder);
    QTRY_VERIFY_WITH_TIMEOUT(c.currentAlert, 120000);
    setrlimit(RLIMIT_FSIZE, &saved);
    QCOMPARE(c.currentAlert->windowTitle(), alert);
    QVERIFY(!c.savingProgress);
    QCOMPARE(c.tabview->currentWidget(), c.detailsTab);
    QVERIFY(!QFileInfo::exists(folder + "/repaired.mov"));
    QFile::remove(c.repairedFilePath);
  }

  void savePauseAndCancel() {
    Controller c(tmp_.filePath("work"));
    repairedMovie(c, 1LL << 30);
    const QString folder = tmp_.filePath("Cancelled");
    c.didChooseSaveFolder(folder);
    c.stopSaving();
    QVERIFY(c.pauseSaving);
    QVERIFY(c.stopsavingwindow->isVisible());
    staysPut(c, c.savingTab, "Saving is in progress..");
    // Paused (once the block under way is written): the destination does not grow.
    const QString saved = folder + "/repaired.mov";
    QTest::qWait(200);
    const qint64 before = QFileInfo(saved).size();
    QTest::qWait(300);
    QCOMPARE(QFileInfo(saved).size(), before);
    c.continueSaving();
    QVERIFY(!c.stopsavingwindow->isVisible());
    c.stopSaving();
    c.stopSavingOk();
    QVERIFY(!QFileInfo::exists(saved));
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(c.tabview->currentWidget(), c.mainTab);
    QVERIFY(!QFileInfo::exists(c.repairedFilePath));
  }

  // The copy itself: sizes, progress in 1 KiB pieces, and a source that shrinks.
  void saveCopy_data() {
    QTest::addColumn<qint64>("size"); QTest::addColumn<bool>("shrink"); QTest::addColumn<quint64>("pieces");
    QTest::newRow("empty") << 0LL << false << quint64(0);
    QTest::newRow("1,025 bytes") << 1025LL << false << quint64(2);
    QTest::newRow("3 MiB + 7") << (3LL << 20) + 7 << false << quint64(3073);
    QTest::newRow("read error") << (3LL << 20) << true << quint64(3072);
  }
  void saveCopy() {
    QFETCH(qint64, size); QFETCH(bool, shrink); QFETCH(quint64, pieces);
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) bytes[i] = char(i * 7 + i / 1024);
    const QString src = tmp_.filePath("copy-src"), dst = tmp_.filePath("copy-dst");
    writeFile(src, bytes);
    SaveCopy copy;
    std::vector<int> percents;
    QString error = "not finished";
    copy.onProgress = [&](uint64_t, uint64_t n, int p) {
      QCOMPARE(n, pieces);
      percents.push_back(p);
    };
    copy.onFinished = [&](const QString& e) { error = e; };
    copy.setPaused(true);
    QVERIFY(copy.start(src, dst, nullptr));
    if (shrink) QVERIFY(QFile::resize(src, size / 2));
    copy.setPaused(false);
    copy.wait();
    QCOMPARE(error.isEmpty(), !shrink);         // a failed copy says why
    QCOMPARE(QFileInfo::exists(dst), !shrink);  // and leaves no file behind
    QVERIFY(shrink || (readFile(dst) == bytes && percents.back() == 100 && std::is_sorted(percents.begin(), percents.end())));
  }

  // Play: VLC when it is on PATH (any file name reaches it unchanged), otherwise the
  // preview window for a movie and the VLC notice for an AVI file.
  void play_data() {
    QTest::addColumn<bool>("vlcOnPath");
    QTest::addColumn<bool>("movie");
    QTest::newRow("vlc") << true << true;
    QTest::newRow("movie without vlc") << false << true;
    QTest::newRow("avi without vlc") << false << false;
  }
  void play() {
    QFETCH(bool, vlcOnPath);
    QFETCH(bool, movie);
    const QString bin = tmp_.filePath("bin"), record = tmp_.filePath("vlc-args"), work = tmp_.filePath("it's a \"working\" $(folder)");
    QDir().mkpath(bin);
    QFile::remove(record);
    writeFile(bin + "/vlc", QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.part' && mv '%1.part' '%1'\n").arg(record).toUtf8());
    QFile::setPermissions(bin + "/vlc", QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::WriteOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", vlcOnPath ? bin.toUtf8() + ":" + oldPath : tmp_.filePath("nothing").toUtf8());
    Controller c(work);
    c.movFile = movie;
    c.aviFile = !movie;
    c.repairedFilePath = getRepairedFilePathFor(movie ? "mov" : "avi", work);
    QFile::copy(kReference, c.repairedFilePath);
    c.playWithVLC();
    qputenv("PATH", oldPath);
    if (vlcOnPath) {
      QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
      QCOMPARE(readFile(record), c.repairedFilePath.toUtf8() + "\n");
    } else {
      // The preview for a movie, the notice that VLC is needed for an AVI file.
      QVERIFY(movie ? c.previewWindow && c.previewWindow->isVisible() : c.currentAlert && !c.previewWindow);
    }
    QFile::remove(c.repairedFilePath);
  }

  // A damaged movie whose stream carries its parameter sets is repaired on its first run,
  // without a request for a reference, and the details say what the repair took.
  void firstRunFromParameterSetsInBand() {
    const QString damaged = QStringLiteral(VR_INBAND_MEDIA_DIR "/h264-aac48s.lost.mov");
    if (!QFileInfo::exists(damaged)) QSKIP("no in-band media (scripts/make-inband-media.sh)");
    Controller c(tmp_.filePath("inband"));
    c.didChooseCorruptFile(damaged);
    c.repair();
    QTRY_COMPARE_WITH_TIMEOUT(c.tabview->currentWidget(), c.detailsTab, 120000);
    QCOMPARE(c.fpsField->text(), QStringLiteral("25.00"));
    QCOMPARE(detailsLabelFor(c.detailsForm, QStringLiteral("parameter sets in the stream (5 keyframes)")),
             QStringLiteral("Repaired from:"));
  }
};

QTEST_MAIN(ControllerTest)
#include "ControllerTest.moc"
