#include "gui/Vorn_Video_Repair_AppDelegate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <exception>
#include <thread>

#include "avi/RepairFileAvi.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "gui/Controls.h"
#include "gui/Formatting.h"
#include "gui/PreviewWindow.h"
#include "gui/SaveCopy.h"
#ifdef VR_HAVE_REPORT
#include "gui/report/ReportWindow.h"
#endif

namespace vr {

// Hands the engine's reports to the controller. Progress and task texts are only stored
// (the display timer shows them); everything that touches the screen is queued to the
// interface thread, tagged with the run it belongs to so that a late report of an
// abandoned run is dropped.
struct Vorn_Video_Repair_AppDelegate::Reporter : RepairFileDelegate {
  Vorn_Video_Repair_AppDelegate* c = nullptr;
  uint64_t run = 0;

  void moveBackToSelectReferenceFile() override {
    QMetaObject::invokeMethod(c, [c = c, r = run] { c->engineNeedsReference(r); }, Qt::QueuedConnection);
  }
  void repairFileDidStartPerformingTask(const std::string& task) override { c->storeTask(run, task); }
  void repairFileCurrentTaskProgress(int32_t p) override { c->storeProgress(run, p); }
  void repairFileDidFailWithError(const RepairError& error) override {
    std::fprintf(stderr, "video-repair-gui: repair failed: %s (error %d)\n", error.reason().c_str(), error.code);
    QMetaObject::invokeMethod(c, [c = c, r = run, code = error.code] { c->engineFailed(r, code); },
                              Qt::QueuedConnection);
  }
  void repairFileDidComplete() override {
    QMetaObject::invokeMethod(c, [c = c, r = run] { c->engineCompleted(r); }, Qt::QueuedConnection);
  }
  void repairFileAttribute(const std::string& key, const std::string& value) override {
    const QString k = QString::fromStdString(key), v = printableAttribute(value);
    QMetaObject::invokeMethod(c, [c = c, r = run, k, v] { c->engineAttribute(r, k, v); }, Qt::QueuedConnection);
  }
};

// One run: its engine and the thread it runs on.
struct Vorn_Video_Repair_AppDelegate::RepairRun {
  std::unique_ptr<RepairFile> repair;
  std::unique_ptr<RepairFileAvi> repairAvi;
  Reporter reporter;
  std::thread thread;

  void setStop(bool v) {
    if (repair) repair->setStopflag(v);
    if (repairAvi) repairAvi->setStopflag(v);
  }
  void setPause(bool v) {
    if (repair) repair->setPauseRepairing(v);
    if (repairAvi) repairAvi->setPauseRepairingAVI(v);
  }
};

namespace {

QLabel* makeLabel(QWidget* parent, const QString& text = QString(), int pointSize = 12) {
  auto* l = new QLabel(text, parent);
  QFont f = l->font();
  f.setPointSize(pointSize);
  l->setFont(f);
  l->setWordWrap(true);
  l->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  return l;
}

QProgressBar* makeBusyIndicator(QWidget* parent) {
  auto* b = new QProgressBar(parent);
  b->setRange(0, 1);
  b->setTextVisible(false);
  b->setMaximumHeight(6);
  b->setAccessibleName(QStringLiteral("Busy"));
  return b;
}

void animate(QProgressBar* busy, bool on) { busy->setRange(0, on ? 0 : 1); }

// A path as the file system spells it, for the engines.
std::string fsPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

QHBoxLayout* buttonRow(std::initializer_list<QWidget*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (QWidget* b : buttons) row->addWidget(b);
  return row;
}

}  // namespace

QString Vorn_Video_Repair_AppDelegate::defaultWorkingFolder() {
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  QDir().mkpath(dir);
  return dir;
}

Vorn_Video_Repair_AppDelegate::Vorn_Video_Repair_AppDelegate(const QString& workingFolder, QWidget* parent)
    : QMainWindow(parent), workingFolder_(workingFolder), settings_(AppSettings::load()) {
  QDir().mkpath(workingFolder_);
  setWindowTitle(QStringLiteral("Video Repair"));
  setAcceptDrops(true);
  buildUi();
  resize(820, 560);
  const QByteArray geometry = AppSettings::windowGeometry();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  displayTimer_.setInterval(1000);
  connect(&displayTimer_, &QTimer::timeout, this, &Vorn_Video_Repair_AppDelegate::elapsedTimeThread);
  setInitVariables();
  setupInitialUI();
  // A working file left over from an earlier session goes, whichever kind it is.
  QFile::remove(getRepairedFilePathFor(QStringLiteral("mov"), workingFolder_));
  QFile::remove(getRepairedFilePathFor(QStringLiteral("avi"), workingFolder_));
}

Vorn_Video_Repair_AppDelegate::~Vorn_Video_Repair_AppDelegate() {
  copy_.reset();  // cancels a copy still running
  dropRun();
}

RepairFile* Vorn_Video_Repair_AppDelegate::repairEngine() const { return run_ ? run_->repair.get() : nullptr; }
RepairFileDelegate* Vorn_Video_Repair_AppDelegate::runDelegate() const { return run_ ? &run_->reporter : nullptr; }
RepairFileAvi* Vorn_Video_Repair_AppDelegate::repairAviEngine() const {
  return run_ ? run_->repairAvi.get() : nullptr;
}

QString Vorn_Video_Repair_AppDelegate::currentPerformingTask() const {
  std::lock_guard<std::mutex> lock(taskMutex_);
  return QString::fromStdString(currentPerformingTask_);
}

// ---- Building the window ----------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::buildUi() {
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("central"));
  central->setStyleSheet(QStringLiteral("#central { background: white; } QLabel { color: rgb(64,64,64); }"));
  auto* layout = new QVBoxLayout(central);

  auto* topBar = new QHBoxLayout;
  upperBoxField = makeLabel(central, QString(), 16);
  upperBoxField->setStyleSheet(QStringLiteral("color: rgb(5,80,147); font-weight: bold;"));
  homeBtn = new HoverButton(101, QStringLiteral("Home"), central);
  helppBtn = new HoverButton(103, QStringLiteral("Help"), central);
  minimizeBtn = new HoverButton(205, QStringLiteral("Minimise"), central);
  closeBtn = new HoverButton(204, QStringLiteral("Close"), central);
  topBar->addWidget(upperBoxField, 1);
  for (QWidget* b : {static_cast<QWidget*>(homeBtn), static_cast<QWidget*>(helppBtn),
                     static_cast<QWidget*>(minimizeBtn), static_cast<QWidget*>(closeBtn)})
    topBar->addWidget(b);
  layout->addLayout(topBar);

  tabview = new QStackedWidget(central);
  tabview->addWidget(mainTab = buildMainTab());
  tabview->addWidget(referenceFileTab = buildReferenceTab());
  tabview->addWidget(repairingTab = buildRepairingTab());
  tabview->addWidget(detailsTab = buildDetailsTab());
  tabview->addWidget(savingTab = buildSavingTab());
  mainTab->setObjectName(QStringLiteral("mainTab"));
  referenceFileTab->setObjectName(QStringLiteral("referenceFileTab"));
  repairingTab->setObjectName(QStringLiteral("repairingTab"));
  detailsTab->setObjectName(QStringLiteral("Item 2"));
  savingTab->setObjectName(QStringLiteral("savingTab"));
  layout->addWidget(tabview, 1);
  setCentralWidget(central);

  connect(homeBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::mainScreen);
  connect(helppBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::help);
  connect(minimizeBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::minimizeClicked);
  connect(closeBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::closeClicked);
  buildWindows();
}

