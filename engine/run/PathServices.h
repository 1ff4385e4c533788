// What an output path (and the pictures' pre-processing) asks of the run it
// belongs to. The run implements it; a path holds a reference and calls
// nothing else of the run or the engine, so a path can be driven on its own
// (in a test, by a fake run).
//
// Ownership: the run outlives every path it made.
// Threads: called from the job running the path (the run's thread or the
// path's stage thread, see Pipeline.h); every member must allow that.
// Failure: WritePacket and VideoStats throw FFMpegException when the muxer
// or the statistics file fails; Log never throws.
#pragma once

#include <cstdint>
#include <string>

#include "AVPtr.h"

struct TFFmpegSettings;
struct TOutputStream;

namespace engine {

class TPathServices {
 public:
  virtual ~TPathServices() = default;
  // The job's settings, read-only while the run lasts.
  virtual const TFFmpegSettings &Settings() const = 0;
  virtual void Log(int ALevel, const std::string &AMsg) = 0;
  // The single exit of every packet: APkt is in AOst's stream time base.
  // Inside a job it waits in the job's ticket (see Pipeline.h).
  virtual void WritePacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst) = 0;
  // The input time (seconds) the output AOst should have reached, for the
  // audio and video sync; AStartTime in µs.
  virtual double SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const = 0;
  // One line of the "vstats" file for an encoded picture.
  virtual void VideoStats(TOutputStream &AOst, int AFrameSize, int APictType, int AQuality) = 0;
  // A stop was asked for: the video path stops repeating a picture between
  // two encoder calls rather than finishing a long run of duplicates.
  virtual bool StopRequested() const = 0;
};

}  // namespace engine
