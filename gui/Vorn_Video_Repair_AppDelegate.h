#pragma once
// The main window and the controller of the whole workflow: choosing the damaged file (and,
// when asked, a reference), running the repair on a worker thread with progress, pause and
// stop, showing the details of the repaired file, saving it with progress, pause and
// cancel, previewing and playing it, and the failure notice that leads to the error report.
#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "gui/AppSettings.h"

class QLabel;
class QProgressBar;
class QStackedWidget;
class QFormLayout;
class QMessageBox;

namespace vr {

class HoverButton;
class ErrorPageBtn;
class coreWindow;
class SaveCopy;
class RepairFile;
class RepairFileAvi;
class PreviewWindow;
struct RepairError;
class RepairFileDelegate;

class Vorn_Video_Repair_AppDelegate : public QMainWindow {
  Q_OBJECT
 public:
  // workingFolder holds the hidden working file (the user's cache folder by default).
  explicit Vorn_Video_Repair_AppDelegate(const QString& workingFolder = defaultWorkingFolder(),
                                         QWidget* parent = nullptr);
  ~Vorn_Video_Repair_AppDelegate() override;
  static QString defaultWorkingFolder();

  // ---- Actions ----------------------------------------------------------------------
  void openFinderWindow();
  void openReferenceFile();
  void repair();
  void pauseRepairing();
  void stopProgress();
  void stopRepairCancel();
  void stopRepairOk();
  void repairAbortedOk();
  void couldntRepairOk();
  void share();
  // The error report was closed: back to the main screen unless the details are shown.
  void reportClosed();
  void mainScreen();
  void closeClicked();
  void minimizeClicked();
  void help();
  void save();
  void stopSaving();
  void continueSaving();
  void stopSavingOk();
  void saveCompletedOk();
  void preview();
  void playWithVLC();
  void OpenVLCPage();

  // What the file choosers (and a drop onto the window) hand over.
  void didChooseCorruptFile(const QString& path);
  void didChooseReferenceFile(const QString& path);
  // The file types the reference chooser offers: AVI files for an AVI repair, movies otherwise.
  QString referenceFileFilter() const;
  void didChooseSaveFolder(const QString& folder);
  void didChoosePlayer(const QString& application);

  // Starts program with the file as its one argument, without a shell.
  static bool launchPlayer(const QString& program, const QString& file);

  // ---- State ------------------------------------------------------------------------
  QString corruptFilePath, referenceFilePath, repairedFilePath, savepath;
  bool movFile = false, aviFile = false;
  bool repairing = false, pauseRepairingFlag = false;
  bool savingProgress = false, pauseSaving = false;
  bool stopElapsedTimeThread = true;
  QDateTime scanStartDate;
  QStringList fileClassArray;  // every damaged file chosen, offered to the error report
  RepairFile* repairEngine() const;
  RepairFileAvi* repairAviEngine() const;
  QString currentPerformingTask() const;
  int currentTaskProgress() const { return currentTaskProgress_.load(); }
  QTimer* displayTimer() { return &displayTimer_; }
  QPointer<QMessageBox> currentAlert;
  QPointer<PreviewWindow> previewWindow;
  // The delegate the engine of the current run reports to (none between runs).
  RepairFileDelegate* runDelegate() const;
  // The AVI engine's error for stream descriptions it cannot use without a reference.
  static constexpr int32_t kAviNeedsReference = 107;

