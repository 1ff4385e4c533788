// One re-encoded output stream's path from decoded data to encoded packets:
// the base of the video, audio and subtitle paths (VideoPath.h,
// AudioPath.h, SubtitlePath.h). The run makes one per re-encoded output
// stream when it sets the stream up; the stream's record holds it (see
// TOutputStream::Path), so the job that runs the stream's input runs it.
//
// Ownership: a path owns its encoder context once the run hands it over
// (AdoptEncoder) and its working resources (scaler, resamplers, FIFO,
// pictures, sample buffers, two-pass log) through RAII owners; it borrows
// its record and the run's services, which outlive it.
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
  virtual ~TOutputPath();
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
  // Takes over the record's encoder context (the one AOst.Enc points at)
  // from the job's output table: from the run's set-up on, the path owns it.
  void AdoptEncoder(avbind::TCodecCtxPtr AEnc);
  // Frees the encoder the path owns (with a pass-2 log given to it); the
  // caller holds the codec lock when the encoder was opened. Nothing is
  // encoded afterwards.
  void CloseEncoder();

 protected:
  const TFFmpegSettings &Settings() const { return FServices.Settings(); }
  TPathServices &FServices;
  AVFormatContext *FOut;
  TOutputStream &FOst;
  AVCodecContext *FEnc;  // the record's encoder context
  avbind::TCodecCtxPtr FEncOwner;  // the same, when the path owns it (see AdoptEncoder)
  avbind::TMyFilePtr FLogFile;  // two-pass log (pass 1)
};

}  // namespace engine
