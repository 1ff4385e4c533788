// Shared by the component tests: a loaded component on a pumped window
// thread, and a recorder of its terminate events.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Strix.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace qvtest {

inline std::string LibAVDir() { return std::string(QV_BIN_DIR) + "/LibAV"; }

struct TEndReport {
  int Index;
  bool Finished;
  bool Exception;
  std::string Message;
  uint32_t Thread;
};

// Collects OnTerminate reports; Done turns true with the -1 report.
class TEndRecorder {
 public:
  void Attach(TCustomStrix &AStrix)
  {
    AStrix.OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
      std::lock_guard<std::mutex> lock(FLock);
      FReports.push_back(TEndReport{AIndex, AFinished, AException, AMessage, static_cast<uint32_t>(gettid())});
      if (AIndex < 0) ++RunEnds;
    };
  }
  std::vector<TEndReport> Reports() const
  {
    std::lock_guard<std::mutex> lock(FLock);
    return FReports;
  }
  std::vector<int> Indexes() const
  {
    std::vector<int> out;
    for (const auto &r : Reports()) out.push_back(r.Index);
    return out;
  }
  std::atomic<int> RunEnds{0};

 private:
  mutable std::mutex FLock;
  std::vector<TEndReport> FReports;
};

class TComponentTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    LoadLibs();
    Strix = std::make_unique<TStrix>(Window);
    ASSERT_TRUE(Strix->LoadLibraries(LibAVDir(), true)) << Strix->LastError();
    Strix->SetLogLevel(llError);
  }
  void TearDown() override
  {
    Strix.reset();
    Window.ProcessEvents(0);
  }
  // Pumps the window thread until the run's -1 report (or the timeout).
  bool WaitForRunEnd(TEndRecorder &ARecorder, int AExpectedEnds = 1, int ATimeoutMs = 120000)
  {
    return Window.ProcessEventsUntil([&] { return ARecorder.RunEnds.load() >= AExpectedEnds; }, ATimeoutMs);
  }
  // A generated FLV (FLV1 video, MP3 audio) of ASeconds, made once per name.
  std::string Media(const std::string &AName, double ASeconds, int AWidth = 160, int AHeight = 120)
  {
    std::string path = Scratch.File(AName);
    if (!FileExists(path)) {
      TGenOptions gen;
      gen.VideoCodec = "flv";
      gen.AudioCodec = "libmp3lame";
      gen.Width = AWidth;
      gen.Height = AHeight;
      gen.Seconds = ASeconds;
      MakeMedia(path, gen);
    }
    return path;
  }
  // The window's settings: MPEG-4 video, AAC audio, 15 fps.
  static TOutputOptions WindowOutput()
  {
    TOutputOptions o;
    o.VideoCodecName = "mpeg4";
    o.AudioCodecName = "libfaac";
    o.FrameRate = "15";
    return o;
  }
  int AddConversion(const std::string &AInput, const std::string &AOutput)
  {
    int index = Strix->AddTask(AInput);
    EXPECT_GE(index, 0) << Strix->LastError();
    if (index >= 0) {
      EXPECT_TRUE(Strix->AddTaskOutput(index, AOutput, WindowOutput())) << Strix->LastError();
    }
    return index;
  }

  TPumpedWindowThread Window;
  std::unique_ptr<TStrix> Strix;
  TScratchDir Scratch;
};

}  // namespace qvtest
