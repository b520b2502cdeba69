#include "gui/AppSettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace vr {

namespace {
// The address of VLC's download page is public; the project's own pages are not known
// until a deployment names them, so those links stay plain text until configured.
constexpr const char* kDefaultVlcDownload = "https://www.videolan.org/vlc/";
}  // namespace

QString AppSettings::path() {
  return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
      .filePath(QStringLiteral("video-repair/video-repair-gui.ini"));
}

AppSettings AppSettings::load() {
  QSettings s(path(), QSettings::IniFormat);
  AppSettings a;
  a.helpLink = s.value(QStringLiteral("links/help")).toString();
  a.manualLink = s.value(QStringLiteral("links/manual")).toString();
  a.supportLink = s.value(QStringLiteral("links/support")).toString();
  a.vlcDownloadLink = s.value(QStringLiteral("links/vlcDownload"), QString::fromLatin1(kDefaultVlcDownload)).toString();
  return a;
}

QByteArray AppSettings::windowGeometry() {
  return QSettings(path(), QSettings::IniFormat).value(QStringLiteral("window/geometry")).toByteArray();
}

void AppSettings::saveWindowGeometry(const QByteArray& geometry) {
  QSettings(path(), QSettings::IniFormat).setValue(QStringLiteral("window/geometry"), geometry);
}

}  // namespace vr
