// The error-report window driven as a user would: the checks before anything is sent, the
// upload list, and whole submissions against the blob emulator and a local mail server.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

#include "gui/report/ReportWindow.h"
#include "support/BlobEmulator.h"
#include "support/LoopbackHttpServer.h"
#include "upload/BlobClient.h"

namespace vr {
namespace {

std::shared_ptr<AZSCloudBlobClient> emulatorClient() {
  return AZSCloudStorageAccount::accountFromConnectionString(test::emulatorConnectionString(test::blobEmulatorEndpoint()))->getBlobClient();
}

// The blob's content, or "(missing)".
QByteArray downloadBlob(const std::string& container, const std::string& blob) {
  const auto client = emulatorClient();
  const auto uri = client->containerReferenceFromName(container).blockBlobReferenceFromName(blob).storageUri();
  auto r = client->execute(HttpRequest{"GET", uri, {}, {}}, size_t(64) << 20);
  if (auto* ok = std::get_if<HttpResponse>(&r)) return QByteArray(reinterpret_cast<const char*>(ok->body.data()), qsizetype(ok->body.size()));
  return "(missing)";
}

const QString kNoConnection = "Please check your internet connection and try again.";

QByteArray randomData(qsizetype n, unsigned seed) {
  std::mt19937 gen(seed);
  QByteArray b(n, '\0');
  for (auto& c : b) c = char(gen());
  return b;
}

}  // namespace

class ReportWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir home_;
  std::unique_ptr<test::LoopbackHttpServer> mail_;

