// Frame-hook libraries on pictures we make ourselves: the "vhook" option,
// loading, the entry-point rules, running and releasing.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <filesystem>
#include <thread>
#include <utility>

#include "FFmpeg.h"
#include "FrameHook.h"
#include "ProbeHook.h"
#include "TestEnv.h"

namespace {

const std::string FillRect = QV_FILLRECT_HOOK, Negate = QV_NEGATE_HOOK, ProbeHook = QV_PROBE_HOOK,
                  NoProcess = QV_NOPROCESS_HOOK;
const std::string Refused = "Failed to add video hook function: ";

// Library log lines (av_log, error level) collected while an instance lives.
struct TLogCapture {
  static inline std::vector<std::string> Lines;
  TLogCapture()
  {
    Lines.clear();
    AVUtilLib.av_log_set_callback([](void *, int ALevel, const char *AFmt, va_list AArgs) {
      char buf[1024];
      vsnprintf(buf, sizeof buf, AFmt, AArgs);
      if (ALevel <= AV_LOG_ERROR) Lines.push_back(buf);
    });
  }
  ~TLogCapture() { AVUtilLib.av_log_set_callback(AVUtilLib.av_log_default_callback); }
  std::vector<std::string> Take() { return std::exchange(Lines, {}); }
};

// The probe hook's record of calls, read through the module the engine loaded.
struct TProbe {
  void *Module = dlopen(QV_PROBE_HOOK, RTLD_NOW | RTLD_LOCAL);
  TProbe()
  {
    if (!Module) throw std::runtime_error(dlerror());
    reinterpret_cast<ProbeResetFn>(dlsym(Module, "ProbeReset"))();
  }
  ~TProbe() { dlclose(Module); }
  ProbeState Read() const
  {
    ProbeState s{};
    reinterpret_cast<ProbeReadFn>(dlsym(Module, "ProbeRead"))(&s);
    return s;
  }
  std::string Events() const { return Read().events; }
};

// A planar picture with padded lines and a pattern that differs from pixel
// to pixel, plus a copy of its bytes to compare against.
struct TPicture {
  AVFrame *F = AVUtilLib.av_frame_alloc();
  std::vector<std::vector<uint8_t>> Orig;
  TPicture(int AWidth, int AHeight, AVPixelFormat AFormat = AV_PIX_FMT_YUV420P)
  {
    F->width = AWidth;
    F->height = AHeight;
    F->format = AFormat;
    if (AVUtilLib.av_frame_get_buffer(F, 64) < 0) throw std::runtime_error("no picture buffer");
    for (int p = 0; p < 3; ++p) {
      for (int y = 0; y < Rows(p); ++y)
        for (int x = 0; x < F->linesize[p]; ++x) At(p, x, y) = static_cast<uint8_t>(x * 7 + y * 13 + p * 50);
      Orig.emplace_back(F->data[p], F->data[p] + F->linesize[p] * Rows(p));
    }
  }
  ~TPicture() { AVUtilLib.av_frame_free(&F); }
  uint8_t &At(int APlane, int AX, int AY) { return F->data[APlane][AY * F->linesize[APlane] + AX]; }
  int Original(int APlane, int AX, int AY) const { return Orig[APlane][AY * F->linesize[APlane] + AX]; }
  int Rows(int APlane) const { return APlane && F->format == AV_PIX_FMT_YUV420P ? (F->height + 1) / 2 : F->height; }

