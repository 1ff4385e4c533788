// The FLV tag rewriter: a file read and written back keeps its bytes, and
// every edit (timestamps, composition times, dropped and added tags) is what
// ffprobe then reads.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "FlvTags.h"
#include "Process.h"
#include "TestEnv.h"

namespace {

using qvtest::TFlvFile;
using qvtest::TFlvTag;

struct TPacket {
  std::string Type;  // "video", "audio", "subtitle", ...
  long long Pts = 0, Dts = 0;  // milliseconds (FLV's time base)
};

// Every packet of APath as ffprobe reads it; AErrors gets what it complained about.
std::vector<TPacket> Packets(const std::string &APath, std::string *AErrors = nullptr)
{
  const qvtest::TProcessResult r =
      qvtest::RunProcess({"ffprobe", "-v", "error", "-show_entries", "packet=codec_type,pts,dts", "-of",
                          "csv=p=0:nk=1", APath},
                         120);
  EXPECT_TRUE(r.Ok()) << r.Err;
  if (AErrors) *AErrors = r.Err;
  std::vector<TPacket> out;
  std::stringstream lines(r.Out);
  for (std::string line; std::getline(lines, line);) {
    std::stringstream fields(line);
    TPacket p;
    std::string pts, dts;
    std::getline(fields, p.Type, ',');
    std::getline(fields, pts, ',');
    std::getline(fields, dts, ',');
    p.Pts = pts == "N/A" ? -1 : std::stoll(pts);
    p.Dts = dts == "N/A" ? -1 : std::stoll(dts);
    out.push_back(p);
  }
  return out;
}

class FlvTags : public ::testing::Test {
 protected:
  // H.264 (no B-frames) and AAC, 2 s: an AVC sequence header, pictures, AAC frames.
  std::string Make(const std::string &AName, const std::string &AExtra = "")
  {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi", "-i",
                                     "testsrc=d=2:s=160x120:r=15", "-f", "lavfi", "-i", "sine=d=2",
                                     "-c:v", "libx264", "-bf", "0", "-g", "15", "-c:a", "aac"};
    if (!AExtra.empty()) args.insert(args.end(), {"-bsf:v", AExtra});
    args.insert(args.end(), {"-f", "flv", Dir.File(AName)});
    const qvtest::TProcessResult r = qvtest::RunProcess(args, 120);
    EXPECT_TRUE(r.Ok()) << r.Err;
    return Dir.File(AName);
  }
  qvtest::TScratchDir Dir;
};

TEST_F(FlvTags, ReadAndWrittenBackKeepsEveryByte)
{
  const std::string path = Make("a.flv", "setts=pts=PTS+120");
  const std::string bytes = qvtest::ReadFile(path);
  const TFlvFile f = TFlvFile::Parse(bytes);
  ASSERT_GT(f.Tags.size(), 50u);
  EXPECT_TRUE(f.Tags[0].IsScript());  // onMetaData
  EXPECT_EQ(f.Header.size(), 13u);
  EXPECT_EQ(f.Bytes(), bytes);

  // The parsed fields are the ones ffprobe sees: one tag per packet, same
  // kind, same decoding time; AVC pictures carry the 120 ms offset.
  std::vector<const TFlvTag *> media;
  for (const TFlvTag &t : f.Tags)
    if (t.CarriesMedia()) media.push_back(&t);
  const std::vector<TPacket> packets = Packets(path);
  ASSERT_EQ(packets.size(), media.size());
  for (size_t i = 0; i < media.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(packets[i].Type, media[i]->IsVideo() ? "video" : "audio");
    EXPECT_EQ(packets[i].Dts, media[i]->Timestamp);
    EXPECT_EQ(packets[i].Pts, media[i]->PresentationTime());
    if (media[i]->IsVideo()) {
      EXPECT_EQ(media[i]->VideoCodecId(), 7);
      EXPECT_EQ(media[i]->CompositionTime(), 120);
    } else {
      EXPECT_EQ(media[i]->SoundFormat(), 10);
    }
  }
}

TEST_F(FlvTags, RealSamplesKeepTheirBytesAndWrongBackPointersAreMended)
{
  for (const std::string &sample : qvtest::AllSamples()) {
    SCOPED_TRACE(sample);
    const std::string bytes = qvtest::ReadFile(sample);
    const TFlvFile f = TFlvFile::Parse(bytes);
    EXPECT_FALSE(f.Tags.empty());
    // Back-pointers as the file has them.
    bool pointersRight = true, lastMissing = false;
    size_t pos = f.Header.size();
    for (const TFlvTag &t : f.Tags) {
      pos += 11 + t.Data.size();
      if (pos + 4 > bytes.size()) {
        lastMissing = true;
        break;
      }
      const auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[pos + k])); };
      pointersRight = pointersRight && ((b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3)) == 11 + t.Data.size();
      pos += 4;
    }
    if (pointersRight) {
      // A missing last back-pointer is added; nothing else changes.
      EXPECT_EQ(f.Bytes().substr(0, bytes.size()), bytes);
      EXPECT_EQ(f.Bytes().size(), bytes.size() + (lastMissing ? 4 : 0));
      continue;
    }
    // The file whose back-pointers are all 4 too large: ffmpeg reads
    // nothing from it, and everything once they are right.
    std::string errors;
    EXPECT_TRUE(Packets(sample).empty());
    const std::string mended = Dir.File("mended.flv");
    f.Save(mended);
    const std::vector<TPacket> packets = Packets(mended, &errors);
    EXPECT_EQ(errors, "");
    size_t media = 0;
    for (const TFlvTag &t : f.Tags) media += t.CarriesMedia();
    EXPECT_EQ(packets.size(), media);
  }
}