QWidget* Vorn_Video_Repair_AppDelegate::buildMainTab() {
  auto* page = new QWidget;
  auto* l = new QVBoxLayout(page);
  selectFileText = makeLabel(page, QStringLiteral("Choose a damaged MOV, MP4, M4V or AVI file, or drop it here."), 14);
  browsebutton = new HoverButton(105, QStringLiteral("Browse..."), page);
  fileStatus = makeLabel(page, QString(), 14);
  filePathUp = makeLabel(page);
  repairbutton = new HoverButton(105, QStringLiteral("Repair"), page);
  backBtn = new HoverButton(0, QStringLiteral("Back"), page);
  l->addStretch();
  selectFileText->setAlignment(Qt::AlignCenter);
  l->addWidget(selectFileText);
  l->addWidget(browsebutton, 0, Qt::AlignHCenter);
  l->addWidget(fileStatus);
  l->addWidget(filePathUp);
  l->addStretch();
  l->addLayout(buttonRow({backBtn, repairbutton}));
  connect(browsebutton, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::openFinderWindow);
  connect(repairbutton, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::repair);
  connect(backBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::mainScreen);
  return page;
}

QWidget* Vorn_Video_Repair_AppDelegate::buildReferenceTab() {
  auto* page = new QWidget;
  auto* l = new QVBoxLayout(page);
  refTabFileStatus = makeLabel(page, QString(), 14);
  refTabCorruptPath = makeLabel(page);
  nextstepTextField = makeLabel(page,
                                QStringLiteral("This file cannot serve as its own reference. Choose a healthy file "
                                               "recorded with the same camera and the same settings."));
  selectRefFileBtn = new HoverButton(105, QStringLiteral("Choose reference file..."), page);
  refTabRefFilePath = makeLabel(page);
  whyMovFile = makeLabel(page);
  whyMovFile->setTextInteractionFlags(Qt::TextBrowserInteraction);
  refTabRepairBtn = new HoverButton(105, QStringLiteral("Repair"), page);
  refTabBackBtn = new HoverButton(0, QStringLiteral("Back"), page);
  for (QWidget* w : {static_cast<QWidget*>(refTabFileStatus), static_cast<QWidget*>(refTabCorruptPath),
                     static_cast<QWidget*>(nextstepTextField)})
    l->addWidget(w);
  l->addWidget(selectRefFileBtn, 0, Qt::AlignLeft);
  l->addWidget(refTabRefFilePath);
  l->addWidget(whyMovFile);
  l->addStretch();
  l->addLayout(buttonRow({refTabBackBtn, refTabRepairBtn}));
  connect(whyMovFile, &QLabel::linkActivated, this, [this](const QString& link) {
    if (link == QLatin1String("#why"))
      showAlert(QStringLiteral("Reference file"),
                aviFile ? QStringLiteral("The damaged AVI file has lost the stream descriptions that tell a player "
                                         "what codec, picture size and sound the recording uses. A healthy AVI "
                                         "file recorded with the same camera and the same settings carries the same "
                                         "descriptions, and the repair takes them from it.")
                        : QStringLiteral("A damaged movie has lost its index, which tells a player what codec, "
                                         "picture size and sound the recording uses. A healthy movie recorded with "
                                         "the same camera and the same settings carries the same facts, and the "
                                         "repair takes them from it."),
                QStringLiteral("OK"));
    else
      openWithDesktop(link);
  });
  connect(selectRefFileBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::openReferenceFile);
  connect(refTabRepairBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::repair);
  connect(refTabBackBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::mainScreen);
  return page;
}

QWidget* Vorn_Video_Repair_AppDelegate::buildRepairingTab() {
  auto* page = new QWidget;
  auto* l = new QVBoxLayout(page);
  repFileStatus = makeLabel(page, QString(), 14);
  repCorruptFilePath = makeLabel(page);
  repHealthyFilePath = makeLabel(page);
  currentstatus = makeLabel(page, QString(), 13);
  percent = makeLabel(page, QString(), 13);
  progressbar = new QProgressBar(page);
  progressbar->setRange(0, 100);
  progressbar->setAccessibleName(QStringLiteral("Repair progress"));
  animView = makeBusyIndicator(page);
  repairingStartTimeField = makeLabel(page);
  elapsedTime = makeLabel(page);
  repPauseBtn = new HoverButton(0, QStringLiteral("Pause"), page);
  repCancelBtn = new HoverButton(0, QStringLiteral("Stop"), page);
  for (QWidget* w : {static_cast<QWidget*>(repFileStatus), static_cast<QWidget*>(repCorruptFilePath),
                     static_cast<QWidget*>(repHealthyFilePath)})
    l->addWidget(w);
  l->addStretch();
  auto* status = new QHBoxLayout;
  status->addWidget(currentstatus, 1);
  status->addWidget(percent);
  l->addLayout(status);
  l->addWidget(progressbar);
  l->addWidget(animView);
  auto* clock = new QFormLayout;
  clock->addRow(QStringLiteral("Started:"), repairingStartTimeField);
  clock->addRow(QStringLiteral("Elapsed:"), elapsedTime);
  l->addLayout(clock);
  l->addStretch();
  l->addLayout(buttonRow({repPauseBtn, repCancelBtn}));
  connect(repPauseBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::pauseRepairing);
  connect(repCancelBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::stopProgress);
  return page;
}

