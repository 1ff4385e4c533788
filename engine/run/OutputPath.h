// One re-encoded output stream's path from decoded data to encoded packets:
// the base of the video, audio and subtitle paths (VideoPath.h,
// AudioPath.h, SubtitlePath.h). The run makes one per re-encoded output
// stream when it sets the stream up; the stream's record holds it (see
// TOutputStream::Path), so the job that runs the stream's input runs it.
//
// Ownership: a path owns its working resources (scaler, resamplers, FIFO,
// pictures, sample buffers, two-pass log) through RAII owners; it borrows
// its record, the record's encoder context and the run's services, all of
// which outlive it.
// Threads: used only by the job running its input stream (see Streams.h).
// Failure: throws FFMpegException with the engine's texts; reaches the run
// only through TPathServices.
#pragma once

#include <cstdint>

#include "AVPtr.h"
#include "PathServices.h"

struct TInputStream;
struct TOutputStream;

namespace engine {

class TVideoPath;
class TAudioPath;
class TSubtitlePath;

class TOutputPath {
 public:
  // AOut: the output file AOst belongs to, where its packets go.
  TOutputPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst);
  virtual ~TOutputPath() = default;
  TOutputPath(const TOutputPath &) = delete;
  TOutputPath &operator=(const TOutputPath &) = delete;

  // The kind of path, for the run's hand-over of decoded data (null when
  // the path is of another kind).
  virtual TVideoPath *Video() { return nullptr; }
  virtual TAudioPath *Audio() { return nullptr; }
  virtual TSubtitlePath *Subtitle() { return nullptr; }
  // The end of the input AIst: what is still held goes to the encoder,
  // which is then drained. Nothing happens a second time.
  virtual void Finish(const TInputStream &AIst) = 0;
  // The two-pass statistics file of output stream AIndex: pass 1 writes it,
  // pass 2 hands its text to the encoder before it opens.
  void OpenPassLog(int AIndex);

 protected:
  const TFFmpegSettings &Settings() const { return FServices.Settings(); }
  TPathServices &FServices;
  AVFormatContext *FOut;
  TOutputStream &FOst;
  AVCodecContext *FEnc;  // the record's encoder context
  avbind::TMyFilePtr FLogFile;  // two-pass log (pass 1)
};

}  // namespace engine
