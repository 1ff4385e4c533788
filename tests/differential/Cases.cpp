#include "Cases.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "EnhancedFlv.h"
#include "Process.h"
#include "TestEnv.h"

namespace qvdiff {

namespace fs = std::filesystem;
using qvtest::TFlvFile;
using qvtest::TFlvTag;

namespace {

// Bumped when the generation itself changes, so that cached inputs are remade.
constexpr const char *kRecipeVersion = "1";

// ---- ffmpeg arguments for the sources ----

std::string Num(double AValue)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", AValue);
  return buf;
}

std::string Pic(double ASeconds, const std::string &ASize = "320x240", const std::string &ARate = "30")
{
  return "-f lavfi -i testsrc=d=" + Num(ASeconds) + ":s=" + ASize + ":r=" + ARate + " ";
}

std::string Tone(double ASeconds) { return "-f lavfi -i sine=f=440:b=4:d=" + Num(ASeconds) + " "; }

std::string Audio(const std::string &ACodec, int ARate, int AChannels)
{
  return "-c:a " + ACodec + " -ar " + std::to_string(ARate) + " -ac " + std::to_string(AChannels) + " ";
}

const std::string H264 = "-c:v libx264 -preset veryfast -g 30 -bf 0 ";
const std::string H264B = "-c:v libx264 -preset veryfast -g 30 -bf 2 ";
const std::string Flv1 = "-c:v flv ";
const std::string Aac = Audio("aac", 44100, 2);
const std::string Mp3 = Audio("libmp3lame", 44100, 2);

// ---- edits ----

bool IsAv(const TFlvTag &ATag) { return ATag.IsAudio() || ATag.IsVideo(); }

void KeepOrder(TFlvFile &AFile)
{
  std::stable_sort(AFile.Tags.begin(), AFile.Tags.end(),
                   [](const TFlvTag &a, const TFlvTag &b) { return a.Timestamp < b.Timestamp; });
}

// Moves the audio/video tags (of ATypes: 'a', 'v' or both) at or after AFrom by ABy.
TEdit Shift(int64_t AFrom, int64_t ABy, const std::string &ATypes = "av")
{
  return [=](TFlvFile &f, const TFlvFile &) {
    for (TFlvTag &t : f.Tags) {
      const bool chosen = (t.IsAudio() && ATypes.find('a') != std::string::npos) ||
                          (t.IsVideo() && ATypes.find('v') != std::string::npos);
      if (chosen && t.Timestamp >= AFrom) t.Timestamp += ABy;
    }
  };
}

TEdit Then(TEdit AFirst, TEdit ASecond)
{
  return [=](TFlvFile &f, const TFlvFile &g) {
    AFirst(f, g);
    ASecond(f, g);
  };
}

// Every AVC picture: composition time AFirst + AStep * (its number).
TEdit Composition(int32_t AFirst, int32_t AStep = 0)
{
  return [=](TFlvFile &f, const TFlvFile &) {
    int32_t k = 0;
    for (TFlvTag &t : f.Tags)
      if (t.IsAvcPicture()) t.SetCompositionTime(AFirst + AStep * k++);
  };
}

// Drops the tags of AType from AFrom (ms) to ATo; video keeps dropping until
// its next key frame, so that decoding resumes cleanly.
TEdit Drop(uint8_t AType, int64_t AFrom, int64_t ATo)
{
  return [=](TFlvFile &f, const TFlvFile &) {
    std::vector<TFlvTag> kept;
    bool dropping = false;
    for (TFlvTag &t : f.Tags) {
      if (t.Type == AType && t.CarriesMedia()) {
        if (t.Timestamp >= AFrom && t.Timestamp < ATo) dropping = true;
        if (dropping && t.Timestamp >= ATo && (!t.IsVideo() || t.IsKeyFrame())) dropping = false;
        if (dropping) continue;
      }
      kept.push_back(std::move(t));
    }
    f.Tags = std::move(kept);
  };
}

// Every AEvery-th media tag of AType is stamped AStep ms before the tag
// before it; video keeps its presentation time (the composition time takes
// up the difference).
TEdit StepBack(uint8_t AType, int AEvery, int64_t AStep)
{
  return [=](TFlvFile &f, const TFlvFile &) {
    int n = 0;
    int64_t previous = -1;
    for (TFlvTag &t : f.Tags) {
      if (t.Type != AType || !t.CarriesMedia()) continue;
      const int64_t own = t.Timestamp;
      if (++n % AEvery == 0 && previous >= AStep) {
        t.Timestamp = previous - AStep;
        if (t.IsAvcPicture()) t.SetCompositionTime(t.CompositionTime() + static_cast<int32_t>(own - t.Timestamp));
      }
      previous = own;
    }
  };
}

// Moves every media tag of AType by a pseudo-random amount within ±ASpread ms.
TEdit Jitter(uint8_t AType, int ASpread)
{
  return [=](TFlvFile &f, const TFlvFile &) {
    uint32_t seed = 12345;
    for (TFlvTag &t : f.Tags) {
      if (t.Type != AType || !t.CarriesMedia()) continue;
      seed = seed * 1103515245u + 12345u;
      const int offset = static_cast<int>((seed >> 16) % (2 * ASpread + 1)) - ASpread;
      t.Timestamp = std::max<int64_t>(0, t.Timestamp + offset);
    }
  };
}

// Appends the media tags of the second file after the last tag of the first.
TEdit Append()
{
  return [](TFlvFile &f, const TFlvFile &g) {
    int64_t end = 0;
    for (const TFlvTag &t : f.Tags)
      if (IsAv(t)) end = std::max(end, t.Timestamp);
    end += 67;  // about one frame after the first part's last tag
    for (const TFlvTag &t : g.Tags)
      if (IsAv(t)) {
        TFlvTag moved = t;
        moved.Timestamp += end;
        f.Tags.push_back(std::move(moved));
      }
  };
}

// An onCuePoint script tag every AEvery ms up to AUntil.
TEdit CuePoints(int64_t AEvery, int64_t AUntil)
{
  return [=](TFlvFile &f, const TFlvFile &) {
    for (int64_t at = AEvery, n = 1; at < AUntil; at += AEvery, ++n)
      f.Tags.push_back(qvtest::MakeScriptTag(at, "onCuePoint",
                                             {{"name", true, "cue" + std::to_string(n), 0},
                                              {"time", false, "", static_cast<double>(at) / 1000},
                                              {"type", true, "event", 0}}));
    KeepOrder(f);
  };
}

// ---- the matrix ----

struct TShapeBuilder {
  std::vector<TShape> &List;
  TShape &Add(const std::string &AName, const std::string &AWhat, const std::string &ASource, int AJobs = jbReencode | jbCopyMkv)
  {
    TShape &s = List.emplace_back();
    s.Name = AName, s.What = AWhat, s.Source = ASource, s.Jobs = AJobs;
    return s;
  }
};

TShape &Edited(TShape &AShape, const std::string &AKey, TEdit AEdit)
{
  AShape.EditKey = AKey;
  AShape.Edit = std::move(AEdit);
  return AShape;
}

TShape &Closed(TShape &AShape, const std::string &AKey, TEdit AEdit)
{
  AShape.Expect = exClosedJump;
  AShape.ClosedKey = AKey;
  AShape.ClosedEdit = std::move(AEdit);
  return AShape;
}

constexpr int kAll = jbReencode | jbCopyMkv | jbCopyMp4;

void TimestampShapes(TShapeBuilder &B)
{
  const std::string base10 = Pic(10) + Tone(10) + H264 + Aac;
  // Composition offsets: presentation ahead of decoding.
  for (int ms : {80, 200, 500})
    B.Add("cts_" + std::to_string(ms) + "ms", "H.264 without B-frames, presentation " + std::to_string(ms) +
                                                  " ms ahead of decoding (setts)",
          Pic(10) + Tone(10) + H264 + "-bsf:v setts=pts=PTS+" + std::to_string(ms) + " " + Aac, kAll);
  B.Add("cts_500ms_6s", "the 6 s H.264 + AAC file with a 500 ms composition offset, 30 fps",
        "-f lavfi -i testsrc=d=6:s=320x240:r=30 -f lavfi -i sine=d=6 -c:v libx264 -bf 0 -bsf:v setts=pts=PTS+500 -c:a aac ",
        kAll);
  B.Add("cts_bframes", "H.264 with B-frames (varying composition times)", Pic(10) + Tone(10) + H264B + Aac, kAll);
  B.Add("cts_bframes_500ms", "H.264 with B-frames and 500 ms more composition offset",
        Pic(10) + Tone(10) + H264B + "-bsf:v setts=pts=PTS+500 " + Aac, kAll);
  Edited(B.Add("cts_edit_300ms", "H.264, composition time of every picture set to 300 ms", base10, kAll),
         "cts=300", Composition(300));
  Edited(B.Add("cts_edit_ramp", "H.264, composition time rising from 40 ms by 2 ms a picture", base10, kAll),
         "cts=40+2k", Composition(40, 2));

  // Where the file starts, and jumps of the whole file.
  const std::string base15 = Pic(10, "320x240", "15") + Tone(10) + H264 + Aac;
  Edited(B.Add("start_1h", "audio and video start at 1 hour", base15, kAll), "shift all +3600000",
         Shift(0, 3600000));
  Edited(B.Add("start_5h33m", "audio and video start at 20,000 s (timestamps above 24 bits)", base15),
         "shift all +20000000", Shift(0, 20000000));
  Edited(B.Add("jump_fwd_5s", "every stream jumps 5 s forward at 5 s (below the threshold)", base15, kAll),
         "+5000 from 5000", Shift(5000, 5000));
  Closed(Edited(B.Add("jump_fwd_30s", "every stream jumps 30 s forward at 5 s", base15, kAll), "+30000 from 5000",
                Shift(5000, 30000)),
         "none", {});
  // Below the threshold too a jump back of every stream is closed: kept, it
  // overlaps what came before, and the overlapped pictures are lost (the
  // ffmpeg command drops them and squeezes the audio timestamps, so its
  // result on this input is no reference).
  Closed(Edited(B.Add("jump_back_5s", "every stream jumps 5 s back at 5 s (below the threshold)", base15, kAll),
                "-5000 from 5000", Shift(5000, -5000)),
         "none", {});
  Closed(Edited(B.Add("jump_back_30s", "every stream starts at 40 s and jumps 30 s back at 45 s", base15, kAll),
                "+40000 all, -30000 from 45000", Then(Shift(0, 40000), Shift(45000, -30000))),
         "+40000 all", Shift(0, 40000));

  // One stream starts well before the other.
  B.Add("audio_first_3s", "audio from 0 s, video from 3 s",
        "-itsoffset 3 " + Pic(5, "320x240", "15") + Tone(8) + H264 + Aac, kAll);
  B.Add("video_first_3s", "video from 0 s, audio from 3 s",
        Pic(8, "320x240", "15") + "-itsoffset 3 " + Tone(5) + H264 + Aac, kAll);

  // Variable frame rate: every third picture, all of them between 3 and 6 s.
  const std::string select = "-vf select='not(mod(n,3))+between(t,3,6)' -vsync vfr ";
  B.Add("vfr_h264", "H.264 at 10 fps with 30 fps from 3 to 6 s", Pic(10) + Tone(10) + select + H264 + Aac, kAll);
  B.Add("vfr_flv1", "FLV1 at 10 fps with 30 fps from 3 to 6 s", Pic(10) + Tone(10) + select + Flv1 + Mp3);

  // The frame size changes mid-stream: two files one after the other.
  {
    TShape &s = B.Add("size_change_flv1", "FLV1 320x240 for 5 s, then 176x144 for 5 s",
                      Pic(5, "320x240", "15") + Tone(5) + Flv1 + Mp3);
    s.Source2 = Pic(5, "176x144", "15") + Tone(5) + Flv1 + Mp3;
    Edited(s, "append", Append());
  }
  {
    TShape &s = B.Add("size_change_h264", "H.264 320x240 for 5 s, then 176x144 (new sequence header) for 5 s",
                      Pic(5, "320x240", "15") + Tone(5) + H264 + Aac, kAll);
    s.Source2 = Pic(5, "176x144", "15") + Tone(5) + H264 + Aac;
    Edited(s, "append", Append());
    s.Expect = exMergedKinds;
  }

  // A hole in one stream only; the other goes on.
  const std::string small40 = Pic(40, "160x120", "15") + Tone(40) + "-c:v libx264 -preset veryfast -g 15 -bf 0 " + Aac;
  Edited(B.Add("hole_video_30s", "no video from 5 s to 35 s while the audio goes on (40 s)", small40, kAll),
         "drop video 5000-35000", Drop(qvtest::fttVideo, 5000, 35000));
  Edited(B.Add("hole_audio_20s", "no audio from 5 s to 25 s while the video goes on (40 s)", small40),
         "drop audio 5000-25000", Drop(qvtest::fttAudio, 5000, 25000));
  Edited(B.Add("hole_video_shifted_30s", "10 s of video, the part after 5 s moved 30 s later; 40 s of audio",
               Pic(10, "320x240", "15") + Tone(40) + H264 + Aac),
         "video +30000 from 5000", Shift(5000, 30000, "v"));

  // Small steps back and jitter.
  const std::string base20 = Pic(20, "320x240", "15") + Tone(20) + H264 + Aac;
  Edited(B.Add("audio_step_back_1ms", "every tenth audio tag 1 ms before the one before it (20 s)", base20, kAll),
         "audio step back 1 every 10", StepBack(qvtest::fttAudio, 10, 1));
  Edited(B.Add("audio_step_back_1ms_mp3", "MP3: every tenth audio tag 1 ms before the one before it (20 s)",
               Pic(20, "320x240", "15") + Tone(20) + Flv1 + Mp3),
         "audio step back 1 every 10", StepBack(qvtest::fttAudio, 10, 1));
  Edited(B.Add("audio_jitter_20ms", "audio timestamps moved by up to 20 ms either way (20 s)", base20),
         "audio jitter 20", Jitter(qvtest::fttAudio, 20));
  Edited(B.Add("video_step_back_bframes",
               "H.264 with B-frames: every 30th picture decoded 1 ms before the one before it (20 s)",
               Pic(20, "320x240", "15") + Tone(20) + H264B + Aac, kAll),
         "video step back 1 every 30", StepBack(qvtest::fttVideo, 30, 1));

  // Frame rates: the last picture must keep its display time.
  for (const auto &[name, rate] : std::vector<std::pair<std::string, std::string>>{
           {"fps_1", "1"}, {"fps_0_5", "0.5"}, {"fps_2", "2"}, {"fps_25", "25"}})
    B.Add(name, "FLV1 + MP3 at " + rate + " fps, 10 s", Pic(10, "320x240", rate) + Tone(10) + Flv1 + Mp3);
  B.Add("fps_1_h264", "H.264 + AAC at 1 fps, 10 s", Pic(10, "320x240", "1") + Tone(10) + H264 + Aac, kAll);
}

void TextShapes(TShapeBuilder &B)
{
  const std::string subs = "-i " + MediaDir() + "/text.srt -map 0 -map 1 -map 2 -c:s text ";
  B.Add("text_track", "FLV1 + MP3 with an onTextData text track",
        Pic(6, "320x240", "15") + Tone(6) + subs + Flv1 + Mp3);
  B.Add("text_track_h264", "H.264 + AAC with an onTextData text track",
        Pic(6, "320x240", "15") + Tone(6) + subs + H264 + Aac, kAll);
  Edited(B.Add("cue_points", "onCuePoint script tags every 2 s", Pic(6, "320x240", "15") + Tone(6) + Flv1 + Mp3),
         "cue points every 2000", CuePoints(2000, 6000));
}

void CodecShapes(TShapeBuilder &B)
{
  // Video codecs and frame sizes, 4 s.
  B.Add("video_h264_mp3", "H.264 + MP3", Pic(4, "320x240", "15") + Tone(4) + H264 + Mp3, kAll);
  B.Add("video_flv1_odd_175x131", "FLV1 175x131 + MP3 22050 Hz mono",
        Pic(4, "175x131", "15") + Tone(4) + Flv1 + Audio("libmp3lame", 22050, 1));
  B.Add("video_flashsv", "Screen Video 160x120 + MP3", Pic(4, "160x120", "15") + Tone(4) + "-c:v flashsv " + Mp3);
  B.Add("video_flashsv_odd_161x121_only", "Screen Video 161x121, no audio", Pic(4, "161x121", "15") + "-c:v flashsv ");
  B.Add("video_h264_odd_321x241", "H.264 4:4:4 321x241 + AAC 48000 Hz, preset 4",
        Pic(4, "321x241", "15") + Tone(4) + H264 + Audio("aac", 48000, 2), kAll)
      .Preset = 4;
  B.Add("video_flv1_only_330x186", "FLV1 330x186, no audio", Pic(4, "330x186", "15") + Flv1);

  // Audio codecs, sample rates and channel counts, with small FLV1 video.
  struct TAudio {
    std::string Name, Codec;
    int Rate, Channels, Preset, Jobs;
    std::string Video = Flv1;
  };
  const int reMkv = jbReencode | jbCopyMkv, reFlv = jbReencode | jbCopyFlv;
  const std::vector<TAudio> audio = {
      {"mp3_22050_mono", "libmp3lame", 22050, 1, 1, reMkv},
      {"mp3_11025_mono", "libmp3lame", 11025, 1, 5, reMkv},
      {"aac_48000_stereo", "aac", 48000, 2, 4, kAll, H264},
      {"aac_8000_mono", "aac", 8000, 1, 5, reMkv},
      {"adpcm_44100_stereo", "adpcm_swf", 44100, 2, 1, reMkv},
      {"adpcm_11025_mono", "adpcm_swf", 11025, 1, 5, reMkv},
      {"nellymoser_8000", "nellymoser", 8000, 1, 5, reFlv},
      {"nellymoser_16000", "nellymoser", 16000, 1, 1, reFlv},
      {"nellymoser_44100", "nellymoser", 44100, 1, 1, reFlv},
      {"pcm_s16le_5512_mono", "pcm_s16le", 5512, 1, 5, reMkv},
      {"pcm_s16le_44100_stereo", "pcm_s16le", 44100, 2, 1, reMkv},
      {"pcm_u8_22050_stereo", "pcm_u8", 22050, 2, 1, reMkv},
      {"alaw_8000", "pcm_alaw", 8000, 1, 5, reMkv},
      {"mulaw_8000", "pcm_mulaw", 8000, 1, 1, reMkv},
      {"speex_16000", "libspeex", 16000, 1, 5, reMkv},
  };
  for (const TAudio &a : audio)
    B.Add("audio_" + a.Name, a.Codec + " " + std::to_string(a.Rate) + " Hz " + std::to_string(a.Channels) + " ch",
          Pic(4, "160x120", "15") + Tone(4) + a.Video + Audio(a.Codec, a.Rate, a.Channels), a.Jobs)
        .Preset = a.Preset;
  B.Add("audio_only_aac", "AAC 44100 Hz stereo, no video", Tone(4) + Aac, kAll);
  B.Add("audio_only_pcm_u8_5512", "PCM u8 5512 Hz mono, no video", Tone(4) + Audio("pcm_u8", 5512, 1)).Preset = 5;
}

// The real files: what MP4 holds decides the MP4 stream copy.
void SampleShapes(TShapeBuilder &B)
{
  for (const std::string &path : qvtest::AllSamples()) {
    std::string name = "sample_" + fs::path(path).stem().string();
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    bool mp4 = true, any = false;
    try {
      for (const TFlvTag &t : TFlvFile::Load(path).Tags) {
        if (t.IsVideo()) mp4 = mp4 && t.VideoCodecId() == 7, any = true;
        if (t.IsAudio()) mp4 = mp4 && (t.SoundFormat() == 10 || t.SoundFormat() == 2), any = true;
      }
    } catch (const std::exception &) {
      mp4 = false;
    }
    TShape &s = B.Add(name, "real file " + fs::path(path).filename().string(), "", kAll);
    s.Sample = path;
    if (!(mp4 && any)) s.Jobs &= ~jbCopyMp4;
  }
}

// Enhanced FLV and HEVC under codec id 12: the ffmpeg command cannot read
// them, so it reads the Matroska file the FLV was laid out from, the streams
// our first track of each kind came from.
void EnhancedShapes(TShapeBuilder &B)
{
  for (const qvtest::TEnhancedRecipe &recipe : qvtest::EnhancedRecipes()) {
    // MP4 holds no VP8: its rewrap is a conversion, which the re-encode covers.
    const bool vp8 = !recipe.Video.empty() && recipe.Video.front() == "libvpx";
    TShape &s = B.Add("enhanced_" + recipe.Name, "enhanced FLV " + recipe.Name + " (reference: its Matroska source)", "",
                      vp8 ? jbReencode : jbReencode | jbCopyMp4);
    s.MakeKey = "enhanced " + recipe.Name;
    s.Rewrap = true;
    if (!recipe.Audio.empty() && recipe.Audio.front() == "flac") s.RewrapAudio = "aac";
    s.Make = [recipe](const std::string &ADir) {
      qvtest::LoadLibs();
      const qvtest::TEnhancedFlv made = qvtest::MakeEnhancedFlv(ADir, recipe);
      TMade m{made.Path, made.Source, {}};
      for (const bool video : {true, false}) {
        const qvtest::TFlvTrackRef *first = nullptr;
        for (const qvtest::TFlvTrackRef &t : made.Tracks)
          if (t.Video == video && (!first || t.TrackId < first->TrackId)) first = &t;
        if (first) m.Maps.insert(m.Maps.end(), {"-map", "0:" + std::to_string(first->Source)});
      }
      return m;
    };
  }
}

// Damaged files, against the ffmpeg command on the tags a repairing reader
// hands on; a configuration change against its split streams taken
// together; negative composition times against the undamaged file, whose
// presentation times they keep.
void DamageShapes(TShapeBuilder &B)
{
  using qvtest::TDamage;
  for (const TDamage damage : {TDamage::GarbageBetweenTags, TDamage::GarbageOverTag, TDamage::LateConfig,
                               TDamage::ConfigChange, TDamage::CutLastTag, TDamage::NegativeComposition}) {
    const std::string name = qvtest::DamageName(damage);
    TShape &s = B.Add("damage_" + name, "2 s H.264 + AAC damaged: " + name, "", jbReencode | jbCopyMp4);
    s.MakeKey = "damage " + name;
    s.Rewrap = true;
    if (damage == TDamage::ConfigChange) s.Expect = exMergedKinds;
    s.Make = [damage](const std::string &ADir) {
      qvtest::LoadLibs();
      const qvtest::TDamagedFlv made = qvtest::MakeDamagedFlv(ADir, damage);
      TMade m{made.Path, made.Path, {}};
      if (damage == TDamage::NegativeComposition) {
        m.Reference = ADir + "/clean-bframes.flv";
      } else if (damage != TDamage::ConfigChange) {
        m.Reference = ADir + "/delivered.flv";
        made.Delivered.Save(m.Reference);
      }
      return m;
    };
  }
}

// QV_DIFF_LONG_INPUT names a ready-made long input (bench/long_input.sh
// hands over the one it made), else it is made here.
void LongShapes(TShapeBuilder &B)
{
  TShape &s = B.Add("long_30min", "30 minutes of H.264 + AAC, 320x240 at 15 fps (or QV_DIFF_LONG_INPUT)",
                    Pic(1800, "320x240", "15") + Tone(1800) + H264 + Aac, kAll);
  s.Long = true;
  if (const char *ready = std::getenv("QV_DIFF_LONG_INPUT"); ready && *ready) s.Sample = ready;
}

uint64_t Fnv1a(const std::string &AText)
{
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : AText) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string Hex(uint64_t AValue)
{
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(AValue));
  return buf;
}

