// The video path of one re-encoded output stream: the video sync (drop,
// duplicate, re-base), crop, rescale, pad, and encoding; at the end of the
// input the last picture repeated up to the source's end, then the drain.
//
// The picture handed to the encoder always lives in a buffer of this path
// (its rescale target or its copy of the picture): the encoder may keep a
// reference to it, so it must not point into the decoder's frames or the
// shared pre-processing buffer.
//
// Ownership, threads, failure: see OutputPath.h.
#pragma once

#include <cstdint>

#include "OutputPath.h"

namespace engine {

// What the video path takes from the run besides the job's settings.
struct TVideoPathOptions {
  // The flags the job's generic scaler options hold: the scaler made at the
  // set-up uses them (later ones use the setting SwsFlags).
  int32_t SetupScalerFlags = 4;
  // The job asked for interlaced coding: the field order goes to the encoder.
  bool InterlacedCoding = false;
  // The stream's own fixed quality (0: none).
  float Quality = 0;
};

// True when pictures are dropped or repeated to keep AEnc's frame rate.
bool VideoSyncApplies(const TFFmpegSettings &ASettings, const AVCodecContext &AEnc);

class TVideoPath : public TOutputPath {
 public:
  TVideoPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst,
             const TVideoPathOptions &AOptions);
  TVideoPath *Video() override { return this; }

  // Before the encoder opens: its pixel format when unset, crop, pad, the
  // scaler and the pictures. Marks AIst for decoding and the stream for encoding.
  void Setup(TInputStream &AIst);
  // One decoded (and pre-processed) picture of AIst; returns the encoded
  // size of the last packet it made (0: none, or dropped).
  int Take(const TInputStream &AIst, const AVFrame &APicture);
  // At the end of the input: repeats the last picture up to the source's end time.
  void FillEnd(const TInputStream &AIst);
  // Drains the encoder (once).
  void Flush();
  void Finish(const TInputStream &AIst) override
  {
    FillEnd(AIst);
    Flush();
  }

  // What the set-up and the pictures so far decided: the picture is rescaled
  // (to the encoder's size or pixel format), and from which source width.
  bool Rescaling() const { return FResample != 0; }
  int ScalerSourceWidth() const { return FScaleSrcWidth; }

 private:
  // How many times the picture is emitted (0 when dropped), with the drop
  // and duplicate counts and the sync clock moved.
  int64_t SyncCount(double ATb);
  // The planes of APicture after the crop; false (logged) when the bands do not fit.
  bool Crop(const AVFrame &APicture, uint8_t *ASrc[4], int ASrcLs[4], int &AWidth, int &AHeight);
  // Makes sure the scaler fits the source; false (logged) when it cannot.
  bool PrepareScaler(int ASrcW, int ASrcH, int APixFmt, int ADstW, int ADstH);
  // The picture the encoder gets, filled from ASrc; null (logged) on failure.
  AVFrame *Compose(uint8_t *ASrc[4], int ASrcLs[4]);
  // Encodes AFinal ACount times at consecutive ticks; returns the size of the last packet.
  int Emit(AVFrame &AFinal, int64_t ACount);
  // Sends a frame (null drains) and writes every packet; returns the size of the last one.
  int Send(const AVFrame *AFrame);

  TVideoPathOptions FOptions;
  int32_t FResample = 0;
  avbind::TFramePtr FPictTmp;  // rescale or pad target
  avbind::TSwsPtr FScaler;
  int32_t FResampleHeight = 0;
  int32_t FCrop = 0;
  int32_t FTopBand = 0, FLeftBand = 0, FBottomBand = 0, FRightBand = 0;
  int32_t FPad = 0;
  int32_t FPadTop = 0, FPadBottom = 0, FPadLeft = 0, FPadRight = 0;
  int32_t FScaleSrcWidth = 0, FScaleSrcHeight = 0, FScaleSrcPixFmt = -1;  // source FScaler was made for
  avbind::TFramePtr FEncFrame;   // the picture handed to the encoder when nothing is rescaled or padded
  AVFrame *FLastFinal = nullptr;  // the last picture emitted (FPictTmp or FEncFrame), repeated at the end
  bool FFlushed = false;
};

}  // namespace engine
