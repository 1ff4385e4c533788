// The media probe: what it counts, what its report says and how it fails.
#include "AVProbe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "AVPtr.h"
#include "OpenErrors.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

// The report's lines; every line must end in CR LF.
std::vector<std::string> Lines(const std::string &AText)
{
  std::vector<std::string> out;
  for (std::size_t pos = 0, e; pos < AText.size(); pos = e + 2) {
    e = AText.find("\r\n", pos);
    if (e == std::string::npos) {
      ADD_FAILURE() << "line not ended by CR LF";
      break;
    }
    out.push_back(AText.substr(pos, e - pos));
  }
  return out;
}

int CountPrefix(const std::vector<std::string> &ALines, const std::string &APrefix)
{
  return std::count_if(ALines.begin(), ALines.end(), [&](const std::string &l) { return l.rfind(APrefix, 0) == 0; });
}

bool Has(const std::vector<std::string> &ALines, const std::string &ALine)
{
  return std::find(ALines.begin(), ALines.end(), ALine) != ALines.end();
}

// The report's lines under the time zone AZone; the old zone is restored.
std::vector<std::string> LinesInZone(TAVProbe &AProbe, const char *AZone)
{
  const char *had = getenv("TZ");
  const std::string old = had ? had : "";
  setenv("TZ", AZone, 1);
  tzset();
  const auto lines = Lines(AProbe.GetFileInfoText());
  had ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
  tzset();
  return lines;
}

class AVProbeTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    AVUtilLib.av_log_set_level(AV_LOG_QUIET);
  }
  // Generates AName, half a second long unless AEdit changes the options.
  std::string Make(const std::string &AName, const std::function<void(qvtest::TGenOptions &)> &AEdit = nullptr)
  {
    qvtest::TGenOptions o;
    o.Seconds = 0.5;
    if (AEdit) AEdit(o);
    qvtest::MakeMedia(Dir.File(AName), o);
    return Dir.File(AName);
  }
  qvtest::TScratchDir Dir;
};

TEST_F(AVProbeTest, ReportOfGeneratedFlvMatchesTheFile)
{
  const std::string f = Make("clip.flv", [](auto &o) { o.Width = 176; o.Height = 144; o.Seconds = 2; });
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  EXPECT_EQ(std::vector<int>({p.StreamCount, p.ProgramCount, p.VideoStreamCount, p.AudioStreamCount,
                              p.SubtitleStreamCount, p.FirstVideoStream, p.FirstAudioStream, p.FirstSubtitleStream}),
            std::vector<int>({2, 0, 1, 1, 0, 0, 1, -1}));
  EXPECT_EQ(p.FormatName, "");

  const auto lines = Lines(p.GetFileInfoText());
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
            std::vector<std::string>({"File Name: " + f, "Format Name: flv", "Format Long Name: FLV (Flash Video)",
                                      "File Size: " + TAVProbe::SizeText(qvtest::FileSize(f))}));
  EXPECT_EQ(CountPrefix(lines, "Duration: 00:00:02.0"), 1) << p.GetFileInfoText();
  EXPECT_EQ(CountPrefix(lines, "Bit Rate: "), 1);
  EXPECT_EQ(CountPrefix(lines, "Bit Rate: N/A"), 0);
  for (const char *t : {"Title:", "Author:", "Time Stamp:", "Year:", "Track:"}) EXPECT_EQ(CountPrefix(lines, t), 0) << t;
  EXPECT_EQ(CountPrefix(lines, "Stream #"), 2);
  const std::string &v = lines[lines.size() - 2], &a = lines.back();
  EXPECT_EQ(v.rfind("Stream #0, 1/1000: Video: h264", 0), 0u) << v;
  EXPECT_NE(v.find("176x144"), std::string::npos) << v;
  EXPECT_NE(v.find(", 25.00 tb(r)"), std::string::npos) << v;
  EXPECT_EQ(a.rfind("Stream #1, 1/1000: Audio: aac", 0), 0u) << a;
  EXPECT_NE(a.find("44100 Hz"), std::string::npos) << a;
  EXPECT_EQ(a.find("("), a.find("(LC)")) << "no language, so no parentheses but the profile's";

  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_GT(info.BitRate, 0);
  EXPECT_NEAR(static_cast<double>(info.Duration), 2e6, 5e4);

  p.CloseFile();
  EXPECT_FALSE(p.FileLoaded());
  EXPECT_EQ(p.StreamCount, -1);
  EXPECT_EQ(p.GetFileInfoText(), "");
}

