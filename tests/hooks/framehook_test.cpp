// Frame-hook libraries on pictures we make ourselves: the "vhook" option,
// loading, the entry-point rules, running and releasing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <thread>

#include "FFmpeg.h"
#include "FrameHook.h"
#include "HookTestSupport.h"
#include "TestEnv.h"

namespace {

using hooktest::HookText;
using hooktest::TLibraryLogCapture;
using hooktest::TPicture;
using hooktest::TProbe;

const std::string FillRect = QV_FILLRECT_HOOK;
const std::string Negate = QV_NEGATE_HOOK;
const std::string ProbeHook = QV_PROBE_HOOK;
const std::string NoProcess = QV_NOPROCESS_HOOK;

std::string Upper(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

class FrameHookTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    Engine.Prepare();
  }

  // The option's error text, empty when it was accepted.
  std::string Vhook(const std::string &AText)
  {
    try {
      Engine.SetOption("vhook", AText);
      return "";
    } catch (const std::exception &e) {
      return e.what();
    }
  }
  void Run(TPicture &APic, int64_t APts = 0)
  {
    AVFrame *f = APic.Frame();
    Engine.RunFrameHooks(f->data, f->linesize, static_cast<AVPixelFormat>(f->format), f->width, f->height, APts);
  }
  int HookCount() const { return Engine.FrameHooks ? Engine.FrameHooks->Count() : 0; }

  TCustomFFmpeg Engine;
};

// Every byte of every plane, padding included: AColour inside the rectangle
// [AX0, AX1) x [AY0, AY1) of that plane, the original pattern elsewhere.
void ExpectPlaneRect(TPicture &APic, int APlane, int AX0, int AY0, int AX1, int AY1, int AColour)
{
  const AVFrame *f = APic.Frame();
  int wrong = 0;
  for (int y = 0; y < APic.PlaneRows(APlane); ++y)
    for (int x = 0; x < f->linesize[APlane]; ++x) {
      const bool inside = x >= AX0 && x < AX1 && y >= AY0 && y < AY1;
      const int want = inside ? AColour : APic.Original(APlane, x, y);
      if (APic.Byte(APlane, x, y) != want && wrong++ < 5)
        ADD_FAILURE() << "plane " << APlane << " (" << x << "," << y << "): " << int(APic.Byte(APlane, x, y))
                      << " instead of " << want;
    }
  EXPECT_EQ(wrong, 0) << "plane " << APlane;
}

TEST_F(FrameHookTest, FillRectPaintsTheRectangleOnlyAndSetsUsingVhook)
{
  TPicture pic(96, 64);
  EXPECT_FALSE(Engine.UsingVhook);
  ASSERT_EQ(Vhook(HookText(FillRect, {"16", "16", "64", "32", "81", "90", "240"})), "");
  EXPECT_TRUE(Engine.UsingVhook);
  EXPECT_EQ(HookCount(), 1);
  Run(pic);
  ExpectPlaneRect(pic, 0, 16, 16, 80, 48, 81);
  ExpectPlaneRect(pic, 1, 8, 8, 40, 24, 90);
  ExpectPlaneRect(pic, 2, 8, 8, 40, 24, 240);
}

TEST_F(FrameHookTest, FillRectClipsAtOddPictureEdgesWithoutTouchingLinePadding)
{
  TPicture pic(33, 17);  // chroma 17 x 9
  ASSERT_EQ(Vhook(HookText(FillRect, {"30", "10", "100", "100", "1", "2", "3"})), "");
  Run(pic);
  ExpectPlaneRect(pic, 0, 30, 10, 33, 17, 1);
  ExpectPlaneRect(pic, 1, 15, 5, 17, 9, 2);
  ExpectPlaneRect(pic, 2, 15, 5, 17, 9, 3);

  TPicture full(20, 10, AV_PIX_FMT_YUV444P);
  Run(full);  // outside the rectangle altogether
  for (int p = 0; p < 3; ++p) ExpectPlaneRect(full, p, 0, 0, 0, 0, 0);
}

TEST_F(FrameHookTest, FillRectFollowsFullResolutionChroma)
{
  TPicture pic(20, 10, AV_PIX_FMT_YUV444P);
  ASSERT_EQ(Vhook(HookText(FillRect, {"3", "2", "5", "4", "10", "20", "30"})), "");
  Run(pic);
  ExpectPlaneRect(pic, 0, 3, 2, 8, 6, 10);
  ExpectPlaneRect(pic, 1, 3, 2, 8, 6, 20);
  ExpectPlaneRect(pic, 2, 3, 2, 8, 6, 30);
}