  // Every byte of the plane, padding included: AColour inside [AX0, AX1) x
  // [AY0, AY1), the original pattern elsewhere.
  void ExpectRect(int APlane, int AX0, int AY0, int AX1, int AY1, int AColour)
  {
    int wrong = 0;
    for (int y = 0; y < Rows(APlane); ++y)
      for (int x = 0; x < F->linesize[APlane]; ++x) {
        const int want = x >= AX0 && x < AX1 && y >= AY0 && y < AY1 ? AColour : Original(APlane, x, y);
        if (At(APlane, x, y) != want && wrong++ < 5) ADD_FAILURE() << APlane << " (" << x << "," << y << ")";
      }
    EXPECT_EQ(wrong, 0) << "plane " << APlane;
  }
};

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
    Engine.RunFrameHooks(APic.F->data, APic.F->linesize, static_cast<AVPixelFormat>(APic.F->format), APic.F->width,
                         APic.F->height, APts);
  }
  int HookCount() const { return Engine.FrameHooks ? Engine.FrameHooks->Count() : 0; }

  TCustomFFmpeg Engine;
};

TEST_F(FrameHookTest, FillRectPaintsTheClippedRectangleOnly)
{
  struct {
    int W, H;
    AVPixelFormat Fmt;
    const char *Args;
    int Luma[4], Chroma[4], Colour[3];
  } cases[] = {
      {96, 64, AV_PIX_FMT_YUV420P, "|16|16|64|32|81|90|240", {16, 16, 80, 48}, {8, 8, 40, 24}, {81, 90, 240}},
      // Odd sizes (chroma 17 x 9): clipped at the edge, line padding untouched.
      {33, 17, AV_PIX_FMT_YUV420P, "|30|10|100|100|1|2|3", {30, 10, 33, 17}, {15, 5, 17, 9}, {1, 2, 3}},
      {20, 10, AV_PIX_FMT_YUV444P, "|30|10|100|100|1|2|3", {}, {}, {}},  // outside altogether
      {20, 10, AV_PIX_FMT_YUV444P, "|3|2|5|4|10|20|30", {3, 2, 8, 6}, {3, 2, 8, 6}, {10, 20, 30}},
      // Blanks around the numbers of a "|" text are no reason to refuse.
      {16, 16, AV_PIX_FMT_YUV420P, "| 2|2 | 4 |4|7|8|9 ", {2, 2, 6, 6}, {1, 1, 3, 3}, {7, 8, 9}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Args);
    Engine.Prepare();
    EXPECT_FALSE(Engine.UsingVhook);
    ASSERT_EQ(Vhook(FillRect + c.Args), "");
    EXPECT_TRUE(Engine.UsingVhook);
    TPicture pic(c.W, c.H, c.Fmt);
    Run(pic);
    for (int p = 0; p < 3; ++p) {
      const int *r = p ? c.Chroma : c.Luma;
      pic.ExpectRect(p, r[0], r[1], r[2], r[3], c.Colour[p]);
    }
  }
}

TEST_F(FrameHookTest, TextSplittingAndTheSixtyFourEntryLimit)
{
  TProbe probe;
  TLogCapture log;
  // Split at bars when the text has them (blanks then belong to the arguments), else at blanks.
  const std::pair<std::string, std::string> texts[] = {
      {"|-x|5", "\n-x\n5"}, {" -x  5", "\n-x\n5"}, {"|a b|c", "\na b\nc"}};
  for (const auto &[text, args] : texts) {
    ASSERT_EQ(Vhook(ProbeHook + text), "");
    EXPECT_EQ(probe.Read().last_argc, 3);
    EXPECT_EQ(std::string(probe.Read().args), ProbeHook + args);
    EXPECT_TRUE(probe.Read().argv_terminated);
  }
  for (const std::string text : {"", "|||", "   "}) EXPECT_EQ(Vhook(text), Refused + text);
  log.Take();

  std::string text = ProbeHook;
  for (int i = 1; i < MaxFrameHookArgs; ++i) text += "|" + std::to_string(i);
  ASSERT_EQ(Vhook(text), "");
  EXPECT_EQ(probe.Read().last_argc, 64);
  EXPECT_TRUE(probe.Read().argv_terminated);
  text += "|64";
  EXPECT_EQ(Vhook(text), Refused + text);
  EXPECT_EQ(probe.Read().configures, 4);
  EXPECT_EQ(HookCount(), 4);
  EXPECT_EQ(log.Take(),
            std::vector<std::string>{"Too many arguments for video hook " + ProbeHook + ": at most 63 are allowed\n"});
  // The list-level call guards itself as well.
  std::vector<char *> argv(100, const_cast<char *>(ProbeHook.c_str()));
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, 65, argv.data()), FrameHookTooManyArgs);
  EXPECT_EQ(AddFrameHook(chain, 0, argv.data()), FrameHookMissingEntry);
  EXPECT_TRUE(chain.Empty());
}

