// Lengths: progress measured against the length the tags span, whatever
// onMetaData says, and what a finished run says of an input that gave less
// than that length.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "EngineRun.h"
#include "FlvTags.h"

namespace qvtest {
namespace {

struct TLengthCase {
  const char *Name;
  double MetaFactor;  // onMetaData's duration as a multiple of the real length; < 0: none
  int64_t StartMs;    // the tags' times moved to start here
  bool Pipe;          // read through a pipe (onMetaData's length is all there is)
};

class LengthTest : public ConvertTest {
 protected:
  // A 4 s H.264/AAC FLV changed as ACase says; ARealUs: the length its
  // packets span as FFmpeg's own demuxer reads them.
  std::string Make(const TLengthCase &ACase, int64_t &ARealUs, double ASeconds = 4.0, int AWidth = 320)
  {
    const std::string clean = Dir.File(std::string("clean-") + std::to_string(AWidth) + ".flv");
    if (!FileExists(clean)) {
      TGenOptions gen;
      gen.Seconds = ASeconds;
      gen.Width = AWidth;
      gen.Height = AWidth * 3 / 4;
      MakeMedia(clean, gen);
    }
    TFlvFile file = TFlvFile::Load(clean);
    TMediaInfo info;
    EXPECT_TRUE(ProbeMedia(clean, info));
    double real = 0;
    for (const TStreamInfo &s : info.Streams) real = std::max(real, s.Duration);
    ARealUs = static_cast<int64_t>(real * 1e6);
    SetMetaDuration(file, ACase.MetaFactor < 0 ? -1 : real * ACase.MetaFactor);
    for (TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += ACase.StartMs;
    const std::string path = Dir.File(std::string(ACase.Name) + ".flv");
    file.Save(path);
    return path;
  }
  // Opens APath (through a pipe fed by AFeeder when APipe) into AOut with the stream copied.
  void OpenCopy(TCustomFFmpeg &AEngine, const std::string &APath, const std::string &AOut, bool APipe,
                std::thread &AFeeder)
  {
    std::string input = APath;
    AEngine.Prepare();
    if (APipe) {
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      const std::string bytes = ReadFile(APath);
      AFeeder = std::thread([fd = fds[1], bytes] {
        for (size_t done = 0; done < bytes.size();) {
          const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        close(fd);
      });
      Pipes.push_back(fds[0]);
      AEngine.SetOption("f", "flv");
      input = "pipe:" + std::to_string(fds[0]);
    }
    ASSERT_TRUE(AEngine.OpenInputFile(input)) << AEngine.LastOptionError;
    for (const auto &[name, value] : kCopy) AEngine.SetOption(name, value);
    ASSERT_TRUE(AEngine.OpenOutputFile(AOut)) << AEngine.LastOptionError;
  }
  void TearDown() override
  {
    for (int fd : Pipes) close(fd);
  }
  std::vector<int> Pipes;
};

TEST_F(LengthTest, ProgressFollowsTheRealLengthWhateverOnMetaDataSays)
{
  const TLengthCase cases[] = {
      {"honest", 1, 0, false},         {"ten-times-long", 10, 0, false}, {"ten-times-short", 0.1, 0, false},
      {"missing", -1, 0, false},       {"late-start", 1, 4151000, false}, {"late-start-short", 0.1, 4151000, false},
      {"pipe", 1, 0, true},
  };
  for (const TLengthCase &c : cases) {
    SCOPED_TRACE(c.Name);
    int64_t realUs = 0;
    const std::string in = Make(c, realUs);
    TCustomFFmpeg engine;
    std::thread feeder;
    OpenCopy(engine, in, Dir.File(std::string(c.Name) + ".mp4"), c.Pipe, feeder);
    std::vector<std::pair<int, int>> events;  // done, total (ms)
    engine.ProgressInterval = 0;
    engine.OnProgress = [&](TCustomFFmpeg *, int, int, int ADone, float, float, int64_t, int ATotal) {
      events.emplace_back(ADone, ATotal);
    };
    engine.Start(false);
    if (feeder.joinable()) feeder.join();
    EXPECT_TRUE(engine.Finished) << engine.LastErrorMessage;
    EXPECT_TRUE(engine.RunWarnings.empty()) << engine.RunWarnings[0].Text;
    ASSERT_GT(events.size(), 10u);
    const double real = static_cast<double>(realUs) / 1000.0;
    for (const auto &[done, total] : events) {
      ASSERT_GT(total, 0);
      const double shown = done * 100.0 / total, truth = done * 100.0 / real;
      EXPECT_NEAR(shown, truth, 10.0) << done << " of " << total << " ms, real " << real;
      EXPECT_LE(shown, 100.0) << done << " of " << total;
    }
    EXPECT_GE(events.back().first * 100.0 / events.back().second, 97.0) << events.back().first;
  }
}

// What a run that finishes says of its input: each way an input can give
// less than its known length, and the ways that are no early end.
TEST_F(LengthTest, AnInputThatEndsEarlyIsDoneWithAWarning)
{
  enum TCut { cutNone, cutBefore, cutDuring };
  struct TCase {
    const char *Name;
    TCut Cut;
    double MetaFactor;
    bool Pipe;
    int64_t LimitMs;  // -t
    const char *Code;  // the warning expected, "" for none
    const char *Text;
  } cases[] = {
      {"cut-during-run", cutDuring, 1, false, 0, "input-ended-early", " of 0:10"},
      {"cut-before-run", cutBefore, 1, false, 0, "input-cut-short", "the input ended early at 0:0"},
      {"pipe-lying-long", cutNone, 10, true, 0, "", ""},
      {"limited", cutDuring, 1, false, 2000, "", ""},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    int64_t realUs = 0;
    // Larger than the reader's buffer, so a cut during the run is met.
    const std::string in = Make({c.Name, c.MetaFactor, 0, c.Pipe}, realUs, 10.0, 640);
    const int64_t size = FileSize(in);
    if (c.Cut == cutBefore) {
      ASSERT_EQ(truncate(in.c_str(), size * 3 / 10), 0);
    }
    TCustomFFmpeg engine;
    std::thread feeder;
    OpenCopy(engine, in, Dir.File(std::string(c.Name) + ".mp4"), c.Pipe, feeder);
    if (c.LimitMs > 0) engine.SetRecordingTimeMs(c.LimitMs);
    engine.ProgressInterval = 0;
    bool cut = false;
    engine.OnProgress = [&](TCustomFFmpeg *, int, int, int ADone, float, float, int64_t, int) {
      if (c.Cut == cutDuring && !cut && ADone > 1000) cut = truncate(in.c_str(), size * 3 / 10) == 0;
    };
    engine.Start(false);
    if (feeder.joinable()) feeder.join();
    EXPECT_TRUE(engine.Finished) << engine.LastErrorMessage;
    if (!*c.Code) {
      EXPECT_TRUE(engine.RunWarnings.empty()) << engine.RunWarnings[0].Text;
      continue;
    }
    ASSERT_EQ(engine.RunWarnings.size(), 1u);
    EXPECT_EQ(engine.RunWarnings[0].Code, c.Code);
    EXPECT_NE(engine.RunWarnings[0].Text.find(c.Text), std::string::npos) << engine.RunWarnings[0].Text;
    // The output holds what the input gave, and plays.
    const TMediaInfo out = Probe(Dir.File(std::string(c.Name) + ".mp4"));
    ASSERT_NE(out.Find(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_LT(out.Find(AVMEDIA_TYPE_VIDEO)->Duration, realUs / 1e6 - 1.0);
  }
}

}  // namespace
}  // namespace qvtest
