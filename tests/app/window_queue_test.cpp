// The window beyond one classic conversion: the rewrap entry, presets that
// name their encoders, the expected size, and queues of several files.
#include <QDir>
#include <QFileInfo>

#include "SizeEstimate.h"
#include "WindowFixture.h"

using windowtest::WindowTest;

namespace {

std::string MakeH264(const qvtest::TScratchDir &ADir, const std::string &AName, double ASeconds,
                     const std::string &AAudio = "aac")
{
  qvtest::TGenOptions o;
  o.AudioCodec = AAudio, o.Seconds = ASeconds;
  qvtest::MakeMedia(ADir.File(AName), o);
  return ADir.File(AName);
}

// The number of Mbytes, Kbytes or bytes at the end of a size text.
double SizeIn(const QString &AText)
{
  const QStringList words = AText.split(' ', Qt::SkipEmptyParts);
  if (words.size() < 2) return -1;
  const double n = words[words.size() - 2].toDouble();
  return words.last() == "Mbytes" ? n * 1048576 : words.last() == "Kbytes" ? n * 1024 : n;
}

}  // namespace

// H.264 files get a first entry that copies their streams, chosen for them
// as they are picked; the entry follows the file's sound, and goes when a
// file cannot be rewrapped.
TEST_F(WindowTest, H264FilesOfferARewrapThatCopiesTheirStreams) {
  const auto old = Media("old.flv");
  const auto h264 = MakeH264(Dir, "h264.flv", 2.0);
  const auto speex = Dir.File("speex.flv");
  QFile::copy(QString::fromStdString(qvtest::Sample("red5-server__flashContent1.flv")), QString::fromStdString(speex));

  Pick(old);
  EXPECT_EQ(Form->RewrapEntry(), rkNone);
  EXPECT_EQ(Form->cbFormats->count(), 3);
  ChoosePreset(1);
  Pick(h264);
  ASSERT_EQ(Form->cbFormats->count(), 4);
  EXPECT_EQ(Form->cbFormats->itemText(0), "Original quality, no re-encoding (fastest)");
  // The rewrap: the streams as they are, its size the input's streams'.
  EXPECT_EQ(Form->SelectedRewrap(), rkCopyAll);
  EXPECT_EQ(Form->SelectedPreset(), nullptr);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  const double expected = SizeIn(Panel(1));
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  const std::string out = Dir.File("h264_(new).mp4");
  EXPECT_EQ(qvtest::ComparePackets(h264, out, AVMEDIA_TYPE_VIDEO), "");
  EXPECT_EQ(qvtest::ComparePackets(h264, out, AVMEDIA_TYPE_AUDIO), "");
  EXPECT_NEAR(expected, static_cast<double>(qvtest::FileSize(out)), qvtest::FileSize(out) * 0.05);

  // Speex sound: the entry says the sound is converted, and stays chosen.
  Pick(speex);
  EXPECT_EQ(Form->cbFormats->itemText(0), "Original video quality (audio converted to AAC)");
  EXPECT_EQ(Form->SelectedRewrap(), rkCopyVideo);
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(qvtest::ComparePackets(speex, Dir.File("speex_(new).mp4"), AVMEDIA_TYPE_VIDEO), "");
  const auto a = Stream("speex_(new).mp4", AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(a.Codec, "aac");
  EXPECT_EQ(a.SampleRate, 16000);

  // A file that cannot be rewrapped takes the entry away: the first preset,
  // as at start, when the rewrap was chosen; the same preset otherwise.
  Pick(old);
  EXPECT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Form->SelectedPreset(), &Presets[0]);
  Pick(h264);
  ChoosePreset(2);
  EXPECT_EQ(Form->SelectedPreset(), &Presets[1]);
  Pick(old);
  EXPECT_EQ(Form->SelectedPreset(), &Presets[1]);
  EXPECT_EQ(Form->RewrapEntry(), rkNone);
  EXPECT_TRUE(Messages.empty());
}

