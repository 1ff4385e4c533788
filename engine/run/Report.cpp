// Progress report (periodic and final, through OnProgress or one text line
// through OnLog), the final summary, and the per-frame video statistics file.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "Run.h"
#include "MyUtilHlpr.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

constexpr int kQpShown = 32;
constexpr double kNoOutputTime = 1e10;  // seconds: no stream has a time yet

double Psnr(double ADistortion) { return -10.0 * std::log10(ADistortion); }

class TLineBuffer {
 public:
  template <typename... TArgs>
  void Append(const char *AFormat, TArgs... AArgs)
  {
    const size_t len = std::strlen(FText);
    if (len + 1 >= sizeof FText) return;
    MyUtilLib.my_snprintf(FText + len, sizeof FText - len, AFormat, AArgs...);
  }
  const char *Text() const { return FText; }

 private:
  char FText[1024] = {};
};

}  // namespace

void engine::TRun::PrintReport(bool AIsLastReport)
{
  if (FOutputCount <= 0 || !FOutputs[0]) return;
  TLineBuffer line;
  int frameNumber = -1, fps = -1;
  float quality = -1.0f;
  double outputTime = kNoOutputTime, outputEnd = 0;

  AVIOContext *pb = FOutputs[0]->pb;
  int64_t total = 0;
  if (pb) {
    // The size on disk lags behind what the muxer has written into its
    // buffer; the write position counts both.
    total = AVFormatLib.avio_size(pb);
    const int64_t position = AVFormatLib.avio_seek(pb, 0, SEEK_CUR);
    if (position > total) total = position;
    if (total < 0) total = 0;
  }

  bool videoSeen = false;
  for (const auto &ostp : FOutputStreams) {
    const TOutputStream &ost = *ostp;
    if (!ost.Stream) continue;
    const bool isVideo = ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    const float q = ost.StreamCopy ? -1.0f : static_cast<float>(ost.Reported.Quality) / FF_QP2LAMBDA;
    if (isVideo && videoSeen) line.Append("q=%2.1f ", static_cast<double>(q));
    if (isVideo && !videoSeen) {
      const float elapsed = static_cast<float>(AVUtilLib.av_gettime() - FTimerStart) / 1000000.0f;
      frameNumber = ost.Reported.FrameNumber;
      // Nothing to tell before the first picture is out, not even at the end.
      if (frameNumber < 1) return;
      fps = elapsed > 1.0f ? static_cast<int>(std::trunc(frameNumber / elapsed + 0.5)) : 0;
      quality = q;
      line.Append("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, static_cast<double>(quality));
      if (AIsLastReport) line.Append("L");
      if (FSettings.QpHist) {
        const long j = std::lrint(static_cast<double>(ost.Reported.Quality) / FF_QP2LAMBDA);
        if (j >= 0 && j < static_cast<long>(FReport.QpHistogram.size())) {
          ++FReport.QpHistogram[j];
          FEvents.Counted(FReport);
        }
        for (int k = 0; k < kQpShown; ++k) line.Append("%X", static_cast<int>(std::lrint(std::log2(FReport.QpHistogram[k] + 1.0))));
      }
      const AVCodecContext *enc = ost.Enc;
      if (enc && !ost.StreamCopy && (enc->flags & AV_CODEC_FLAG_PSNR)) {
        line.Append("PSNR=");
        double errorSum = 0, scaleSum = 0;
        for (int j = 0; j < 3; ++j) {
          double error, scale;
          if (AIsLastReport) {
            error = static_cast<double>(enc->error[j]);
            scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0 * frameNumber;
          } else {
            error = static_cast<double>(ost.Reported.Error[j]);
            scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
          }
          if (j) scale /= 4;
          errorSum += error;
          scaleSum += scale;
          line.Append("%c:%2.2f ", "YUV"[j], Psnr(error / scale));
        }
        line.Append("*:%2.2f ", Psnr(errorSum / scaleSum));
      }
      videoSeen = true;
    }
    // How far the output has come: the earliest stream end written so far.
    const double t = ost.OutTime;
    if (t > 0 && t < outputTime) outputTime = t;
    if (t > outputEnd) outputEnd = t;
  }
  // Once everything is written the output is as long as its longest stream
  // (a lone picture beside a second of sound is a second long).
  if (AIsLastReport && outputEnd > 0) outputTime = outputEnd;
  if (outputTime < 0.01) outputTime = 0.01;

  if (FEvents.WantsProgress() || FSettings.Verbose > 0 || AIsLastReport) {
    const double bitrate = static_cast<double>(total) * 8 / outputTime / 1000.0;
    line.Append("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", static_cast<double>(total) / 1024.0, outputTime,
                bitrate);
    if (FSettings.Verbose > 1) line.Append(" dup=%d drop=%d", FReport.FramesDup, FReport.FramesDrop);
    if (FEvents.WantsProgress()) {
      // Before any stream has a time the duration is unknown: report 0 ms.
      const double ms = outputTime >= kNoOutputTime ? 0.0 : std::trunc(outputTime * 1000.0);
      const int duration = static_cast<int>(std::min<double>(ms, INT32_MAX));
      FEvents.Progress({frameNumber, fps, duration, quality, static_cast<float>(bitrate), total, FSettings.TotalDuration});
    } else if (FSettings.Verbose >= 0 && FEvents.Listening()) {
      Log(1, line.Text());
    }
  }

  if (AIsLastReport && FSettings.Verbose >= 0 && FEvents.Listening()) {
    const int64_t raw = FReport.VideoSize + FReport.AudioSize + FReport.ExtraSize;
    const double video = FReport.VideoSize / 1024.0, audio = FReport.AudioSize / 1024.0, headers = FReport.ExtraSize / 1024.0;
    // Nothing encoded: no overhead to relate, the figure is 0.
    const double overhead = raw > 0 ? static_cast<double>(total - raw) * 100.0 / static_cast<double>(raw) : 0.0;
    Log(1, Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                  {video, audio, headers, overhead}));
  }
}