std::vector<std::string> Words(const std::string &AText)
{
  std::vector<std::string> out;
  std::stringstream ss(AText);
  for (std::string w; ss >> w;) out.push_back(w);
  return out;
}

// Makes APath with AMake (which writes the file it is given) unless it exists;
// other processes wait on the lock meanwhile, and a half-made file never
// takes the final name.
void MakeOnce(const std::string &APath, const std::function<void(const std::string &)> &AMake)
{
  if (fs::exists(APath)) return;
  const int lock = open((APath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) throw std::runtime_error("cannot create " + APath + ".lock");
  flock(lock, LOCK_EX);
  const std::string part = APath + ".part" + std::to_string(getpid()) + fs::path(APath).extension().string();
  try {
    if (!fs::exists(APath)) {
      AMake(part);
      fs::rename(part, APath);
    }
  } catch (...) {
    std::error_code ec;
    fs::remove(part, ec);
    close(lock);
    throw;
  }
  close(lock);
}

void RunFfmpeg(const std::string &AArgs, const std::string &AOut)
{
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-y", "-v", "error"};
  for (std::string &w : Words(AArgs)) args.push_back(std::move(w));
  for (const char *w : {"-f", "flv"}) args.push_back(w);
  args.push_back(AOut);
  const qvtest::TProcessResult r = qvtest::RunProcess(args, 1800);
  if (!r.Ok()) throw std::runtime_error("making an input failed: " + qvtest::CommandText(args) + "\n" + r.Err);
}

}  // namespace

