#pragma once
// The application's own buttons, the blocking overlay and the auxiliary window that shows
// itself over the main window behind that overlay.
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

namespace vr {

// The program's colours.
inline const QColor kPrimaryBlue{5, 80, 147};
inline const QColor kDarkGrey{64, 64, 64};

// A push button with a title in a given colour and size, centred; white by default.
class WhiteLabelButton : public QPushButton {
  Q_OBJECT
 public:
  explicit WhiteLabelButton(const QString& title, QWidget* parent = nullptr);
  // Sets the title colour and point size (what the attributed titles did).
  void getAttributedString(const QColor& color, int pointSize = 16);
  QColor titleColor() const { return titleColor_; }
  QColor backgroundColor() const { return background_; }

 protected:
  void restyle();
  QColor titleColor_ = Qt::white;
  int pointSize_ = 16;
  QColor background_ = Qt::transparent;
  QColor hoverBackground_ = Qt::transparent;
  int borderWidth_ = 0;
  int radius_ = 2;
};

// A button whose looks follow the mouse; its tag selects the looks.
class TrackingButton : public WhiteLabelButton {
  Q_OBJECT
 public:
  TrackingButton(int tag, const QString& title, QWidget* parent);
  int tag() const { return tag_; }
  virtual void mouseEntered() = 0;
  virtual void mouseExited() = 0;

 protected:
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  int tag_;
};

// Tag 201 has a blue link-like title, 202 a dark-grey one, 203 is a close button, the rest
// have a dark-grey title that turns white on a blue face under the mouse.
class HoverButton : public TrackingButton {
  Q_OBJECT
 public:
  HoverButton(int tag, const QString& title, QWidget* parent = nullptr);
  void mouseEntered() override;
  void mouseExited() override;
};

// A button of the report and failure screens: tag 111 is the filled (primary) button; the
// others are white with a thin border. Under the mouse an enabled one turns blue.
class ErrorPageBtn : public TrackingButton {
  Q_OBJECT
 public:
  ErrorPageBtn(int tag, const QString& title, QWidget* parent = nullptr);
  void setEnabledState(bool enabled);
  void mouseEntered() override;
  void mouseExited() override;
};

// A half-dark veil over a window's contents that swallows every mouse event, so that
// nothing below it can be clicked while an auxiliary window is up.
class ViewTransparent : public QWidget {
  Q_OBJECT
 public:
  explicit ViewTransparent(QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
};

// An auxiliary window shown over the main window: white, without a title bar, placed
// window-modal above it with a ViewTransparent veil over the main window until it closes.
// The window manager's close request is ignored: only the window's own buttons close it.
class coreWindow : public QDialog {
  Q_OBJECT
 public:
  explicit coreWindow(QWidget* mainWindow);
  // Shows the window over its main window.
  void showWindow();
  // Hides the window and takes the veil away.
  void closeWindow();
  bool overlayShown() const { return !overlay_.isNull(); }

 public slots:
  void reject() override {}

 private:
  QPointer<ViewTransparent> overlay_;
};

}  // namespace vr
