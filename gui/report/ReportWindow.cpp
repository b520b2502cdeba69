#include "gui/report/ReportWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStyle>
#include <QSysInfo>
#include <QTableWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "upload/Crypto.h"

namespace vr {

namespace {

// Dims the window below and swallows its mouse and keyboard input while the report is up.
class ReportOverlay : public QWidget {
 public:
  explicit ReportOverlay(QWidget* window) : QWidget(window) {
    setObjectName("reportOverlay");
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
    setGeometry(window->rect());
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize) setGeometry(static_cast<QWidget*>(watched)->rect());
    return false;
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(0, 0, 0, 128));
  }
  void mousePressEvent(QMouseEvent*) override {}
  void mouseReleaseEvent(QMouseEvent*) override {}
  void mouseDoubleClickEvent(QMouseEvent*) override {}
  void mouseMoveEvent(QMouseEvent*) override {}
  void keyPressEvent(QKeyEvent*) override {}
};

QLabel* wrappedLabel(const QString& text, QWidget* parent, const char* name = nullptr) {
  auto* l = new QLabel(text, parent);
  l->setWordWrap(true);
  if (name) l->setObjectName(name);
  return l;
}

QPushButton* button(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  return b;
}

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

ErrorUploadDialog::ErrorUploadDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("errorUploadWindow");
  setWindowTitle(tr("Error Report"));
  setModal(true);
  errorTabView = new QStackedWidget(this);
  errorTabView->setObjectName("errorTabView");
  const auto page = [&](const char* id) {
    auto* w = new QWidget(errorTabView);
    w->setObjectName(id);
    errorTabView->addWidget(w);
    return new QVBoxLayout(w);
  };

  auto* failed = page("1");
  failedUploadHeaderText = wrappedLabel(tr("Your files could not be uploaded."), this, "failedUploadHeaderText");
  failedUploadAbortedHeaderText = wrappedLabel(QString(), this, "failedUploadAbortedHeaderText");
  openLogBtn = button(tr("Show the files that failed"), "openTxtFile", this);
  failed->addWidget(failedUploadHeaderText);
  failed->addWidget(failedUploadAbortedHeaderText);
  failed->addWidget(openLogBtn);
  failed->addStretch();

  auto* uploading = page("2");
  uploadingFileName = wrappedLabel(tr("Uploading : "), this, "uploadingFileName");
  errorUploadingPercentage = wrappedLabel("0%", this, "errorUploadingPercentage");
  errorUploadProgress = new QProgressBar(this);
  errorUploadProgress->setObjectName("errorUploadProgress");
  errorUploadProgress->setRange(0, 100);
  errorUploadProgress->setTextVisible(false);
  uploading->addWidget(uploadingFileName);
  uploading->addWidget(errorUploadingPercentage);
  uploading->addWidget(errorUploadProgress);
  uploading->addStretch();

  page("3")->addWidget(wrappedLabel(tr("The upload was aborted and the files sent so far were removed."), this));
  page("4")->addWidget(wrappedLabel(tr("Your report has been sent. Our support team will contact you soon."), this));

  auto* alert = page("5");
  auto* alertRow = new QHBoxLayout;
  alertIcon = new QLabel(this);
  alertIcon->setObjectName("alertIcon");
  alertMessage = wrappedLabel(QString(), this, "alertMessage");
  alertRow->addWidget(alertIcon);
  alertRow->addWidget(alertMessage, 1);
  alert->addLayout(alertRow);
  alert->addStretch();

  errorUploadRetryBtn = button(tr("Retry"), "errorUploadRetryBtn", this);
  errorUploadCloseBtn = button(tr("Close"), "errorUploadCloseBtn", this);
  errorUploadCloseBtn->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(errorUploadRetryBtn);
  buttons->addWidget(errorUploadCloseBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(errorTabView, 1);
  layout->addLayout(buttons);
  resize(440, 200);
  connect(errorUploadCloseBtn, &QPushButton::clicked, this, &ErrorUploadDialog::closeRequested);
}

QString ErrorUploadDialog::currentTabIdentifier() const {
  return errorTabView->currentWidget() ? errorTabView->currentWidget()->objectName() : QString();
}

