// The audio path of one re-encoded output stream: channel and rate
// conversion, the output audio clock (cut, pad, stretch), the FIFO that
// cuts encoder frames, conversion to the encoder's sample format, encoding
// and the end-of-input drain.
//
// Inside the engine audio is signed 16-bit interleaved; each encoder frame is
// converted to the encoder's own sample format just before it is sent.
// Every buffer used here belongs to this path, so engines and paths can run
// side by side.
//
// Ownership, threads, failure: see OutputPath.h.
#pragma once

#include <cstdint>
#include <vector>

#include "OutputPath.h"

namespace engine {

// Converts a decoded frame of AIst to 16-bit interleaved samples in its own
// layout and rate, into AIst.Samples (AIst keeps the converter); returns the
// bytes written, 0 when the frame holds nothing usable.
int DecodedAudioToS16(TInputStream &AIst, const AVFrame &AFrame);

class TAudioPath : public TOutputPath {
 public:
  TAudioPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst);
  TAudioPath *Audio() override { return this; }

  // Before the encoder opens: the FIFO, the resampling decision, the
  // encoder's channel layout and sample format. Marks AIst for decoding and
  // the stream for encoding.
  void Setup(TInputStream &AIst);
  // ABuf: ASize bytes of 16-bit interleaved samples of AIst in its decoded
  // layout and rate (see DecodedAudioToS16).
  void Take(TInputStream &AIst, const uint8_t *ABuf, int ASize);
  // What the resampler and the FIFO hold, encoded; then the drain (once).
  void Flush();
  void Finish(const TInputStream &) override { Flush(); }

  // Channels or rate are converted on the way to the encoder.
  bool Resampling() const { return FResample != 0; }
  // Samples taken in but not yet encoded: in the FIFO and in the resampler.
  int64_t HeldSamples() const;
  int64_t FifoSamples() const;

 private:
  // Makes the resampler fit ADecCh channels at ADecRate.
  void PrepareResampler(int ADecCh, int ADecRate);
  // The audio clock's correction of a block: cut, padded with silence, or
  // the resampler told to stretch. False when nothing of the block is left.
  bool Correct(TInputStream &AIst, const uint8_t *&ABuf, int &ASize, int ADecCh, int ADecRate);
  // Encodes ASamples 16-bit interleaved samples (encoder layout and rate) as one frame.
  void EncodeFrame(const uint8_t *AData, int ASamples);
  // Sends a frame (null drains) and writes every packet the encoder returns.
  void Send(const AVFrame *AFrame);

  int32_t FResample = 0;
  avbind::TSwrPtr FResampler;         // decoder layout/rate -> encoder layout/rate
  int32_t FResampleInChannels = 0, FResampleInRate = 0;  // input FResampler was made for
  avbind::TFifoPtr FFifo;             // byte FIFO of samples waiting for a full encoder frame
  avbind::TSwrPtr FToEncoderFormat;   // s16 interleaved -> encoder sample format
  avbind::TFramePtr FEncFrame;        // frame handed to the encoder
  int64_t FNextEncPts = 0;            // pts of the next encoder input frame, encoder time base
  std::vector<uint8_t> FAudioBuffer;  // resampler output / frame read from the FIFO (only grows)
  std::vector<uint8_t> FSilenceBuffer;  // a block with leading silence for audio sync (only grows)
  bool FFlushed = false;
};

}  // namespace engine
