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

TEST_F(OptionRecordTest, ExtraOptionLinesApplyWithAnyLineEnd)
{
  for (const char *text : {"vcodec=mpeg4\r\nar=22050", "vcodec=mpeg4\nar=22050\n", "vcodec=mpeg4\rar=22050\r",
                           "  \t vcodec=mpeg4\r\n\r\nar=22050 \r\n"}) {
    SCOPED_TRACE(text);
    TFFmpeg engine;
    engine.Prepare();
    engine.ApplyOptionText(text);
    EXPECT_EQ(engine.VideoCodecName, "mpeg4");
    EXPECT_EQ(engine.AudioSampleRate, 22050);
  }
}

TEST_F(OptionRecordTest, LineWithoutEqualsPassesEmptyValue)
{
  ApplyOptionText(Engine, "an\nalang=eng");
  EXPECT_EQ(Engine.AudioDisable, 1);
  EXPECT_EQ(Engine.AudioLanguage, "eng");
}

TEST_F(OptionRecordTest, OutputFieldsOverrideExtraOptions)
{
  TOutputOptions o;
  o.ExtraOptions = "vcodec=mpeg4\r\nalang=eng\r\nslang=fre\r\nar=22050";
  o.VideoCodecName = "mpeg2video";
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.VideoCodecName, "mpeg2video");
  EXPECT_EQ(Engine.AudioSampleRate, 22050);  // not set by the record, so the text's value stays
  // The language fields are always assigned: empty clears what the text set.
  EXPECT_EQ(Engine.AudioLanguage, "");
  EXPECT_EQ(Engine.SubtitleLanguage, "");
}

TEST_F(OptionRecordTest, UnsetFieldsLeaveEngineDefaults)
{
  const int rate = Engine.AudioSampleRate, channels = Engine.AudioChannels, volume = Engine.AudioVolume;
  const int64_t stamp = Engine.RecTimestamp, recording = Engine.RecordingTime;
  TOutputOptions o;
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.AudioSampleRate, rate);
  EXPECT_EQ(Engine.AudioChannels, channels);
  EXPECT_EQ(Engine.AudioVolume, volume);
  EXPECT_EQ(Engine.RecTimestamp, stamp);
  EXPECT_EQ(Engine.RecordingTime, recording);
  EXPECT_EQ(Engine.VideoSyncMethod, -1);
  EXPECT_EQ(Engine.HookRangeCount, 0);
}

TEST_F(OptionRecordTest, OutputFieldsReachTheirSettings)
{
  TOutputOptions o;
  o.AudioChannels = 1;
  o.AudioSampleRate = 22050;
  o.AudioVolume = 0;  // 0 is a value, not "unset"
  o.AudioDisable = true;
  o.SubtitleDisable = true;
  o.CopyTs = true;
  o.AudioSyncMethod = 1;
  o.VideoSyncMethod = 2;
  o.RecordingDuration = 1500;
  o.Year = 2008;
  o.Track = 3;
  o.Title = std::string(600, 't');
  o.Genre = std::string("Ja\0zz", 5);
  o.FrameSize = "320x240";
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.AudioChannels, 1);
  EXPECT_EQ(Engine.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.AudioVolume, 0);
  EXPECT_EQ(Engine.AudioDisable, 1);
  EXPECT_EQ(Engine.SubtitleDisable, 1);
  EXPECT_EQ(Engine.CopyTs, 1);
  EXPECT_EQ(Engine.AudioSyncMethod, 1);
  EXPECT_EQ(Engine.VideoSyncMethod, 2);
  EXPECT_EQ(Engine.RecordingTime, 1500000);
  EXPECT_EQ(Engine.TotalDuration, 1500);
  EXPECT_EQ(Engine.Year, 2008);
  EXPECT_EQ(Engine.Track, 3);
  EXPECT_EQ(Engine.Title.size(), TagTextLimit);
  EXPECT_EQ(Engine.Genre, "Ja");
  EXPECT_EQ(Engine.FrameWidth, 320);
  EXPECT_EQ(Engine.FrameHeight, 240);
}

TEST_F(OptionRecordTest, FailingFieldStopsTranslation)
{
  TOutputOptions o;
  o.AudioSampleRate = 22050;    // before the failure: applied
  o.FrameSize = "321x240";      // odd width
  o.VideoCodecTag = "DIVX";     // after the failure: not applied
  EXPECT_THROW(ApplyOutputOptions(Engine, o), std::exception);
  EXPECT_EQ(Engine.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.VideoCodecTag, 0);
}

TEST_F(OptionRecordTest, TimestampMinusOneLeavesStampAndZeroStampsNow)
{
  Engine.RecTimestamp = 12345;
  TOutputOptions o;
  o.Timestamp = -1.0;
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.RecTimestamp, 12345);

  o.Timestamp = 0.0;
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  ApplyOutputOptions(Engine, o);
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(Engine.RecTimestamp, before);
  EXPECT_LE(Engine.RecTimestamp, after);
}