void ErrorUploadDialog::changeErrorTabView(const QString& identifier, const QString& closeTitle,
                                           bool retryHidden) {
  errorUploadRetryBtn->setHidden(retryHidden);
  errorUploadCloseBtn->setText(closeTitle);
  if (auto* page = errorTabView->findChild<QWidget*>(identifier, Qt::FindDirectChildrenOnly))
    errorTabView->setCurrentWidget(page);
}

void ErrorUploadDialog::setAlert(const QString& message, const QString& image) {
  const QStyle::StandardPixmap icon =
      image == "Mail" ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxInformation;
  alertIcon->setPixmap(QIcon::fromTheme(image == "Mail" ? "mail-message-new" : "dialog-information",
                                        style()->standardIcon(icon))
                           .pixmap(32, 32));
  alertIcon->setProperty("imageName", image);
  alertMessage->setText(message);
}

void ErrorUploadDialog::updatePercentage(double percent) {
  errorUploadProgress->setValue(int(percent));
  errorUploadingPercentage->setText(QString("%1%").arg(int(percent)));
}

ReportWindow::ReportWindow(const QStringList& files, QWidget* parent)
    : QWidget(parent, Qt::Window), config_(ReportConfig::load()) {
  setObjectName("errorReportWindow");
  setWindowTitle(tr("Send an error report"));
  setWindowModality(Qt::WindowModal);
  for (const auto& f : files) fileClassArray.push_back({f, true});
  mail_ = std::make_shared<MailSender>(
      MailSettings{config_.mailEndpoint, config_.mailApiKey, config_.supportMailbox});

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(wrappedLabel(tr("Tell us what went wrong. We will look at the damaged file and "
                                    "write back to you."), this));
  notConfigured = wrappedLabel(tr("Error reporting is not set up on this computer: the storage "
                                  "connection string, the mail API key, the mail endpoint and the "
                                  "support mailbox must be configured. Nothing will be sent."),
                               this, "notConfigured");
  notConfigured->setVisible(!config_.isComplete());
  layout->addWidget(notConfigured);

  emailId = new QLineEdit(this);
  emailId->setObjectName("emailId");
  emailId->setPlaceholderText(tr("Your e-mail address"));
  emailId->setMaxLength(254);
  errorDetails = new QPlainTextEdit(this);
  errorDetails->setObjectName("errorDetails");
  errorDetails->setPlaceholderText(tr("What happened? Which camera recorded the file?"));
  errorDetails->setTabChangesFocus(true);
  layout->addWidget(new QLabel(tr("E-mail"), this));
  layout->addWidget(emailId);
  layout->addWidget(new QLabel(tr("Description"), this));
  layout->addWidget(errorDetails, 1);

  radioBtn1 = new QRadioButton(tr("Upload the damaged files"), this);
  radioBtn1->setObjectName("radioBtn1");
  radioBtn2 = new QRadioButton(tr("Share a Google Drive link instead"), this);
  radioBtn2->setObjectName("radioBtn2");
  radioBtn1->setAutoExclusive(false);
  radioBtn2->setAutoExclusive(false);
  layout->addWidget(radioBtn1);

  tableView = new QTableWidget(0, 2, this);
  tableView->setObjectName("tableView");
  tableView->setHorizontalHeaderLabels({QString(), tr("File")});
  tableView->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  tableView->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  tableView->verticalHeader()->hide();
  tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
  tableView->setSelectionMode(QAbstractItemView::SingleSelection);
  tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  layout->addWidget(tableView, 1);
  addFilesToUpload = button(tr("Add file..."), "addFilesToUpload", this);
  removeFiles = button(tr("Remove"), "removeFiles", this);
  auto* fileButtons = new QHBoxLayout;
  fileButtons->addWidget(addFilesToUpload);
  fileButtons->addWidget(removeFiles);
  fileButtons->addStretch();
  layout->addLayout(fileButtons);

  layout->addWidget(radioBtn2);
  DriveLink = new QLineEdit(this);
  DriveLink->setObjectName("DriveLink");
  DriveLink->setPlaceholderText(tr("Link to the shared file"));
  pasteLink = button(tr("Paste"), "pasteLink", this);
  auto* linkRow = new QHBoxLayout;
  linkRow->addWidget(DriveLink, 1);
  linkRow->addWidget(pasteLink);
  layout->addLayout(linkRow);

  submitBtn = button(tr("Submit"), "submitErrorReport", this);
  submitBtn->setEnabled(config_.isComplete());
  closeBtn = button(tr("Close"), "closeErrorReportWindow", this);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(closeBtn);
  bottom->addWidget(submitBtn);
  layout->addLayout(bottom);
  resize(560, 620);

  errorUploadWindow = new ErrorUploadDialog(this);
  upload_ = std::make_unique<ReportUpload>(config_.storageConnectionString, mail_,
                                           static_cast<ErrorReportDelegate&>(*this));

  connect(radioBtn1, &QRadioButton::clicked, this, [this] { radioBtnClicked(radioBtn1); });
  connect(radioBtn2, &QRadioButton::clicked, this, [this] { radioBtnClicked(radioBtn2); });
  connect(addFilesToUpload, &QPushButton::clicked, this, &ReportWindow::addFileToUpload);
  connect(removeFiles, &QPushButton::clicked, this, &ReportWindow::removeFileToUpload);
  connect(pasteLink, &QPushButton::clicked, DriveLink, &QLineEdit::paste);
  connect(submitBtn, &QPushButton::clicked, this, &ReportWindow::submitErrorReport);
  connect(closeBtn, &QPushButton::clicked, this, &ReportWindow::closeErrorReportWindow);
  connect(errorUploadWindow, &ErrorUploadDialog::closeRequested, this, &ReportWindow::closeUploadWindow);
  connect(errorUploadWindow->errorUploadRetryBtn, &QPushButton::clicked, this, &ReportWindow::retryClicked);
  connect(errorUploadWindow->openLogBtn, &QPushButton::clicked, this, &ReportWindow::openTxtFile);

  DriveLink->clear();
  radioBtnClicked(radioBtn1);
  addFilesToUpload->setFocus();
  reloadTable();
}

