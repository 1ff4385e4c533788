// The fixture of the engine's end-to-end tests: open an input, set options,
// open an output, run on the calling thread, and read back what was written.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace qvtest {

using TOptions = std::vector<std::pair<std::string, std::string>>;

inline const TOptions kCopy = {{"vcodec", "copy"}, {"acodec", "copy"}};

// The window's conversion settings.
inline TOptions WindowOptions(TOptions AExtra = {})
{
  TOptions o = {{"vcodec", "mpeg4"}, {"acodec", "libfaac"}, {"s", "320x240"}, {"r", "15"},
                {"b", "360000"},     {"ab", "96000"},       {"ar", "44100"},   {"ac", "2"}};
  o.insert(o.end(), AExtra.begin(), AExtra.end());
  return o;
}

inline TOptions operator+(TOptions A, const TOptions &B)
{
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

struct TProgressCall {
  int Frame, Fps, Duration;
  float Quality, BitRate;
  int64_t Size;
  int Total;
};

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }

  // Opens AIn, sets AOptions (and runs AOutputSetUp), opens AOut.
  void Open(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut, const TOptions &AOptions,
            const std::function<void(TCustomFFmpeg &)> &AOutputSetUp = {})
  {
    AEngine.Prepare();
    // Engines running side by side log from their own threads.
    AEngine.OnLog = [this](TCustomFFmpeg *, int, const std::string &msg) {
      std::lock_guard<std::mutex> lock(LinesLock);
      Lines.push_back(msg);
    };
    ASSERT_TRUE(AEngine.OpenInputFile(AIn)) << AEngine.LastOptionError;
    for (const auto &[name, value] : AOptions) AEngine.SetOption(name, value);
    if (AOutputSetUp) AOutputSetUp(AEngine);
    ASSERT_TRUE(AEngine.OpenOutputFile(AOut)) << AEngine.LastOptionError;
  }
  void Run(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut, const TOptions &AOptions,
           const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {})
  {
    Open(AEngine, AIn, AOut, AOptions);
    if (HasFatalFailure()) return;
    if (ABeforeStart) ABeforeStart(AEngine);
    AEngine.Start(false);
  }
  // Runs the opened AEngine on its worker thread and asks it to stop once
  // AAfterMs of output exist; expects a stop, not a failure, and returns
  // what the output holds.
  TMediaInfo RunAndStop(TCustomFFmpeg &AEngine, const std::string &AOut, int AAfterMs)
  {
    std::atomic<int> stops{0};
    AEngine.ProgressInterval = 0;  // every report, so the stop comes soon after AAfterMs
    AEngine.OnProgress = [&](TCustomFFmpeg *e, int, int, int ms, float, float, int64_t, int) {
      if (ms > AAfterMs && stops++ == 0) e->Stop();
    };
    if (TFFmpegThread *thread = AEngine.Start(true)) thread->Resume();
    AEngine.WaitForThread();
    EXPECT_GT(stops, 0) << "the run ended before it could be stopped";
    EXPECT_FALSE(AEngine.Finished);
    EXPECT_FALSE(AEngine.ExceptionRaised) << AEngine.LastErrorMessage;
    return Probe(AOut);
  }
  // Runs and expects success; returns what the output holds.
  TMediaInfo Convert(const std::string &AIn, const std::string &AOut, const TOptions &AOptions,
                     const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {}, TCustomFFmpeg *AEngine = nullptr)
  {
    TCustomFFmpeg local;
    TCustomFFmpeg &engine = AEngine ? *AEngine : local;
    Run(engine, AIn, AOut, AOptions, ABeforeStart);
    EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    EXPECT_TRUE(engine.Finished);
    return Probe(AOut);
  }
  static TMediaInfo Probe(const std::string &APath)
  {
    TMediaInfo info;
    std::string error;
    EXPECT_TRUE(qvtest::ProbeMedia(APath, info, &error)) << error;
    return info;
  }
  std::string Generated(const std::string &AName, double ASeconds, AVRational ARate = {25, 1}, bool AAudio = true)
  {
    qvtest::TGenOptions gen;
    gen.Seconds = ASeconds;
    gen.FrameRate = ARate;
    if (!AAudio) gen.AudioCodec = "";
    qvtest::MakeMedia(Dir.File(AName), gen);
    return Dir.File(AName);
  }

  std::vector<std::string> Lines;  // read once the runs are over
  std::mutex LinesLock;
  qvtest::TScratchDir Dir;
};

}  // namespace qvtest
