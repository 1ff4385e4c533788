// Lengths: progress measured against the length the tags span, whatever
// onMetaData says, and what a finished run says of an input that gave less.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "EngineRun.h"
#include "FlvTags.h"

namespace qvtest {
namespace {

using LengthTest = ConvertTest;

TEST_F(LengthTest, ProgressFollowsTheRealLengthAndAnInputThatEndsEarlyIsDoneWithAWarning)
{
  const struct {
    const char *Name;
    double MetaFactor;    // onMetaData's duration over the real one; < 0: none
    int64_t StartMs = 0;  // the tags' times moved to start here
    bool Pipe = false;    // read through a pipe: onMetaData's length is all there is
    int Cut = 0;          // the file cut to 30 %: 1 before the run, 2 after its first second
    int64_t LimitMs = 0;  // -t
    const char *Code = "", *Text = "";  // the warning expected
  } cases[] = {{"honest", 1}, {"ten-times-long", 10}, {"ten-times-short", 0.1}, {"missing", -1},
               {"late-start", 1, 4151000}, {"late-start-short", 0.1, 4151000}, {"pipe", 1, 0, true},
               {"pipe-lying-long", 10, 0, true}, {"limited", 1, 0, false, 2, 2000},
               {"cut-during-run", 1, 0, false, 2, 0, "input-ended-early", "the input ended early at 0:0"},
               {"cut-before-run", 1, 0, false, 1, 0, "truncated-tail", " of 0:10"}};
  TGenOptions gen;  // larger than the reader's buffer, so a cut during the run is met
  gen.Seconds = 10, gen.Width = 640, gen.Height = 480;
  MakeMedia(Dir.File("clean.flv"), gen);
  double real = 0;  // ms, as FFmpeg's demuxer reads them
  for (const TStreamInfo &s : Probe(Dir.File("clean.flv")).Streams) real = std::max(real, s.Duration * 1000);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string in = Dir.File(std::string(c.Name) + ".flv"), out = Dir.File(std::string(c.Name) + ".mp4");
    TFlvFile file = TFlvFile::Load(Dir.File("clean.flv"));
    SetMetaDuration(file, c.MetaFactor < 0 ? -1 : real / 1000 * c.MetaFactor);
    for (TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += c.StartMs;
    file.Save(in);
    const int64_t size = FileSize(in);
    if (c.Cut == 1) ASSERT_EQ(truncate(in.c_str(), size * 3 / 10), 0);
    TCustomFFmpeg engine;
    FILE *cat = c.Pipe ? popen(("cat " + in).c_str(), "r") : nullptr;
    std::vector<std::pair<int, int>> events;  // done, total (ms)
    auto watch = [&](TCustomFFmpeg &AEngine) {
      AEngine.ProgressInterval = 0;
      AEngine.OnProgress = [&](TCustomFFmpeg *, int, int, int ADone, float, float, int64_t, int ATotal) {
        events.emplace_back(ADone, ATotal);
        if (c.Cut == 2 && ADone > 1000) truncate(in.c_str(), size * 3 / 10);
      };
    };
    const TOptions options = c.LimitMs ? kCopy + TOptions{{"t", std::to_string(c.LimitMs / 1000)}} : kCopy;
    const TMediaInfo made = Convert(cat ? "pipe:" + std::to_string(fileno(cat)) : in, out, options, watch, &engine);
    if (cat) pclose(cat);
    // The best length there is to know: what a file cut before the run holds, a pipe's onMetaData, -t's.
    double known = c.Cut == 1 ? made.Duration * 1000 : (c.Pipe ? c.MetaFactor : 1) * real;
    if (c.LimitMs) known = std::min<double>(known, c.LimitMs);
    ASSERT_GT(events.size(), 10u);
    for (const auto &[done, total] : events) {
      EXPECT_NEAR(done * 100.0 / total, done * 100.0 / known, 10.0) << done << " of " << total << ", known " << known;
      if (!c.LimitMs) EXPECT_LE(done, total);  // -t ends on the frame after it
    }
    ASSERT_EQ(engine.RunWarnings.size(), *c.Code ? 1u : 0u);
    if (!*c.Code) {  // at the end, as far as the media goes
      const double most = 99.0 * std::min(1.0, real / known);
      EXPECT_GE(events.back().first * 100.0 / events.back().second, most);
      continue;
    }
    EXPECT_EQ(engine.RunWarnings[0].Code, c.Code);
    EXPECT_NE(engine.RunWarnings[0].Text.find(c.Text), std::string::npos) << engine.RunWarnings[0].Text;
    EXPECT_LT(made.Duration, real / 1000 - 1);
  }
}

}  // namespace
}  // namespace qvtest
