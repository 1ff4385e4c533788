// The media probe: what it counts, what its report says and how it fails.
#include "AVProbe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "AVPtr.h"
#include "OpenErrors.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

std::vector<std::string> Lines(const std::string &AText)
{
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < AText.size()) {
    const std::size_t e = AText.find("\r\n", pos);
    EXPECT_NE(e, std::string::npos) << "line not ended by CR LF";
    if (e == std::string::npos) break;
    out.push_back(AText.substr(pos, e - pos));
    pos = e + 2;
  }
  return out;
}

int CountPrefix(const std::vector<std::string> &ALines, const std::string &APrefix)
{
  int n = 0;
  for (const auto &l : ALines) n += l.rfind(APrefix, 0) == 0;
  return n;
}

bool Has(const std::vector<std::string> &ALines, const std::string &ALine)
{
  return std::find(ALines.begin(), ALines.end(), ALine) != ALines.end();
}

// Runs a block under a time zone and restores the old one.
class TZone {
 public:
  explicit TZone(const char *AZone)
  {
    const char *old = getenv("TZ");
    FHad = old != nullptr;
    if (old) FOld = old;
    setenv("TZ", AZone, 1);
    tzset();
  }
  ~TZone()
  {
    if (FHad) setenv("TZ", FOld.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  bool FHad = false;
  std::string FOld;
};

class AVProbeTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    AVUtilLib.av_log_set_level(AV_LOG_QUIET);
  }
  qvtest::TScratchDir Dir;
};

TEST_F(AVProbeTest, ReportOfGeneratedFlvMatchesTheFile)
{
  const std::string f = Dir.File("clip.flv");
  qvtest::TGenOptions o;
  o.Width = 176;
  o.Height = 144;
  o.Seconds = 2.0;
  qvtest::MakeMedia(f, o);
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  EXPECT_EQ(p.StreamCount, 2);
  EXPECT_EQ(p.ProgramCount, 0);
  EXPECT_EQ(p.VideoStreamCount, 1);
  EXPECT_EQ(p.AudioStreamCount, 1);
  EXPECT_EQ(p.SubtitleStreamCount, 0);
  EXPECT_EQ(p.FirstVideoStream, 0);
  EXPECT_EQ(p.FirstAudioStream, 1);
  EXPECT_EQ(p.FirstSubtitleStream, -1);
  EXPECT_EQ(p.FormatName, "");

  const auto lines = Lines(p.GetFileInfoText());
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "File Name: " + f);
  EXPECT_EQ(lines[1], "Format Name: flv");
  EXPECT_EQ(lines[2], "Format Long Name: FLV (Flash Video)");
  EXPECT_EQ(lines[3], "File Size: " + TAVProbe::SizeText(qvtest::FileSize(f)));
  EXPECT_TRUE(Has(lines, "Duration: 00:00:02.00") || Has(lines, "Duration: 00:00:02.02") ||
              Has(lines, "Duration: 00:00:02.04"))
      << p.GetFileInfoText();
  EXPECT_EQ(CountPrefix(lines, "Bit Rate: "), 1);
  EXPECT_EQ(CountPrefix(lines, "Bit Rate: N/A"), 0);
  // No tags were written, so no tag lines and no time stamp.
  for (const char *t : {"Title:", "Author:", "Time Stamp:", "Year:", "Track:"}) EXPECT_EQ(CountPrefix(lines, t), 0) << t;
  EXPECT_EQ(CountPrefix(lines, "Stream #"), 2);
  const std::string &v = lines[lines.size() - 2];
  EXPECT_EQ(v.rfind("Stream #0, 1/1000: Video: h264", 0), 0u) << v;
  EXPECT_NE(v.find("176x144"), std::string::npos) << v;
  EXPECT_NE(v.find(", 25.00 tb(r)"), std::string::npos) << v;
  const std::string &a = lines.back();
  EXPECT_EQ(a.rfind("Stream #1, 1/1000: Audio: aac", 0), 0u) << a;
  EXPECT_NE(a.find("44100 Hz"), std::string::npos) << a;
  EXPECT_EQ(a.find("("), a.find("(LC)")) << "no language, so no parentheses but the profile's";

  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_GT(info.BitRate, 0);
  EXPECT_NEAR(static_cast<double>(info.Duration), 2e6, 5e4);
  EXPECT_EQ(info.TimeStamp, 0);

  p.CloseFile();
  EXPECT_FALSE(p.FileLoaded());
  EXPECT_EQ(p.StreamCount, -1);
  EXPECT_EQ(p.FirstAudioStream, -1);
  EXPECT_EQ(p.GetFileInfoText(), "");
}

