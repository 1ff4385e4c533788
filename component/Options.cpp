// Translation of the option records into the engine's options and settings.
#include "Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "FFmpeg.h"

namespace {

bool IsBlankOrControl(char AChar) { return static_cast<unsigned char>(AChar) <= ' '; }

std::string Trim(const std::string &AText)
{
  size_t first = 0, last = AText.size();
  while (first < last && IsBlankOrControl(AText[first])) ++first;
  while (last > first && IsBlankOrControl(AText[last - 1])) --last;
  return AText.substr(first, last - first);
}

// The part before the first ASeparator; with AConsume, AText keeps what
// follows it (empty when there is no separator).
std::string SplitAt(std::string &AText, char ASeparator, bool AConsume)
{
  size_t pos = AText.find(ASeparator);
  std::string head = AText.substr(0, pos);
  if (AConsume) AText = pos == std::string::npos ? std::string() : AText.substr(pos + 1);
  return head;
}

// A tag text as its fixed buffer would hold it: up to the first zero byte,
// at most ALimit bytes.
std::string TagText(const std::string &AText, size_t ALimit)
{
  std::string text = AText.substr(0, std::min(AText.find('\0'), ALimit));
  return text;
}

// Milliseconds as written in a hook range, -1 when empty or not a number.
int64_t RangeMilliseconds(const std::string &AText)
{
  std::string text = Trim(AText);
  if (text.empty()) return -1;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return -1;
  // Far beyond any media length; keeps the multiplication to µs in range.
  constexpr long long Limit = INT64_MAX / 1000;
  return std::clamp<long long>(value, -Limit, Limit);
}

// A system colour (high bit set, low byte its index) as the classic desktop
// palette has it; there is no live desktop palette to ask here.
uint32_t ResolveColor(uint32_t AColor)
{
  if (!(AColor & 0x80000000u)) return AColor & 0x00FFFFFFu;
  static const uint32_t SystemColors[] = {
      0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000, 0x000000, 0x000000,
      0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xD77800, 0xFFFFFF, 0xF0F0F0, 0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000,
      0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000, 0xE1FFFF, 0x000000, 0xCC6600, 0xEAD1B9, 0xF2E4D7, 0xFF9933,
      0xF0F0F0};
  uint32_t index = AColor & 0xFFu;
  return index < std::size(SystemColors) ? SystemColors[index] : 0;
}

const char *NormText(int32_t ANorm)
{
  switch (ANorm) {
    case 1: return "pal";
    case 2: return "ntsc";
    default: return "auto";
  }
}

}  // namespace

void ResetInputOptions(TInputOptions &AOptions) { AOptions = TInputOptions{}; }

void ResetOutputOptions(TOutputOptions &AOptions) { AOptions = TOutputOptions{}; }

void ApplyOptionText(TCustomFFmpeg &AEngine, const std::string &AText)
{
  std::string text = Trim(AText);
  std::string normalised;
  normalised.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      normalised += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      normalised += text[i];
    }
  }
  while (!normalised.empty()) {
    std::string line = SplitAt(normalised, '\n', true);
    std::string name = SplitAt(line, '=', true);
    AEngine.SetOption(name, line);
  }
}

void ApplyInputOptions(TCustomFFmpeg &AEngine, const TInputOptions &AOptions)
{
  ApplyOptionText(AEngine, AOptions.ExtraOptions);
  if (!AOptions.FileFormat.empty()) AEngine.SetInputFormat(AOptions.FileFormat);
  int64_t start = static_cast<int64_t>(AOptions.StartPosition) * 1000;
  if (start > 0) AEngine.SetStartTime(start);
  if (AOptions.ProgramId >= 0) AEngine.SetProgramId(AOptions.ProgramId);
}

