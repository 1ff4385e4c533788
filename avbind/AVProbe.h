// TAVProbe: opens one media file through the demuxing library, without
// setting up any conversion, counts its streams and builds a plain-text
// report of its format, size, times, bit rate, tags, programs and streams.
//
// FLV, recognised by its content (or forced as "flv"), is read by our own
// reader; every other format by the library's demuxers.
//
// Ownership: the probe owns its demuxer context (or FLV source); CloseFile, the next
// LoadFile and the destructor release it. The probe must be closed while
// the libraries are still loaded (they stay loaded once loaded).
// Threads: one thread at a time (the window's); it shares only the loaded
// libraries with running conversions.
// Failure: LoadFile throws std::runtime_error when the libraries are not
// loaded, and otherwise returns false with the reason in LastError, leaving
// no file open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct AVFormatContext;
struct AVInputFormat;
namespace flv {
class TFlvSource;
}

// What GetFileInfo reads from the open file. Times in microseconds, the
// unknown time as INT64_MIN; TimeStamp in seconds since 1970-01-01 UTC.
struct TAVFileInfo {
  int64_t StartTime = INT64_MIN;
  int64_t Duration = INT64_MIN;
  int32_t BitRate = -1;
  int64_t TimeStamp = -1;
  std::string Title, Author, Copyright, Comment, Album;
  int32_t Year = -1, Track = -1;
  std::string Genre;
};

class TAVProbe {
 public:
  TAVProbe();
  ~TAVProbe();
  TAVProbe(const TAVProbe &) = delete;
  TAVProbe &operator=(const TAVProbe &) = delete;

  // AFormatName: a demuxer name to force, empty to let the library probe.
  bool LoadFile(const std::string &AFileName, const std::string &AFormatName = "");
  void CloseFile();
  bool FileLoaded() const { return FContext != nullptr; }
  // With no file open: every number -1, every text empty (and a log line).
  void GetFileInfo(TAVFileInfo &AInfo) const;
  // Lines ended by "\r\n"; empty with no file open.
  std::string GetFileInfoText() const;
  // Throws std::runtime_error naming the first of avcodec, avformat, avutil
  // and swscale that is not loaded.
  static void CheckLibAV();

  const AVFormatContext *Context() const { return FContext; }

  std::string LastError;
  std::string FormatName;  // the forced format of the open file, empty when none
  // All -1 while no file is open.
  int32_t StreamCount = -1;
  int32_t ProgramCount = -1;
  int32_t AudioStreamCount = -1, VideoStreamCount = -1, SubtitleStreamCount = -1;
  int32_t FirstAudioStream = -1, FirstVideoStream = -1, FirstSubtitleStream = -1;

  // Report helpers, also used elsewhere for the same texts.
  // "1024 Byte", "1.00 KB", "1024.00 MB", ...
  static std::string SizeText(int64_t ABytes);
  // "hh:mm:ss.hh" (hundredths) from microseconds.
  static std::string DurationText(int64_t AMicroseconds);
  // "s.uuuuuu" from microseconds.
  static std::string StartTimeText(int64_t AMicroseconds);

 private:
  void ResetCounts();
  bool OpenWithDemuxer(const std::string &AFileName, const AVInputFormat *AFormat);
  void CountStreams();
  std::string StreamLine(unsigned AIndex) const;

  AVFormatContext *FContext = nullptr;
  std::unique_ptr<flv::TFlvSource> FFlv;  // owns FContext when the file is FLV
  std::string FFileName;  // as the caller gave it
};
