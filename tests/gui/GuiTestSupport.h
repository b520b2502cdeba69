#pragma once
// File helpers shared by the desktop application's test programs.
#include <QFile>

namespace vr::guitest {

// Writes bytes to path, then gives the file size bytes with a hole after them (size >= 0).
inline bool writeFile(const QString& path, const QByteArray& bytes, qint64 size = -1) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && (size < 0 || f.resize(size));
}

inline QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace vr::guitest