ReportWindow::~ReportWindow() {
  upload_.reset();  // aborts and waits before the dialog it reports to goes away
  removeOverlay();
}

QStringList ReportWindow::filePaths() const {
  QStringList paths;
  for (const auto& row : fileClassArray) paths << row.filePath;
  return paths;
}

int ReportWindow::getselectFile() const {
  return int(std::count_if(fileClassArray.begin(), fileClassArray.end(),
                           [](const FileRow& r) { return r.select; }));
}

QString ReportWindow::errorLogPath() const {
  return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/errorlog.txt";
}

QString ReportWindow::containerName() const { return q(upload_->containerName()); }

void ReportWindow::waitForUpload() { upload_->wait(); }

void ReportWindow::setServerTimeout(std::chrono::seconds timeout) {
  serverTimeout_ = timeout;
  upload_->serverTimeout = timeout;
}

void ReportWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!overlay_ && parentWidget()) {
    QWidget* window = parentWidget()->window();
    overlay_ = new ReportOverlay(window);
    overlay_->show();
    overlay_->raise();
  }
}

void ReportWindow::closeEvent(QCloseEvent* event) {
  // The window's own close box behaves like its Close button; not during an upload.
  if (upload_->running()) {
    event->ignore();
    return;
  }
  QFile::remove(errorLogPath());
  removeOverlay();
  QWidget::closeEvent(event);
  emit reportClosed();
}

void ReportWindow::removeOverlay() {
  if (overlay_) delete overlay_.data();
}

void ReportWindow::closeErrorReportWindow() { close(); }

void ReportWindow::radioBtnClicked(QRadioButton* sender) {
  sender->setChecked(true);
  const bool uploadMode = sender == radioBtn1;
  (uploadMode ? radioBtn2 : radioBtn1)->setChecked(false);
  DriveLink->setEnabled(!uploadMode);
  pasteLink->setEnabled(!uploadMode);
  tableView->setEnabled(uploadMode);
  addFilesToUpload->setEnabled(uploadMode);
  removeFiles->setEnabled(uploadMode);
  if (!uploadMode) DriveLink->setFocus();
}