QWidget* Vorn_Video_Repair_AppDelegate::buildDetailsTab() {
  auto* page = new QWidget;
  auto* l = new QVBoxLayout(page);
  detailsForm = new QFormLayout;
  fileNamefield = makeLabel(page);
  sizeField = makeLabel(page);
  tracksField = makeLabel(page);
  videoCodecField = makeLabel(page);
  fpsField = makeLabel(page);
  durationField = makeLabel(page);
  detailsForm->addRow(QStringLiteral("File name:"), fileNamefield);
  detailsForm->addRow(QStringLiteral("Size:"), sizeField);
  detailsForm->addRow(QStringLiteral("Tracks:"), tracksField);
  detailsForm->addRow(QStringLiteral("Video codec:"), videoCodecField);
  detailsForm->addRow(QStringLiteral("Frame rate:"), fpsField);
  detailsForm->addRow(QStringLiteral("Duration:"), durationField);
  l->addLayout(detailsForm);
  l->addStretch();
  noteTxt = makeLabel(page, QStringLiteral("Install VLC media player to play the repaired file with it."));
  installVLC = new HoverButton(201, QStringLiteral("Get VLC"), page);
  auto* vlcRow = new QHBoxLayout;
  vlcRow->addWidget(noteTxt, 1);
  vlcRow->addWidget(installVLC);
  l->addLayout(vlcRow);
  prewTabHomeBtn = new HoverButton(0, QStringLiteral("Home"), page);
  prewBtn = new HoverButton(0, QStringLiteral("Preview"), page);
  playBtn = new HoverButton(0, QStringLiteral("Play"), page);
  prewSaveBtn = new HoverButton(105, QStringLiteral("Save"), page);
  l->addLayout(buttonRow({prewTabHomeBtn, prewBtn, playBtn, prewSaveBtn}));
  connect(prewTabHomeBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::mainScreen);
  connect(prewBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::preview);
  connect(playBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::playWithVLC);
  connect(prewSaveBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::save);
  connect(installVLC, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::OpenVLCPage);
  return page;
}

QWidget* Vorn_Video_Repair_AppDelegate::buildSavingTab() {
  auto* page = new QWidget;
  auto* l = new QVBoxLayout(page);
  savingNotification = makeLabel(page, QString(), 14);
  destinationPath = makeLabel(page);
  savingPercentage = makeLabel(page, QString(), 13);
  saveProgressBarr = new QProgressBar(page);
  saveProgressBarr->setTextVisible(false);
  saveProgressBarr->setAccessibleName(QStringLiteral("Save progress"));
  savingAnimation = makeBusyIndicator(page);
  savingStartTime = makeLabel(page);
  savingElapsedTime = makeLabel(page);
  cancelSaveBtn = new HoverButton(0, QStringLiteral("Cancel"), page);
  l->addWidget(savingNotification);
  l->addWidget(destinationPath);
  l->addStretch();
  l->addWidget(savingPercentage, 0, Qt::AlignRight);
  l->addWidget(saveProgressBarr);
  l->addWidget(savingAnimation);
  auto* clock = new QFormLayout;
  clock->addRow(QStringLiteral("Started:"), savingStartTime);
  clock->addRow(QStringLiteral("Elapsed:"), savingElapsedTime);
  l->addLayout(clock);
  l->addStretch();
  l->addLayout(buttonRow({cancelSaveBtn}));
  connect(cancelSaveBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::stopSaving);
  return page;
}

void Vorn_Video_Repair_AppDelegate::buildWindows() {
  // One auxiliary window: a heading, a text and a row of buttons.
  const auto window = [this](const QString& name, const QString& heading, QLabel* text,
                             std::initializer_list<QWidget*> buttons) {
    auto* w = new coreWindow(this);
    w->setObjectName(name);
    auto* l = new QVBoxLayout(w);
    auto* h = makeLabel(w, heading, 15);
    h->setStyleSheet(QStringLiteral("font-weight: bold;"));
    l->addWidget(h);
    l->addWidget(text);
    l->addLayout(buttonRow(buttons));
    w->setMinimumWidth(420);
    return w;
  };
  stopRepairCancelBtn = new HoverButton(0, QStringLiteral("Continue repairing"));
  stopRepairOkBtn = new HoverButton(105, QStringLiteral("Stop"));
  stoprepairwindow = window(QStringLiteral("stoprepairwindow"), QStringLiteral("Stop repairing?"),
                            makeLabel(nullptr, QStringLiteral("The repair is paused. Stop it and discard what has "
                                                              "been repaired so far?")),
                            {stopRepairCancelBtn, stopRepairOkBtn});
  repairAbortedOkBtn = new HoverButton(105, QStringLiteral("OK"));
  repairAbortedWindow = window(QStringLiteral("repairAbortedWindow"), QStringLiteral("Repair aborted"),
                               makeLabel(nullptr, QStringLiteral("The repair was stopped. Nothing was saved.")),
                               {repairAbortedOkBtn});
  supportTextfield = makeLabel(nullptr);
  supportTextfield->setTextInteractionFlags(Qt::TextBrowserInteraction);
  supportTextfield->setOpenExternalLinks(true);
  shareBtn = new ErrorPageBtn(111, QStringLiteral("Send error report"));
  couldntRepairOkBtn = new HoverButton(105, QStringLiteral("OK"));
  couldntRepair = window(QStringLiteral("couldntRepair"), QStringLiteral("The file could not be repaired"),
                         supportTextfield, {shareBtn, couldntRepairOkBtn});
  stopsavingCancelbutton = new HoverButton(0, QStringLiteral("Continue saving"));
  stopsavingOKbutton = new HoverButton(105, QStringLiteral("Cancel saving"));
  stopsavingwindow = window(QStringLiteral("stopsavingwindow"), QStringLiteral("Cancel saving?"),
                            makeLabel(nullptr, QStringLiteral("Saving is paused. Cancel it and delete the partly "
                                                              "saved file?")),
                            {stopsavingCancelbutton, stopsavingOKbutton});
  savingCompletedOK = new HoverButton(105, QStringLiteral("OK"));
  savingCompletedwindow = window(QStringLiteral("savingCompletedwindow"), QStringLiteral("Saved"),
                                 makeLabel(nullptr, QStringLiteral("The repaired file has been saved. Its folder "
                                                                   "opens when you press OK.")),
                                 {savingCompletedOK});
  connect(stopRepairCancelBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::stopRepairCancel);
  connect(stopRepairOkBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::stopRepairOk);
  connect(repairAbortedOkBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::repairAbortedOk);
  connect(couldntRepairOkBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::couldntRepairOk);
  connect(shareBtn, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::share);
  connect(stopsavingCancelbutton, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::continueSaving);
  connect(stopsavingOKbutton, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::stopSavingOk);
  connect(savingCompletedOK, &QPushButton::clicked, this, &Vorn_Video_Repair_AppDelegate::saveCompletedOk);
}

