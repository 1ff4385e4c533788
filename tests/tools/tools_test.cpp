// Presets from formats.ini, output naming and the version text.
#include <gtest/gtest.h>

#include <unistd.h>

#include "TestEnv.h"
#include "Tools.h"

using qvtest::TScratchDir;
using qvtest::WriteFile;

namespace {

std::vector<std::string> Load(const std::string &AFile) {
  std::vector<std::string> names;
  LoadPresets(AFile, [&](const std::string &AName) { names.push_back(AName); });
  return names;
}

}  // namespace

TEST(MakeOutputName, TakesTheFirstFreeNumberAsFilesAppear) {
  TScratchDir dir;
  const std::string in = dir.File("clip.flv");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new).mp4"));
  WriteFile(dir.File("clip_(new).mp4"), "x");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new_1).mp4"));
  WriteFile(dir.File("clip_(new_1).mp4"), "x");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new_2).mp4"));
  // A gap further down is not reused before the lowest free number.
  WriteFile(dir.File("clip_(new_3).mp4"), "x");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new_2).mp4"));
  // The input's own name with the new extension is never proposed, even when free.
  EXPECT_NE(MakeOutputName(in, ".mp4"), dir.File("clip.mp4"));
}

TEST(MakeOutputName, CutsOnlyTheLastExtensionOfTheLastComponent) {
  TScratchDir dir;
  EXPECT_EQ(MakeOutputName(dir.File("a.b.flv"), ".mp4"), dir.File("a.b_(new).mp4"));
  EXPECT_EQ(MakeOutputName(dir.File("noext"), ".mp4"), dir.File("noext_(new).mp4"));
  // A dot in a folder name is not an extension.
  ASSERT_EQ(mkdir(dir.File("v.d").c_str(), 0700), 0);
  EXPECT_EQ(MakeOutputName(dir.File("v.d/clip"), ".mp4"), dir.File("v.d/clip_(new).mp4"));
}

TEST(MakeOutputName, CountsADanglingLinkAsTaken) {
  TScratchDir dir;
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("clip_(new).mp4").c_str()), 0);
  EXPECT_EQ(MakeOutputName(dir.File("clip.flv"), ".mp4"), dir.File("clip_(new_1).mp4"));
}

// The system sees a name only up to its first zero byte. Such names used to
// hang the search: the visible part (here the folder itself) exists, so
// every numbered candidate counted as taken.
TEST(MakeOutputName, NamesEndAtTheirFirstZeroByte) {
  TScratchDir dir;
  const std::string folderThenZero = dir.Path() + std::string("/\0clip.flv", 10);
  EXPECT_EQ(MakeOutputName(folderThenZero, ".mp4"), dir.File("_(new).mp4"));
  const std::string name = MakeOutputName(dir.File("clip.flv"), std::string(".mp4\0.exe", 9));
  EXPECT_EQ(name, dir.File("clip_(new).mp4"));
  EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(LoadPresets, ListsSectionsInFileOrderWithTheirValues) {
  TScratchDir dir;
  const auto ini = dir.File("formats.ini");
  WriteFile(ini,
            "; comment\n"
            "[zeta]\nname=Small\nframe_width=320\nframe_height=240\nframe_rate=25\n"
            "video_bitrate=300000\naudio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n"
            "[alpha]\nname=Large\nframe_width=640\nframe_height=480\n");
  EXPECT_EQ(Load(ini), (std::vector<std::string>{"Small", "Large"}));
  ASSERT_EQ(Presets.size(), 2u);
  const TFormat &s = Presets[0];
  EXPECT_EQ(s.Name, "Small");
  EXPECT_EQ(s.FrameWidth, 320);
  EXPECT_EQ(s.FrameHeight, 240);
  EXPECT_EQ(s.FrameRate, 25);
  EXPECT_EQ(s.VideoBitrate, 300000);
  EXPECT_EQ(s.AudioBitrate, 64000);
  EXPECT_EQ(s.AudioChannels, 2);
  EXPECT_EQ(s.AudioFrequency, 44100);
  EXPECT_EQ(Presets[1].FrameWidth, 640);
  EXPECT_EQ(Presets[1].AudioFrequency, 0);  // missing key
}

TEST(LoadPresets, SectionWithoutNameAddsAnEmptyEntryAndBadNumbersReadZero) {
  TScratchDir dir;
  const auto ini = dir.File("formats.ini");
  WriteFile(ini, "[a]\nframe_width=abc\nframe_height=12x\nvideo_bitrate=99999999999\n"
                 "[b]\nname=B\n");
  EXPECT_EQ(Load(ini), (std::vector<std::string>{"", "B"}));
  EXPECT_EQ(Presets[0].FrameWidth, 0);
  EXPECT_EQ(Presets[0].FrameHeight, 0);
  EXPECT_EQ(Presets[0].VideoBitrate, 0);  // beyond 32 bits is not a number either
}

TEST(LoadPresets, MissingFileEmptiesThePresets) {
  TScratchDir dir;
  WriteFile(dir.File("one.ini"), "[a]\nname=A\n");
  EXPECT_EQ(Load(dir.File("one.ini")).size(), 1u);
  EXPECT_TRUE(Load(dir.File("missing.ini")).empty());
  EXPECT_TRUE(Presets.empty());
}

TEST(LoadPresets, RepeatedSectionMergesIntoItsFirstPlaceAndFirstKeyWins) {
  TScratchDir dir;
  const auto ini = dir.File("formats.ini");
  WriteFile(ini, "[a]\nname=A\nname=Again\n[b]\nname=B\n[A]\nframe_width=320\n");
  EXPECT_EQ(Load(ini), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Presets[0].FrameWidth, 320);
}

TEST(LoadPresets, DefaultFileShipsBesideTheExecutables) {
  // The tests run from the same bin/ folder as the programs.
  auto names = Load({});
  ASSERT_GE(names.size(), 2u);
  for (const TFormat &f : Presets) {
    EXPECT_FALSE(f.Name.empty());
    EXPECT_GT(f.FrameWidth, 0);
    EXPECT_EQ(f.FrameWidth % 2, 0);
    EXPECT_EQ(f.FrameHeight % 2, 0);
    // Bits per second, not kilobits.
    EXPECT_GE(f.VideoBitrate, 64000);
    EXPECT_GE(f.AudioBitrate, 16000);
    EXPECT_GE(f.AudioChannels, 1);
    EXPECT_GE(f.AudioFrequency, 8000);
  }
}

TEST(ReadIniInteger, AcceptsSignedDecimalAndHexOnly) {
  EXPECT_EQ(ReadIniInteger("-12", 7), -12);
  EXPECT_EQ(ReadIniInteger("$1F", 7), 31);
  EXPECT_EQ(ReadIniInteger("0x10", 7), 16);
  EXPECT_EQ(ReadIniInteger("", 7), 7);
  EXPECT_EQ(ReadIniInteger(" 5", 7), 7);
  EXPECT_EQ(ReadIniInteger("+-5", 7), 7);
  EXPECT_EQ(ReadIniInteger("2147483648", 7), 7);
  EXPECT_EQ(ReadIniInteger("-2147483648", 7), INT32_MIN);
}

TEST(FileVersionText, IsTheBuildsProjectVersion) {
  EXPECT_EQ(FileVersionText(), QV_EXPECTED_VERSION);
}
