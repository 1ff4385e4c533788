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

flv::TFinding Finding(const char *ACode, flv::TFindingLevel ALevel, flv::TFindingAction AAction, int64_t ACount,
                      std::string AText)
{
  flv::TFinding f;
  f.Code = ACode;
  f.Level = ALevel;
  f.Action = AAction;
  f.Count = ACount;
  f.Text = std::move(AText);
  return f;
}

}  // namespace

std::vector<flv::TFinding> FindingsOf(const flv::TReader &AReader)
{
  if (!AReader.Findings().empty()) return AReader.Findings();
  using L = flv::TFindingLevel;
  using A = flv::TFindingAction;
  const flv::TRepairs &r = AReader.Repairs();
  std::vector<flv::TFinding> out;
  if (r.Resyncs > 0 || r.BytesSkipped > 0)
    out.push_back(Finding("damaged-region", L::Warning, A::Mended, r.Resyncs,
                          std::to_string(r.BytesSkipped) + " bytes that hold no tag are skipped"));
  if (r.TruncatedTags > 0)
    out.push_back(Finding("truncated-tail", L::Warning, A::Lost, r.TruncatedTags,
                          "the file ends inside a tag: the input was cut short"));
  if (r.DroppedBeforeConfig > 0)
    out.push_back(Finding("config-late", L::Warning, A::Lost, r.DroppedBeforeConfig,
                          std::to_string(r.DroppedBeforeConfig) +
                              " packets come before their configuration or first key frame"));
  if (r.UnreadableUnits > 0)
    out.push_back(Finding("unreadable-data", L::Warning, A::Lost, r.UnreadableUnits,
                          std::to_string(r.UnreadableUnits) + " tags cannot be read"));
  if (r.ConfigChanges > 0)
    out.push_back(Finding("config-changed", L::Information, A::Mended, r.ConfigChanges,
                          "a stream's configuration changes " + std::to_string(r.ConfigChanges) + " times"));
  if (r.ShiftedTracks > 0)
    out.push_back(Finding("negative-composition", L::Information, A::Mended, r.ShiftedTracks,
                          "pictures are shown before they are decoded"));
  return out;
}

std::string FindingsSummaryLine(const std::vector<flv::TFinding> &AFindings)
{
  int problems = 0;
  bool lost = false, anyway = false;
  for (const flv::TFinding &f : AFindings) {
    if (f.Level == flv::TFindingLevel::Information) continue;
    ++problems;
    lost = lost || f.Action == flv::TFindingAction::Lost;
    anyway = anyway || f.Action == flv::TFindingAction::ConvertedAnyway;
  }
  if (problems == 0) return {};
  const bool one = problems == 1;
  const std::string what = lost     ? "some data will be lost"
                           : anyway ? (one ? "it will be converted as it is" : "they will be converted as they are")
                                    : (one ? "it will be mended" : "they will be mended");
  return std::to_string(problems) + (one ? " problem found: " : " problems found: ") + what;
}

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
