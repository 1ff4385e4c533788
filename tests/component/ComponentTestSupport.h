// Shared by the component and stress tests: a loaded component on a pumped
// window thread, and a recorder of its end reports.
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
inline uint32_t ThisThread() { return static_cast<uint32_t>(gettid()); }

struct TEndReport {
  int Index;
  bool Finished, Exception;
  std::string Message;
  uint32_t Thread;
};

// Collects OnTerminate reports; RunEnds counts the -1 reports.
class TEndRecorder {
 public:
  void Attach(TCustomStrix &AStrix)
  {
    AStrix.OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
      std::lock_guard<std::mutex> lock(FLock);
      FReports.push_back(TEndReport{AIndex, AFinished, AException, AMessage, ThisThread()});
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

// A library object as the log callback sees one: its first member is the class.
inline const AVClass *TesterClass()
{
  static const AVClass Class = [] {
    AVClass c{};
    c.class_name = "Tester";
    c.item_name = [](void *) -> const char * { return "tester"; };
    c.version = LIBAVUTIL_VERSION_INT;
    return c;
  }();
  return &Class;
}
struct TTester {
  const AVClass *Class = TesterClass();
};

class TComponentTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    LoadLibs();
    Strix = std::make_unique<TStrix>(Window);
    ASSERT_TRUE(Strix->LoadLibraries(LibAVDir(), true)) << Strix->LastError();
    Strix->SetLogLevel(llError);
    Rec.Attach(*Strix);
  }
  void TearDown() override
  {
    Strix.reset();
    Window.ProcessEvents(0);
  }
  // Pumps the window thread until AExpectedEnds run ends were reported.
  bool WaitForRunEnd(int AExpectedEnds = 1, int ATimeoutMs = 120000)
  {
    return Window.ProcessEventsUntil([&] { return Rec.RunEnds.load() >= AExpectedEnds; }, ATimeoutMs);
  }
  // A generated FLV (FLV1 video, MP3 audio), made once per name.
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
  // The output has a video stream with packets.
  static void ExpectPlayable(const std::string &AFile)
  {
    TMediaInfo info;
    std::string error;
    ASSERT_TRUE(ProbeMedia(AFile, info, &error)) << AFile << ": " << error;
    const TStreamInfo *video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr) << AFile;
    EXPECT_GT(video->Packets, 0) << AFile;
  }

  TPumpedWindowThread Window;
  TEndRecorder Rec;  // attached to Strix
  std::unique_ptr<TStrix> Strix;
  TScratchDir Scratch;
};

}  // namespace qvtest