TEST_F(FlvTags, EditedTimestampsCompositionTimesAndTagsAreWhatFfprobeReads)
{
  TFlvFile f = TFlvFile::Load(Make("b.flv"));
  // Beyond 24 bits, so the extension byte carries the upper bits.
  const int64_t shift = 20000000;
  int32_t cts = -30;
  std::vector<TPacket> expected;
  std::vector<TFlvTag> kept;
  int audio = 0;
  for (TFlvTag &t : f.Tags) {
    if (t.IsAudio() && t.CarriesMedia() && ++audio % 3 == 0) continue;  // every third AAC frame dropped
    if (t.IsVideo() || t.IsAudio()) t.Timestamp += shift;
    if (t.IsAvcPicture()) {
      t.SetCompositionTime(cts);  // negative, zero and positive values
      cts += 17;
    }
    if (t.CarriesMedia())
      expected.push_back({t.IsVideo() ? "video" : "audio", t.PresentationTime(), t.Timestamp});
    kept.push_back(t);
  }
  f.Tags = kept;
  EXPECT_EQ(TFlvFile::Parse(f.Bytes()).Bytes(), f.Bytes());
  const std::string edited = Dir.File("edited.flv");
  f.Save(edited);

  std::string errors;
  const std::vector<TPacket> packets = Packets(edited, &errors);
  EXPECT_EQ(errors, "");  // every back-pointer is right
  ASSERT_EQ(packets.size(), expected.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(packets[i].Type, expected[i].Type);
    EXPECT_EQ(packets[i].Dts, expected[i].Dts);
    EXPECT_EQ(packets[i].Pts, expected[i].Pts);
  }
  EXPECT_GE(packets.front().Dts, shift);
}

// ffmpeg reads both onTextData and onCuePoint script tags as subtitle packets.
TEST_F(FlvTags, AddedScriptTagsBecomeASubtitleStream)
{
  TFlvFile f = TFlvFile::Load(Make("c.flv"));
  for (int64_t at : {500, 1500})
    f.Tags.push_back(qvtest::MakeScriptTag(at, "onTextData", {{"type", true, "Text", 0}, {"text", true, "hello", 0}}));
  f.Tags.push_back(qvtest::MakeScriptTag(1000, "onCuePoint", {{"name", true, "cue", 0}, {"time", false, "", 1.0}}));
  std::stable_sort(f.Tags.begin(), f.Tags.end(), [](const TFlvTag &a, const TFlvTag &b) { return a.Timestamp < b.Timestamp; });
  const std::string path = Dir.File("text.flv");
  f.Save(path);
  std::map<std::string, std::vector<long long>> byType;
  for (const TPacket &p : Packets(path)) byType[p.Type].push_back(p.Pts);
  EXPECT_EQ(byType["subtitle"], std::vector<long long>({500, 1000, 1500}));
  EXPECT_GT(byType["video"].size(), 20u);
}

TEST(FlvTagsParse, RejectsWhatIsNotFlvAndKeepsACutLastTag)
{
  EXPECT_THROW(TFlvFile::Parse("RIFF\0\0\0\0WAVE"), std::runtime_error);
  EXPECT_THROW(TFlvFile::Parse(std::string("FLV\x01\x05\x00\x00\x00\x40", 9)), std::runtime_error);

  TFlvFile f;
  f.Header = std::string("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
  TFlvTag t;
  t.Type = qvtest::fttVideo;
  t.Timestamp = 0x12345678;
  t.StreamId = 0;
  t.Data = std::string("\x17\x01\xff\xff\xf6", 5) + "pic";  // AVC picture, composition time -10
  f.Tags = {t};
  const std::string bytes = f.Bytes();
  // Type, size 8, timestamp 0x345678 with 0x12 in the extension byte, stream 0.
  EXPECT_EQ(bytes.substr(13, 11), std::string("\x09\x00\x00\x08\x34\x56\x78\x12\x00\x00\x00", 11));
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\x00\x00\x00\x13", 4));
  const TFlvFile back = TFlvFile::Parse(bytes + "\x08\x00\x01");  // plus a cut tag
  ASSERT_EQ(back.Tags.size(), 1u);
  EXPECT_EQ(back.Tags[0].Timestamp, 0x12345678);
  EXPECT_EQ(back.Tags[0].CompositionTime(), -10);
  EXPECT_EQ(back.Trailer, "\x08\x00\x01");
  EXPECT_EQ(back.Bytes(), bytes + "\x08\x00\x01");
}

}  // namespace
