// The second half of a run: the packet loop (choice of the lagging input,
// limits, timestamp corrections), packet decoding, stream copy, and the end
// of the run (flush, trailers, final report, codec closing, clean-up).
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

int64_t ToMicro(int64_t ATs, AVRational ATb) { return AVUtilLib.av_rescale_q(ATs, ATb, kMicroseconds); }

// Scales a timestamp, rounding to nearest with halves to even.
int64_t ScaleTs(int64_t ATs, double AScale) { return static_cast<int64_t>(std::nearbyint(ATs * AScale)); }

}  // namespace

void TCustomFFmpeg::TranscodeLoop()
{
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) Fail("av_mallocz fail");
  while (!StopRequested) {
    double iptsMin = 1e100, optsMin = 1e100;
    int fileIndex = -1;
    for (auto &ostp : OutputStreams) {
      TOutputStream &ost = *ostp;
      TInputStream &ist = *InputStreams[ost.SourceIndex];
      double opts;
      if (ost.Enc && ost.Enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.EncodingNeeded)
        opts = static_cast<double>(ost.SyncOpts) * avbind::Q2D(ost.Enc->time_base);
      else
        opts = ost.OutTime;
      const double ipts = static_cast<double>(ist.Pts);
      if (!FileTable[ist.FileIndex].EofReached) {
        if (ipts < iptsMin) {
          iptsMin = ipts;
          if (InputSync) fileIndex = ist.FileIndex;
        }
        if (opts < optsMin) {
          optsMin = opts;
          if (!InputSync) fileIndex = ist.FileIndex;
        }
      }
      const int type = ost.Stream->codecpar->codec_type;
      if (type >= 0 && type < 4 && ost.FrameNumber >= MaxFrames[type]) {
        fileIndex = -1;
        break;
      }
    }
    if (fileIndex < 0) break;
    if (static_cast<double>(RecordingTime) / 1000000.0 <= optsMin) break;
    if (LimitFileSize != 0 && OutputFiles[0]->pb &&
        AVFormatLib.avio_seek(OutputFiles[0]->pb, 0, SEEK_CUR) > LimitFileSize)
      break;

    AVFormatContext *ic = InputFiles[fileIndex];
    if (AVFormatLib.av_read_frame(ic, pkt.get()) < 0) {
      FileTable[fileIndex].EofReached = 1;
      if (Shortest) break;
      continue;
    }
    if (DoPktDump && pkt->stream_index >= 0 && static_cast<unsigned>(pkt->stream_index) < ic->nb_streams)
      AVFormatLib.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), DoHexDump, ic->streams[pkt->stream_index]);

    const TInputFileInfo &info = FileTable[fileIndex];
    if (pkt->stream_index >= 0 && pkt->stream_index < info.StreamCount) {
      const int istIndex = info.FirstStream + pkt->stream_index;
      TInputStream &ist = *InputStreams[istIndex];
      if (!ist.Discard) {
        const AVRational tb = ist.Stream->time_base;
        const int64_t offset = AVUtilLib.av_rescale_q(InputTsOffsets[fileIndex], kMicroseconds, tb);
        if (pkt->dts != NoPts) pkt->dts += offset;
        if (pkt->pts != NoPts) pkt->pts += offset;
        if (pkt->stream_index < MaxStreams) {
          const double scale = InputTsScales[fileIndex][pkt->stream_index];
          if (scale != 0) {
            if (pkt->pts != NoPts) pkt->pts = ScaleTs(pkt->pts, scale);
            if (pkt->dts != NoPts) pkt->dts = ScaleTs(pkt->dts, scale);
          }
        }
        if (pkt->dts != NoPts && ist.NextPts != NoPts) {
          const int64_t pktDts = ToMicro(pkt->dts, tb);
          const int64_t delta = pktDts - ist.NextPts;
          if ((std::llabs(delta) > static_cast<int64_t>(DtsDeltaThreshold * 1000000.0) || pktDts + 1 < ist.Pts) &&
              !CopyTs) {
            InputTsOffsets[ist.FileIndex] -= delta;
            if (Verbose > 2)
              Log(1, Format("timestamp discontinuity %d, new offset= %d", {delta, InputTsOffsets[ist.FileIndex]}));
            const int64_t shift = AVUtilLib.av_rescale_q(delta, kMicroseconds, tb);
            pkt->dts -= shift;
            if (pkt->pts != NoPts) pkt->pts -= shift;
          }
        }
        if (OutputPacket(ist, istIndex, pkt.get()) < 0) {
          if (Verbose >= 0) Log(1, Format("Error while decoding stream #%d.%d", {ist.FileIndex, ist.Index}));
          AVCodecLib.av_packet_unref(pkt.get());
          continue;
        }
      }
    }
    AVCodecLib.av_packet_unref(pkt.get());
    const int64_t now = AVUtilLib.av_gettime();
    if (now - LastReportTime > ProgressInterval) {
      LastReportTime = now;
      PrintReport(false);
    }
  }
}