void engine::TRun::VideoStats(TOutputStream &AOst, int AFrameSize, int APictType, int AQuality)
{
  // A file the caller opened is used as it is; otherwise the run opens its own.
  if (!FSettings.VstatsFile && !FVstats) {
    FVstats.reset(MyUtilLib.my_fopen(FSettings.VstatsFileName.c_str(), "w"));
    if (!FVstats) Fail("fopen fail: " + FSettings.VstatsFileName);
  }
  const AVCodecContext *enc = AOst.Enc;
  if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  FILE *f = FSettings.VstatsFile ? FSettings.VstatsFile : FVstats.get();
  MyUtilLib.my_fprintf(f, "frame= %5d q= %2.1f ", AOst.FrameNumber, static_cast<double>(AQuality) / FF_QP2LAMBDA);
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    MyUtilLib.my_fprintf(
        f, "PSNR= %6.2f ",
        Psnr(static_cast<double>(AOst.CodedError[0]) / (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
  MyUtilLib.my_fprintf(f, "f_size= %6d ", AFrameSize);
  const double tb = avbind::Q2D(enc->time_base);
  double t = static_cast<double>(AOst.SyncOpts) * tb;
  if (t < 0.01) t = 0.01;
  const double bitrate = tb > 0 ? AFrameSize * 8 / tb / 1000.0 : 0.0;
  // The stream's own bytes: the engine's total is the writer's, which may lag.
  const double average = static_cast<double>(AOst.Bytes) * 8 / t / 1000.0;
  MyUtilLib.my_fprintf(f, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                       static_cast<double>(AOst.Bytes) / 1024.0, t, bitrate, average);
  MyUtilLib.my_fprintf(f, "type= %c\n", AVUtilLib.av_get_picture_type_char(static_cast<AVPictureType>(APictType)));
}