// Sets TZ for one test and restores it.
class TZone {
 public:
  explicit TZone(const char *AZone)
  {
    if (const char *old = std::getenv("TZ")) FOld = old, FHad = true;
    setenv("TZ", AZone, 1);
    tzset();
  }
  ~TZone()
  {
    if (FHad)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string FOld;
  bool FHad = false;
};

TEST(LocalDateTime, ConvertsLocalDaysToUnixSecondsWithTheDatesOwnOffset)
{
  {
    TZone zone("UTC");
    EXPECT_EQ(LocalDateTimeToUnix(25569.5), 43200);          // 1970-01-01 12:00
    EXPECT_EQ(LocalDateTimeToUnix(39508.25), 1204329600 + 6 * 3600);  // 2008-03-01 06:00
  }
  if (!FileExists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time zone data";
  TZone zone("Europe/Berlin");
  // 2008-01-15 12:00 local is 11:00 UTC (standard time)...
  EXPECT_EQ(LocalDateTimeToUnix(39462.5), 1200355200 + 11 * 3600);
  // ...and 2008-07-15 12:00 local is 10:00 UTC (summer time).
  EXPECT_EQ(LocalDateTimeToUnix(39644.5), 1216080000 + 10 * 3600);
  // Now, as a local date-time, comes back as now.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(LocalDateTimeToUnix(NowLocalDateTime())), static_cast<double>(now), 2.0);
}

TEST_F(OptionRecordTest, TargetWithUnknownNormUsesAutoAndFallback)
{
  TOutputOptions o;
  o.Target = 2;
  o.TargetNorm = 7;   // counts as "auto"...
  o.FrameRate = "10";  // ...and neither this rate nor an input decides, so the fallback "pal"
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

TEST_F(OptionRecordTest, TargetOutsideOneToThreeDoesNothing)
{
  TOutputOptions o;
  o.Target = 4;
  ApplyOutputOptions(Engine, o);
  EXPECT_EQ(Engine.VideoCodecName, "");
  EXPECT_EQ(Engine.FrameWidth, 0);
}

TEST_F(OptionRecordTest, HookRangesKeepValidItemsSortedByEnd)
{
  ParseHookRanges(Engine, " 0-1000, 5000-8000, 3000, 9-2 ");
  ASSERT_EQ(Engine.HookRangeCount, 2);
  ASSERT_EQ(Engine.HookRanges.size(), 2u);
  EXPECT_EQ(Engine.HookRanges[0].StartPts, 0);
  EXPECT_EQ(Engine.HookRanges[0].EndPts, 1000000);
  EXPECT_EQ(Engine.HookRanges[1].StartPts, 5000000);
  EXPECT_EQ(Engine.HookRanges[1].EndPts, 8000000);
  EXPECT_EQ(Engine.HookRangeIndex, 0);

  ParseHookRanges(Engine, "7000-9000,1000 - 2000,x-y,,4000-4000");
  ASSERT_EQ(Engine.HookRangeCount, 3);
  EXPECT_EQ(Engine.HookRanges[0].EndPts, 2000000);
  EXPECT_EQ(Engine.HookRanges[1].EndPts, 4000000);
  EXPECT_EQ(Engine.HookRanges[2].EndPts, 9000000);

  ParseHookRanges(Engine, "");
  EXPECT_EQ(Engine.HookRangeCount, 0);
  EXPECT_TRUE(Engine.HookRanges.empty());
}

TEST_F(OptionRecordTest, HookRangesIgnoredWhenAHookFlagIsSet)
{
  TOutputOptions o;
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

TEST_F(OptionRecordTest, UnknownFormatsRaiseTheirMessages)
{
  TInputOptions in;
  in.FileFormat = "nosuchformat";
  try {
    ApplyInputOptions(Engine, in);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception &e) {
    EXPECT_STREQ(e.what(), "Unknown input format: nosuchformat");
  }
  TOutputOptions out;
  out.FileFormat = "nosuchformat";
  try {
    ApplyOutputOptions(Engine, out);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception &e) {
    EXPECT_STREQ(e.what(), "Unknown output format: nosuchformat");
  }
}

TEST(OptionRecords, ResetRestoresDefaults)
{
  TOutputOptions o;
  o.Timestamp = 3;
  o.Year = 5;
  o.Title = "x";
  o.TargetFallbackNorm = 2;
  ResetOutputOptions(o);
  EXPECT_EQ(o.Timestamp, -1.0);
  EXPECT_EQ(o.Year, -1);
  EXPECT_EQ(o.Title, "");
  EXPECT_EQ(o.TargetFallbackNorm, 1);
  EXPECT_EQ(o.AudioSyncMethod, 0);
  TInputOptions i;
  i.StartPosition = 5;
  i.FileName = "a";
  ResetInputOptions(i);
  EXPECT_EQ(i.StartPosition, -1);
  EXPECT_EQ(i.FileName, "");
}

}  // namespace