void Vorn_Video_Repair_AppDelegate::selectTab(QWidget* tab) { tabview->setCurrentWidget(tab); }

// ---- Reset ----------------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::setInitVariables() {
  corruptFilePath.clear();
  referenceFilePath.clear();
  movFile = aviFile = false;
  pauseSaving = pauseRepairingFlag = savingProgress = false;
  stopElapsedTimeThread = true;
  copy_.reset();
  dropRun();
  {
    std::lock_guard<std::mutex> lock(taskMutex_);
    currentPerformingTask_.clear();
  }
  currentTaskProgress_.store(0);
  fileClassArray.clear();
}

void Vorn_Video_Repair_AppDelegate::setupInitialUI() {
  upperBoxField->setText(QStringLiteral("Add a video file to repair"));
  selectFileText->show();
  for (QLabel* l : {fileStatus, filePathUp, nextstepTextField, refTabRefFilePath}) {
    l->clear();
    l->hide();
  }
  backBtn->hide();
  repairbutton->hide();
  homeBtn->setEnabled(false);
  topButtonsSetEnabled(true);
  for (QLabel* l : {fileNamefield, sizeField, tracksField, videoCodecField, fpsField, durationField}) l->clear();
  // Rows added for further facts of an earlier result go.
  while (detailsForm->rowCount() > 6) detailsForm->removeRow(6);
  browsebutton->setFocus();
  deleteWorkingFile();
}

void Vorn_Video_Repair_AppDelegate::topButtonsSetEnabled(bool enabled) {
  for (QWidget* b : {static_cast<QWidget*>(helppBtn), static_cast<QWidget*>(minimizeBtn),
                     static_cast<QWidget*>(closeBtn)})
    b->setEnabled(enabled);
}

void Vorn_Video_Repair_AppDelegate::dropRun() {
  ++runGeneration_;
  if (!run_) return;
  // A run still going is told to stop and released from a pause so that it sees the stop;
  // it ends at its next polling point.
  run_->setStop(true);
  run_->setPause(false);
  if (run_->thread.joinable()) run_->thread.join();
  run_.reset();
}

void Vorn_Video_Repair_AppDelegate::deleteWorkingFile() {
  if (!repairedFilePath.isEmpty() && QFileInfo(repairedFilePath).isFile()) QFile::remove(repairedFilePath);
}

void Vorn_Video_Repair_AppDelegate::mainScreen() {
  if (repairing || savingProgress) return;
  dropRun();
  deleteWorkingFile();
  setInitVariables();
  setupInitialUI();
  selectTab(mainTab);
}

// ---- Choosing files -------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::openPanel(const QString& title, const QString& folder, const QString& filter,
                                              bool saving, void (Vorn_Video_Repair_AppDelegate::*chosen)(const QString&)) {
  auto* d = new QFileDialog(this, title, folder, filter);
  d->setFileMode(saving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (saving) {
    d->setAcceptMode(QFileDialog::AcceptSave);
    d->setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
    d->setOption(QFileDialog::DontConfirmOverwrite);
  }
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->setWindowModality(Qt::WindowModal);
  connect(d, &QFileDialog::fileSelected, this, chosen);
  d->open();
}

void Vorn_Video_Repair_AppDelegate::openFinderWindow() {
  openPanel(QStringLiteral("Choose the damaged video file"), QDir::homePath(),
            QStringLiteral("Video files (*.mov *.mp4 *.m4v *.avi *.MOV *.MP4 *.M4V *.AVI)"), false,
            &Vorn_Video_Repair_AppDelegate::didChooseCorruptFile);
}

void Vorn_Video_Repair_AppDelegate::didChooseCorruptFile(const QString& path) {
  if (repairing || savingProgress) return;
  fileClassArray.append(path);
  const InputKind kind = inputKindForPath(path);
  if (kind == InputKind::None) return;
  corruptFilePath = referenceFilePath = path;
  switch (kind) {
    case InputKind::Avi:
      aviFile = true;
      movFile = false;
      repairedFilePath = getRepairedFilePathFor(QStringLiteral("avi"), workingFolder_);
      fileStatus->setText(QStringLiteral("File Selected"));
      filePathUp->setText(QStringLiteral("Path:%1").arg(path));
      for (QWidget* w : {static_cast<QWidget*>(fileStatus), static_cast<QWidget*>(filePathUp),
                         static_cast<QWidget*>(repairbutton), static_cast<QWidget*>(backBtn)})
        w->show();
      selectFileText->hide();
      selectTab(mainTab);
      repairbutton->setFocus();
      break;
    case InputKind::Movie:
      movFile = true;
      aviFile = false;
      repairedFilePath = getRepairedFilePathFor(QStringLiteral("mov"), workingFolder_);
      refTabFileStatus->setText(QStringLiteral("File Selected"));
      refTabCorruptPath->setText(QStringLiteral("Corrupted File:%1").arg(path));
      whyMovFile->setText(getAttributedStringForLink(
          settings_.manualLink.isEmpty() ? QStringLiteral("#why") : settings_.manualLink,
          QStringLiteral("Why i need to select a reference file?")));
      // The first run uses the damaged file as its own reference.
      for (QWidget* w : {static_cast<QWidget*>(selectRefFileBtn), static_cast<QWidget*>(nextstepTextField),
                         static_cast<QWidget*>(whyMovFile), static_cast<QWidget*>(repHealthyFilePath),
                         static_cast<QWidget*>(refTabRefFilePath)})
        w->hide();
      refTabRepairBtn->setEnabled(true);
      selectTab(referenceFileTab);
      refTabRepairBtn->setFocus();
      break;
    case InputKind::None:
      break;
  }
}

QString Vorn_Video_Repair_AppDelegate::referenceFileFilter() const {
  return aviFile ? QStringLiteral("AVI files (*.avi *.AVI)")
                 : QStringLiteral("Movies (*.mov *.mp4 *.m4v *.mts *.MOV *.MP4 *.M4V *.MTS)");
}

void Vorn_Video_Repair_AppDelegate::openReferenceFile() {
  openPanel(QStringLiteral("Choose a healthy reference file"), QDir::homePath(), referenceFileFilter(), false,
            &Vorn_Video_Repair_AppDelegate::didChooseReferenceFile);
}

void Vorn_Video_Repair_AppDelegate::didChooseReferenceFile(const QString& path) {
  if (repairing || savingProgress) return;
  referenceFilePath = path;
  nextstepTextField->hide();
  refTabRefFilePath->setText(QStringLiteral("Healthy File:%1").arg(path));
  refTabRefFilePath->show();
  repHealthyFilePath->show();
  refTabRepairBtn->setEnabled(true);
  refTabRepairBtn->setFocus();
}

void Vorn_Video_Repair_AppDelegate::dragEnterEvent(QDragEnterEvent* e) {
  const QList<QUrl> urls = e->mimeData()->urls();
  if (!repairing && !savingProgress && urls.size() == 1 && urls.front().isLocalFile() &&
      inputKindForPath(urls.front().toLocalFile()) != InputKind::None &&
      (tabview->currentWidget() == mainTab || tabview->currentWidget() == referenceFileTab))
    e->acceptProposedAction();
}

void Vorn_Video_Repair_AppDelegate::dropEvent(QDropEvent* e) {
  const QList<QUrl> urls = e->mimeData()->urls();
  if (urls.size() != 1) return;
  // A new damaged file starts over, as choosing one on the main screen does.
  if (tabview->currentWidget() != mainTab) mainScreen();
  didChooseCorruptFile(urls.front().toLocalFile());
  e->acceptProposedAction();
}

// ---- Running ---------------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::startClock() {
  scanStartDate = QDateTime::currentDateTime();
  repairingStartTimeField->setText(scanStartDate.toString(QStringLiteral("HH:mm:ss")));
  stopElapsedTimeThread = false;
  displayTimer_.start();
  repairing = true;
  animate(animView, true);
  topButtonsSetEnabled(false);
}