TEST_F(FrameHookTest, FillRectChecksItsArgumentsThroughConfigure)
{
  TLibraryLogCapture log;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"1", "2", "3"}, {"a", "0", "4", "4", "0", "0", "0"},
        {"0", "0", "4", "4", "0", "0", "256"}, {"0", "0", "0", "4", "0", "0", "0"},
        {"-1", "0", "4", "4", "0", "0", "0"}}) {
    const std::string text = HookText(FillRect, args);
    EXPECT_EQ(Vhook(text), "Failed to add video hook function: " + text);
  }
  const auto lines = log.Take();
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string &line : lines) EXPECT_EQ(line, "Failed to Configure " + FillRect + "\n");
  EXPECT_EQ(HookCount(), 0);
  EXPECT_FALSE(Engine.UsingVhook);

  // Blanks around the numbers of a "|" text are no reason to refuse.
  EXPECT_EQ(Vhook(FillRect + "| 2|2 | 4 |4|7|8|9 "), "");
  TPicture pic(16, 16);
  Run(pic);
  ExpectPlaneRect(pic, 0, 2, 2, 6, 6, 7);
}

TEST_F(FrameHookTest, TextSplitsAtBarsWhenItHasThemElseAtBlanks)
{
  TProbe probe;
  ASSERT_EQ(Vhook(ProbeHook + "|-x|5"), "");
  ProbeState s = probe.Read();
  EXPECT_EQ(s.last_argc, 3);
  EXPECT_EQ(std::string(s.args), ProbeHook + "\n-x\n5");
  EXPECT_TRUE(s.argv_terminated);

  ASSERT_EQ(Vhook(ProbeHook + " -x  5"), "");
  s = probe.Read();
  EXPECT_EQ(s.last_argc, 3);
  EXPECT_EQ(std::string(s.args), ProbeHook + "\n-x\n5");

  // With a bar present, blanks belong to the arguments.
  ASSERT_EQ(Vhook(ProbeHook + "|a b|c"), "");
  s = probe.Read();
  EXPECT_EQ(s.last_argc, 3);
  EXPECT_EQ(std::string(s.args), ProbeHook + "\na b\nc");
  EXPECT_EQ(HookCount(), 3);
}

TEST_F(FrameHookTest, SixtyFourEntriesAreTheLimit)
{
  TProbe probe;
  TLibraryLogCapture log;
  std::vector<std::string> args;
  for (int i = 1; i < MaxFrameHookArgs; ++i) args.push_back(std::to_string(i));
  ASSERT_EQ(Vhook(HookText(ProbeHook, args)), "");
  EXPECT_EQ(probe.Read().last_argc, 64);
  EXPECT_TRUE(probe.Read().argv_terminated);

  args.push_back("64");
  const std::string text = HookText(ProbeHook, args);
  EXPECT_EQ(Vhook(text), "Failed to add video hook function: " + text);
  EXPECT_EQ(probe.Read().configures, 1);
  EXPECT_EQ(HookCount(), 1);
  EXPECT_EQ(log.Take(),
            std::vector<std::string>{"Too many arguments for video hook " + ProbeHook + ": at most 63 are allowed\n"});

  // The list-level call guards itself as well.
  std::vector<char *> argv;
  for (int i = 0; i < 100; ++i) argv.push_back(const_cast<char *>(ProbeHook.c_str()));
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, 65, argv.data()), FrameHookTooManyArgs);
  EXPECT_EQ(AddFrameHook(chain, 0, argv.data()), FrameHookMissingEntry);
  EXPECT_TRUE(chain.Empty());
}

TEST_F(FrameHookTest, TextWithoutLibraryNameFails)
{
  for (const std::string text : {"", "|||", "   "})
    EXPECT_EQ(Vhook(text), "Failed to add video hook function: " + text);
  EXPECT_EQ(HookCount(), 0);
  EXPECT_FALSE(Engine.UsingVhook);
}

