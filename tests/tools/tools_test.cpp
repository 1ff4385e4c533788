// Presets from formats.ini, output naming and the version text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>

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

std::vector<std::string> LoadText(const TScratchDir &ADir, const std::string &AText) {
  WriteFile(ADir.File("formats.ini"), AText);
  return Load(ADir.File("formats.ini"));
}

}  // namespace

TEST(MakeOutputName, TakesTheLowestFreeNumberAsFilesAppear) {
  TScratchDir dir;
  const std::string in = dir.File("clip.flv");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new).mp4"));
  WriteFile(dir.File("clip_(new).mp4"), "x");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new_1).mp4"));
  WriteFile(dir.File("clip_(new_1).mp4"), "x");
  WriteFile(dir.File("clip_(new_3).mp4"), "x");
  EXPECT_EQ(MakeOutputName(in, ".mp4"), dir.File("clip_(new_2).mp4"));
  // A dangling link counts as taken.
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("x_(new).mp4").c_str()), 0);
  EXPECT_EQ(MakeOutputName(dir.File("x.flv"), ".mp4"), dir.File("x_(new_1).mp4"));
}

TEST(MakeOutputName, CutsOnlyTheLastExtensionOfTheLastComponent) {
  TScratchDir dir;
  ASSERT_EQ(mkdir(dir.File("v.d").c_str(), 0700), 0);
  for (const auto &[in, stem] : {std::pair{"a.b.flv", "a.b"}, {"noext", "noext"}, {"v.d/clip", "v.d/clip"}})
    EXPECT_EQ(MakeOutputName(dir.File(in), ".mp4"), dir.File(stem) + "_(new).mp4");
}

// Regression: names with a zero byte hung the search, since the visible part
// (here the folder itself) exists and every candidate counted as taken.
TEST(MakeOutputName, NamesEndAtTheirFirstZeroByte) {
  TScratchDir dir;
  EXPECT_EQ(MakeOutputName(dir.Path() + std::string("/\0clip.flv", 10), ".mp4"), dir.File("_(new).mp4"));
  const std::string name = MakeOutputName(dir.File("clip.flv"), std::string(".mp4\0.exe", 9));
  EXPECT_EQ(name, dir.File("clip_(new).mp4"));
  EXPECT_EQ(name.find('\0'), std::string::npos);
}