std::string MediaDir()
{
  static const std::string dir = [] {
    const std::string d = QV_DIFF_MEDIA_DIR;
    fs::create_directories(d);
    // The subtitles of the text-track shapes.
    MakeOnce(d + "/text.srt", [](const std::string &APath) {
      qvtest::WriteFile(APath, "1\n00:00:00,500 --> 00:00:02,000\nFirst line\n\n"
                               "2\n00:00:03,000 --> 00:00:05,000\nSecond line\n\n");
    });
    return d;
  }();
  return dir;
}

const std::vector<TShape> &Shapes(bool ALong)
{
  static const std::vector<TShape> all = [] {
    std::vector<TShape> list;
    TShapeBuilder b{list};
    TimestampShapes(b);
    TextShapes(b);
    CodecShapes(b);
    SampleShapes(b);
    EnhancedShapes(b);
    DamageShapes(b);
    LongShapes(b);
    return list;
  }();
  static const std::vector<TShape> usual = [] {
    std::vector<TShape> list;
    std::copy_if(all.begin(), all.end(), std::back_inserter(list), [](const TShape &s) { return !s.Long; });
    return list;
  }();
  return ALong ? all : usual;
}

std::string Input(const TShape &AShape, bool AClosed)
{
  if (!AShape.Sample.empty()) return AShape.Sample;
  const bool edited = AClosed ? static_cast<bool>(AShape.ClosedEdit) : static_cast<bool>(AShape.Edit);
  const std::string key = std::string(kRecipeVersion) + "\n" + AShape.Source + "\n" + AShape.Source2 + "\n" +
                          (AClosed ? "closed:" + AShape.ClosedKey : AShape.EditKey);
  const std::string path =
      MediaDir() + "/" + AShape.Name + (AClosed ? "-closed-" : "-") + Hex(Fnv1a(key)).substr(0, 12) + ".flv";
  MakeOnce(path, [&](const std::string &AOut) {
    if (!edited) return RunFfmpeg(AShape.Source, AOut);
    RunFfmpeg(AShape.Source, AOut + ".1.flv");
    TFlvFile file = TFlvFile::Load(AOut + ".1.flv"), second;
    fs::remove(AOut + ".1.flv");
    if (!AShape.Source2.empty()) {
      RunFfmpeg(AShape.Source2, AOut + ".2.flv");
      second = TFlvFile::Load(AOut + ".2.flv");
      fs::remove(AOut + ".2.flv");
    }
    (AClosed ? AShape.ClosedEdit : AShape.Edit)(file, second);
    file.Save(AOut);
  });
  return path;
}

