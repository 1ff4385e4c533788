// Option records: how each field reaches the engine, and in which order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ComponentTestSupport.h"
#include "Options.h"
#include "Task.h"

namespace {

using namespace qvtest;

class OptionRecordTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    LoadLibs();
    Engine.Prepare();
  }
  TFFmpeg Engine;
};

// Any line end applies every line; a line without "=" passes an empty value;
// the record's own fields win, and its empty languages clear the text's.
TEST_F(OptionRecordTest, ExtraOptionsWithAnyLineEndAndRecordFieldsWin)
{
  for (const char *text : {"vcodec=mpeg4\r\nalang=eng\r\nan\r\nar=22050", "vcodec=mpeg4\nalang=eng\nan\nar=22050\n",
                           "vcodec=mpeg4\ralang=eng\ran\rar=22050\r",
                           "  \t vcodec=mpeg4\r\n\r\nalang=eng\nan\r\nar=22050 \r\n"}) {
    SCOPED_TRACE(text);
    TFFmpeg engine;
    engine.Prepare();
    TOutputOptions o;
    o.ExtraOptions = text;
    o.VideoCodecName = "mpeg2video";
    ApplyOptionText(engine, text);
    EXPECT_EQ(engine.AudioLanguage, "eng");  // the text alone sets it...
    ApplyOutputOptions(engine, o);            // ...the record's empty field clears it
    EXPECT_EQ(engine.VideoCodecName, "mpeg2video");
    EXPECT_EQ(engine.AudioDisable, 1);
    EXPECT_EQ(engine.AudioSampleRate, 22050);
    EXPECT_EQ(engine.AudioLanguage, "");
  }
}

TEST_F(OptionRecordTest, UnsetFieldsLeaveTheEngineAloneAndAFailingFieldStops)
{
  TFFmpeg untouched;
  untouched.Prepare();
  ApplyOutputOptions(Engine, TOutputOptions{});
  EXPECT_EQ(Engine.AudioSampleRate, untouched.AudioSampleRate);
  EXPECT_EQ(Engine.AudioVolume, untouched.AudioVolume);
  EXPECT_EQ(Engine.RecordingTime, untouched.RecordingTime);
  EXPECT_EQ(Engine.HookRangeCount, 0);

  TOutputOptions o;
  o.AudioVolume = 0;  // a value, not "unset"
  o.Title = std::string(600, 't');
  o.Genre = std::string("Ja\0zz", 5);
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.AudioVolume, 0);
  EXPECT_EQ(Engine.Title.size(), TagTextLimit);
  EXPECT_EQ(Engine.Genre, "Ja");

  // A failing field stops the translation: earlier fields stay applied.
  o = TOutputOptions{};
  o.AudioSampleRate = 22050;
  o.FrameSize = "321x240";  // odd width
  o.VideoCodecTag = "DIVX";
  EXPECT_THROW(ApplyOutputOptions(Engine, o), std::exception);
  EXPECT_EQ(Engine.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.VideoCodecTag, 0);
}

TEST_F(OptionRecordTest, TimestampMinusOneLeavesStampAndZeroStampsNow)
{
  Engine.RecTimestamp = 12345;
  TOutputOptions o;
  ApplyOutputOptions(Engine, o);  // Timestamp -1.0
  EXPECT_EQ(Engine.RecTimestamp, 12345);
  o.Timestamp = 0.0;
  const int64_t before = std::time(nullptr);
  ApplyOutputOptions(Engine, o);
  EXPECT_GE(Engine.RecTimestamp, before);
  EXPECT_LE(Engine.RecTimestamp, static_cast<int64_t>(std::time(nullptr)));
}

TEST(LocalDateTime, ConvertsLocalDaysToUnixSecondsWithTheDatesOwnOffset)
{
  if (!FileExists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data";
  const bool had = std::getenv("TZ") != nullptr;
  const std::string saved = had ? std::getenv("TZ") : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(LocalDateTimeToUnix(25569.5), 39600);                   // 1970-01-01 12:00
  EXPECT_EQ(LocalDateTimeToUnix(39462.5), 1200355200 + 11 * 3600);  // 2008-01-15 12:00, standard time
  EXPECT_EQ(LocalDateTimeToUnix(39644.5), 1216080000 + 10 * 3600);  // 2008-07-15 12:00, summer time
  EXPECT_NEAR(static_cast<double>(LocalDateTimeToUnix(NowLocalDateTime())), static_cast<double>(std::time(nullptr)),
              2.0);
  had ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

TEST_F(OptionRecordTest, TargetPresets)
{
  TOutputOptions o;
  o.Target = 2;        // "svcd"
  o.TargetNorm = 7;    // "auto"...
  o.FrameRate = "10";  // ...and nothing decides it, so the fallback "pal"
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.VideoCodecName, "mpeg2video");
  EXPECT_EQ(Engine.FrameWidth, 480);
  EXPECT_EQ(Engine.FrameHeight, 576);
  EXPECT_EQ(Engine.FrameRate.num * 1, Engine.FrameRate.den * 25);

  TFFmpeg ntsc;
  ntsc.Prepare();
  o.TargetFallbackNorm = 2;
  ApplyOutputOptions(ntsc, o);
  EXPECT_EQ(ntsc.FrameHeight, 480);
  EXPECT_EQ(ntsc.FrameRate.num * 1001, ntsc.FrameRate.den * 30000);
}

TEST_F(OptionRecordTest, HookRangesKeepValidItemsSortedByEnd)
{
  using TRanges = std::vector<std::pair<int64_t, int64_t>>;
  auto ranges = [&](const char *AText) {
    ParseHookRanges(Engine, AText);
    TRanges out;
    for (const auto &r : Engine.HookRanges) out.emplace_back(r.StartPts, r.EndPts);
    EXPECT_EQ(Engine.HookRangeCount, static_cast<int>(out.size()));
    EXPECT_EQ(Engine.HookRangeIndex, 0);
    return out;
  };
  EXPECT_EQ(ranges(" 0-1000, 5000-8000, 3000, 9-2 "), (TRanges{{0, 1000000}, {5000000, 8000000}}));
  EXPECT_EQ(ranges("7000-9000,1000 - 2000,x-y,,4000-4000"),
            (TRanges{{1000000, 2000000}, {4000000, 4000000}, {7000000, 9000000}}));
  EXPECT_EQ(ranges(""), TRanges{});

  TOutputOptions o;  // a hook flag turns the ranges off
  o.HookRanges = "0-1000";
  o.BeforeHook = true;
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.HookRangeCount, 0);
  o.BeforeHook = false;
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.HookRangeCount, 1);
}

TEST_F(OptionRecordTest, StartPositionAndProgram)
{
  TInputOptions in;
  Engine.StartTime = 7;
  for (int unset : {0, -1}) {
    in.StartPosition = unset;
    ApplyInputOptions(Engine, in);
    EXPECT_EQ(Engine.StartTime, 7);
  }
  in.StartPosition = 2500;
  in.ProgramId = 0;
  ApplyInputOptions(Engine, in);
  EXPECT_EQ(Engine.StartTime, 2500000);
  EXPECT_EQ(Engine.ProgramId, 0);
  Engine.ProgramId = 9;
  in.ProgramId = -1;
  ApplyInputOptions(Engine, in);
  EXPECT_EQ(Engine.ProgramId, 9);
}

}  // namespace
