// Formats, stream and metadata maps, time-stamp scales and time limits:
// the handlers that say which files and streams a job reads and writes,
// and when it starts and stops.
#include <cerrno>
#include <cmath>

#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "MyUtilHlpr.h"
#include "SysFormat.h"

using avbind::Format;

std::string TCustomFFmpeg::FormatName(const std::string &AName)
{
  if (AName != "pgmyuv") return AName;
  PgmyuvHack = 1;
  Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

void TCustomFFmpeg::SetInputFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  InputFormat = AVFormatLib.av_find_input_format(name.c_str());
  if (!InputFormat) Fail(Format("Unknown input format: %s", {name}));
}

void TCustomFFmpeg::SetOutputFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  OutputFormat = AVFormatLib.av_guess_format(name.c_str(), nullptr, nullptr);
  if (!OutputFormat) Fail(Format("Unknown output format: %s", {name}));
}

void TCustomFFmpeg::SetFormat(const std::string &AName)
{
  if (AName.empty()) return;
  const std::string name = FormatName(AName);
  InputFormat = AVFormatLib.av_find_input_format(name.c_str());
  OutputFormat = AVFormatLib.av_guess_format(name.c_str(), nullptr, nullptr);
  if (!InputFormat && !OutputFormat) Fail(Format("Unknown input or output format: %s", {name}));
}

// Time limits

namespace {

int64_t ParseTimeOption(const std::string &AName, const std::string &AValue, bool ADuration)
{
  int64_t us = 0;
  if (AVUtilLib.av_parse_time(&us, AValue.c_str(), ADuration ? 1 : 0) < 0)
    throw FFMpegException(
        Format("Invalid %s specification for %s: %s", {ADuration ? "duration" : "date", AName, AValue}));
  return us;
}

}  // namespace

void TCustomFFmpeg::SetRecordingTime(const std::string &AValue)
{
  if (AValue.empty()) return;
  SetRecordingTimeMs(ParseTimeOption("t", AValue, true) / 1000);
}

void TCustomFFmpeg::SetRecordingTimeMs(int64_t AMilliseconds)
{
  if (AMilliseconds <= 0) return;
  RecordingTime = AMilliseconds > INT64_MAX / 1000 ? INT64_MAX : AMilliseconds * 1000;
  // The progress report's total is 32-bit milliseconds (about 24 days); a
  // longer limit is reported as that maximum rather than wrapping negative.
  TotalDuration = AMilliseconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(AMilliseconds);
}

void TCustomFFmpeg::SetStartTimeText(const std::string &AValue)
{
  if (AValue.empty()) return;
  StartTime = ParseTimeOption("ss", AValue, true);
}

void TCustomFFmpeg::SetInputTsOffsetText(const std::string &AValue)
{
  if (AValue.empty()) return;
  InputTsOffset = ParseTimeOption("itsoffset", AValue, true);
}

void TCustomFFmpeg::SetRecTimestampText(const std::string &AValue)
{
  if (AValue.empty()) return;
  const int64_t us = ParseTimeOption("timestamp", AValue, false);
  RecTimestamp = static_cast<int64_t>(std::nearbyint(static_cast<double>(us) / 1000000.0));
}

// Maps and time-stamp scales

namespace {

// Reads one int32 with strtol rules at AP. Text that remains but holds no
// number, or a number beyond 32 bits, is refused (false); at the end of the
// text the value is 0.
bool ReadIndex(const char *&AP, int32_t &AValue)
{
  char *end = nullptr;
  errno = 0;
  const long v = MyUtilLib.my_strtol(AP, &end, 0);
  if (end == AP) {
    AValue = 0;
    return *AP == '\0';
  }
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  AValue = static_cast<int32_t>(v);
  AP = end;
  return true;
}

}  // namespace

void TCustomFFmpeg::SetStreamMap(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (FJob.StreamMapCount >= MaxStreamMaps) Fail(Format("Too many stream maps (at most %d)", {MaxStreamMaps}));
  TStreamMap m;
  const char *p = AValue.c_str();
  bool ok = ReadIndex(p, m.FileIndex);
  if (ok && *p) ++p;
  ok = ok && ReadIndex(p, m.StreamIndex);
  if (ok && *p) {
    ++p;
    ok = ReadIndex(p, m.SyncFileIndex);
    if (ok && *p) ++p;
    ok = ok && ReadIndex(p, m.SyncStreamIndex);
  } else {
    m.SyncFileIndex = m.FileIndex;
    m.SyncStreamIndex = m.StreamIndex;
  }
  if (!ok) Fail(Format("Invalid stream map: %s", {AValue}));
  FJob.StreamMaps[FJob.StreamMapCount++] = m;
}

void TCustomFFmpeg::SetMetaDataMap(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (FJob.MetaDataMapCount >= MaxMetaDataMaps) Fail(Format("Too many meta data maps (at most %d)", {MaxMetaDataMaps}));
  TMetaDataMap m;
  const char *p = AValue.c_str();
  bool ok = ReadIndex(p, m.OutFile);
  if (ok && *p) ++p;
  ok = ok && ReadIndex(p, m.InFile);
  if (!ok) Fail(Format("Invalid meta data map: %s", {AValue}));
  FJob.MetaDataMaps[FJob.MetaDataMapCount++] = m;
}

void TCustomFFmpeg::SetInputTsScale(const std::string &AValue)
{
  if (AValue.empty()) return;
  const char *p = AValue.c_str();
  char *end = nullptr;
  const long index = MyUtilLib.my_strtol(p, &end, 0);
  p = end;
  if (*p) ++p;
  const double scale = MyUtilLib.my_strtod(p, &end);
  if (static_cast<unsigned long>(index) >= static_cast<unsigned long>(MaxStreams))
    Fail(Format("stream index over MAX_STREAMS(%d)", {MaxStreams}));
  // The scale is stored for the input opened next, which must still fit the file table.
  if (InputFileCount >= MaxFiles) Fail(Format("Too many input files (at most %d)", {MaxFiles}));
  // Timestamps are multiplied by the scale; a negative or unbounded factor
  // would turn them into garbage.
  if (!std::isfinite(scale) || scale < 0) Fail(Format("Invalid time stamp scale: %s", {AValue}));
  FJob.InputTsScales[InputFileCount][index] = scale;
}
