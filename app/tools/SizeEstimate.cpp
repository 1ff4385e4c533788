// Expected output size (see SizeEstimate.h).
#include "SizeEstimate.h"

#include <cmath>
#include <cstdlib>

#include "SysFormat.h"

namespace {

// What MP4 adds: its header and, per packet, the index entries (size,
// offset, time and, for reordered video, the presentation offset).
constexpr int64_t HeaderBytes = 4096;
constexpr int64_t BytesPerPacket = 16;

// "15", "30000/1001" or "29.97" as frames per second; 0 when unreadable.
double RateOf(const std::string &AText)
{
  char *end = nullptr;
  const double num = std::strtod(AText.c_str(), &end);
  if (end == AText.c_str() || !(num > 0)) return 0;
  if (*end == '/') {
    const double den = std::strtod(end + 1, nullptr);
    return den > 0 ? num / den : 0;
  }
  return num;
}

struct TPart {
  bool Known = true;
  bool AtMost = false;
  double Bytes = 0;
  double Packets = 0;
};

// One stream: copied, re-encoded at a bit rate or below a ceiling, or absent.
TPart StreamPart(bool APresent, bool ADisabled, const std::string &ACodec, int32_t ABitrate, int32_t ACeiling,
                 int64_t AScannedBytes, int64_t AScannedPackets, double ASeconds, double APacketsPerSecond)
{
  TPart part;
  if (!APresent || ADisabled) return part;
  if (ACodec == "copy") {
    part.Known = AScannedBytes >= 0;
    part.Bytes = static_cast<double>(AScannedBytes);
    part.Packets = static_cast<double>(AScannedPackets);
    return part;
  }
  const int32_t rate = ABitrate > 0 ? ABitrate : ACeiling;
  part.Known = rate > 0 && ASeconds > 0;
  part.AtMost = ABitrate <= 0;
  part.Bytes = rate * ASeconds / 8.0;
  part.Packets = ASeconds * APacketsPerSecond;
  return part;
}

}  // namespace

TSizeEstimate EstimateOutputSize(const TOutputOptions &ARecord, const TSourceInfo &ASource)
{
  const double seconds = ASource.Duration > 0 ? ASource.Duration / 1e6 : 0;
  double fps = RateOf(ARecord.FrameRate);
  if (!(fps > 0)) fps = ASource.FrameRateNum > 0 ? static_cast<double>(ASource.FrameRateNum) / ASource.FrameRateDen : 25;
  const int32_t rate = ARecord.AudioSampleRate > 0 ? ARecord.AudioSampleRate : ASource.AudioSampleRate;
  const double audioFrames = rate > 0 ? rate / 1024.0 : 0;  // AAC frames a second

  const TPart video = StreamPart(!ASource.VideoCodec.empty(), ARecord.VideoDisable, ARecord.VideoCodecName,
                                 ARecord.VideoBitrate, ARecord.VideoMaxRate, ASource.VideoBytes, ASource.VideoPackets,
                                 seconds, fps);
  const TPart audio = StreamPart(!ASource.AudioCodec.empty(), ARecord.AudioDisable, ARecord.AudioCodecName,
                                 ARecord.AudioBitrate, -1, ASource.AudioBytes, ASource.AudioPackets, seconds,
                                 audioFrames);
  TSizeEstimate result;
  if (!video.Known || !audio.Known || (video.Bytes <= 0 && audio.Bytes <= 0)) return result;
  result.Bytes = std::llround(video.Bytes + audio.Bytes + (video.Packets + audio.Packets) * BytesPerPacket) + HeaderBytes;
  result.AtMost = video.AtMost || audio.AtMost;
  return result;
}

std::string ExpectedSizeText(const TSizeEstimate &AEstimate)
{
  if (AEstimate.Bytes < 0) return {};
  const int64_t n = AEstimate.Bytes;
  std::string size;
  if (n > 1048576)
    size = avbind::Format("%.2f Mbytes", {static_cast<double>(n) / 1048576.0});
  else if (n > 1024)
    size = avbind::Format("%.2f Kbytes", {static_cast<double>(n) / 1024.0});
  else
    size = std::to_string(n) + " bytes";
  return (AEstimate.AtMost ? "Expected size: up to ~ " : "Expected size: ~ ") + size;
}
