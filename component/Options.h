// The option records by which a caller describes a task's input and output,
// and their translation into engine options and settings.
//
// Records are plain values; the component copies them. -1 (or -1.0) marks a
// field as not set unless its comment says otherwise.
// Threads: applied on the caller's (window) thread while the engine is idle.
// Failure: any engine exception (FFMpegException, EConvertError,
// EAssertionFailed) stops the translation at that field and passes out;
// fields applied before it stay applied.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TCustomFFmpeg;

struct TInputOptions {
  std::string FileName;      // informative; filled with the opened name when empty
  std::string FileFormat;    // demuxer to force; empty: detect
  int32_t StartPosition = -1;  // ms
  int32_t ProgramId = -1;
  std::string ExtraOptions;  // "name=value" lines
};

struct TOutputOptions {
  std::string FileName;      // informative; filled with the created name when empty
  std::string FileFormat;    // muxer to force; empty: guessed from the name
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxMaxDelay = -1.0f;  // s
  float MuxPreload = -1.0f;   // s
  std::string AudioCodecName;  // a codec name or "copy"
  bool AudioDisable = false;
  int32_t AudioVolume = -1;
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;  // Hz
  int32_t AudioBitrate = -1;
  int32_t AudioBitrateTolerance = -1;
  std::string AudioLanguage;  // always applied: empty clears
  int32_t AudioSyncMethod = 0;  // always applied
  std::string AudioCodecTag;   // 4 characters
  std::string VideoCodecName;  // a codec name or "copy"
  bool VideoDisable = false;
  std::string FrameRate;         // "15", "30000/1001"
  std::string FrameSize;         // "320x240"
  std::string FrameAspectRatio;  // "4:3" or a decimal
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  uint32_t PadColor = 0;  // 0x00BBGGRR; the high bit names a system colour
  int32_t GopSize = -1;
  int32_t VideoBitrate = -1;
  int32_t VideoMaxRate = -1;
  int32_t VideoMinRate = -1;
  int32_t VideoBitrateTolerance = -1;
  int32_t VideoBufferSize = -1;
  int32_t VideoSyncMethod = -1;  // always applied
  std::string VideoCodecTag;     // 4 characters
  bool SubtitleDisable = false;
  std::string SubtitleLanguage;  // always applied: empty clears
  bool CopyTs = false;           // always applied
  int32_t RecordingDuration = -1;  // ms
  double Timestamp = -1.0;  // days since 1899-12-30 local time; 0.0: now; negative: the input's date
  int32_t Year = -1;
  int32_t Track = -1;
  // Tag texts: at most 512 bytes (Genre 32), cut at the first zero byte.
  std::string Title, Author, Copyright, Comment, Album, Genre;
  int32_t Target = 0;              // 0 none, 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t TargetNorm = 0;          // 1 "pal", 2 "ntsc", anything else "auto"
  int32_t TargetFallbackNorm = 1;  // 1 "pal", anything else "ntsc"
  bool CustomHook = false;  // every video frame to OnCustomHook (wins over BeforeHook)
  bool BeforeHook = false;  // OnBeforeHook decides per frame whether hook libraries apply
  std::string HookRanges;   // "0-1000, 5000-8000" (ms); used when neither hook flag is set
  std::string ExtraOptions;  // "name=value" lines, applied before the fields above
};

// How a task's output reaches its name when it is published (AddTaskOutput
// with this record): written under a locked temporary in the output's folder
// (see AtomicOutput.h) and renamed when the task ends. A failure publishes
// nothing.
struct TPublishOptions {
  bool Replace = false;        // an existing file of the final name is replaced
  bool PublishStopped = true;  // a stopped task's shorter file is published when it is complete
  bool KeepDates = false;      // the published file gets the input's access and modification times
  // The final name was taken meanwhile (and not Replace): the next name to
  // try, called until one is free. Empty: the output is not published.
  std::function<std::string()> NextFreeName;
};

constexpr size_t TagTextLimit = 512;
constexpr size_t GenreTextLimit = 32;

void ResetInputOptions(TInputOptions &AOptions);
void ResetOutputOptions(TOutputOptions &AOptions);

// Applies "name=value" lines (CR LF, LF or CR) through the engine's SetOption;
// a line without "=" passes an empty value.
void ApplyOptionText(TCustomFFmpeg &AEngine, const std::string &AText);
// Applies the input record's extra options, format, start position and
// program (not FileName, which is informative).
void ApplyInputOptions(TCustomFFmpeg &AEngine, const TInputOptions &AOptions);
// Applies the output record: extra options, the fields in record order, the
// target preset and, when neither hook flag is set, the hook ranges. Binding
// the hook events is the component's business.
void ApplyOutputOptions(TCustomFFmpeg &AEngine, const TOutputOptions &AOptions);
// "0-1000, 5000-8000" (ms) -> the engine's HookRanges in µs, sorted by end;
// items without "-", unreadable or reversed are dropped.
void ParseHookRanges(TCustomFFmpeg &AEngine, const std::string &AText);
// Local date-time in days since 1899-12-30 -> seconds since the Unix epoch
// (UTC), taking daylight saving of that date into account.
int64_t LocalDateTimeToUnix(double ADays);
// The current local date-time in days since 1899-12-30.
double NowLocalDateTime();