TEST_F(FrameHookTest, RefusedLibrariesAndArgumentsAddNothing)
{
  TProbe probe;
  TLogCapture log;
  qvtest::TScratchDir dir;
  const std::string junk = dir.File("libjunk.so");
  qvtest::WriteFile(junk, "not a library");
  const std::pair<std::string, std::string> cases[] = {
      {NoProcess, "Failed to find Process entrypoint in " + NoProcess + "\n"},
      {Negate + "|1", "Failed to find Configure entrypoint in " + Negate + "\n"},
      {ProbeHook + "|fail", "Failed to Configure " + ProbeHook + "\n"},
      {FillRect + "|1|2|3", "Failed to Configure " + FillRect + "\n"},
      {FillRect + "|a|0|4|4|0|0|0", "Failed to Configure " + FillRect + "\n"},
      {FillRect + "|0|0|4|4|0|0|256", "Failed to Configure " + FillRect + "\n"},
      {FillRect + "|0|0|0|4|0|0|0", "Failed to Configure " + FillRect + "\n"},
      {FillRect + "|-1|0|4|4|0|0|0", "Failed to Configure " + FillRect + "\n"},
      {dir.File("libnohook.so"), "libnohook.so"},
      {junk, "libjunk.so"}};
  for (const auto &[text, logged] : cases) {
    const int loaded = LoadedFrameHookLibraryCount();
    EXPECT_EQ(Vhook(text), Refused + text);
    const auto lines = log.Take();
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0].back(), '\n');
    if (logged.back() == '\n') {
      EXPECT_EQ(lines[0], logged);
    } else {  // the loader's message; a file that did not load stays out of the table
      EXPECT_NE(lines[0].find(logged), std::string::npos) << lines[0];
      EXPECT_EQ(LoadedFrameHookLibraryCount(), loaded);
    }
  }
  EXPECT_EQ(HookCount(), 0);
  EXPECT_FALSE(Engine.UsingVhook);
  Engine.ReleaseFrameHooks();
  EXPECT_EQ(probe.Events(), "F0");  // a hook that failed to configure is never released

  std::string name = NoProcess;
  char *argv[] = {name.data()};
  TFrameHookChain chain;
  EXPECT_EQ(AddFrameHook(chain, 1, argv), FrameHookMissingEntry);
  EXPECT_TRUE(chain.Empty());
}

TEST_F(FrameHookTest, ProcessOnlyLibraryWorksByNameAlone)
{
  TPicture pic(40, 30);
  ASSERT_EQ(Vhook(Negate), "");
  ASSERT_EQ(HookCount(), 1);
  EXPECT_EQ(Engine.FrameHooks->Head->Context, nullptr);
  Run(pic);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(pic.At(0, x, y), 255 - pic.Original(0, x, y)) << x << "," << y;
  pic.ExpectRect(1, 0, 0, 0, 0, 0);
}

