// Texts of sizes and times, and the user guide's place (see WindowTexts.h).
#include "WindowTexts.h"

#include <QDir>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "FormCommon.h"
#include "SysFormat.h"

// Where the user guide lies relative to the program's folder, installed and
// in the build tree.
#ifndef QV_GUIDE_INSTALLED
#define QV_GUIDE_INSTALLED "../../share/doc/quenvaro/user-guide.html"
#endif
#ifndef QV_GUIDE_BUILT
#define QV_GUIDE_BUILT "../share/doc/quenvaro/user-guide.html"
#endif

std::string SizeText(int64_t ASize) {
  if (ASize > 1048576) return avbind::Format("%8.2f Mbytes", {static_cast<double>(ASize) / 1048576.0});
  if (ASize > 1024) return avbind::Format("%8.2f Kbytes", {static_cast<double>(ASize) / 1024.0});
  return std::to_string(ASize) + " bytes";
}

std::string TimeText(double ATheTime) {
  // Only the time of day counts; a negative value reads like its magnitude.
  double fraction = std::fabs(ATheTime - std::trunc(ATheTime));
  int64_t ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
  if (ms >= 86400000) ms = 0;
  const int64_t secs = ms / 1000;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return buf;
}

double TimeLeft(double AEstimatedTotal, double AElapsed) {
  if (!(AEstimatedTotal > 0)) return -1;
  return std::max(AEstimatedTotal - AElapsed, 0.0);
}

QString UserGuideFile(const QString &AProgramFolder) {
  const QDir dir(AProgramFolder);
  const QString installed = QDir::cleanPath(dir.filePath(QStringLiteral(QV_GUIDE_INSTALLED)));
  for (const QString &place : {installed, QDir::cleanPath(dir.filePath(QStringLiteral(QV_GUIDE_BUILT)))})
    if (qvwindow::FileExists(place)) return place;
  return installed;
}
