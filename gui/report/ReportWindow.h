#pragma once
// The error-report window: the user's address, a description, and either damaged files to
// upload (a list with check boxes) or a shared link; and the result dialog that shows the
// upload's progress and outcome. The window covers its parent window with a dimming
// overlay and keeps it inert until it closes.
#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <memory>

#include "gui/report/ReportUpload.h"
#include "upload/ReportConfig.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTableWidget;

namespace vr {

// The result dialog: tabs "1" (ended with failures), "2" (uploading), "3" (aborted),
// "4" (report sent) and "5" (a message with an icon).
class ErrorUploadDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ErrorUploadDialog(QWidget* parent);

  QString currentTabIdentifier() const;
  void changeErrorTabView(const QString& identifier, const QString& closeTitle, bool retryHidden);
  void setAlert(const QString& message, const QString& image);
  void updatePercentage(double percent);

  QStackedWidget* errorTabView;
  QPushButton* errorUploadCloseBtn;
  QPushButton* errorUploadRetryBtn;
  QLabel* uploadingFileName;
  QLabel* errorUploadingPercentage;
  QProgressBar* errorUploadProgress;
  QLabel* alertMessage;
  QLabel* alertIcon;
  QLabel* failedUploadHeaderText;
  QLabel* failedUploadAbortedHeaderText;
  QPushButton* openLogBtn;

 signals:
  void closeRequested();

 protected:
  void reject() override { emit closeRequested(); }
};

class ReportWindow : public QWidget, private ErrorReportDelegate {
  Q_OBJECT
 public:
  // files: every damaged file chosen, offered for upload and selected.
  explicit ReportWindow(const QStringList& files, QWidget* parent = nullptr);
  ~ReportWindow() override;

  // The rows of the upload list and whether each is chosen.
  QStringList filePaths() const;
  int getselectFile() const;
  // Adds a file as the open panel does; refuses one already in the list with a message.
  void addFilePath(const QString& path);
  ErrorUploadDialog* resultDialog() const { return errorUploadWindow; }
  bool uploadCompleted() const { return uploadCompleted_; }
  QString errorLogPath() const;
  // Name of the container of the last upload.
  QString containerName() const;
  // Waits for a running upload to end (the dialog updates still arrive as queued events).
  void waitForUpload();
  // The request timeout of the storage operations.
  void setServerTimeout(std::chrono::seconds timeout);

 signals:
  // The window was closed; the caller returns to its main screen unless it shows details.
  void reportClosed();

 public slots:
  void submitErrorReport();
  void closeErrorReportWindow();
  void retryClicked();
  void closeUploadWindow();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void radioBtnClicked(QRadioButton* sender);
  void addFileToUpload();
  void removeFileToUpload();
  void openTxtFile();
  void reloadTable();
  void runAlertWithMessage(const QString& message, const QString& image, bool retryHidden);
  void uploadFileWithSelectedCount(int count);
  void sendLinkReport();
  void removeOverlay();

  // ErrorReportDelegate: called from the upload thread, shown on the GUI thread.
  void changeErrorTabView(const std::string& identifier, const std::string& closeTitle,
                          bool retryHidden) override;
  void changeUploadFileName(const std::string& text) override;
  void updatePercentageForErrorUpload(double percent) override;
  void failedUploadWithHeader(const std::string& header) override;
  void failedUploadWithHeaderState(bool state) override;
  void runAlert(const std::string& message, const std::string& image, bool retryHidden) override;
  void setUploadCompleted(bool completed) override;

  struct FileRow {
    QString filePath;
    bool select = true;
  };
  std::vector<FileRow> fileClassArray;
  ReportConfig config_;
  std::shared_ptr<MailSender> mail_;
  std::unique_ptr<ReportUpload> upload_;
  std::atomic<bool> uploadCompleted_{false};
  std::chrono::seconds serverTimeout_{60};

  QLineEdit* emailId;
  QPlainTextEdit* errorDetails;
  QRadioButton* radioBtn1;
  QRadioButton* radioBtn2;
  QTableWidget* tableView;
  QPushButton* addFilesToUpload;
  QPushButton* removeFiles;
  QLineEdit* DriveLink;
  QPushButton* pasteLink;
  QPushButton* submitBtn;
  QPushButton* closeBtn;
  QLabel* notConfigured;
  ErrorUploadDialog* errorUploadWindow;
  QPointer<QMessageBox> abortConfirmation_;
  QPointer<QWidget> overlay_;
};

}  // namespace vr
