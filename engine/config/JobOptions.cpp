// Job-wide settings: diagnostics and the statistics file, metadata texts,
// and the plain setters the component uses.
#include <ctime>

#include "FFmpeg.h"
#include "LibLoader.h"
#include "SysFormat.h"

using avbind::Format;

void TCustomFFmpeg::SetVerbose(int32_t AValue)
{
  Verbose = AValue;
  SetLibraryLogLevel(AValue);  // also the process-wide verbosity the log callback reads
}

void TCustomFFmpeg::SetVstats()
{
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const std::string stamp = Format("%.2d%.2d%.2d", {tm.tm_hour, tm.tm_min, tm.tm_sec});
  VstatsFileName = Format("%svstats_%s.log", {ExecutableDir(), stamp});
}

void TCustomFFmpeg::SetVstatsFile(const std::string &AValue)
{
  if (AValue.empty()) return;
  VstatsFileName = AValue;
}

// Metadata texts: an empty value keeps what was set.

void TCustomFFmpeg::SetTitle(const std::string &AValue) { if (!AValue.empty()) Title = AValue; }
void TCustomFFmpeg::SetAuthor(const std::string &AValue) { if (!AValue.empty()) Author = AValue; }
void TCustomFFmpeg::SetCopyright(const std::string &AValue) { if (!AValue.empty()) Copyright = AValue; }
void TCustomFFmpeg::SetComment(const std::string &AValue) { if (!AValue.empty()) Comment = AValue; }
void TCustomFFmpeg::SetGenre(const std::string &AValue) { if (!AValue.empty()) Genre = AValue; }
void TCustomFFmpeg::SetAlbum(const std::string &AValue) { if (!AValue.empty()) Album = AValue; }

// Plain setters used by the component

void TCustomFFmpeg::SetAudioVolume(int32_t AValue) { if (AValue >= 0) AudioVolume = AValue; }
void TCustomFFmpeg::SetAudioSyncMethod(int32_t AValue) { AudioSyncMethod = AValue; }
void TCustomFFmpeg::SetVideoSyncMethod(int32_t AValue) { VideoSyncMethod = AValue; }
void TCustomFFmpeg::SetMuxMaxDelay(float AValue) { if (AValue > 0.0f) MuxMaxDelay = AValue; }
void TCustomFFmpeg::SetMuxPreload(float AValue) { if (AValue > 0.0f) MuxPreload = AValue; }
void TCustomFFmpeg::SetTrack(int32_t AValue) { if (AValue > 0) Track = AValue; }
void TCustomFFmpeg::SetYear(int32_t AValue) { if (AValue > 0) Year = AValue; }
void TCustomFFmpeg::SetStartTime(int64_t AMicroseconds) { if (AMicroseconds > 0) StartTime = AMicroseconds; }
void TCustomFFmpeg::SetProgramId(int32_t AValue) { if (AValue >= 0) ProgramId = AValue; }
void TCustomFFmpeg::SetAudioSampleRate(int32_t AValue) { if (AValue > 0) AudioSampleRate = AValue; }
void TCustomFFmpeg::SetAudioChannels(int32_t AValue) { if (AValue > 0) AudioChannels = AValue; }