  // ---- Outlets ----------------------------------------------------------------------
  QLabel* upperBoxField;
  HoverButton *homeBtn, *helppBtn, *minimizeBtn, *closeBtn;
  QStackedWidget* tabview;
  QWidget *mainTab, *referenceFileTab, *repairingTab, *detailsTab, *savingTab;
  // main
  QLabel *selectFileText, *fileStatus, *filePathUp;
  HoverButton *browsebutton, *repairbutton, *backBtn;
  // reference
  QLabel *refTabFileStatus, *refTabCorruptPath, *refTabRefFilePath, *nextstepTextField, *whyMovFile;
  HoverButton *selectRefFileBtn, *refTabRepairBtn, *refTabBackBtn;
  // repairing
  QLabel *repFileStatus, *repCorruptFilePath, *repHealthyFilePath, *currentstatus, *percent;
  QLabel *repairingStartTimeField, *elapsedTime;
  QProgressBar *progressbar, *animView;
  HoverButton *repPauseBtn, *repCancelBtn;
  // details
  QLabel *fileNamefield, *sizeField, *tracksField, *videoCodecField, *fpsField, *durationField, *noteTxt;
  QFormLayout* detailsForm;
  HoverButton *prewBtn, *playBtn, *prewSaveBtn, *prewTabHomeBtn, *installVLC;
  // saving
  QLabel *savingNotification, *destinationPath, *savingStartTime, *savingElapsedTime, *savingPercentage;
  QProgressBar *saveProgressBarr, *savingAnimation;
  HoverButton* cancelSaveBtn;
  // auxiliary windows
  coreWindow *stoprepairwindow, *repairAbortedWindow, *couldntRepair, *stopsavingwindow, *savingCompletedwindow;
  QLabel* supportTextfield;
  ErrorPageBtn* shareBtn;
  HoverButton *stopRepairCancelBtn, *stopRepairOkBtn, *repairAbortedOkBtn, *couldntRepairOkBtn;
  HoverButton *stopsavingCancelbutton, *stopsavingOKbutton, *savingCompletedOK;

  // ---- Engine reports (called on the engine's thread) -------------------------------
  struct Reporter;
  void storeTask(uint64_t run, const std::string& task);
  void storeProgress(uint64_t run, int32_t percent);
  void engineAttribute(uint64_t run, const QString& key, const QString& value);
  void engineCompleted(uint64_t run);
  // code: the engine's error code (0 when the controller itself ends the run as failed).
  void engineFailed(uint64_t run, int32_t code);
  void engineNeedsReference(uint64_t run);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void buildUi();
  QWidget* buildMainTab();
  QWidget* buildReferenceTab();
  QWidget* buildRepairingTab();
  QWidget* buildDetailsTab();
  QWidget* buildSavingTab();
  void buildWindows();
  void selectTab(QWidget* tab);

  void setInitVariables();
  void setupInitialUI();
  void topButtonsSetEnabled(bool enabled);
  void setFlags(bool paused);
  void elapsedTimeThread();
  void startClock();
  void repairCompleted();
  // What every end of a run (completion, failure, a request for a reference) has in common.
  void runEnded();
  void showFailureSheet();
  // The reference screen with the chooser shown, after a run that needs a reference.
  void askForReference();
  void showAlert(const QString& title, const QString& text, const QString& button);
  // Shows an auxiliary window over the main window with the keyboard focus on one of its buttons.
  void showAuxiliary(coreWindow* window, QWidget* focus);
  void dropRun();
  void deleteWorkingFile();
  void setSavingTabLabelWithSavePath(const QString& destination);
  void saveFileAtPath(const QString& folder);
  void copyProgress(uint64_t piece, uint64_t pieces, int percent);
  void copyFinished(const QString& error);
  void openWithDesktop(const QString& link);
  // A file panel over the main window that hands the chosen path to `chosen`.
  void openPanel(const QString& title, const QString& folder, const QString& filter, bool saving,
                 void (Vorn_Video_Repair_AppDelegate::*chosen)(const QString&));

  struct RepairRun;
  QString workingFolder_;
  AppSettings settings_;
  std::unique_ptr<RepairRun> run_;
  std::atomic<uint64_t> runGeneration_{0};
  std::unique_ptr<SaveCopy> copy_;
  QTimer displayTimer_;
  mutable std::mutex taskMutex_;
  std::string currentPerformingTask_;
  std::atomic<int> currentTaskProgress_{0};
};

}  // namespace vr
