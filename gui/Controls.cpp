#include "gui/Controls.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

namespace vr {

namespace {
QString rgba(const QColor& c) {
  return QStringLiteral("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}
const QColor kRestFace{233, 237, 242};
}  // namespace

WhiteLabelButton::WhiteLabelButton(const QString& title, QWidget* parent) : QPushButton(title, parent) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  restyle();
}

void WhiteLabelButton::getAttributedString(const QColor& color, int pointSize) {
  titleColor_ = color;
  pointSize_ = pointSize;
  restyle();
}

void WhiteLabelButton::restyle() {
  // Keyboard focus gets a visible ring so that every screen can be used without a mouse.
  setStyleSheet(QStringLiteral("QPushButton { color: %1; background-color: %2; border: %3px solid rgb(64,64,64);"
                               " border-radius: %4px; font-size: %5pt; padding: 5px 14px; text-align: center; }"
                               "QPushButton:focus { border: 2px solid rgb(5,80,147); }"
                               "QPushButton:disabled { color: rgba(%6,%7,%8,110); }")
                    .arg(rgba(titleColor_), rgba(background_))
                    .arg(borderWidth_)
                    .arg(radius_)
                    .arg(pointSize_)
                    .arg(titleColor_.red())
                    .arg(titleColor_.green())
                    .arg(titleColor_.blue()));
}

TrackingButton::TrackingButton(int tag, const QString& title, QWidget* parent)
    : WhiteLabelButton(title, parent), tag_(tag) {
  setAttribute(Qt::WA_Hover);
}

void TrackingButton::enterEvent(QEnterEvent* e) {
  mouseEntered();
  WhiteLabelButton::enterEvent(e);
}

void TrackingButton::leaveEvent(QEvent* e) {
  mouseExited();
  WhiteLabelButton::leaveEvent(e);
}

HoverButton::HoverButton(int tag, const QString& title, QWidget* parent) : TrackingButton(tag, title, parent) {
  if (tag == 203) setToolTip(QStringLiteral("Close"));
  mouseExited();
}

void HoverButton::mouseEntered() {
  switch (tag_) {
    case 201:
    case 202:
      background_ = Qt::transparent;
      getAttributedString(kDarkGrey, 13);
      break;
    default:
      background_ = kPrimaryBlue;
      getAttributedString(Qt::white, pointSize_);
  }
}

void HoverButton::mouseExited() {
  switch (tag_) {
    case 201:
      background_ = Qt::transparent;
      getAttributedString(kPrimaryBlue, 13);
      break;
    case 202:
      background_ = Qt::transparent;
      getAttributedString(kDarkGrey, 13);
      break;
    default:
      background_ = kRestFace;
      getAttributedString(kDarkGrey, 16);
  }
}

ErrorPageBtn::ErrorPageBtn(int tag, const QString& title, QWidget* parent) : TrackingButton(tag, title, parent) {
  mouseExited();
}

void ErrorPageBtn::mouseExited() {
  // A disabled button keeps whatever face it had.
  if (!isEnabled()) return;
  radius_ = 2;
  if (tag_ == 111) {
    background_ = kPrimaryBlue;
    borderWidth_ = 0;
    getAttributedString(Qt::white, 14);
  } else {
    background_ = Qt::white;
    borderWidth_ = 1;
    getAttributedString(kDarkGrey, 14);
  }
}

void ErrorPageBtn::mouseEntered() {
  if (isEnabled()) {
    background_ = kPrimaryBlue;
    borderWidth_ = 0;
    radius_ = 2;
  }
  getAttributedString(Qt::white, 14);
}

void ErrorPageBtn::setEnabledState(bool enabled) {
  if (!enabled) {
    getAttributedString(Qt::white, 14);
    setEnabled(false);
  } else {
    setEnabled(true);
    mouseExited();
  }
}

ViewTransparent::ViewTransparent(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setGeometry(parent->rect());
  parent->installEventFilter(this);
  raise();
  show();
}

void ViewTransparent::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), QColor(0, 0, 0, 115));
}

void ViewTransparent::mousePressEvent(QMouseEvent* e) { e->accept(); }
void ViewTransparent::mouseReleaseEvent(QMouseEvent* e) { e->accept(); }
void ViewTransparent::mouseMoveEvent(QMouseEvent* e) { e->accept(); }
void ViewTransparent::mouseDoubleClickEvent(QMouseEvent* e) { e->accept(); }

bool ViewTransparent::eventFilter(QObject* watched, QEvent* e) {
  // Follows the size of the window it covers.
  if (watched == parentWidget() && e->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
  return false;
}

coreWindow::coreWindow(QWidget* mainWindow) : QDialog(mainWindow, Qt::Dialog | Qt::FramelessWindowHint) {
  setWindowModality(Qt::WindowModal);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  pal.setColor(QPalette::WindowText, kDarkGrey);
  setPalette(pal);
  setStyleSheet(QStringLiteral("vr--coreWindow { border: 1px solid rgb(180,180,180); }"));
}

void coreWindow::showWindow() {
  QWidget* main = parentWidget() ? parentWidget()->window() : nullptr;
  if (main && overlay_.isNull()) overlay_ = new ViewTransparent(main);
  adjustSize();
  if (main) {
    const QPoint centre = main->geometry().center();
    move(centre.x() - width() / 2, centre.y() - height() / 2);
  }
  show();
  raise();
  activateWindow();
}

void coreWindow::closeWindow() {
  hide();
  if (!overlay_.isNull()) {
    overlay_->hide();
    overlay_->deleteLater();
  }
  overlay_.clear();
}

}  // namespace vr