TEST_F(AVProbeTest, TagsLanguageAndTimeStamp)
{
  const auto tagged = [](qvtest::TGenOptions &o) {
    o.Container = "matroska";
    o.Language = "ger";
    o.Tags = {{"title", "Der Titel"}, {"artist", "Jemand"}, {"copyright", "(c) 2008"}, {"comment", "50% off"},
              {"album", "Album"},      {"genre", "Rock"},    {"date", "2008-03-01"},   {"track", "3/12"},
              {"creation_time", "2008-07-01T12:00:00Z"}};
  };
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(Make("tags.mkv", tagged))) << p.LastError;
  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_EQ(info.Author, "Jemand");
  EXPECT_EQ(info.Year, 2008);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(info.TimeStamp, 1214913600);
  // Standard time only: in summer a zone of UTC+1 with daylight saving still shows +1 h.
  const auto lines = LinesInZone(p, "CET-1CEST,M3.5.0,M10.5.0/3");
  for (const char *t : {"Time Stamp: 2008-07-01 13:00:00", "Title: Der Titel", "Author: Jemand", "Copyright: (c) 2008",
                        "Comment: 50% off", "Album: Album", "Genre: Rock", "Year: 2008", "Track: #3"})
    EXPECT_TRUE(Has(lines, t)) << t;
  EXPECT_EQ(CountPrefix(lines, "Stream #0(ger), 1/1000: Video: h264"), 1) << p.GetFileInfoText();
  EXPECT_TRUE(Has(LinesInZone(p, "UTC0"), "Time Stamp: 2008-07-01 12:00:00"));
}

TEST_F(AVProbeTest, ProgramsListTheirOwnStreamsWithIds)
{
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(Make("prog.ts", [](auto &o) { o.Container = "mpegts"; }))) << p.LastError;
  EXPECT_EQ(p.ProgramCount, 1);
  const auto lines = Lines(p.GetFileInfoText());
  const auto it = std::find(lines.begin(), lines.end(), "Program 1 Service01@FFmpeg");
  ASSERT_EQ(lines.end() - it, 3) << p.GetFileInfoText();
  EXPECT_EQ(it[1].rfind("Stream #0[0x100], 1/90000: Video: h264", 0), 0u) << it[1];
  EXPECT_EQ(it[2].rfind("Stream #1[0x101], 1/90000: Audio: aac", 0), 0u) << it[2];
  EXPECT_NE(it[1].find("StartTime: "), std::string::npos);
}

TEST_F(AVProbeTest, UnopenableFilesAndFormatsGiveClearMessagesAndLeaveNoFile)
{
  const std::string good = Make("good.flv"), missing = Dir.File("missing.flv"), zero = Dir.File("zero.flv"),
                    noise = Dir.File("noise.flv");
  qvtest::WriteFile(zero, "");
  std::string bytes(4096, '\0');
  unsigned seed = 12345;
  for (auto &c : bytes) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
  qvtest::WriteFile(noise, bytes);

  // A misspelt format name fails before the file is looked at.
  struct {
    std::string File, Format, Message;
  } cases[] = {{missing, "", missing + ": no such file or directory"},
               {zero, "", zero + ": Unknown format"},
               {noise, "", noise + ": Unknown format"},
               {Dir.Path(), "", ""},
               {good, "wav", ""},
               {good, "flvv", "Unknown input format: flvv"},
               {missing, "flvv", "Unknown input format: flvv"}};
  TAVProbe p;
  for (const auto &c : cases) {
    ASSERT_TRUE(p.LoadFile(good, "flv"));
    EXPECT_EQ(p.FormatName, "flv");
    EXPECT_FALSE(p.LoadFile(c.File, c.Format)) << c.File;
    if (!c.Message.empty()) {
      EXPECT_EQ(p.LastError, c.Message);
    }
    EXPECT_FALSE(p.LastError.empty());
    EXPECT_FALSE(p.FileLoaded());
    EXPECT_EQ(p.FormatName, "");
    EXPECT_EQ(p.StreamCount, -1);
    EXPECT_EQ(p.GetFileInfoText(), "");
  }
  TAVFileInfo info;
  p.GetFileInfo(info);
  EXPECT_EQ(std::vector<int64_t>({info.StartTime, info.Duration, info.BitRate, info.Year, info.Track}),
            std::vector<int64_t>(5, -1));
  EXPECT_EQ(info.Title, "");
}

TEST_F(AVProbeTest, NamesWithColonsAreLocalFiles)
{
  std::filesystem::create_directory(Dir.File("http:"));
  Make("a:b.flv");
  Make("http:/c.flv");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Path());
  TAVProbe p;
  const bool colonOk = p.LoadFile("a:b.flv"), urlLike = p.LoadFile("http:/c.flv");
  const std::string text = p.GetFileInfoText();
  std::filesystem::current_path(old);
  EXPECT_TRUE(colonOk);
  EXPECT_TRUE(urlLike);
  EXPECT_EQ(text.rfind("File Name: http:/c.flv\r\n", 0), 0u) << text;
}