void Vorn_Video_Repair_AppDelegate::repair() {
  if (repairing || savingProgress) return;
  dropRun();
  progressbar->setValue(0);
  percent->setText(QStringLiteral("0%"));
  {
    std::lock_guard<std::mutex> lock(taskMutex_);
    currentPerformingTask_.clear();
  }
  currentTaskProgress_.store(0);
  auto run = std::make_unique<RepairRun>();
  run->reporter.c = this;
  run->reporter.run = runGeneration_.load();
  if (movFile) {
    run->repair = std::make_unique<RepairFile>();
    run->repair->delegate = &run->reporter;
    repFileStatus->setText(QStringLiteral("File Selected"));
    repCorruptFilePath->setText(QStringLiteral("Corrupted File:%1").arg(corruptFilePath));
    repHealthyFilePath->setText(QStringLiteral("Healthy File:%1").arg(referenceFilePath));
    repHealthyFilePath->setVisible(referenceFilePath != corruptFilePath);
    startClock();
    elapsedTime->setText(QStringLiteral("00:00:00"));
    upperBoxField->setText(QStringLiteral("Repairing the video file"));
    currentstatus->setText(QStringLiteral("Repairing..."));
  } else if (aviFile) {
    run->repairAvi = std::make_unique<RepairFileAvi>();
    run->repairAvi->delegate = &run->reporter;
    if (!run->repairAvi->fileValidityCheckAtPath(fsPath(corruptFilePath))) {
      showAlert(QStringLiteral("Invalid corrupted file"), QStringLiteral("Select a movie file"), QStringLiteral("OK"));
      repairbutton->setFocus();
      return;
    }
    repFileStatus->setText(QStringLiteral("File Selected"));
    repCorruptFilePath->setText(QStringLiteral("Corrupted File:%1").arg(corruptFilePath));
    repHealthyFilePath->setText(QStringLiteral("Healthy File:%1").arg(referenceFilePath));
    repHealthyFilePath->setVisible(referenceFilePath != corruptFilePath);
    startClock();
    elapsedTime->setText(QStringLiteral("00:00:00"));
    upperBoxField->setText(QStringLiteral("Repairing Video File"));
    currentstatus->setText(QStringLiteral("Repairing..."));
  } else {
    return;
  }
  // The engine writes a new working file; one left by an earlier run must not be taken over.
  deleteWorkingFile();
  selectTab(repairingTab);
  repPauseBtn->setText(QStringLiteral("Pause"));
  repPauseBtn->setFocus();
  RepairRun* r = run.get();
  const std::string reference = fsPath(referenceFilePath), damaged = fsPath(corruptFilePath),
                    working = fsPath(repairedFilePath);
  // The AVI engine takes a reference only when the user chose one besides the damaged file.
  const std::string aviReference = referenceFilePath != corruptFilePath ? reference : std::string();
  run_ = std::move(run);
  r->thread = std::thread([r, reference, damaged, working, aviReference] {
    // Nothing may escape the worker: it would end the program.
    try {
      if (r->repair)
        r->repair->repairMOVWithRefFileAtPath(reference, damaged, working);
      else
        r->repairAvi->retrieveAudioVideoSamplesForFileAtPath(damaged, working, aviReference);
    } catch (const std::exception& e) {
      r->reporter.repairFileDidFailWithError(makeRepairError(0, e.what()));
    } catch (...) {
      r->reporter.repairFileDidFailWithError(makeRepairError(0, "the repair stopped unexpectedly"));
    }
  });
}