void TCustomFFmpeg::TranscodeEnd()
{
  for (std::size_t i = 0; i < InputStreams.size(); ++i)
    if (InputStreams[i]->DecodingNeeded) OutputPacket(*InputStreams[i], static_cast<int>(i), nullptr);

  int64_t written = 0;
  for (auto &ost : OutputStreams) written += ost->PacketsWritten;
  if (written == 0) {
    // Nothing was read (or the job was stopped before the first packet): an
    // output holding only a header and no stream would look like a result,
    // so remove it; only a run that was not stopped fails for it.
    for (int f = 0; f < OutputFileCount; ++f) {
      AVFormatContext *oc = OutputFiles[f];
      if (!(oc->oformat->flags & AVFMT_NOFILE) && oc->pb) {
        AVFormatLib.avio_closep(&oc->pb);
        if (oc->url) unlink(oc->url);
      }
    }
    if (!StopRequested)
      Fail(Format("%s: no audio or video data could be read", {InputFileCount > 0 ? InputFiles[0]->url : ""}));
  }

  for (int f = 0; f < OutputFileCount; ++f)
    if (OutputSetups[f].HeaderWritten && written > 0) {
      const int r = AVFormatLib.av_write_trailer(OutputFiles[f]);
      if (r < 0) Fail(InputOpenErrorText("av_write_trailer()", r));
    }
  PrintReport(true);
  CloseOpenCodecs();
  Finished = !StopRequested;
  FreeRunTables();
}

void TCustomFFmpeg::CloseOpenCodecs()
{
  for (auto &ostp : OutputStreams) {
    TOutputStream &ost = *ostp;
    if (!ost.Opened) continue;
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    auto &owner = OutputSetups[ost.FileIndex].Streams[ost.Index].Enc;
    if (owner) AVUtilLib.av_freep(&owner->stats_in);
    owner.reset();
    ost.Enc = nullptr;
    ost.Opened = false;
  }
  for (auto &istp : InputStreams) {
    TInputStream &ist = *istp;
    if (!ist.Opened) continue;
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    auto &decs = InputSetups[ist.FileIndex].Dec;
    if (static_cast<std::size_t>(ist.Index) < decs.size()) decs[ist.Index].reset();
    ist.Dec = nullptr;
    ist.Opened = false;
  }
}

void TCustomFFmpeg::FreeRunTables()
{
  for (auto &ostp : OutputStreams) {
    TOutputStream &ost = *ostp;
    if (ost.LogFile) {
      MyUtilLib.my_fclose(ost.LogFile);
      ost.LogFile = nullptr;
    }
    ReleaseOutputStream(ost);
  }
  OutputStreams.clear();
  InputStreams.clear();
  FileTable.clear();
  BitBuffer.clear();
  BitBuffer.shrink_to_fit();
}