// The first hook clears the plane pointers of its record, which must not
// reach the next hook.
TEST_F(FrameHookTest, SameLibraryInOtherCaseReusesTheModuleWithItsOwnContext)
{
  TProbe probe;
  ASSERT_EQ(Vhook(ProbeHook + "|repoint"), "");
  ASSERT_EQ(Vhook(FillRect + "|0|0|8|8|10|20|30"), "");
  const int loaded = LoadedFrameHookLibraryCount();
  // No file has this name on disk: only the table can resolve it.
  std::string upper = FillRect;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  ASSERT_FALSE(qvtest::FileExists(upper));
  ASSERT_EQ(Vhook(upper + "|16|8|8|8|40|50|60"), "");
  EXPECT_EQ(LoadedFrameHookLibraryCount(), loaded);
  ASSERT_EQ(HookCount(), 3);
  EXPECT_NE(Engine.FrameHooks->Head->Next->Context, Engine.FrameHooks->Head->Next->Next->Context);
  TPicture pic(32, 16);
  const std::vector<uint8_t *> planes(pic.F->data, pic.F->data + 4);
  Run(pic);
  EXPECT_EQ(planes, std::vector<uint8_t *>(pic.F->data, pic.F->data + 4));
  EXPECT_EQ(probe.Read().processes, 1);
  EXPECT_EQ(std::vector<int>({pic.At(0, 2, 2), pic.At(2, 1, 1), pic.At(0, 20, 10), pic.At(2, 9, 5)}),
            std::vector<int>({10, 30, 40, 60}));
  EXPECT_EQ(pic.At(0, 12, 2), pic.Original(0, 12, 2));
}

TEST_F(FrameHookTest, HooksRunInOrderAndAreReleasedOnceEach)
{
  TProbe probe;
  Engine.ReleaseFrameHooks();  // an empty list stays empty
  EXPECT_EQ(Engine.FrameHooks, nullptr);
  TFrameHookChain empty;
  ReleaseFrameHooks(empty);
  EXPECT_EQ(empty.Count(), 0);

  ASSERT_EQ(Vhook(ProbeHook), "");
  ASSERT_EQ(Vhook(ProbeHook + "|second"), "");
  TPicture pic(48, 32);
  Run(pic, 123456789012LL);
  EXPECT_EQ(probe.Read().pts, 123456789012LL);
  Run(pic, 5);
  const ProbeState s = probe.Read();
  EXPECT_EQ(std::vector<int>({s.pix_fmt, s.width, s.height, int(s.pts)}),
            std::vector<int>({AV_PIX_FMT_YUV420P, 48, 32, 5}));
  Engine.ReleaseFrameHooks();
  EXPECT_EQ(HookCount(), 0);
  Engine.ReleaseFrameHooks();
  Run(pic);
  EXPECT_EQ(probe.Events(), "C1 C2 P1 P2 P1 P2 R1 R2");

  // Prepare and the engine's destruction release as well.
  ASSERT_EQ(Vhook(ProbeHook), "");
  Engine.Prepare();
  EXPECT_FALSE(Engine.UsingVhook);
  {
    TCustomFFmpeg other;
    other.Prepare();
    other.SetOption("vhook", ProbeHook);
    other.SetOption("vhook", ProbeHook);
  }
  EXPECT_EQ(probe.Events(), "C1 C2 P1 P2 P1 P2 R1 R2 C3 R3 C4 C5 R4 R5");
}

// Engines configured on several threads at once share one table entry per library.
TEST_F(FrameHookTest, EnginesOnSeveralThreadsShareTheLibraryTable)
{
  qvtest::TScratchDir dir;
  const std::string fresh = dir.File("libnegatecopy.so");
  std::filesystem::copy_file(Negate, fresh);
  const int before = LoadedFrameHookLibraryCount();
  std::vector<std::string> errors(6);
  std::vector<std::thread> threads;
  for (std::string &error : errors)
    threads.emplace_back([&] {
      TCustomFFmpeg engine;
      engine.Prepare();
      try {
        engine.SetOption("vhook", fresh);
      } catch (const std::exception &e) {
        error = e.what();
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(errors, std::vector<std::string>(6));
  EXPECT_EQ(LoadedFrameHookLibraryCount(), before + 1);
}

}  // namespace