void Vorn_Video_Repair_AppDelegate::elapsedTimeThread() {
  if (savingProgress) {
    if (!pauseSaving)
      savingElapsedTime->setText(getTimeFormStringForInterval(scanStartDate.msecsTo(QDateTime::currentDateTime()) / 1000.0));
    return;
  }
  if (!pauseRepairingFlag) {
    elapsedTime->setText(getTimeFormStringForInterval(scanStartDate.msecsTo(QDateTime::currentDateTime()) / 1000.0));
    const QString task = currentPerformingTask();
    if (!task.isEmpty()) currentstatus->setText(task);
    const int p = currentTaskProgress_.load();
    percent->setText(QStringLiteral("%1%").arg(p));
    progressbar->setValue(p);
  }
  if (stopElapsedTimeThread) displayTimer_.stop();
}

void Vorn_Video_Repair_AppDelegate::storeTask(uint64_t run, const std::string& task) {
  if (run != runGeneration_.load()) return;
  std::lock_guard<std::mutex> lock(taskMutex_);
  currentPerformingTask_ = task;
}

void Vorn_Video_Repair_AppDelegate::storeProgress(uint64_t run, int32_t p) {
  if (run == runGeneration_.load()) currentTaskProgress_.store(p);
}

void Vorn_Video_Repair_AppDelegate::engineAttribute(uint64_t run, const QString& key, const QString& value) {
  if (run != runGeneration_.load()) return;
  static const QMap<QString, QString> kFurtherFacts = {
      {QStringLiteral("coverage"), QStringLiteral("Media data recovered:")},
      {QStringLiteral("recoveredVideo"), QStringLiteral("Video recovered:")},
      {QStringLiteral("recoveredAudio"), QStringLiteral("Audio recovered:")},
      // A movie repaired from the parameter sets in its own stream says what it used.
      {QStringLiteral("reference"), QStringLiteral("Repaired from:")},
      {QStringLiteral("videoFormat"), QStringLiteral("Video found:")},
      {QStringLiteral("audioFormat"), QStringLiteral("Audio found:")},
      {QStringLiteral("warning"), QStringLiteral("Note:")},
  };
  if (key == QLatin1String("track"))
    tracksField->setText(value);
  else if (key == QLatin1String("duration"))
    durationField->setText(value);
  else if (key == QLatin1String("video"))
    videoCodecField->setText(value);
  else if (key == QLatin1String("fps"))
    fpsField->setText(value);
  else if (key != QLatin1String("audio")) {
    // Further facts about the result (how much was recovered) get a row of their own.
    QString label = kFurtherFacts.value(key, key + QLatin1Char(':'));
    if (key == QLatin1String("coverage") && !value.endsWith(QLatin1Char('%'))) {
      detailsForm->addRow(label, makeLabel(detailsTab, value + QLatin1Char('%')));
      return;
    }
    detailsForm->addRow(label, makeLabel(detailsTab, value));
  }
}

void Vorn_Video_Repair_AppDelegate::engineCompleted(uint64_t run) {
  if (run != runGeneration_.load()) return;
  runEnded();
  homeBtn->setEnabled(true);
  topButtonsSetEnabled(true);
  // A movie counts as repaired only when its new index is in place.
  if (movFile && !File::parseFileAtPath(fsPath(repairedFilePath))->moov()) return showFailureSheet();
  repairCompleted();
}

void Vorn_Video_Repair_AppDelegate::engineFailed(uint64_t run, int32_t code) {
  if (run != runGeneration_.load()) return;
  // An AVI file whose stream descriptions cannot be used (107) may still be repaired with
  // those of a healthy AVI from the same camera: ask for one, once.
  if (aviFile && code == kAviNeedsReference && corruptFilePath == referenceFilePath) return askForReference();
  runEnded();
  currentstatus->clear();
  showFailureSheet();
}

void Vorn_Video_Repair_AppDelegate::engineNeedsReference(uint64_t run) {
  if (run != runGeneration_.load()) return;
  if (corruptFilePath != referenceFilePath) return engineFailed(run, 0);
  askForReference();
}

void Vorn_Video_Repair_AppDelegate::askForReference() {
  runEnded();
  topButtonsSetEnabled(true);
  upperBoxField->setText(QStringLiteral("Select a healthy reference file to repair"));
  if (aviFile) {
    refTabFileStatus->setText(QStringLiteral("File Selected"));
    refTabCorruptPath->setText(QStringLiteral("Corrupted File:%1").arg(corruptFilePath));
    whyMovFile->setText(getAttributedStringForLink(QStringLiteral("#why"),
                                                   QStringLiteral("Why i need to select a reference file?")));
  }
  selectTab(referenceFileTab);
  selectRefFileBtn->show();
  nextstepTextField->show();
  whyMovFile->show();
  refTabRefFilePath->hide();
  refTabRepairBtn->setEnabled(false);
  selectRefFileBtn->setFocus();
}

void Vorn_Video_Repair_AppDelegate::runEnded() {
  repairing = false;
  stopElapsedTimeThread = true;
  pauseRepairingFlag = false;
  animate(animView, false);
  repPauseBtn->setText(QStringLiteral("Pause"));
  repCancelBtn->setEnabled(true);
  // The run may end just as Stop is pressed: there is nothing left to stop.
  if (stoprepairwindow->isVisible()) stoprepairwindow->closeWindow();
}

void Vorn_Video_Repair_AppDelegate::repairCompleted() {
  fileNamefield->setText(QFileInfo(corruptFilePath).fileName());
  sizeField->setText(getFormattedStringForSize(static_cast<uint64_t>(QFileInfo(repairedFilePath).size())));
  upperBoxField->setText(QStringLiteral("Details of repaired video file"));
  selectTab(detailsTab);
  currentstatus->clear();
  const bool haveVlc = !QStandardPaths::findExecutable(QStringLiteral("vlc")).isEmpty();
  installVLC->setVisible(!haveVlc);
  noteTxt->setVisible(!haveVlc);
  prewSaveBtn->setFocus();
}

// ---- Pause and stop --------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::setFlags(bool paused) {
  animate(animView, !paused);
  repCancelBtn->setEnabled(!paused);
  pauseRepairingFlag = paused;
  if (run_) run_->setPause(paused);
}

void Vorn_Video_Repair_AppDelegate::pauseRepairing() {
  if (!repairing) return;
  const bool pause = repPauseBtn->text() == QLatin1String("Pause");
  setFlags(pause);
  repPauseBtn->setText(pause ? QStringLiteral("Resume") : QStringLiteral("Pause"));
}