void TCustomFFmpeg::EmulateRate(TInputStream &AIst)
{
  if (!RateEmu) return;
  const int64_t elapsed = AVUtilLib.av_gettime() - AIst.Start;
  const int64_t target = AIst.Pts;
  if (target - elapsed > 50000) AVUtilLib.av_usleep(static_cast<unsigned>((target - elapsed)));
  ++AIst.Frame;
}

int TCustomFFmpeg::OutputPacket(TInputStream &AIst, int AIstIndex, const AVPacket *APkt)
{
  const AVRational tb = AIst.Stream->time_base;
  if (AIst.NextPts == NoPts) AIst.NextPts = AIst.Pts;
  if (APkt && APkt->dts != NoPts) AIst.Pts = AIst.NextPts = ToMicro(APkt->dts, tb);

  if (!AIst.DecodingNeeded) {
    if (!APkt) return 0;
    AIst.Pts = AIst.NextPts;
    const AVCodecParameters *par = AIst.Stream->codecpar;
    if (APkt->duration > 0) {
      AIst.NextPts += ToMicro(APkt->duration, tb);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->frame_size > 0) {
      AIst.NextPts += 1000000LL * par->frame_size / par->sample_rate;
    } else if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      const AVRational fr = AIst.Stream->avg_frame_rate.num ? AIst.Stream->avg_frame_rate : AIst.Stream->r_frame_rate;
      if (fr.num > 0 && fr.den > 0) AIst.NextPts += 1000000LL * fr.den / fr.num;
    }
    EmulateRate(AIst);
    if (StartTime == 0 || AIst.Pts >= StartTime)
      for (auto &ost : OutputStreams)
        if (ost->SourceIndex == AIstIndex && !ost->EncodingNeeded) StreamCopyPacket(AIst, *ost, *APkt);
    return 0;
  }

  AVCodecContext *dec = AIst.Dec;
  if (!dec) return -1;
  if (dec->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    if (!APkt) return 0;
    AVSubtitle sub{};
    int got = 0;
    if (AVCodecLib.avcodec_decode_subtitle2(dec, &sub, &got, const_cast<AVPacket *>(APkt)) < 0) return -1;
    if (!got) return 0;
    const int64_t pts = APkt->pts != NoPts ? APkt->pts : NoPts;
    try {
      if (StartTime == 0 || AIst.Pts >= StartTime)
        for (auto &ost : OutputStreams)
          if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded)
            DoSubtitleOut(OutputFiles[ost->FileIndex], *ost, AIst, sub, pts);
    } catch (...) {
      AVCodecLib.avsubtitle_free(&sub);
      throw;
    }
    AVCodecLib.avsubtitle_free(&sub);
    return 0;
  }
  if (dec->codec_type != AVMEDIA_TYPE_AUDIO && dec->codec_type != AVMEDIA_TYPE_VIDEO) return -1;

  int r = AVCodecLib.avcodec_send_packet(dec, APkt);
  if (r < 0 && r != AVERROR_EOF) return -1;
  avbind::TFramePtr frame(AVUtilLib.av_frame_alloc());
  if (!frame) Fail("av_mallocz fail");
  for (;;) {
    r = AVCodecLib.avcodec_receive_frame(dec, frame.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) return -1;
    HandleDecodedFrame(AIst, AIstIndex, *frame);
    AVUtilLib.av_frame_unref(frame.get());
  }
  if (!APkt) FlushEncoders(AIst, AIstIndex);
  return 0;
}

