#pragma once
// Addresses the application opens (help, manual, support, VLC download) come from a
// settings file in the user's config folder, so that a deployment can point them at its
// own pages. The file also keeps the main window's size.
#include <QByteArray>
#include <QString>

namespace vr {

struct AppSettings {
  QString helpLink;         // key "links/help"
  QString manualLink;       // key "links/manual": why a reference file is needed
  QString supportLink;      // key "links/support"
  QString vlcDownloadLink;  // key "links/vlcDownload"

  // ~/.config/video-repair/video-repair-gui.ini (XDG_CONFIG_HOME honoured).
  static QString path();
  static AppSettings load();
  static QByteArray windowGeometry();
  static void saveWindowGeometry(const QByteArray& geometry);
};

}  // namespace vr