  // A file in the videos folder; size >= 0 makes it that long, with a hole after the data.
  QString writeFile(const QString& name, const QByteArray& data, qint64 size = -1) {
    const QString path = home_.filePath("videos/" + name);
    QDir().mkpath(home_.filePath("videos"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
    if (size >= 0) f.resize(size);
    return path;
  }
  // Points the window at the blob endpoint and the local mail server.
  void configure(const std::string& blobEndpoint) {
    qputenv("VR_STORAGE_CONNECTION_STRING", test::emulatorConnectionString(blobEndpoint).c_str());
    qputenv("VR_MAIL_API_KEY", "test-mail-key");
    qputenv("VR_MAIL_ENDPOINT", QByteArray::fromStdString(mail_->url()));
    qputenv("VR_SUPPORT_MAILBOX", "support@example.com");
  }
  static void fillIn(ReportWindow& w, const QString& email, const QString& details) {
    w.findChild<QLineEdit*>("emailId")->setText(email);
    w.findChild<QPlainTextEdit*>("errorDetails")->setPlainText(details);
  }
  static void click(ReportWindow& w, const char* name) {
    QTest::mouseClick(w.findChild<QAbstractButton*>(name), Qt::LeftButton);
  }
  static QString alertText(ReportWindow& w) { return w.resultDialog()->alertMessage->text(); }
  size_t mailCount() { return mail_->waitFor(0, std::chrono::seconds(0)).size(); }
  // The body of the one mail that follows the first `before` ones ("" when there is not exactly one).
  std::string mailAfter(size_t before) {
    const auto mails = mail_->waitFor(before + 1, std::chrono::seconds(30));
    return mails.size() == before + 1 ? mails.back().body : "";
  }

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    qputenv("HOME", home_.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home_.filePath("config").toUtf8());
    mail_ = std::make_unique<test::LoopbackHttpServer>(202);
  }
  void init() {
    for (const char* v : {"VR_STORAGE_CONNECTION_STRING", "VR_MAIL_API_KEY", "VR_MAIL_ENDPOINT", "VR_SUPPORT_MAILBOX"})
      qunsetenv(v);
  }

  void emailValidation() {
    const std::pair<QString, bool> cases[] = {
        {"jane.doe@example.com", true},  {"j@mail-1.example.co.uk", true}, {"jane@doe@example.com", false},
        {"jane@localhost", false},       {"jane@example.c", false},        {"@example.com", false},
        {"jane@ex_ample.com", false},    {QString(300, 'a') + "@example.com", false}};
    for (const auto& [email, valid] : cases)
      QVERIFY2(validateEmailWithString(email.toStdString()) == valid, qPrintable(email));
  }

  void subjectAndBlocks() {
    const QRegularExpression subject("^Dovex Video Repair Software Mac - Error Report x[a-zA-Z0-9]{10}$");
    for (int i = 0; i < 50; ++i) QVERIFY(subject.match(QString::fromStdString(reportSubject())).hasMatch());
    const std::pair<uint64_t, uint64_t> blocks[] = {{0, 1}, {1048575, 1}, {1048576, 1}, {1048577, 2},
                                                    {uint64_t(5) << 30, 5120}, {(uint64_t(5) << 30) + 1, 5121}};
    for (const auto& [size, count] : blocks) QCOMPARE(uploadBlockCount(size), count);
  }

  void notConfiguredSendsNothing() {
    ReportWindow w({writeFile("a.mov", "abc")});
    QVERIFY(!w.findChild<QLabel*>("notConfigured")->isHidden());
    QVERIFY(!w.findChild<QPushButton*>("submitErrorReport")->isEnabled());
  }

  // What the window says instead of sending an incomplete report.
  void validationMessages_data() {
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("details");
    QTest::addColumn<int>("files");     // rows in the list; -1: link mode, no link
    QTest::addColumn<bool>("selected");  // rows chosen
    QTest::addColumn<QString>("message");
    QTest::newRow("no e-mail") << "" << "x" << 1 << true << "Please enter email address.";
    QTest::newRow("no description") << "a@b.cd" << "" << 1 << true << "Please provide more information about the issue.";
    QTest::newRow("invalid e-mail") << "a@b" << "x" << 1 << true << "Enter a valid Email Address.";
    QTest::newRow("empty list") << "a@b.cd" << "x" << 0 << true << "Please add files to upload.";
    QTest::newRow("nothing chosen") << "a@b.cd" << "x" << 2 << false << "Select a file to upload.";
    QTest::newRow("no link") << "a@b.cd" << "x" << -1 << true << "Please provide the file link of Google drive.";
    QTest::newRow("no connection") << "a@b.cd" << "x" << 1 << true << kNoConnection;
  }
  void validationMessages() {
    QFETCH(QString, email); QFETCH(QString, details); QFETCH(int, files); QFETCH(bool, selected); QFETCH(QString, message);
    int closedPort = 0;
    { test::LoopbackHttpServer gone; closedPort = gone.port(); }
    configure("http://127.0.0.1:" + std::to_string(closedPort) + "/devstoreaccount1");
    QStringList paths;
    for (int i = 0; i < files; ++i) paths << writeFile(QString("v%1.mov").arg(i), "x");
    ReportWindow w(paths);
    w.setServerTimeout(std::chrono::seconds(2));
    fillIn(w, email, details);
    auto* table = w.findChild<QTableWidget*>("tableView");
    for (int row = 0; row < table->rowCount(); ++row)
      qobject_cast<QCheckBox*>(table->cellWidget(row, 0))->setChecked(selected);
    if (files < 0) click(w, "radioBtn2");
    click(w, "submitErrorReport");
    QTRY_COMPARE_WITH_TIMEOUT(w.resultDialog()->currentTabIdentifier(), QString("5"), 20000);
    QCOMPARE(alertText(w), message);
    // Only a lost connection offers a retry, which starts over and ends in the same message.
    QCOMPARE(w.resultDialog()->errorUploadRetryBtn->isHidden(), message != kNoConnection);
    if (message != kNoConnection) return;
    QTest::mouseClick(w.resultDialog()->errorUploadRetryBtn, Qt::LeftButton);
    w.waitForUpload();
    QTRY_COMPARE_WITH_TIMEOUT(alertText(w), message, 20000);
  }

  void fileList() {
    const QString a = writeFile("a.mov", "a"), b = writeFile("b.avi", "b");
    ReportWindow w({a});
    w.addFilePath(b);
    w.addFilePath(a);
    QCOMPARE(alertText(w), QString("Slected file is already in list."));
    QCOMPARE(w.filePaths(), QStringList({a, b}));
    QCOMPARE(w.getselectFile(), 2);
    auto* table = w.findChild<QTableWidget*>("tableView");
    qobject_cast<QCheckBox*>(table->cellWidget(0, 0))->click();
    QCOMPARE(w.getselectFile(), 1);
    w.resultDialog()->hide();
    click(w, "removeFiles");
    QCOMPARE(alertText(w), QString("Click on the file to remove."));
    table->selectRow(0);
    click(w, "removeFiles");
    QCOMPARE(w.filePaths(), QStringList({b}));
  }

  void submissions_data() {
    QTest::addColumn<QStringList>("names");  // files offered; "-" prefix: missing on disk
    QTest::addColumn<QString>("tab"); QTest::addColumn<QString>("header"); QTest::addColumn<int>("links");
    QTest::newRow("both go up") << QStringList{"first clip.mov", "second.avi"} << "4" << "" << 2;
    QTest::newRow("second fails") << QStringList{"first.mov", "-gone.mp4"} << "1"
                                  << "1 File uploaded sucessfully." << 1;
    QTest::newRow("first fails, second goes up") << QStringList{"-gone.mov", "later.mov"} << "1"
                                                 << "1 File uploaded sucessfully." << 1;
  }
  void submissions() {
    if (test::blobEmulatorEndpoint().empty()) QSKIP("VR_TEST_BLOB_ENDPOINT not set: no blob emulator");
    QFETCH(QStringList, names); QFETCH(QString, tab); QFETCH(QString, header); QFETCH(int, links);
    configure(test::blobEmulatorEndpoint());
    QStringList paths;
    std::map<std::string, QByteArray> contents;
    for (int i = 0; i < names.size(); ++i) {
      const bool missing = names[i].startsWith('-');
      const QString name = missing ? names[i].mid(1) : names[i];
      const QByteArray data = randomData(i == 0 ? 1048577 : 3 * 1048576 + 7, unsigned(i));
      paths << (missing ? home_.filePath("videos/" + name) : writeFile(name, data));
      if (!missing) contents[name.toStdString()] = data;
    }
    const size_t mailsBefore = mailCount();
    ReportWindow w(paths);
    w.show();
    fillIn(w, "jane@example.com", "The camera stopped.");
    click(w, "submitErrorReport");
    QCOMPARE(w.resultDialog()->currentTabIdentifier(), QString("2"));
    QTRY_COMPARE_WITH_TIMEOUT(w.resultDialog()->currentTabIdentifier(), tab, 60000);
    const std::string container = w.containerName().toStdString();
    for (const auto& [name, data] : contents) QVERIFY2(downloadBlob(container, name) == data, name.c_str());
    QCOMPARE(downloadBlob(container, "email.txt"), QByteArray("jane@example.com"));

    const QString body = QString::fromStdString(mailAfter(mailsBefore));
    QVERIFY(body.contains("\"from\":{\"email\":\"jane@example.com\"}"));
    QVERIFY(body.contains("UID : " + w.containerName()));
    QCOMPARE(body.count("/" + w.containerName() + "/"), links);

    QFile log(w.errorLogPath());
    QCOMPARE(w.uploadCompleted(), tab == "4");
    if (tab == "1") {
      QVERIFY(!w.resultDialog()->failedUploadAbortedHeaderText->isHidden());
      QCOMPARE(w.resultDialog()->failedUploadAbortedHeaderText->text(), header);
      QVERIFY(log.open(QIODevice::ReadOnly) && log.readAll().endsWith(" Failed to upload.\n"));
      log.close();
    }
    // Closing the dialog after a sent report closes the report window too, and the error
    // log goes with it.
    QTest::mouseClick(w.resultDialog()->errorUploadCloseBtn, Qt::LeftButton);
    QCOMPARE(w.isVisible(), tab != "4");
    w.close();
    QVERIFY(!log.exists());
  }

  void abortDeletesTheContainer() {
    if (test::blobEmulatorEndpoint().empty()) QSKIP("VR_TEST_BLOB_ENDPOINT not set: no blob emulator");
    // 4 GiB (a hole after the first bytes) keep the upload busy long after the abort.
    configure(test::blobEmulatorEndpoint());
    ReportWindow w({writeFile("long.mov", randomData(1048576, 3), 4LL << 30)});
    fillIn(w, "jane@example.com", "x");
    click(w, "submitErrorReport");
    QTRY_VERIFY_WITH_TIMEOUT(w.resultDialog()->uploadingFileName->text().startsWith("Uploading (1/1): long.mov"), 30000);
    QTest::mouseClick(w.resultDialog()->errorUploadCloseBtn, Qt::LeftButton);
    auto* confirm = w.resultDialog()->findChild<QMessageBox*>("abortConfirmation");
    QVERIFY(confirm);
    QCOMPARE(confirm->text(), QString("Do you really want to abort the process?"));
    for (auto* b : confirm->buttons())
      if (b->text() == "YES") b->click();
    QCOMPARE(w.resultDialog()->uploadingFileName->text(), QString("Aborting please wait..."));
    QTRY_COMPARE_WITH_TIMEOUT(w.resultDialog()->currentTabIdentifier(), QString("3"), 60000);
    const auto client = emulatorClient();
    const auto exists = client->execute(AZSBlobRequestFactory::containerExists(
        client->containerReferenceFromName(w.containerName().toStdString()).storageUri()));
    QVERIFY(std::holds_alternative<StorageError>(exists) && std::get<StorageError>(exists).httpStatus == 404);
  }

  void linkModeMailsTheLink() {
    configure("http://127.0.0.1:9/devstoreaccount1");
    const size_t mailsBefore = mailCount();
    ReportWindow w({});
    fillIn(w, "jane@example.com", "See the shared file.");
    click(w, "radioBtn2");
    w.findChild<QLineEdit*>("DriveLink")->setText("https://drive.example.com/file/d/abc");
    click(w, "submitErrorReport");
    QCOMPARE(w.resultDialog()->currentTabIdentifier(), QString("4"));
    QVERIFY(mailAfter(mailsBefore).find("See the shared file.\\n\\nhttps://drive.example.com/file/d/abc\\n\\nMacOS : ") !=
            std::string::npos);
  }
};

}  // namespace vr

QTEST_MAIN(vr::ReportWindowTest)
#include "ReportWindowTest.moc"
