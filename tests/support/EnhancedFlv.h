// FLV files that FFmpeg 5.1 cannot write: enhanced FLV (FourCC video and
// audio, ModEx nanosecond offsets, a colour metadata frame, multitrack), HEVC
// under the legacy codec id 12, and H.264/AAC files damaged the ways
// recorders, disks and networks damage them.
//
// Enhanced and codec-12 files: Debian's encoders write the streams through
// the ffmpeg command into a Matroska file (the source), whose packets and
// codec private data are then laid out as FLV tags here. Tests read the same
// source back with ReadSource to know, packet by packet, what the FLV holds.
//
// Needs qvtest::LoadLibs() first. Any thread, but files of one name in one
// folder must not be made twice at once. Throws std::runtime_error on failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FlvTags.h"

namespace qvtest {

// How the tracks of one kind travel in the tags.
enum class TTrackForm : uint8_t {
  Single,                // one track, no multitrack signalling
  OneTrack,              // multitrack signalling, each tag carrying one track
  ManyTracks,            // the tracks' packets of one time in one tag under one FourCC
  ManyTracksManyCodecs,  // the same, a FourCC per track
};

struct TEnhancedRecipe {
  std::string Name;  // the file names' stem, unique per folder
  // An encoder per track, track ids 0, 1, ... in this order.
  // Video: libx264 (avc1), libx265 (hvc1), libaom-av1 (av01), libvpx-vp9 (vp09), libvpx (vp08).
  // Audio: aac (mp4a), libopus (Opus), flac (fLaC), ac3 (ac-3), eac3 (ec-3), libmp3lame (.mp3).
  std::vector<std::string> Video, Audio;
  TTrackForm VideoForm = TTrackForm::Single, AudioForm = TTrackForm::Single;
  // Legacy headers instead of FourCCs: libx265 under codec id 12 laid out
  // like AVC, libx264 under 7, aac under sound format 10, libmp3lame under 2.
  // One track of each kind; no ModEx, no metadata frame.
  bool Legacy = false;
  bool Nano = false;        // ModEx TimestampOffsetNano on the frame tags NanoOffsetAt names
  bool ColorInfo = false;   // a colorInfo metadata frame ahead of the first picture
  bool SequenceEnd = true;  // a SequenceEnd (codec id 12: end of sequence) after each track's last frame
  bool BFrames = true;      // libx264/libx265 with B-frames (only with a single video track)
  double Seconds = 1;
  std::string Size;  // of the first video track, "WxH"; empty: 160x120
};

// The enhanced and codec-12 shapes the tests and the differential suite use.
const std::vector<TEnhancedRecipe> &EnhancedRecipes();

// The nanosecond offset the ModEx of a frame tag at AMs carries (0: no ModEx
// on that tag), with TEnhancedRecipe::Nano.
int32_t NanoOffsetAt(int64_t AMs);
// The light levels of the colorInfo metadata frame (its colour values are the source's).
constexpr int kColorMaxCll = 1000, kColorMaxFall = 400;

struct TSourcePacket {
  std::string Data;
  int64_t PtsMs = 0;
  int64_t DtsMs = 0;  // Matroska keeps none: the presentation times in order, moved back by the reorder delay
  bool Key = false;
};

// One stream of the Matroska source as FFmpeg reads it.
struct TSourceStream {
  int Type = -1;     // AVMediaType
  int CodecId = 0;   // AVCodecID
  std::string Extradata;  // the codec private data as FFmpeg hands it over
  // What the FLV sequence start holds: the codec private data itself for
  // avcC, hvcC, av1C, the AAC AudioSpecificConfig and the Opus ID header;
  // "fLaC" and the STREAMINFO block for FLAC (FFmpeg hands over the bare
  // block); a VPCodecConfigurationRecord made from the stream's parameters
  // for VP8/VP9 (Matroska keeps none); empty for AC-3, E-AC-3 and MP3.
  std::string Config;
  uint32_t FourCC = 0;  // the enhanced FLV FourCC, first character in the top byte; 0 for other codecs
  int Width = 0, Height = 0, SampleRate = 0, Channels = 0;
  int ColorPrimaries = 2, ColorTransfer = 2, ColorMatrix = 2;  // H.273 values, 2 unspecified
  std::vector<TSourcePacket> Packets;
};

std::vector<TSourceStream> ReadSource(const std::string &APath);

struct TFlvTrackRef {
  bool Video = true;
  uint8_t TrackId = 0;
  int Source = 0;  // the index of its stream in the source
};

struct TEnhancedFlv {
  std::string Path;    // the FLV
  std::string Source;  // the Matroska file its streams come from
  std::vector<TFlvTrackRef> Tracks;
};

// Encodes ARecipe.Seconds of a test pattern (ARecipe.Size or 160x120, 25 fps;
// further video tracks smaller) and tones (48 kHz stereo, a fifth apart per track) into
// ADir/<Name>.mkv and lays them out in ADir/<Name>.flv: onMetaData, per
// track a SequenceStart (where the codec has a configuration), frames
// (avc1/hvc1: CodedFrames with the composition time, CodedFramesX where it
// is 0; the others CodedFrames), a SequenceEnd; tags in decoding order.
TEnhancedFlv MakeEnhancedFlv(const std::string &ADir, const TEnhancedRecipe &ARecipe);

// Damage done to a 2-second 160x120 H.264/AAC file the ffmpeg command writes
// (25 fps, a key frame every 12 pictures).
enum class TDamage : uint8_t {
  GarbageBetweenTags,   // 4 KB of random bytes between two tags mid-file
  GarbageOverTag,       // random bytes over the header and first body bytes of a video tag mid-file
  LateConfig,           // the AVC sequence header moved behind the first 5 pictures
  ConfigChange,         // a second encode (176x144, AAC at 22050 Hz) appended with its own sequence headers
  CutLastTag,           // the file cut in the middle of its last tag (the end-of-sequence tag removed first)
  NegativeComposition,  // B-frames; every video tag later and its composition time less by the largest one
};
const char *DamageName(TDamage ADamage);

struct TDamagedFlv {
  std::string Path;
  // The tags whose packets a reader that repairs should hand on, in file
  // order, with the sequence headers in force before them: lost and cut tags
  // left out, pictures before the first key frame after a late sequence
  // header left out.
  TFlvFile Delivered;
};

// Writes ADir/damage-<name>.flv (and the clean files it is made from).
TDamagedFlv MakeDamagedFlv(const std::string &ADir, TDamage ADamage);

}  // namespace qvtest