void Vorn_Video_Repair_AppDelegate::stopProgress() {
  if (!repairing) return;
  setFlags(true);
  showAuxiliary(stoprepairwindow, stopRepairCancelBtn);
}

void Vorn_Video_Repair_AppDelegate::stopRepairCancel() {
  setFlags(false);
  stoprepairwindow->closeWindow();
  repPauseBtn->setFocus();
}

void Vorn_Video_Repair_AppDelegate::stopRepairOk() {
  if (run_) run_->setStop(true);
  setFlags(false);
  repairing = false;
  // Whatever the stopped engine still reports (a completion after an interrupted writing
  // phase) belongs to the abandoned run.
  ++runGeneration_;
  stopElapsedTimeThread = true;
  animate(animView, false);
  stoprepairwindow->closeWindow();
  showAuxiliary(repairAbortedWindow, repairAbortedOkBtn);
}

void Vorn_Video_Repair_AppDelegate::repairAbortedOk() {
  repairAbortedWindow->closeWindow();
  mainScreen();
}

// ---- Failure ---------------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::showFailureSheet() {
  supportTextfield->setText(QStringLiteral("<span style=\"font-size:13pt\">Please %1 for helping you with repairing "
                                           "this file.</span>")
                                .arg(getAttributedStringForLink(settings_.supportLink, QStringLiteral("contact support"))));
#ifdef VR_HAVE_REPORT
  shareBtn->setEnabledState(true);
#else
  shareBtn->setEnabledState(false);
#endif
  showAuxiliary(couldntRepair, shareBtn->isEnabled() ? static_cast<QWidget*>(shareBtn) : couldntRepairOkBtn);
}

void Vorn_Video_Repair_AppDelegate::couldntRepairOk() {
  couldntRepair->closeWindow();
  mainScreen();
}

void Vorn_Video_Repair_AppDelegate::reportClosed() {
  if (tabview->currentWidget() != detailsTab) couldntRepairOk();
}

void Vorn_Video_Repair_AppDelegate::share() {
#ifdef VR_HAVE_REPORT
  // The report replaces the failure notice; closing it ends the failed repair.
  couldntRepair->closeWindow();
  auto* report = new ReportWindow(fileClassArray, this);
  connect(report, &ReportWindow::reportClosed, this, &Vorn_Video_Repair_AppDelegate::reportClosed);
  report->setWindowFlag(Qt::Window);
  report->setAttribute(Qt::WA_DeleteOnClose);
  report->setWindowModality(Qt::ApplicationModal);
  report->show();
  report->raise();
  report->activateWindow();
#endif
}

// ---- Window, help and alerts -----------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::showAuxiliary(coreWindow* window, QWidget* focus) {
  window->showWindow();
  focus->setFocus();
}

void Vorn_Video_Repair_AppDelegate::showAlert(const QString& title, const QString& text, const QString& button) {
  auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::NoButton, this);
  box->addButton(button, QMessageBox::AcceptRole);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  currentAlert = box;
  box->open();
}

void Vorn_Video_Repair_AppDelegate::closeClicked() { close(); }
void Vorn_Video_Repair_AppDelegate::minimizeClicked() { showMinimized(); }
void Vorn_Video_Repair_AppDelegate::help() { openWithDesktop(settings_.helpLink); }
void Vorn_Video_Repair_AppDelegate::OpenVLCPage() { openWithDesktop(settings_.vlcDownloadLink); }

void Vorn_Video_Repair_AppDelegate::openWithDesktop(const QString& link) {
  if (link.isEmpty())
    showAlert(QStringLiteral("Information"),
              QStringLiteral("No address is configured for this link. Set it in %1.").arg(AppSettings::path()),
              QStringLiteral("OK"));
  else
    QDesktopServices::openUrl(QUrl(link));
}

void Vorn_Video_Repair_AppDelegate::closeEvent(QCloseEvent* e) {
  if (repairing || savingProgress) {
    e->ignore();
    showAlert(QStringLiteral("Information"),
              repairing ? QStringLiteral("Repairinig is in progress..") : QStringLiteral("Saving is in progress.."),
              QStringLiteral("Ok"));
    return;
  }
  AppSettings::saveWindowGeometry(saveGeometry());
  dropRun();
  deleteWorkingFile();
  if (previewWindow) previewWindow->close();
  e->accept();
}

// ---- Saving ----------------------------------------------------------------------------

void Vorn_Video_Repair_AppDelegate::save() {
  if (savingProgress) return;
  openPanel(QStringLiteral("Save"), QDir(QDir::homePath()).filePath(QStringLiteral("Repaired")), QString(), true,
            &Vorn_Video_Repair_AppDelegate::didChooseSaveFolder);
}

void Vorn_Video_Repair_AppDelegate::didChooseSaveFolder(const QString& folder) {
  if (savingProgress || repairing) return;
  const QFileInfo parent(QFileInfo(folder).absolutePath());
  // The containing folder must exist, be a folder and accept new entries.
  if (!parent.isDir() || !parent.isWritable()) {
    showAlert(QStringLiteral("! Disk is not writable"),
              QStringLiteral("The volume you have chosen to save data is not supported."), QStringLiteral("OK"));
    return;
  }
  if (!QDir().mkdir(folder))
    std::fprintf(stderr, "Error While Creating Directory:%s\n", qPrintable(folder));
  else
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                      QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                      QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
  const QStorageInfo volume(QFileInfo(folder).exists() ? folder : parent.absoluteFilePath());
  const qint64 free = volume.isValid() ? volume.bytesAvailable() : -1;
  if (free < 0) std::fprintf(stderr, "Error While Getting system attributes:%s\n", qPrintable(folder));
  const qint64 size = QFileInfo(repairedFilePath).size();
  if (!(size < free)) {
    showAlert(QStringLiteral("! Not enough free disk space"),
              QStringLiteral("The volume you have chosen to save data does not have enough free space to save the "
                             "repaired file."),
              QStringLiteral("OK"));
    return;
  }
  saveFileAtPath(folder);
}