void TCustomFFmpeg::HandleDecodedFrame(TInputStream &AIst, int AIstIndex, AVFrame &AFrame)
{
  const AVRational tb = AIst.Stream->time_base;
  AVCodecContext *dec = AIst.Dec;
  const int64_t ts = AFrame.best_effort_timestamp != NoPts ? AFrame.best_effort_timestamp : AFrame.pts;
  AIst.Pts = ts != NoPts ? ToMicro(ts, tb) : AIst.NextPts;
  if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
    const int rate = AFrame.sample_rate > 0 ? AFrame.sample_rate : dec->sample_rate;
    if (rate > 0) AIst.NextPts = AIst.Pts + 1000000LL * AFrame.nb_samples / rate;
    const int size = DecodedAudioToS16(AIst, AFrame);
    if (size <= 0) return;
    if (AudioVolume != 256) {
      auto *s = reinterpret_cast<int16_t *>(SampleBuffer.data());
      for (int i = 0; i < size / 2; ++i) {
        const int v = (s[i] * AudioVolume + 128) >> 8;
        s[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
      }
    }
    EmulateRate(AIst);
    if (StartTime == 0 || AIst.Pts >= StartTime)
      for (auto &ost : OutputStreams)
        if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded)
          DoAudioOut(OutputFiles[ost->FileIndex], *ost, AIst, SampleBuffer.data(), size);
    return;
  }
  // Video.
  int64_t duration = AFrame.pkt_duration > 0 ? ToMicro(AFrame.pkt_duration, tb) : 0;
  if (duration <= 0) {
    const AVRational fr = AIst.Stream->avg_frame_rate.num ? AIst.Stream->avg_frame_rate : AIst.Stream->r_frame_rate;
    if (fr.num > 0 && fr.den > 0) duration = 1000000LL * fr.den / fr.num;
  }
  AIst.NextPts = AIst.Pts + duration;
  PreProcessVideoFrame(AIst, AFrame);
  EmulateRate(AIst);
  if (StartTime == 0 || AIst.Pts >= StartTime)
    for (auto &ost : OutputStreams)
      if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded)
        DoVideoOut(OutputFiles[ost->FileIndex], *ost, AIst, AFrame);
}

void TCustomFFmpeg::FlushEncoders(TInputStream &AIst, int AIstIndex)
{
  for (auto &ostp : OutputStreams) {
    TOutputStream &ost = *ostp;
    if (ost.SourceIndex != AIstIndex || !ost.EncodingNeeded || !ost.Enc) continue;
    AVFormatContext *oc = OutputFiles[ost.FileIndex];
    if (ost.Enc->codec_type == AVMEDIA_TYPE_AUDIO)
      FlushAudio(oc, ost);
    else if (ost.Enc->codec_type == AVMEDIA_TYPE_VIDEO)
      FlushVideo(oc, ost);
  }
}

void TCustomFFmpeg::StreamCopyPacket(TInputStream &AIst, TOutputStream &AOst, const AVPacket &APkt)
{
  if (AOst.FrameNumber == 0 && !(APkt.flags & AV_PKT_FLAG_KEY)) return;
  avbind::TPacketPtr opkt(AVCodecLib.av_packet_alloc());
  if (!opkt || AVCodecLib.av_packet_ref(opkt.get(), &APkt) < 0) Fail("av_mallocz fail");
  const AVMediaType type = AIst.Stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) {
    AudioSize += APkt.size;
  } else if (type == AVMEDIA_TYPE_VIDEO) {
    VideoSize += APkt.size;
    ++AOst.SyncOpts;
  }
  const AVRational itb = AIst.Stream->time_base;
  const AVRational otb = AOst.Stream->time_base;
  opkt->pts = APkt.pts != NoPts ? AVUtilLib.av_rescale_q(APkt.pts, itb, otb) : NoPts;
  opkt->dts = APkt.dts != NoPts ? AVUtilLib.av_rescale_q(APkt.dts, itb, otb)
                                : AVUtilLib.av_rescale_q(AIst.Pts, kMicroseconds, otb);
  opkt->duration = AVUtilLib.av_rescale_q(APkt.duration, itb, otb);
  opkt->flags = APkt.flags;
  WriteFrame(OutputFiles[AOst.FileIndex], opkt.get(), AOst);
  ++AOst.FrameNumber;
}