TMade Made(const TShape &AShape)
{
  const std::string key = std::string(kRecipeVersion) + "\n" + AShape.MakeKey;
  const std::string dir = MediaDir() + "/made/" + AShape.Name + "-" + Hex(Fnv1a(key)).substr(0, 12);
  const std::string list = dir + ".txt";  // input, reference, then the maps, a line each
  fs::create_directories(MediaDir() + "/made");
  MakeOnce(list, [&](const std::string &AOut) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    const TMade m = AShape.Make(dir);
    std::string text = m.Input + "\n" + m.Reference + "\n";
    for (const std::string &a : m.Maps) text += a + "\n";
    qvtest::WriteFile(AOut, text);
  });
  TMade m;
  std::stringstream lines(qvtest::ReadFile(list));
  std::getline(lines, m.Input);
  std::getline(lines, m.Reference);
  for (std::string line; std::getline(lines, line);) m.Maps.push_back(line);
  return m;
}

std::string OracleOutput(const std::vector<std::string> &AArgs, const std::string &AExt, int &AExit,
                         std::string &AError)
{
  const std::string dir = MediaDir() + "/ffmpeg";
  fs::create_directories(dir);
  const std::string path = dir + "/" + Hex(Fnv1a(qvtest::CommandText(AArgs))) + AExt;
  AExit = 0;
  AError.clear();
  // A failed command leaves no output; it is run again next time.
  try {
    MakeOnce(path, [&](const std::string &AOut) {
      std::vector<std::string> args = AArgs;
      args.push_back(AOut);
      const qvtest::TProcessResult r = qvtest::RunProcess(args, 3600);
      if (!r.Ok()) {
        AExit = r.TimedOut ? -1 : r.Code;
        AError = r.Err;
        throw std::runtime_error("failed");
      }
    });
  } catch (const std::exception &) {
    if (AExit == 0) throw;
  }
  return path;
}

}  // namespace qvdiff