void ApplyOutputOptions(TCustomFFmpeg &AEngine, const TOutputOptions &AOptions)
{
  const TOutputOptions &o = AOptions;
  ApplyOptionText(AEngine, o.ExtraOptions);

  if (!o.FileFormat.empty()) AEngine.SetOutputFormat(o.FileFormat);
  if (o.PacketSize > 0) AEngine.SetGenericOption("packetsize", o.PacketSize);
  if (o.MuxRate > 0) AEngine.SetGenericOption("muxrate", o.MuxRate);
  if (o.MuxMaxDelay > 0.0f) AEngine.SetMuxMaxDelay(o.MuxMaxDelay);
  if (o.MuxPreload > 0.0f) AEngine.SetMuxPreload(o.MuxPreload);

  if (!o.AudioCodecName.empty()) AEngine.SetAudioCodec(o.AudioCodecName);
  if (o.AudioDisable) AEngine.AudioDisable = 1;
  if (o.AudioVolume >= 0) AEngine.SetAudioVolume(o.AudioVolume);
  if (o.AudioChannels > 0) AEngine.SetAudioChannels(o.AudioChannels);
  if (o.AudioSampleRate > 0) AEngine.SetAudioSampleRate(o.AudioSampleRate);
  if (o.AudioBitrate > 0) AEngine.SetGenericOption("ab", o.AudioBitrate);
  if (o.AudioBitrateTolerance > 0) AEngine.SetGenericOption("abt", o.AudioBitrateTolerance);
  AEngine.AudioLanguage = o.AudioLanguage;
  AEngine.SetAudioSyncMethod(o.AudioSyncMethod);
  if (!o.AudioCodecTag.empty()) AEngine.SetAudioTag(o.AudioCodecTag);

  if (!o.VideoCodecName.empty()) AEngine.SetVideoCodec(o.VideoCodecName);
  if (o.VideoDisable) AEngine.VideoDisable = 1;
  if (!o.FrameRate.empty()) AEngine.SetFrameRate(o.FrameRate);
  if (!o.FrameSize.empty()) AEngine.SetFrameSize(o.FrameSize);
  if (!o.FrameAspectRatio.empty()) AEngine.SetFrameAspectRatio(o.FrameAspectRatio);
  AEngine.SetFrameCropTop(o.CropTop);
  AEngine.SetFrameCropBottom(o.CropBottom);
  AEngine.SetFrameCropLeft(o.CropLeft);
  AEngine.SetFrameCropRight(o.CropRight);
  AEngine.SetFramePadTop(o.PadTop);
  AEngine.SetFramePadBottom(o.PadBottom);
  AEngine.SetFramePadLeft(o.PadLeft);
  AEngine.SetFramePadRight(o.PadRight);
  AEngine.SetPadColor(static_cast<int32_t>(ResolveColor(o.PadColor)));
  if (o.GopSize > 0) AEngine.SetGenericOption("gop", o.GopSize);
  if (o.VideoBitrate > 0) AEngine.SetGenericOption("vb", o.VideoBitrate);
  if (o.VideoMaxRate > 0) AEngine.SetGenericOption("maxrate", o.VideoMaxRate);
  if (o.VideoMinRate > 0) AEngine.SetGenericOption("minrate", o.VideoMinRate);
  if (o.VideoBitrateTolerance > 0) AEngine.SetGenericOption("bt", o.VideoBitrateTolerance);
  if (o.VideoBufferSize > 0) AEngine.SetGenericOption("bufsize", o.VideoBufferSize);
  AEngine.SetVideoSyncMethod(o.VideoSyncMethod);
  if (!o.VideoCodecTag.empty()) AEngine.SetVideoTag(o.VideoCodecTag);

  if (o.SubtitleDisable) AEngine.SubtitleDisable = 1;
  AEngine.SubtitleLanguage = o.SubtitleLanguage;
  AEngine.CopyTs = o.CopyTs ? 1 : 0;
  if (o.RecordingDuration > 0) AEngine.SetRecordingTimeMs(o.RecordingDuration);
  if (o.Timestamp == 0.0)
    AEngine.RecTimestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Timestamp > 0.0)
    AEngine.RecTimestamp = LocalDateTimeToUnix(o.Timestamp);
  if (o.Year > 0) AEngine.SetYear(o.Year);
  if (o.Track > 0) AEngine.SetTrack(o.Track);
  if (std::string t = TagText(o.Title, TagTextLimit); !t.empty()) AEngine.SetTitle(t);
  if (std::string t = TagText(o.Author, TagTextLimit); !t.empty()) AEngine.SetAuthor(t);
  if (std::string t = TagText(o.Copyright, TagTextLimit); !t.empty()) AEngine.SetCopyright(t);
  if (std::string t = TagText(o.Comment, TagTextLimit); !t.empty()) AEngine.SetComment(t);
  if (std::string t = TagText(o.Album, TagTextLimit); !t.empty()) AEngine.SetAlbum(t);
  if (std::string t = TagText(o.Genre, GenreTextLimit); !t.empty()) AEngine.SetGenre(t);

  static const char *const Targets[] = {"vcd", "svcd", "dvd"};
  if (o.Target >= 1 && o.Target <= 3)
    AEngine.ApplyTarget(Targets[o.Target - 1], NormText(o.TargetNorm), o.TargetFallbackNorm == 1 ? "pal" : "ntsc");

  if (!o.CustomHook && !o.BeforeHook) ParseHookRanges(AEngine, o.HookRanges);
}

void ParseHookRanges(TCustomFFmpeg &AEngine, const std::string &AText)
{
  std::string text = Trim(AText);
  std::vector<THookRange> ranges;
  ranges.reserve(std::count(text.begin(), text.end(), ',') + 1);
  while (!text.empty()) {
    std::string item = Trim(SplitAt(text, ',', true));
    std::string startText = SplitAt(item, '-', true);
    int64_t start = RangeMilliseconds(startText) * 1000;
    int64_t end = RangeMilliseconds(item) * 1000;
    if (start <= end && end >= 0) ranges.push_back(THookRange{start, end});
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const THookRange &A, const THookRange &B) { return A.EndPts < B.EndPts; });
  AEngine.HookRanges = std::move(ranges);
  AEngine.HookRangeCount = static_cast<int32_t>(AEngine.HookRanges.size());
  AEngine.HookRangeIndex = 0;
}

int64_t LocalDateTimeToUnix(double ADays)
{
  // Whole seconds of local time since 1899-12-30, split into calendar fields
  // and handed to mktime so the date's own daylight-saving state applies.
  double localSeconds = std::nearbyint((ADays - 25569.0) * 86400.0);
  auto secs = static_cast<time_t>(localSeconds);
  std::tm fields{};
  gmtime_r(&secs, &fields);  // calendar fields of the local wall-clock value
  fields.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&fields));
}

double NowLocalDateTime()
{
  time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<double>(now + local.tm_gmtoff) / 86400.0 + 25569.0;
}
