// The engine's answer to what its output paths ask of the run: each member
// forwards to the engine (the packet writer, the sync clock, the vstats
// file, the log). A run of its own takes this over later.
//
// Ownership: the engine owns it; it borrows the engine.
// Threads, failure: as TPathServices (PathServices.h).
#pragma once

#include "FFmpeg.h"
#include "PathServices.h"

class TCustomFFmpeg::TPathLink final : public engine::TPathServices {
 public:
  explicit TPathLink(TCustomFFmpeg &AEngine) : FEngine(AEngine) {}
  const TFFmpegSettings &Settings() const override { return FEngine; }
  void Log(int ALevel, const std::string &AMsg) override { FEngine.Log(ALevel, AMsg); }
  void WritePacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst) override
  {
    FEngine.WriteFrame(AOut, APkt, AOst);
  }
  double SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const override
  {
    return FEngine.SyncInputTime(AOst, AStartTime);
  }
  void VideoStats(TOutputStream &AOst, int AFrameSize, int APictType, int AQuality) override;
  bool StopRequested() const override { return FEngine.StopRequested; }

 private:
  TCustomFFmpeg &FEngine;
};