void Vorn_Video_Repair_AppDelegate::setSavingTabLabelWithSavePath(const QString& destination) {
  homeBtn->setEnabled(false);
  topButtonsSetEnabled(false);
  upperBoxField->setText(QStringLiteral("Saving Repaired Video File"));
  savingNotification->setText(QStringLiteral("Saving File..."));
  destinationPath->setText(QStringLiteral("Destination Path:%1").arg(destination));
  savingPercentage->setText(QStringLiteral("0%"));
  animate(savingAnimation, true);
  scanStartDate = QDateTime::currentDateTime();
  savingStartTime->setText(scanStartDate.toString(QStringLiteral("HH:mm:ss")));
  savingElapsedTime->setText(QStringLiteral("00:00:00"));
  selectTab(savingTab);
}

void Vorn_Video_Repair_AppDelegate::saveFileAtPath(const QString& folder) {
  savepath = savedFilePathIn(folder, aviFile);
  setSavingTabLabelWithSavePath(savepath);
  const uint64_t pieces = SaveCopy::piecesFor(static_cast<uint64_t>(QFileInfo(repairedFilePath).size()));
  copy_ = std::make_unique<SaveCopy>();
  copy_->onProgress = [this](uint64_t piece, uint64_t n, int p) {
    QMetaObject::invokeMethod(this, [this, piece, n, p] { copyProgress(piece, n, p); }, Qt::QueuedConnection);
  };
  copy_->onFinished = [this](const QString& error) {
    QMetaObject::invokeMethod(this, [this, error] { copyFinished(error); }, Qt::QueuedConnection);
  };
  savingProgress = true;
  pauseSaving = false;
  saveProgressBarr->setRange(0, pieces <= uint64_t(INT_MAX) ? int(pieces) : 100);
  saveProgressBarr->setValue(0);
  displayTimer_.start();
  cancelSaveBtn->setFocus();
  QString error;
  if (!copy_->start(repairedFilePath, savepath, &error)) copyFinished(error);
}

void Vorn_Video_Repair_AppDelegate::copyProgress(uint64_t piece, uint64_t pieces, int p) {
  if (!savingProgress) return;
  saveProgressBarr->setValue(pieces <= uint64_t(INT_MAX) ? int(piece) : p);
  savingPercentage->setText(QStringLiteral("%1%").arg(p));
}

void Vorn_Video_Repair_AppDelegate::copyFinished(const QString& error) {
  if (!savingProgress) return;
  savingProgress = false;
  pauseSaving = false;
  displayTimer_.stop();
  animate(savingAnimation, false);
  if (copy_) copy_->wait();
  if (stopsavingwindow->isVisible()) stopsavingwindow->closeWindow();
  if (!error.isEmpty()) {
    // The partial destination is gone; the repaired working file is still there to save again.
    savingNotification->setText(QStringLiteral("Saving failed"));
    homeBtn->setEnabled(true);
    topButtonsSetEnabled(true);
    upperBoxField->setText(QStringLiteral("Details of repaired video file"));
    selectTab(detailsTab);
    showAlert(QStringLiteral("Saving failed"), error, QStringLiteral("OK"));
    return;
  }
  saveProgressBarr->setValue(saveProgressBarr->maximum());
  savingPercentage->setText(QStringLiteral("100%"));
  showAuxiliary(savingCompletedwindow, savingCompletedOK);
}

void Vorn_Video_Repair_AppDelegate::saveCompletedOk() {
  savingCompletedwindow->closeWindow();
  if (!savepath.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(savepath).absolutePath()));
  topButtonsSetEnabled(true);
  mainScreen();
}

void Vorn_Video_Repair_AppDelegate::stopSaving() {
  if (!savingProgress) return;
  pauseSaving = true;
  if (copy_) copy_->setPaused(true);
  animate(savingAnimation, false);
  showAuxiliary(stopsavingwindow, stopsavingCancelbutton);
}

void Vorn_Video_Repair_AppDelegate::continueSaving() {
  pauseSaving = false;
  if (copy_) copy_->setPaused(false);
  animate(savingAnimation, savingProgress);
  stopsavingwindow->closeWindow();
  cancelSaveBtn->setFocus();
}

void Vorn_Video_Repair_AppDelegate::stopSavingOk() {
  if (copy_) copy_->cancel();  // waits for the copy and removes the partial destination
  copy_.reset();
  stopsavingwindow->closeWindow();
  savingProgress = false;
  pauseSaving = false;
  displayTimer_.stop();
  mainScreen();
}

// ---- Preview and play ------------------------------------------------------------------

bool Vorn_Video_Repair_AppDelegate::launchPlayer(const QString& program, const QString& file) {
  return QProcess::startDetached(program, {file});
}

void Vorn_Video_Repair_AppDelegate::preview() { playWithVLC(); }

void Vorn_Video_Repair_AppDelegate::playWithVLC() {
  const QString vlc = QStandardPaths::findExecutable(QStringLiteral("vlc"));
  if (!vlc.isEmpty() && launchPlayer(vlc, repairedFilePath)) return;
  if (movFile) {
    if (previewWindow) previewWindow->close();
    previewWindow = new PreviewWindow(repairedFilePath, this);
    previewWindow->show();
    return;
  }
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("You don't have \"VLC Player\" Installed"),
                              QStringLiteral("Please install VLC player and try again\n(if it doesn't play with any "
                                             "players please contact our friendly customer support)"),
                              QMessageBox::NoButton, this);
  QPushButton* download = box->addButton(QStringLiteral("Download VLC"), QMessageBox::AcceptRole);
  QPushButton* other = box->addButton(QStringLiteral("Open With Other Players.."), QMessageBox::RejectRole);
  box->setDefaultButton(download);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  connect(box, &QMessageBox::buttonClicked, this, [this, download, other](QAbstractButton* b) {
    if (b == download) {
      OpenVLCPage();
    } else if (b == other) {
      openPanel(QStringLiteral("Open With"), QStringLiteral("/usr/bin"), QString(), false,
                &Vorn_Video_Repair_AppDelegate::didChoosePlayer);
    }
  });
  currentAlert = box;
  box->open();
}

void Vorn_Video_Repair_AppDelegate::didChoosePlayer(const QString& application) {
  if (!launchPlayer(application, repairedFilePath))
    showAlert(QStringLiteral("Information"), QStringLiteral("%1 could not be started.").arg(application),
              QStringLiteral("OK"));
}

}  // namespace vr
