#include "gui/PreviewWindow.h"

#include <QAudioOutput>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMediaPlayer>
#include <QPushButton>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoFrame>
#include <QVideoSink>
#include <QVideoWidget>

#include "gui/Formatting.h"

namespace vr {

PreviewWindow::PreviewWindow(const QString& path, QWidget* parent)
    : QWidget(parent, Qt::Window), path_(path) {
  setWindowTitle(QStringLiteral("Preview"));
  setAttribute(Qt::WA_DeleteOnClose);
  resize(720, 480);
  player_ = new QMediaPlayer(this);
  audio_ = new QAudioOutput(this);
  video_ = new QVideoWidget(this);
  video_->setMinimumSize(320, 180);
  player_->setAudioOutput(audio_);
  player_->setVideoOutput(video_);

  playPause_ = new QPushButton(QStringLiteral("Pause"), this);
  seek_ = new QSlider(Qt::Horizontal, this);
  seek_->setAccessibleName(QStringLiteral("Position"));
  time_ = new QLabel(QStringLiteral("00:00:00 / 00:00:00"), this);
  auto* controls = new QHBoxLayout;
  controls->addWidget(playPause_);
  controls->addWidget(seek_, 1);
  controls->addWidget(time_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(video_, 1);
  layout->addLayout(controls);

  connect(playPause_, &QPushButton::clicked, this, [this] {
    if (player_->playbackState() == QMediaPlayer::PlayingState)
      player_->pause();
    else
      player_->play();
  });
  connect(player_, &QMediaPlayer::playbackStateChanged, this, [this](QMediaPlayer::PlaybackState s) {
    playPause_->setText(s == QMediaPlayer::PlayingState ? QStringLiteral("Pause") : QStringLiteral("Play"));
  });
  connect(player_, &QMediaPlayer::durationChanged, this, [this](qint64 ms) {
    seek_->setRange(0, static_cast<int>(ms));
    updateTime();
  });
  connect(player_, &QMediaPlayer::positionChanged, this, [this](qint64 ms) {
    if (!seek_->isSliderDown()) seek_->setValue(static_cast<int>(ms));
    updateTime();
  });
  connect(seek_, &QSlider::sliderMoved, player_, [this](int ms) { player_->setPosition(ms); });
  connect(player_, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error e, const QString&) {
    if (e != QMediaPlayer::NoError) handOver();
  });
  connect(player_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus s) {
    if (s == QMediaPlayer::InvalidMedia) handOver();
  });
  connect(video_->videoSink(), &QVideoSink::videoFrameChanged, this, [this](const QVideoFrame& f) {
    if (f.isValid()) ++framesShown_;
  });
  player_->setSource(QUrl::fromLocalFile(path));
  player_->play();
}

PreviewWindow::~PreviewWindow() { player_->stop(); }

void PreviewWindow::updateTime() {
  time_->setText(QStringLiteral("%1 / %2").arg(getTimeFormStringForInterval(player_->position() / 1000.0),
                                                getTimeFormStringForInterval(player_->duration() / 1000.0)));
}

void PreviewWindow::handOver() {
  if (handedToDesktop_) return;
  handedToDesktop_ = true;
  player_->stop();
  QDesktopServices::openUrl(QUrl::fromLocalFile(path_));
  emit handedOver();
  close();
}

}  // namespace vr