// Presets may name their encoders: one the libraries lack is refused as soon
// as it is chosen; an H.264 one converts at its size in the source's shape
// and at the source's frame rate.
TEST_F(WindowTest, PresetsThatNameTheirEncoders) {
  qvtest::WriteFile(Dir.File("modern.ini"),
                    "[small]\nname=Small\nframe_width=320\nframe_height=240\nvideo_bitrate=300000\n"
                    "audio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n"
                    "[hd]\nname=HD\nframe_width=640\nframe_height=360\nvideo_bitrate=700000\naudio_bitrate=96000\n"
                    "audio_channels=2\naudio_frequency=44100\nvideo_codec=libx264\naudio_codec=aac\n"
                    "keep_frame_rate=1\nkeep_aspect_ratio=1\nx264_preset=veryfast\n"
                    "[gone]\nname=Gone\nframe_width=320\nframe_height=240\nvideo_bitrate=300000\n"
                    "video_codec=nosuchencoder\n");
  Make(Dir.File("modern.ini"));
  ChoosePreset(2);  // no file yet: said at once
  EXPECT_EQ(Panel(1), "This preset needs the encoder 'nosuchencoder', which the media libraries lack");
  ChoosePreset(0);
  EXPECT_EQ(Panel(1), "");

  qvtest::TGenOptions o;
  o.VideoCodec = "flv", o.FrameRate = {24, 1}, o.Seconds = 2.0;  // 320x240: 4:3
  qvtest::MakeMedia(Dir.File("clip.flv"), o);
  Pick(Dir.File("clip.flv"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  ChoosePreset(2);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_EQ(Panel(1), "This preset needs the encoder 'nosuchencoder', which the media libraries lack");
  Pick(Dir.File("clip.flv"));
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Messages.empty());

  ChoosePreset(1);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  const auto v = Stream("clip_(new).mp4");
  EXPECT_EQ(v.Codec, "h264");
  EXPECT_EQ(QSize(v.Width, v.Height), QSize(480, 360));
  EXPECT_NEAR(av_q2d(v.FrameRate), 24.0, 0.05);
  EXPECT_EQ(Stream("clip_(new).mp4", AVMEDIA_TYPE_AUDIO).Codec, "aac");
}

// Once configured, panel 1 tells the expected size of the chosen preset; the
// real size replaces it as the conversion runs.
TEST_F(WindowTest, TheExpectedSizeFollowsThePresetUntilTheRealOneReplacesIt) {
  Pick(Media("clip.flv", 2.0));
  const double small = SizeIn(Panel(1));
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  ChoosePreset(1);  // 128 + 32 kbit/s instead of 300 + 64
  const double tiny = SizeIn(Panel(1));
  EXPECT_NEAR(tiny / small, 160.0 / 364.0, 0.05);
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_TRUE(Panel(1).startsWith("Output file size: ")) << Panel(1).toStdString();
}

// Three files at once, the middle one no video: one after another, the box
// naming each in turn, the failure stopping nothing, and a message at the end
// saying what became of each.
TEST_F(WindowTest, AQueueConvertsOneFileAfterAnotherAndAFailureStopsNoOther) {
  Show();
  const auto a = Media("a.flv", 1.0), c = Media("c.flv", 1.0);
  const auto b = Dir.File("b.flv");
  qvtest::WriteFile(b, "Not a video at all.\n");
  EXPECT_TRUE(Drag({a, b, c}));
  ASSERT_EQ(Form->Queue().size(), 3u);
  EXPECT_EQ(Form->edFileInput->text().toStdString(), a);
  EXPECT_EQ(Output(), Dir.File("a_(new).mp4"));
  EXPECT_TRUE(Panel(1).startsWith("3 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  ASSERT_TRUE(Form->btnConvert->isEnabled());

  std::vector<QString> seen;  // panel 0 and the input box, as they change
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    const QString now = Panel(0) + " | " + QFileInfo(Form->edFileInput->text()).fileName();
    if (seen.empty() || seen.back() != now) seen.push_back(now);
  });
  watch.start(5);
  Form->btnConvertClick();
  EXPECT_EQ(Panel(0), "Status: Converting 1 of 3...");
  EXPECT_FALSE(Form->btnOpenInput->isEnabled());
  EXPECT_TRUE(Form->btnStop->isEnabled());
  ASSERT_TRUE(WaitForRunEnd());
  watch.stop();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "Status: Converting 1 of 3... | a.flv"), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "Status: Converting 3 of 3... | c.flv"), seen.end());

  EXPECT_EQ(Panel(0), "Status: Done, 2 of 3 converted");
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Form->Queue().empty());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  // The box named each file in turn, not by the user's hand: passing through
  // it afterwards configures nothing.
  Form->edFileInput->setFocus();
  Form->cbFormats->setFocus();
  EXPECT_EQ(Panel(0), "Status: Done, 2 of 3 converted");
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_EQ(Output(), Dir.File("c_(new).mp4"));
  for (const char *name : {"a_(new).mp4", "c_(new).mp4"}) {
    EXPECT_EQ(Stream(name).Codec, "mpeg4") << name;
    EXPECT_NEAR(Stream(name).Duration, 1.0, 0.3) << name;
  }
  EXPECT_FALSE(qvtest::FileExists(Dir.File("b_(new).mp4")));
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miExclamation);
  // Files by name, each reason without the path again, the folder once.
  EXPECT_EQ(Messages[0].Text, "2 of 3 files converted.\n\nConverted:\na.flv -> a_(new).mp4\nc.flv -> c_(new).mp4"
                              "\n\nFailed:\nb.flv: File open error: Unknown format\n\nOutput folder:\n" +
                                  QDir::toNativeSeparators(QString::fromStdString(Dir.Path())));
}