void ReportWindow::reloadTable() {
  tableView->setRowCount(int(fileClassArray.size()));
  for (int row = 0; row < int(fileClassArray.size()); ++row) {
    auto* check = new QCheckBox(tableView);
    check->setObjectName("Check");
    check->setChecked(fileClassArray[size_t(row)].select);
    connect(check, &QCheckBox::toggled, this, [this, check](bool on) {
      // checkClicked: the row is found through the box, as rows come and go.
      for (int r = 0; r < tableView->rowCount(); ++r)
        if (tableView->cellWidget(r, 0) == check) fileClassArray[size_t(r)].select = on;
    });
    tableView->setCellWidget(row, 0, check);
    auto* item = new QTableWidgetItem(fileClassArray[size_t(row)].filePath);
    item->setToolTip(fileClassArray[size_t(row)].filePath);
    tableView->setItem(row, 1, item);
  }
}

void ReportWindow::addFileToUpload() {
  auto* panel = new QFileDialog(this, tr("Add a file to upload"), QDir::homePath(),
                                tr("Movies (*.mov *.mp4 *.m4v *.avi)"));
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setFileMode(QFileDialog::ExistingFile);
  connect(panel, &QFileDialog::fileSelected, this, &ReportWindow::addFilePath);
  panel->open();
}

void ReportWindow::addFilePath(const QString& path) {
  for (const auto& row : fileClassArray)
    if (row.filePath == path) {
      runAlertWithMessage("Slected file is already in list.", "information-icon", true);
      return;
    }
  fileClassArray.push_back({path, true});
  reloadTable();
}

void ReportWindow::removeFileToUpload() {
  const int row = tableView->currentRow();
  if (row < 0 || !tableView->selectionModel()->isRowSelected(row, QModelIndex())) {
    runAlertWithMessage("Click on the file to remove.", "information-icon", true);
    return;
  }
  fileClassArray.erase(fileClassArray.begin() + row);
  reloadTable();
}

void ReportWindow::openTxtFile() { QDesktopServices::openUrl(QUrl::fromLocalFile(errorLogPath())); }

void ReportWindow::runAlertWithMessage(const QString& message, const QString& image, bool retryHidden) {
  errorUploadWindow->changeErrorTabView("5", "OK", retryHidden);
  errorUploadWindow->setAlert(message, image);
  if (!errorUploadWindow->isVisible()) errorUploadWindow->open();
}

void ReportWindow::submitErrorReport() {
  if (!config_.isComplete()) return;  // nothing is sent without settings
  const std::string email = emailId->text().toStdString();
  const QString info = "information-icon";
  if (email.empty()) return runAlertWithMessage("Please enter email address.", "Mail", true);
  if (errorDetails->toPlainText().isEmpty())
    return runAlertWithMessage("Please provide more information about the issue.", info, true);
  if (!validateEmailWithString(email)) return runAlertWithMessage("Enter a valid Email Address.", "Mail", true);
  if (radioBtn1->isChecked()) {
    if (fileClassArray.empty()) return runAlertWithMessage("Please add files to upload.", info, true);
    if (getselectFile() == 0) return runAlertWithMessage("Select a file to upload.", info, true);
    return uploadFileWithSelectedCount(getselectFile());
  }
  if (DriveLink->text().isEmpty())
    return runAlertWithMessage("Please provide the file link of Google drive.", info, true);
  sendLinkReport();
}

void ReportWindow::sendLinkReport() {
  mail_->sendMailWithSubject(reportSubject(), emailId->text().toStdString(),
                             reportBody(errorDetails->toPlainText().toStdString(),
                                        {DriveLink->text().toStdString()},
                                        QSysInfo::prettyProductName().toStdString(), makeUuidHex()));
  uploadCompleted_ = true;
  errorUploadWindow->changeErrorTabView("4", "Close", true);
  if (!errorUploadWindow->isVisible()) errorUploadWindow->open();
}

