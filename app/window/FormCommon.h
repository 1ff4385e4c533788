// What the window's source files share and nobody else needs: its design
// sizes, the keys of the choices kept between sessions, and the conversions
// between the toolkit's texts and the component's. Header only; any thread.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdint>
#include <string>

namespace qvwindow {

inline constexpr const char *AppTitle = "Quenvaro";
// The client area as designed; only the status bar may make it taller.
inline constexpr int FormWidth = 442;
inline constexpr int FormHeight = 287;
inline constexpr int StatusBarHeight = 19;
// How much of each queued file is read for the size of its rewrap.
inline constexpr int64_t QueueScanBytes = 8 << 20;

// Where the settings keep each choice.
inline constexpr const char *KeyOutputFolder = "OutputFolder";
inline constexpr const char *KeyPreset = "Preset";
inline constexpr const char *KeyRewrap = "Rewrap";
inline constexpr const char *KeyKeepDates = "KeepDates";
inline constexpr const char *KeyVerify = "VerifyOutput";

inline QString FromStd(const std::string &AText) { return QString::fromStdString(AText); }
inline std::string ToStd(const QString &AText) { return AText.toStdString(); }
// File names go to the component in the file system's encoding.
inline std::string FileNameToStd(const QString &AName) { return QFile::encodeName(AName).toStdString(); }
inline QString FileNameFromStd(const std::string &AName) { return QFile::decodeName(QByteArray::fromStdString(AName)); }

inline bool FileExists(const QString &AName) {
  if (AName.isEmpty()) return false;
  const QFileInfo fi(AName);
  return fi.exists() && !fi.isDir();
}

// A path shortened to about AChars characters by leaving out its middle.
inline QString ElideMiddle(const QString &AText, int AChars) {
  if (AText.size() <= AChars) return AText;
  const int head = (AChars - 1) / 2, tail = AChars - 1 - head;
  return AText.left(head) + QChar(0x2026) + AText.right(tail);
}

// A reason without the file's own path, which the reader already has
// ("<path>: Unknown format" reads "Unknown format").
inline QString WithoutPath(const QString &AReason, const QString &APath) {
  QString r = AReason;
  r.replace(APath + QStringLiteral(": "), QString());
  r.replace(QStringLiteral("'") + APath + QStringLiteral("'"), QFileInfo(APath).fileName());
  return r;
}

}  // namespace qvwindow