TEST_F(AVProbeTest, TagsLanguageAndTimeStamp)
{
  const std::string f = Dir.File("tags.mkv");
  qvtest::TGenOptions o;
  o.Container = "matroska";
  o.Seconds = 0.5;
  o.Language = "ger";
  o.Tags = {{"title", "Der Titel"}, {"artist", "Jemand"}, {"copyright", "(c) 2008"}, {"comment", "50% off"},
            {"album", "Album"},      {"genre", "Rock"},    {"date", "2008-03-01"},   {"track", "3/12"},
            {"creation_time", "2008-07-01T12:00:00Z"}};
  qvtest::MakeMedia(f, o);
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_EQ(info.Author, "Jemand");
  EXPECT_EQ(info.Year, 2008);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(info.TimeStamp, 1214913600);
  {
    // Standard time only: in summer a zone of UTC+1 with daylight saving still shows +1 h.
    TZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const auto lines = Lines(p.GetFileInfoText());
    EXPECT_TRUE(Has(lines, "Time Stamp: 2008-07-01 13:00:00")) << p.GetFileInfoText();
    for (const char *t : {"Title: Der Titel", "Author: Jemand", "Copyright: (c) 2008", "Comment: 50% off",
                          "Album: Album", "Genre: Rock", "Year: 2008", "Track: #3"})
      EXPECT_TRUE(Has(lines, t)) << t;
    EXPECT_EQ(CountPrefix(lines, "Stream #0, 1/1000: Video: h264"), 0) << "the language goes before the time base";
    EXPECT_EQ(CountPrefix(lines, "Stream #0(ger), 1/1000: Video: h264"), 1) << p.GetFileInfoText();
  }
  {
    TZone zone("UTC0");
    EXPECT_TRUE(Has(Lines(p.GetFileInfoText()), "Time Stamp: 2008-07-01 12:00:00"));
  }
}

TEST_F(AVProbeTest, ProgramsListTheirOwnStreamsWithIds)
{
  const std::string f = Dir.File("prog.ts");
  qvtest::TGenOptions o;
  o.Container = "mpegts";
  o.Seconds = 0.5;
  qvtest::MakeMedia(f, o);
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  EXPECT_EQ(p.ProgramCount, 1);
  const auto lines = Lines(p.GetFileInfoText());
  const auto it = std::find(lines.begin(), lines.end(), "Program 1 Service01@FFmpeg");
  ASSERT_NE(it, lines.end()) << p.GetFileInfoText();
  ASSERT_EQ(lines.end() - it, 3);
  EXPECT_EQ(it[1].rfind("Stream #0[0x100], 1/90000: Video: h264", 0), 0u) << it[1];
  EXPECT_EQ(it[2].rfind("Stream #1[0x101], 1/90000: Audio: aac", 0), 0u) << it[2];
  EXPECT_NE(it[1].find("StartTime: "), std::string::npos);
}