void ReportWindow::uploadFileWithSelectedCount(int count) {
  // The result dialog is modal, so a new start can only follow a sequence that has ended
  // or is returning from its last report; start() waits for that.
  uploadCompleted_ = false;
  ReportSubmission s;
  s.email = emailId->text().toStdString();
  s.description = errorDetails->toPlainText().toStdString();
  for (const auto& row : fileClassArray) s.files.push_back({row.filePath.toStdString(), row.select});
  s.selectedCount = count;
  s.osVersion = QSysInfo::prettyProductName().toStdString();
  s.errorLogPath = errorLogPath().toStdString();
  errorUploadWindow->changeErrorTabView("2", "Cancel", true);
  errorUploadWindow->uploadingFileName->setText(tr("Uploading : "));
  errorUploadWindow->updatePercentage(0);
  if (!errorUploadWindow->isVisible()) errorUploadWindow->open();
  upload_->start(std::move(s));
}

void ReportWindow::retryClicked() {
  errorUploadWindow->hide();
  uploadFileWithSelectedCount(getselectFile());
}

void ReportWindow::closeUploadWindow() {
  if (errorUploadWindow->currentTabIdentifier() == "2") {
    if (abortConfirmation_) return;
    auto* box = new QMessageBox(QMessageBox::Information, windowTitle(),
                                "Do you really want to abort the process?", QMessageBox::NoButton,
                                errorUploadWindow);
    box->setObjectName("abortConfirmation");
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* yes = box->addButton("YES", QMessageBox::AcceptRole);
    box->addButton("NO", QMessageBox::RejectRole);
    connect(box, &QMessageBox::buttonClicked, this, [this, yes](QAbstractButton* clicked) {
      if (clicked != yes || errorUploadWindow->currentTabIdentifier() != "2") return;
      upload_->abort();
      errorUploadWindow->uploadingFileName->setText("Aborting please wait...");
    });
    abortConfirmation_ = box;
    box->open();
    return;
  }
  errorUploadWindow->errorUploadRetryBtn->hide();
  errorUploadWindow->hide();
  if (uploadCompleted_) closeErrorReportWindow();
}

// The upload thread's reports, carried over to the GUI thread.
void ReportWindow::changeErrorTabView(const std::string& identifier, const std::string& closeTitle,
                                      bool retryHidden) {
  QMetaObject::invokeMethod(this, [this, id = q(identifier), title = q(closeTitle), retryHidden] {
    if (abortConfirmation_) abortConfirmation_->close();
    errorUploadWindow->changeErrorTabView(id, title, retryHidden);
  }, Qt::QueuedConnection);
}

void ReportWindow::changeUploadFileName(const std::string& text) {
  QMetaObject::invokeMethod(this, [this, t = q(text)] {
    if (!errorUploadWindow->uploadingFileName->text().startsWith("Aborting"))
      errorUploadWindow->uploadingFileName->setText(t);
  }, Qt::QueuedConnection);
}

void ReportWindow::updatePercentageForErrorUpload(double percent) {
  QMetaObject::invokeMethod(this, [this, percent] { errorUploadWindow->updatePercentage(percent); },
                            Qt::QueuedConnection);
}

void ReportWindow::failedUploadWithHeader(const std::string& header) {
  QMetaObject::invokeMethod(this, [this, h = q(header)] {
    errorUploadWindow->failedUploadAbortedHeaderText->setText(h);
  }, Qt::QueuedConnection);
}

void ReportWindow::failedUploadWithHeaderState(bool state) {
  QMetaObject::invokeMethod(this, [this, state] {
    errorUploadWindow->failedUploadHeaderText->setHidden(state);
    errorUploadWindow->failedUploadAbortedHeaderText->setHidden(!state);
  }, Qt::QueuedConnection);
}

void ReportWindow::runAlert(const std::string& message, const std::string& image, bool retryHidden) {
  QMetaObject::invokeMethod(this, [this, m = q(message), i = q(image), retryHidden] {
    if (abortConfirmation_) abortConfirmation_->close();
    runAlertWithMessage(m, i, retryHidden);
  }, Qt::QueuedConnection);
}

void ReportWindow::setUploadCompleted(bool completed) { uploadCompleted_ = completed; }

}  // namespace vr
