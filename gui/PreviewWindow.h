#pragma once
// Plays the repaired working file inside the application: picture, play/pause, a seek bar
// and the time. When no player backend can open the file, the file is handed to the
// desktop's default application instead.
#include <QWidget>

class QMediaPlayer;
class QAudioOutput;
class QVideoWidget;
class QPushButton;
class QSlider;
class QLabel;

namespace vr {

class PreviewWindow : public QWidget {
  Q_OBJECT
 public:
  PreviewWindow(const QString& path, QWidget* parent = nullptr);
  ~PreviewWindow() override;
  QMediaPlayer* player() const { return player_; }
  // Set once the file has been passed to the desktop's default application.
  bool handedToDesktop() const { return handedToDesktop_; }
  // Pictures the player has delivered to the window so far.
  int framesShown() const { return framesShown_; }

 signals:
  void handedOver();

 private:
  void handOver();
  void updateTime();

  QString path_;
  QMediaPlayer* player_;
  QAudioOutput* audio_;
  QVideoWidget* video_;
  QPushButton* playPause_;
  QSlider* seek_;
  QLabel* time_;
  bool handedToDesktop_ = false;
  int framesShown_ = 0;
};

}  // namespace vr