// Stop ends the running file (its output plays) and the rest of the queue.
TEST_F(WindowTest, StopInAQueueStopsTheRunningFileAndTheRest) {
  const auto lng = Media("long.flv", 60.0), next = Media("next.flv", 1.0);
  PickSeveral({lng, next});
  ASSERT_EQ(Form->Queue().size(), 2u);
  Form->Strix->SetProgressInterval(100);
  Form->btnConvertClick();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->pbConversion->value() > 0; }, 60000));
  Form->btnStopClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Conversion stopped");
  EXPECT_FALSE(qvtest::FileExists(Dir.File("next_(new).mp4")));
  const auto v = Stream("long_(new).mp4");
  EXPECT_GT(v.Packets, 0);
  EXPECT_LT(v.Duration, 55.0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miNone);
  EXPECT_TRUE(Messages[0].Text.startsWith("0 of 2 files converted.")) << Messages[0].Text.toStdString();
  EXPECT_TRUE(Messages[0].Text.contains("\n\nStopped (the part converted plays):\nlong.flv -> long_(new).mp4\n\n"
                                        "Not converted:\nnext.flv\n\nOutput folder:\n"))
      << Messages[0].Text.toStdString();
}

// A queue belongs to the box naming its first file: another name typed in
// makes it one file again. Its rewrap entry is there only when every file can
// be rewrapped, in the words of the least one allows.
TEST_F(WindowTest, AQueueFollowsTheInputBoxAndItsRewrapEntryEveryFile) {
  Show();
  const auto h264 = MakeH264(Dir, "h264.flv", 1.0), mp3 = MakeH264(Dir, "mp3.flv", 1.0, "libmp3lame");
  const auto speex = Dir.File("speex.flv"), old = Media("old.flv");
  QFile::copy(QString::fromStdString(qvtest::Sample("red5-server__flashContent1.flv")), QString::fromStdString(speex));
  PickSeveral({h264, mp3});
  EXPECT_EQ(Form->RewrapEntry(), rkCopyAll);
  PickSeveral({h264, speex});
  EXPECT_EQ(Form->RewrapEntry(), rkCopyVideo);
  PickSeveral({h264, old});
  EXPECT_EQ(Form->RewrapEntry(), rkNone);

  PickSeveral({h264, mp3});
  ChoosePreset(0);  // the rewrap: the queue's size is its streams'
  EXPECT_TRUE(Panel(1).startsWith("2 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  TypeIntoInputBox(old);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  TypeIntoInputBox(h264);
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Queue().size(), 2u);
  TypeIntoInputBox(old);
  QTest::keyClick(Form->edFileInput, Qt::Key_Return);
  EXPECT_TRUE(Form->Queue().empty());
  EXPECT_EQ(Form->Strix->TaskCount(), 1);
  EXPECT_EQ(Output(), Dir.File("old_(new).mp4"));
  EXPECT_EQ(Form->RewrapEntry(), rkNone);
  EXPECT_TRUE(Messages.empty());
}