TEST_F(FrameHookTest, ProcessOnlyLibraryWorksByNameAloneButRefusesArguments)
{
  TLibraryLogCapture log;
  TPicture pic(40, 30);
  ASSERT_EQ(Vhook(Negate), "");
  ASSERT_EQ(HookCount(), 1);
  EXPECT_EQ(Engine.FrameHooks->Head->Context, nullptr);
  Run(pic);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(pic.Byte(0, x, y), 255 - pic.Original(0, x, y)) << x << "," << y;
  ExpectPlaneRect(pic, 1, 0, 0, 0, 0, 0);

  EXPECT_EQ(Vhook(Negate + "|1"), "Failed to add video hook function: " + Negate + "|1");
  EXPECT_EQ(log.Take(), std::vector<std::string>{"Failed to find Configure entrypoint in " + Negate + "\n"});
  EXPECT_EQ(HookCount(), 1);
}

TEST_F(FrameHookTest, LibraryWithoutProcessIsRefused)
{
  TLibraryLogCapture log;
  EXPECT_EQ(Vhook(NoProcess), "Failed to add video hook function: " + NoProcess);
  EXPECT_EQ(log.Take(), std::vector<std::string>{"Failed to find Process entrypoint in " + NoProcess + "\n"});
  EXPECT_EQ(HookCount(), 0);
  EXPECT_FALSE(Engine.UsingVhook);

  std::string name = NoProcess;
  char *argv[] = {name.data()};
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, 1, argv), FrameHookMissingEntry);
  EXPECT_TRUE(chain.Empty());
}

TEST_F(FrameHookTest, UnloadableLibraryLogsTheLoaderMessage)
{
  TLibraryLogCapture log;
  qvtest::TScratchDir dir;
  const std::string missing = dir.File("libnohook.so");
  const std::string junk = dir.File("libjunk.so");
  qvtest::WriteFile(junk, "not a library");
  const int before = LoadedFrameHookLibraryCount();

  EXPECT_EQ(Vhook(missing), "Failed to add video hook function: " + missing);
  std::string name = junk;
  char *argv[] = {name.data()};
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, 1, argv), FrameHookLoadFailed);

  const auto lines = log.Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("libnohook.so"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("libjunk.so"), std::string::npos) << lines[1];
  for (const std::string &line : lines) EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(LoadedFrameHookLibraryCount(), before);
}

TEST_F(FrameHookTest, ConfigureFailureIsReportedAndNothingIsListedOrReleased)
{
  TProbe probe;
  TLibraryLogCapture log;
  EXPECT_EQ(Vhook(ProbeHook + "|fail"), "Failed to add video hook function: " + ProbeHook + "|fail");
  EXPECT_EQ(log.Take(), std::vector<std::string>{"Failed to Configure " + ProbeHook + "\n"});
  EXPECT_EQ(HookCount(), 0);
  Engine.ReleaseFrameHooks();
  EXPECT_EQ(std::string(probe.Read().events), "F0");
  EXPECT_EQ(probe.Read().releases, 0);
}

TEST_F(FrameHookTest, SameLibraryInOtherCaseReusesTheModuleWithItsOwnContext)
{
  ASSERT_EQ(Vhook(HookText(FillRect, {"0", "0", "8", "8", "10", "20", "30"})), "");
  const int loaded = LoadedFrameHookLibraryCount();
  // No file has this name on disk: only the table can resolve it.
  const std::string upper = Upper(FillRect);
  ASSERT_FALSE(qvtest::FileExists(upper));
  ASSERT_EQ(Vhook(HookText(upper, {"16", "8", "8", "8", "40", "50", "60"})), "");
  EXPECT_EQ(LoadedFrameHookLibraryCount(), loaded);
  ASSERT_EQ(HookCount(), 2);
  EXPECT_NE(Engine.FrameHooks->Head->Context, Engine.FrameHooks->Head->Next->Context);

  TPicture pic(32, 16);
  Run(pic);
  EXPECT_EQ(pic.Byte(0, 2, 2), 10);
  EXPECT_EQ(pic.Byte(2, 1, 1), 30);
  EXPECT_EQ(pic.Byte(0, 20, 10), 40);
  EXPECT_EQ(pic.Byte(2, 9, 5), 60);
  EXPECT_EQ(pic.Byte(0, 12, 2), pic.Original(0, 12, 2));
}

