// The pictures' pre-processing before the video paths take them:
// deinterlacing, the frame hooks (within the job's hook ranges, or as
// OnBeforeHook steers them) and the OnCustomHook round trip through a
// 24-bit bitmap, all on a working copy so the decoder's frames stay untouched.
//
// Ownership: owns its working buffers, bitmap and colour converters; borrows
// the engine's hook events and hook settings through THookLinks (the
// engine outlives the run that made this).
// Threads: used by one job at a time (the video stage's, or the run's
// thread); the events are raised from there, one picture at a time.
// Failure: nothing throws; a hook that fails or asks to stop ends hooking
// for the rest of the job, with the engine's log texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AVPtr.h"
#include "FFmpeg.h"

namespace engine {

// The engine's hook events and settings a run's pre-processing works with.
struct THookLinks {
  TCustomFFmpeg *Sender = nullptr;  // the events' sender
  TBeforeHookSlot *OnBeforeHook = nullptr;
  TCustomHookSlot *OnCustomHook = nullptr;  // cleared when the custom hook stops or fails
  std::atomic<bool> *UsingVhook = nullptr;  // cleared when hooking ends for the job
  THookAction *HookAction = nullptr;
  const std::vector<THookRange> *HookRanges = nullptr;
  int32_t *HookRangeIndex = nullptr;  // the range reached, moved forward
  const int32_t *HookRangeCount = nullptr;
  bool Deinterlace = false;
  std::function<void(uint8_t *AData[4], int ALineSize[4], AVPixelFormat APixFmt, int AWidth, int AHeight,
                     int64_t APts)>
      RunFrameHooks;
  std::function<void(int ALevel, const std::string &AMsg)> Log;
};

class TPicturePrep {
 public:
  explicit TPicturePrep(THookLinks ALinks);
  TPicturePrep(const TPicturePrep &) = delete;
  TPicturePrep &operator=(const TPicturePrep &) = delete;

  // One decoded picture presented at APts (µs). May replace the picture's
  // planes with the working copy, valid until the next call.
  void Process(int64_t APts, AVFrame &APicture);

  // The bitmap's pixel format, and the number of pictures seen so far (the
  // number OnCustomHook gets).
  int32_t RgbPixFmt() const { return FRgbPixFmt; }
  int32_t FrameNumber() const { return FFrameNumber; }

 private:
  // OnBeforeHook's or the ranges' decision for the picture at APts.
  void DecideHook(int64_t APts);
  // The OnCustomHook round trip through the 24-bit bitmap on the working picture.
  void RunCustomHook(uint8_t *AWork[4], int AWorkLs[4], int APixFmt, int AWidth, int AHeight, int64_t APts);

  THookLinks FLinks;
  std::vector<uint8_t> FBuffer;  // the working copy of the picture (only grows)
  int32_t FRgbPixFmt = AV_PIX_FMT_BGR24;
  std::unique_ptr<THookBitmap> FBitmap;
  std::vector<uint8_t> FRgbBuffer;
  avbind::TSwsPtr FToRgb, FFromRgb;
  int32_t FFrameNumber = 0;
};

}  // namespace engine