TEST_F(AVProbeTest, UnopenableFilesGiveClearMessagesAndLeaveNoFile)
{
  TAVProbe p;
  const std::string good = Dir.File("good.flv");
  qvtest::TGenOptions o;
  o.Seconds = 0.5;
  qvtest::MakeMedia(good, o);

  const std::string missing = Dir.File("missing.flv");
  const std::string zero = Dir.File("zero.flv");
  qvtest::WriteFile(zero, "");
  const std::string noise = Dir.File("noise.flv");
  std::string bytes(4096, '\0');
  unsigned seed = 12345;
  for (auto &c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  qvtest::WriteFile(noise, bytes);
  // A cut-off FLV: the header and the start of the first tag only.
  const std::string cut = Dir.File("cut.flv");
  qvtest::WriteFile(cut, qvtest::ReadFile(good).substr(0, 20));

  struct TCase {
    std::string File, Message;
  } cases[] = {{missing, missing + ": no such file or directory"},
               {zero, zero + ": Unknown format"},
               {noise, noise + ": Unknown format"},
               {Dir.Path(), ""}};
  for (const auto &c : cases) {
    ASSERT_TRUE(p.LoadFile(good));
    EXPECT_FALSE(p.LoadFile(c.File)) << c.File;
    if (!c.Message.empty()) {
      EXPECT_EQ(p.LastError, c.Message);
    }
    EXPECT_FALSE(p.LastError.empty());
    EXPECT_FALSE(p.FileLoaded());
    EXPECT_EQ(p.StreamCount, -1);
    EXPECT_EQ(p.GetFileInfoText(), "");
  }
  // Whatever a truncated file gives, it never crashes and a report is consistent.
  if (p.LoadFile(cut)) {
    EXPECT_EQ(CountPrefix(Lines(p.GetFileInfoText()), "Stream #"), p.StreamCount);
  }

  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_EQ(info.StartTime, -1);
  EXPECT_EQ(info.Duration, -1);
  EXPECT_EQ(info.BitRate, -1);
  EXPECT_EQ(info.Year, -1);
  EXPECT_EQ(info.Track, -1);
  EXPECT_EQ(info.Title, "");
}

TEST_F(AVProbeTest, ForcedFormat)
{
  const std::string good = Dir.File("good.flv");
  qvtest::TGenOptions o;
  o.Seconds = 0.5;
  qvtest::MakeMedia(good, o);
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(good, "flv"));
  EXPECT_EQ(p.FormatName, "flv");
  // A misspelt name fails before the file is looked at (a missing file gives the same text).
  EXPECT_FALSE(p.LoadFile(good, "flvv"));
  EXPECT_EQ(p.LastError, "Unknown input format: flvv");
  EXPECT_FALSE(p.FileLoaded());
  EXPECT_EQ(p.FormatName, "");
  EXPECT_FALSE(p.LoadFile(Dir.File("none.flv"), "flvv"));
  EXPECT_EQ(p.LastError, "Unknown input format: flvv");
  // The wrong demuxer forced on a file fails with a message, not a crash.
  EXPECT_FALSE(p.LoadFile(good, "wav"));
  EXPECT_FALSE(p.LastError.empty());
}

TEST_F(AVProbeTest, NamesWithColonsAreLocalFiles)
{
  const std::string sub = Dir.File("http:");
  std::filesystem::create_directory(sub);
  qvtest::TGenOptions o;
  o.Seconds = 0.5;
  qvtest::MakeMedia(Dir.File("a:b.flv"), o);
  qvtest::MakeMedia(sub + "/c.flv", o);
  const std::string old = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  TAVProbe p;
  const bool colonOk = p.LoadFile("a:b.flv");
  const std::string err = p.LastError;
  const bool urlLike = p.LoadFile("http:/c.flv");
  const std::string text = p.GetFileInfoText();
  std::filesystem::current_path(old);
  EXPECT_TRUE(colonOk) << err;
  EXPECT_TRUE(urlLike);
  EXPECT_EQ(text.rfind("File Name: http:/c.flv\r\n", 0), 0u) << text;
}

TEST_F(AVProbeTest, RealSamples)
{
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(qvtest::Sample("ruffle__rufflelogo.flv"))) << p.LastError;
  auto lines = Lines(p.GetFileInfoText());
  EXPECT_TRUE(Has(lines, "Duration: N/A"));
  EXPECT_TRUE(Has(lines, "Bit Rate: N/A"));
  EXPECT_TRUE(Has(lines, "File Size: 3.78 KB"));

  // Lists only the AAC stream; the probe opens it all the same.
  ASSERT_TRUE(p.LoadFile(qvtest::Sample("red5-server__h264_aac.flv"))) << p.LastError;
  EXPECT_EQ(p.StreamCount, 1);
  EXPECT_EQ(p.FirstAudioStream, 0);
  EXPECT_EQ(p.FirstVideoStream, -1);

  ASSERT_TRUE(p.LoadFile(qvtest::Sample("ruffle__dummy.flv")));
  EXPECT_TRUE(Has(Lines(p.GetFileInfoText()), "File Size: 314 Byte"));
}

