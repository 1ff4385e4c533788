// Hook range texts ("0-1000, 5000-8000", ms). Besides the sanitizers, checks
// what the engine relies on when it walks the ranges during a run: every kept
// range is ordered and ends at or after zero, the list is sorted by end, and
// the count and the walking index match the list.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FFmpeg.h"
#include "Options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  const std::string text(reinterpret_cast<const char *>(AData), ASize);
  TCustomFFmpeg engine;
  ParseHookRanges(engine, text);
  const auto &ranges = engine.HookRanges;
  if (engine.HookRangeCount != static_cast<int32_t>(ranges.size()) || engine.HookRangeIndex != 0) std::abort();
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].StartPts > ranges[i].EndPts || ranges[i].EndPts < 0) std::abort();
    if (i > 0 && ranges[i - 1].EndPts > ranges[i].EndPts) std::abort();
  }
  // Never more ranges than comma-separated items.
  size_t items = 1;
  for (char c : text) items += c == ',';
  if (ranges.size() > items) std::abort();
  return 0;
}
