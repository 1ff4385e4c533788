// Lengths: progress measured against the length the tags span, whatever
// onMetaData says, and what a finished run says of an input that gave less.
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "EngineRun.h"
#include "FlvTags.h"

namespace qvtest {
namespace {

struct TLengthCase {
  const char *Name;
  double MetaFactor = 1;  // onMetaData's duration over the real one; < 0: none
  int64_t StartMs = 0;    // the tags' times moved to start here
  bool Pipe = false;      // read through a pipe: onMetaData's length is all there is
  int Cut = 0;            // the file cut to 30 %: 1 before the run, 2 after its first second
  int64_t LimitMs = 0;    // -t
};

class LengthTest : public ConvertTest {
 protected:
  // Copies ASeconds of AWidth-wide H.264/AAC, changed as ACase says, into an
  // MP4, every progress report kept; ARealMs: the span FFmpeg's demuxer reads.
  void Run(const TLengthCase &ACase, double ASeconds, int AWidth, double &ARealMs)
  {
    const std::string clean = Dir.File("clean" + std::to_string(AWidth) + ".flv");
    const std::string in = Dir.File(std::string(ACase.Name) + ".flv");
    if (!FileExists(clean)) {
      TGenOptions gen;
      gen.Seconds = ASeconds, gen.Width = AWidth, gen.Height = AWidth * 3 / 4;
      MakeMedia(clean, gen);
    }
    ARealMs = 0;
    for (const TStreamInfo &s : Probe(clean).Streams) ARealMs = std::max(ARealMs, s.Duration * 1000);
    TFlvFile file = TFlvFile::Load(clean);
    SetMetaDuration(file, ACase.MetaFactor < 0 ? -1 : ARealMs / 1000 * ACase.MetaFactor);
    for (TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += ACase.StartMs;
    file.Save(in);
    const int64_t size = FileSize(in);
    if (ACase.Cut == 1) {
      EXPECT_EQ(truncate(in.c_str(), size * 3 / 10), 0);
    }
    Engine = std::make_unique<TCustomFFmpeg>();
    Engine->Prepare();
    std::string name = in;
    std::thread feeder;
    int fds[2];
    if (ACase.Pipe && pipe(fds) == 0) {
      feeder = std::thread([fd = fds[1], bytes = ReadFile(in)] {
        for (size_t done = 0; done < bytes.size();) {
          const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        close(fd);
      });
      Engine->SetOption("f", "flv");
      name = "pipe:" + std::to_string(fds[0]);
    }
    Events.clear();
    Engine->ProgressInterval = 0;
    Engine->OnProgress = [&](TCustomFFmpeg *, int, int, int ADone, float, float, int64_t, int ATotal) {
      Events.emplace_back(ADone, ATotal);
      if (ACase.Cut == 2 && ADone > 1000) truncate(in.c_str(), size * 3 / 10);
    };
    if (Engine->OpenInputFile(name)) {
      for (const auto &[option, value] : kCopy) Engine->SetOption(option, value);
      if (ACase.LimitMs > 0) Engine->SetRecordingTimeMs(ACase.LimitMs);
      if (Engine->OpenOutputFile(Dir.File(std::string(ACase.Name) + ".mp4"))) Engine->Start(false);
    }
    if (feeder.joinable()) feeder.join();
    if (ACase.Pipe) close(fds[0]);
    EXPECT_TRUE(Engine->Finished) << Engine->LastOptionError << Engine->LastErrorMessage;
  }
  std::unique_ptr<TCustomFFmpeg> Engine;
  std::vector<std::pair<int, int>> Events;  // done, total (ms)
};

TEST_F(LengthTest, ProgressFollowsTheRealLengthWhateverOnMetaDataSays)
{
  const TLengthCase cases[] = {{"honest"},       {"ten-times-long", 10}, {"ten-times-short", 0.1}, {"missing", -1},
                               {"late-start", 1, 4151000}, {"late-start-short", 0.1, 4151000}, {"pipe", 1, 0, true}};
  for (const TLengthCase &c : cases) {
    SCOPED_TRACE(c.Name);
    double real = 0;
    Run(c, 4.0, 320, real);
    EXPECT_TRUE(Engine->RunWarnings.empty());
    ASSERT_GT(Events.size(), 10u);
    for (const auto &[done, total] : Events) {
      ASSERT_GT(total, 0);
      EXPECT_NEAR(done * 100.0 / total, done * 100.0 / real, 10.0) << done << " of " << total << ", real " << real;
      EXPECT_LE(done, total);
    }
    EXPECT_GE(Events.back().first * 100.0 / Events.back().second, 99.0) << Events.back().first;
  }
}

// Each way an input gives less than its known length, and two that are no early end.
TEST_F(LengthTest, AnInputThatEndsEarlyIsDoneWithAWarning)
{
  const struct {
    TLengthCase Case;
    const char *Code, *Text;  // the warning expected; "" for none
  } cases[] = {
      {{"cut-during-run", 1, 0, false, 2}, "input-ended-early", "the input ended early at 0:0"},
      {{"cut-before-run", 1, 0, false, 1}, "truncated-tail", " of 0:10"},
      {{"pipe-lying-long", 10, 0, true}, "", ""},
      {{"limited", 1, 0, false, 2, 2000}, "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Case.Name);
    double real = 0;
    Run(c.Case, 10.0, 640, real);  // larger than the reader's buffer, so a cut during the run is met
    ASSERT_EQ(Engine->RunWarnings.size(), *c.Code ? 1u : 0u);
    if (!*c.Code) continue;
    EXPECT_EQ(Engine->RunWarnings[0].Code, c.Code);
    EXPECT_NE(Engine->RunWarnings[0].Text.find(c.Text), std::string::npos) << Engine->RunWarnings[0].Text;
    EXPECT_LT(Probe(Dir.File(std::string(c.Case.Name) + ".mp4")).Find(AVMEDIA_TYPE_VIDEO)->Duration, real / 1000 - 1);
  }
}

}  // namespace
}  // namespace qvtest
