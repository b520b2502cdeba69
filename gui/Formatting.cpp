#include "gui/Formatting.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace vr {

QString getTimeFormStringForInterval(double seconds) {
  const uint64_t t = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
  const auto two = [](uint64_t v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return QStringLiteral("%1:%2:%3").arg(two((t / 3600) % 24), two((t / 60) % 60), two(t % 60));
}

QString getFormattedStringForSize(uint64_t bytes) {
  // Single-precision division keeps the figures the program has always shown.
  const float n = static_cast<float>(bytes);
  if (bytes > 999999999ULL) return QString::asprintf("%.2f GB", double(n / 1000000000.0f));
  if (bytes > 999999ULL) return QString::asprintf("%.2f MB", double(n / 1000000.0f));
  return QString::asprintf("%.2f KB", double(n / 1000.0f));
}

QString getAttributedStringForLink(const QString& address, const QString& text) {
  if (address.isEmpty()) return text.toHtmlEscaped();
  return QStringLiteral("<a href=\"%1\" style=\"color:#0000ff; text-decoration:underline\">%2</a>")
      .arg(address.toHtmlEscaped(), text.toHtmlEscaped());
}

QString getRepairedFilePathFor(const QString& extension, const QString& folder) {
  const QString ext = extension.toLower();
  if (ext == QLatin1String("avi")) return QDir(folder).filePath(QStringLiteral(".testfile.avi"));
  if (ext == QLatin1String("mov")) return QDir(folder).filePath(QStringLiteral(".testfile.mov"));
  return folder;
}

InputKind inputKindForPath(const QString& path) {
  const QString ext = QFileInfo(path).suffix().toLower();
  if (ext == QLatin1String("avi")) return InputKind::Avi;
  if (ext == QLatin1String("mov") || ext == QLatin1String("mp4") || ext == QLatin1String("m4v"))
    return InputKind::Movie;
  return InputKind::None;
}

QString savedFilePathIn(const QString& folder, bool avi) {
  return folder + (avi ? QStringLiteral("/repaired.avi") : QStringLiteral("/repaired.mov"));
}

QString printableAttribute(const std::string& value) {
  bool plain = true;
  for (unsigned char c : value) plain &= (c >= 0x20 && c < 0x7F);
  if (plain) return QString::fromStdString(value);
  QString out = QStringLiteral("0x");
  for (unsigned char c : value) out += QStringLiteral("%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
  return out;
}

}  // namespace vr