TEST(LoadPresets, ReadsSectionsInFileOrder) {
  TScratchDir dir;
  EXPECT_EQ(LoadText(dir, "; comment\n[zeta]\nname=Small\nframe_width=320\nframe_height=240\nframe_rate=25\n"
                          "video_bitrate=300000\naudio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n"
                          "[alpha]\nname=Large\nframe_width=640\n"),
            (std::vector<std::string>{"Small", "Large"}));
  ASSERT_EQ(Presets.size(), 2u);
  const TFormat &s = Presets[0];
  EXPECT_EQ(std::vector<int>({s.FrameWidth, s.FrameHeight, s.FrameRate, s.VideoBitrate, s.AudioBitrate,
                              s.AudioChannels, s.AudioFrequency}),
            std::vector<int>({320, 240, 25, 300000, 64000, 2, 44100}));
  EXPECT_EQ(Presets[1].FrameWidth, 640);
  EXPECT_EQ(Presets[1].AudioFrequency, 0);  // missing key

  // No name gives an empty entry; bad or 33-bit numbers read 0.
  EXPECT_EQ(LoadText(dir, "[a]\nframe_width=abc\nframe_height=12x\nvideo_bitrate=99999999999\n[b]\nname=B\n"),
            (std::vector<std::string>{"", "B"}));
  EXPECT_EQ(Presets[0].FrameWidth + Presets[0].FrameHeight + Presets[0].VideoBitrate, 0);

  // A repeated section merges into its first place; the first key wins.
  EXPECT_EQ(LoadText(dir, "[a]\nname=A\nname=Again\n[b]\nname=B\n[A]\nframe_width=320\n"),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(Presets[0].FrameWidth, 320);

  EXPECT_TRUE(Load(dir.File("missing.ini")).empty());
  EXPECT_TRUE(Presets.empty());
}

// Every section is a preset, even one without keys; indented keys count,
// also right under another key (where the INI reader would take them for a
// continuation of its value).
TEST(LoadPresets, SectionsWithoutKeysAndIndentedKeys) {
  TScratchDir dir;
  EXPECT_EQ(LoadText(dir, "[first]\n[second]\nname=B\n[third]\n"), (std::vector<std::string>{"", "B", ""}));
  EXPECT_EQ(LoadText(dir, "\xEF\xBB\xBF[a]\r\n  name=Indented\r\n\tframe_width=320\r\n  ; note\r\n"
                          "frame_height=240\r\n    audio_channels=2\r\n  [b]\r\n"),
            (std::vector<std::string>{"Indented", ""}));
  ASSERT_EQ(Presets.size(), 2u);
  EXPECT_EQ(std::vector<int>({Presets[0].FrameWidth, Presets[0].FrameHeight, Presets[0].AudioChannels}),
            std::vector<int>({320, 240, 2}));
  // A header cut short by a comment is no section.
  EXPECT_EQ(LoadText(dir, "[a]\nname=A\n[b ;x]\nname=B\n"), (std::vector<std::string>{"A"}));
}

// A value given that is not a number or out of its range makes its preset
// unusable, told with its line; the value read stays what it always was.
TEST(LoadPresets, EachBadValueMakesItsPresetUnusable) {
  TScratchDir dir;
  const std::pair<const char *, const char *> bad[] = {
      {"frame_width=0", "a frame width"},  {"frame_height=99999", "a frame height"},
      {"frame_rate=-15", "a frame rate"},  {"video_bitrate=abc", "a number"},
      {"video_bitrate=300", "a bit rate in bits per second"}, {"audio_bitrate=-64000", "a bit rate in bits per second"},
      {"audio_channels=0", "a channel count"}, {"audio_channels=9", "a channel count"},
      {"audio_frequency=-44100", "a sample rate"}, {"audio_frequency=", "a number"},
      {"keep_frame_rate=2", "0 or 1"},     {"crf=52", "a quality from 0 to 51"}};
  for (const auto &[line, what] : bad) {
    LoadText(dir, std::string("; presets\n[a]\nname=A\n[b]\n") + line + "\naudio_channels=0\n");
    EXPECT_EQ(Presets.at(0).Problem + "|" + Presets.at(1).Problem,
              std::string("|formats.ini line 5: ") + line + " is not " + what);  // the first bad value of b
  }
  EXPECT_EQ(Presets[1].AudioChannels, 0);
}

TEST(LoadPresets, DefaultFileShipsBesideTheExecutables) {
  ASSERT_GE(Load({}).size(), 2u);
  for (const TFormat &f : Presets) {
    EXPECT_FALSE(f.Name.empty());
    EXPECT_GT(f.FrameWidth, 0);
    EXPECT_EQ(f.FrameWidth % 2 + f.FrameHeight % 2, 0);
    EXPECT_GE(f.VideoBitrate, 64000);  // bits per second, not kilobits
    EXPECT_GE(f.AudioBitrate, 16000);
    EXPECT_GE(f.AudioChannels, 1);
    EXPECT_GE(f.AudioFrequency, 8000);
    EXPECT_EQ(f.Problem, "");
  }
}

TEST(ReadIniInteger, AcceptsSignedDecimalAndHexOnly) {
  const std::pair<const char *, int> cases[] = {{"-12", -12}, {"$1F", 31}, {"0x10", 16}, {"", 7}, {" 5", 7},
                                                {"+-5", 7},   {"2147483648", 7}, {"-2147483648", INT32_MIN}};
  for (const auto &[text, want] : cases) EXPECT_EQ(ReadIniInteger(text, 7), want) << text;
}

TEST(EstimatedTotalTime, ProjectsTheWholeJobAtTheObservedRate) {
  EXPECT_DOUBLE_EQ(EstimatedTotalTime(25, 100, 30.0), 120.0);
  EXPECT_DOUBLE_EQ(EstimatedTotalTime(0, 100, 30.0), 0.0);
  // More done than the total (a last packet's length): never below the elapsed time.
  EXPECT_DOUBLE_EQ(EstimatedTotalTime(200, 100, 30.0), 30.0);
  EXPECT_LT(EstimatedTotalTime(25, -100, 30.0), 0.0);
}

// The version declared in the top-level CMakeLists.txt, four numbers.
TEST(FileVersionText, IsTheDeclaredProjectVersion) {
  const std::string cmake = qvtest::ReadFile(std::string(QV_SOURCE_DIR) + "/CMakeLists.txt");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(cmake, m, std::regex(R"(project\(\s*Quenvaro\s+VERSION\s+([^\s)]+))")));
  EXPECT_EQ(FileVersionText(), m[1].str());
  EXPECT_TRUE(std::regex_match(FileVersionText(), std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << FileVersionText();
}