TEST_F(FrameHookTest, HooksRunInOrderWithTheGivenValuesAndReleaseOnce)
{
  TProbe probe;
  ASSERT_EQ(Vhook(ProbeHook), "");
  ASSERT_EQ(Vhook(ProbeHook + "|second"), "");
  TPicture pic(48, 32);
  Run(pic, 123456789012LL);
  Run(pic, 5);
  ProbeState s = probe.Read();
  EXPECT_EQ(std::string(s.events), "C1 C2 P1 P2 P1 P2");
  EXPECT_EQ(s.pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(s.width, 48);
  EXPECT_EQ(s.height, 32);
  EXPECT_EQ(s.pts, 5);

  Engine.ReleaseFrameHooks();
  EXPECT_EQ(std::string(probe.Read().events), "C1 C2 P1 P2 P1 P2 R1 R2");
  EXPECT_EQ(HookCount(), 0);
  Engine.ReleaseFrameHooks();
  Run(pic);
  EXPECT_EQ(probe.Read().releases, 2);
  EXPECT_EQ(probe.Read().processes, 4);
}

TEST_F(FrameHookTest, HookThatRepointsItsRecordCannotMisleadTheNext)
{
  TProbe probe;
  ASSERT_EQ(Vhook(ProbeHook + "|repoint"), "");
  ASSERT_EQ(Vhook(HookText(FillRect, {"0", "0", "4", "4", "99", "98", "97"})), "");
  TPicture pic(16, 16);
  uint8_t *planes[4];
  std::copy(pic.Frame()->data, pic.Frame()->data + 4, planes);
  Run(pic);
  EXPECT_TRUE(std::equal(planes, planes + 4, pic.Frame()->data));
  EXPECT_EQ(pic.Byte(0, 1, 1), 99);
  EXPECT_EQ(probe.Read().processes, 1);
}

TEST_F(FrameHookTest, ReleasingAnEmptyListLeavesItEmpty)
{
  Engine.ReleaseFrameHooks();
  EXPECT_EQ(Engine.FrameHooks, nullptr);
  TPicture pic(16, 16);
  Run(pic);  // nothing to run
  ExpectPlaneRect(pic, 0, 0, 0, 0, 0, 0);

  TFrameHookChain chain;
  ReleaseFrameHooks(chain);
  EXPECT_TRUE(chain.Empty());
  EXPECT_EQ(chain.Count(), 0);
}

TEST_F(FrameHookTest, PrepareAndDestructionReleaseTheHooks)
{
  TProbe probe;
  ASSERT_EQ(Vhook(ProbeHook), "");
  Engine.Prepare();
  EXPECT_EQ(probe.Read().releases, 1);
  EXPECT_EQ(HookCount(), 0);
  EXPECT_FALSE(Engine.UsingVhook);
  {
    TCustomFFmpeg other;
    other.Prepare();
    other.SetOption("vhook", ProbeHook);
    other.SetOption("vhook", ProbeHook);
  }
  EXPECT_EQ(std::string(probe.Read().events), "C1 R1 C2 C3 R2 R3");
}

// Engines configured on several threads at once share one table entry per
// library and keep their own contexts.
TEST_F(FrameHookTest, EnginesOnSeveralThreadsShareTheLibraryTable)
{
  qvtest::TScratchDir dir;
  const std::string fresh = dir.File("libnegatecopy.so");
  std::filesystem::copy_file(Negate, fresh);
  ASSERT_EQ(Vhook(HookText(FillRect, {"0", "0", "1", "1", "0", "0", "0"})), "");  // loaded before the race
  const int before = LoadedFrameHookLibraryCount();
  constexpr int Threads = 6;
  std::vector<std::string> errors(Threads);
  std::vector<int> wrong(Threads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t)
    threads.emplace_back([&, t] {
      try {
        TCustomFFmpeg engine;
        engine.Prepare();
        engine.SetOption("vhook", fresh);
        engine.SetOption("vhook", HookText(FillRect, {"0", "0", "8", "8", std::to_string(t + 1), "0", "0"}));
        TPicture pic(16, 16);
        AVFrame *f = pic.Frame();
        for (int i = 0; i < 50; ++i) {
          engine.RunFrameHooks(f->data, f->linesize, AV_PIX_FMT_YUV420P, 16, 16, i);
          if (pic.Byte(0, 3, 3) != t + 1 || pic.Byte(0, 12, 12) != (i % 2 ? pic.Original(0, 12, 12)
                                                                        : 255 - pic.Original(0, 12, 12)))
            ++wrong[t];
        }
      } catch (const std::exception &e) {
        errors[t] = e.what();
      }
    });
  for (auto &th : threads) th.join();
  for (int t = 0; t < Threads; ++t) {
    EXPECT_EQ(errors[t], "") << "thread " << t;
    EXPECT_EQ(wrong[t], 0) << "thread " << t;
  }
  EXPECT_EQ(LoadedFrameHookLibraryCount(), before + 1);
}

}  // namespace