TEST_F(AVProbeTest, RealSamplesAndSizeBeyondTwoGigabytes)
{
  TAVProbe p;
  ASSERT_TRUE(p.LoadFile(qvtest::Sample("ruffle__rufflelogo.flv"))) << p.LastError;
  auto lines = Lines(p.GetFileInfoText());
  EXPECT_TRUE(Has(lines, "Duration: N/A"));
  EXPECT_TRUE(Has(lines, "Bit Rate: N/A"));
  EXPECT_TRUE(Has(lines, "File Size: 3.78 KB"));
  // Every back-pointer is off by four: the tags still give both streams.
  ASSERT_TRUE(p.LoadFile(qvtest::Sample("red5-server__h264_aac.flv"))) << p.LastError;
  EXPECT_EQ(p.StreamCount, 2);
  EXPECT_EQ(p.FirstAudioStream, 0);
  EXPECT_EQ(p.FirstVideoStream, 1);
  ASSERT_TRUE(p.LoadFile(qvtest::Sample("ruffle__dummy.flv")));
  EXPECT_TRUE(Has(Lines(p.GetFileInfoText()), "File Size: 314 Byte"));

  // Sparse: zeros after a short MP4 cost no disk space; the demuxer skips them as one atom.
  const std::string f = Make("big.mp4", [](auto &o) { o.VideoCodec = ""; o.Seconds = 0.1; o.Container = "mp4"; });
  ASSERT_EQ(truncate(f.c_str(), 3LL * 1073741824 + 1000), 0);
  ASSERT_TRUE(p.LoadFile(f)) << p.LastError;
  EXPECT_TRUE(Has(Lines(p.GetFileInfoText()), "File Size: 3.00 GB")) << p.GetFileInfoText();
}

// Read through a pipe, the file has no size to show.
TEST_F(AVProbeTest, SizeOfAPipeIsUnknown)
{
  const std::string bytes = qvtest::ReadFile(Make("small.flv", [](auto &o) {
    o.VideoCodec = "";
    o.Seconds = 0.2;
  }));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_LT(bytes.size(), 60000u);  // fits the pipe's buffer: no writer thread needed
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  TAVProbe p;
  const bool loaded = p.LoadFile("pipe:" + std::to_string(fds[0]));
  const std::string text = p.GetFileInfoText();
  p.CloseFile();
  close(fds[0]);
  ASSERT_TRUE(loaded) << p.LastError;
  EXPECT_TRUE(Has(Lines(text), "File Size: N/A")) << text;
}

TEST(AVProbeText, SizesDurationsAndStartTimes)
{
  const std::pair<int64_t, const char *> sizes[] = {
      {0, "0 Byte"},          {1024, "1024 Byte"},          {1025, "1.00 KB"},
      {1048576, "1024.00 KB"}, {1048577, "1.00 MB"},         {1073741824, "1024.00 MB"},
      {1073741825, "1.00 GB"}, {5LL * 1073741824 + 536870912, "5.50 GB"}};
  for (const auto &[n, text] : sizes) EXPECT_EQ(TAVProbe::SizeText(n), text) << n;
  const std::pair<int64_t, const char *> durations[] = {
      {65500000, "00:01:05.50"},     {9999, "00:00:00.00"},   {3599990000LL, "00:59:59.99"},
      {3600000000LL * 101 + 1, "101:00:00.00"}, {-1500000, "-00:00:01.50"}};
  for (const auto &[us, text] : durations) EXPECT_EQ(TAVProbe::DurationText(us), text) << us;
  EXPECT_EQ(TAVProbe::StartTimeText(23), "0.000023");
  EXPECT_EQ(TAVProbe::StartTimeText(-500000), "-0.500000");
}

TEST(OpenErrors, MessagesByErrorMeaning)
{
  const std::pair<int, std::string> cases[] = {
      {AVERROR(ENOENT), "no such file or directory"},
      {AVERROR(ENOSPC), "No space left on device"},
      {AVERROR(EFBIG), "File too large"},
      {-1, "Error while opening file"},
      {AVERROR_INVALIDDATA, "Unknown format"},
      {AVERROR(EINVAL), "Error while parsing header"},
      {AVERROR(ENOMEM), "memory allocation error occurred"},
      {AVERROR(EIO), "I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."}};
  for (const auto &[err, text] : cases) EXPECT_EQ(avbind::InputOpenErrorText("a.flv", err), "a.flv: " + text);
  EXPECT_EQ(avbind::InputOpenErrorText("img.jpg", AVERROR(EDOM)),
            "img.jpg: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
            "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
            "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.");
  // A file name is text, never a format.
  EXPECT_EQ(avbind::InputOpenErrorText("100%s %d.flv", AVERROR(ENOENT)), "100%s %d.flv: no such file or directory");
}

}  // namespace