TEST_F(AVProbeTest, SizeOnDiskBeyondTwoGigabytes)
{
  // Sparse: 3 GiB of zeros after a short MP4 cost no disk space, and the
  // MP4 demuxer takes the zeros for one last atom that it skips.
  const std::string f = Dir.File("big.mp4");
  qvtest::TGenOptions o;
  o.Container = "mp4";
  o.VideoCodec = "";
  o.Seconds = 0.1;
  qvtest::MakeMedia(f, o);
  ASSERT_EQ(truncate(f.c_str(), 3LL * 1073741824 + 1000), 0);
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  EXPECT_TRUE(Has(Lines(p.GetFileInfoText()), "File Size: 3.00 GB")) << p.GetFileInfoText();
}

TEST(AVProbeText, SizeBoundaries)
{
  EXPECT_EQ(TAVProbe::SizeText(0), "0 Byte");
  EXPECT_EQ(TAVProbe::SizeText(1024), "1024 Byte");
  EXPECT_EQ(TAVProbe::SizeText(1025), "1.00 KB");
  EXPECT_EQ(TAVProbe::SizeText(1048576), "1024.00 KB");
  EXPECT_EQ(TAVProbe::SizeText(1048577), "1.00 MB");
  EXPECT_EQ(TAVProbe::SizeText(1073741824), "1024.00 MB");
  EXPECT_EQ(TAVProbe::SizeText(1073741825), "1.00 GB");
  EXPECT_EQ(TAVProbe::SizeText(5LL * 1073741824 + 536870912), "5.50 GB");
}

TEST(AVProbeText, DurationsInHundredthsAndStartTimes)
{
  EXPECT_EQ(TAVProbe::DurationText(65500000), "00:01:05.50");
  EXPECT_EQ(TAVProbe::DurationText(0), "00:00:00.00");
  EXPECT_EQ(TAVProbe::DurationText(9999), "00:00:00.00");
  EXPECT_EQ(TAVProbe::DurationText(3599990000LL), "00:59:59.99");
  EXPECT_EQ(TAVProbe::DurationText(3600000000LL * 101 + 1), "101:00:00.00");
  EXPECT_EQ(TAVProbe::DurationText(-1500000), "-00:00:01.50");
  EXPECT_EQ(TAVProbe::StartTimeText(1500000), "1.500000");
  EXPECT_EQ(TAVProbe::StartTimeText(23), "0.000023");
  EXPECT_EQ(TAVProbe::StartTimeText(-500000), "-0.500000");
}

TEST(OpenErrors, MessagesByErrorMeaning)
{
  using avbind::InputOpenErrorText;
  EXPECT_EQ(InputOpenErrorText("a.flv", AVERROR(ENOENT)), "a.flv: no such file or directory");
  EXPECT_EQ(InputOpenErrorText("a.flv", -1), "a.flv: Error while opening file");
  EXPECT_EQ(InputOpenErrorText("a.flv", AVERROR_INVALIDDATA), "a.flv: Unknown format");
  EXPECT_EQ(InputOpenErrorText("a.flv", AVERROR(EINVAL)), "a.flv: Error while parsing header");
  EXPECT_EQ(InputOpenErrorText("a.flv", AVERROR(ENOMEM)), "a.flv: memory allocation error occurred");
  EXPECT_EQ(InputOpenErrorText("a.flv", AVERROR(EIO)),
            "a.flv: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.");
  EXPECT_EQ(InputOpenErrorText("img.jpg", AVERROR(EDOM)),
            "img.jpg: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
            "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
            "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.");
  // A file name is text, never a format.
  EXPECT_EQ(InputOpenErrorText("100%s %d.flv", AVERROR(ENOENT)), "100%s %d.flv: no such file or directory");
}

}  // namespace
