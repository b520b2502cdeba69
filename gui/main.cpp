// The desktop application: one main window per user session.
#include <QApplication>
#include <QMessageBox>

#include "gui/SingleInstance.h"
#include "gui/Vorn_Video_Repair_AppDelegate.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("video-repair"));
  QApplication::setApplicationName(QStringLiteral("video-repair-gui"));
  QApplication::setApplicationDisplayName(QStringLiteral("Video Repair"));

  vr::SingleInstance instance;
  if (!instance.tryLock()) {
    QMessageBox box(QMessageBox::Information, QStringLiteral("Alert"), QStringLiteral("Application is alredy running."),
                    QMessageBox::NoButton);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
    return 0;
  }
  vr::Vorn_Video_Repair_AppDelegate window;
  window.show();
  window.raise();
  window.activateWindow();
  // A file named on the command line is chosen as the damaged file.
  const QStringList args = QApplication::arguments();
  if (args.size() > 1) window.didChooseCorruptFile(args.at(1));
  return app.exec();
}
