// Summaries of findings and warnings (see Findings.h).
#include "Findings.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string ClockText(int64_t AMs)
{
  const int64_t s = std::max<int64_t>(AMs, 0) / 1000;
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  return text;
}

}  // namespace

std::string FindingsDetails(const std::vector<flv::TFinding> &AFindings)
{
  std::string text;
  for (const flv::TFinding &f : AFindings) {
    text += std::string(flv::LevelName(f.Level)) + " " + f.Code;
    if (f.Offset >= 0) text += ", byte " + std::to_string(f.Offset);
    if (f.TimeMs >= 0) text += ", " + ClockText(f.TimeMs);
    text += ": " + f.Text + " (" + flv::ActionName(f.Action) + ")\n";
  }
  return text;
}

std::string RunWarningsText(const std::vector<TRunWarning> &AWarnings)
{
  std::string text;
  for (const TRunWarning &w : AWarnings) text += (text.empty() ? "" : "; ") + w.Text;
  return text;
}
