// The second half of a run: the packet loop (choice of the lagging input,
// limits, timestamp corrections), packet decoding, stream copy, and the end
// of the run (flush, trailers, final report, codec closing, clean-up).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "FFmpegThread.h"
#include "LibLoader.h"
#include "SubtitlePath.h"
#include "VideoPath.h"
#include "AudioPath.h"
#include "DropPredictor.h"
#include "Pipeline.h"
#include "Run.h"
#include "MyUtilHlpr.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Jobs the run's thread may read ahead of the writer when stages have
// threads of their own.
constexpr std::size_t kJobsAhead = 64;

int64_t ToMicro(int64_t ATs, AVRational ATb) { return AVUtilLib.av_rescale_q(ATs, ATb, kMicroseconds); }

// Scales a timestamp, rounding to nearest with halves to even.
int64_t ScaleTs(int64_t ATs, double AScale) { return static_cast<int64_t>(std::nearbyint(ATs * AScale)); }

}  // namespace

void engine::TRun::TranscodeLoop()
{
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) Fail("av_mallocz fail");
  while (!FEvents.StopRequested()) {
    double iptsMin = 1e100, optsMin = 1e100;
    int fileIndex = -1;
    for (auto &ostp : FOutputStreams) {
      TOutputStream &ost = *ostp;
      TInputStream &ist = *FInputStreams[ost.SourceIndex];
      // The counters as of the last job written (see Pipeline.h).
      double opts;
      if (ost.Enc && ost.Enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.EncodingNeeded)
        opts = static_cast<double>(ost.Reported.SyncOpts) * avbind::Q2D(ost.Enc->time_base);
      else
        opts = ost.OutTime;
      const double ipts = static_cast<double>(ist.Dts);
      if (!FFileTable[ist.FileIndex].EofReached) {
        if (ipts < iptsMin) {
          iptsMin = ipts;
          if (FSettings.InputSync) fileIndex = ist.FileIndex;
        }
        if (opts < optsMin) {
          optsMin = opts;
          if (!FSettings.InputSync) fileIndex = ist.FileIndex;
        }
      }
      const int type = ost.Stream->codecpar->codec_type;
      if (type >= 0 && type < 4 && ost.Reported.FrameNumber >= FSettings.MaxFrames[type]) {
        fileIndex = -1;
        break;
      }
    }
    if (fileIndex < 0) break;
    if (static_cast<double>(FSettings.RecordingTime) / 1000000.0 <= optsMin) break;
    if (FSettings.LimitFileSize != 0 && FOutputs[0]->pb &&
        AVFormatLib.avio_seek(FOutputs[0]->pb, 0, SEEK_CUR) > FSettings.LimitFileSize)
      break;

    AVFormatContext *ic = FInputs[fileIndex];
    if (const int r = ReadInputPacket(fileIndex, pkt.get()); r < 0) {
      FFileTable[fileIndex].EofReached = 1;
      if (r != AVERROR_EOF) FFileTable[fileIndex].ReadError = true;
      if (FSettings.Shortest) break;
      continue;
    }
    NoteInputReached(fileIndex, *pkt);
    if (FSettings.DoPktDump && pkt->stream_index >= 0 && static_cast<unsigned>(pkt->stream_index) < ic->nb_streams)
      AVFormatLib.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, pkt.get(), FSettings.DoHexDump, ic->streams[pkt->stream_index]);

    const TInputFileInfo &info = FFileTable[fileIndex];
    if (pkt->stream_index >= 0 && pkt->stream_index < info.StreamCount) {
      const int istIndex = info.FirstStream + pkt->stream_index;
      TInputStream &ist = *FInputStreams[istIndex];
      if (!ist.Discard) {
        const AVRational tb = ist.Stream->time_base;
        const int64_t offset = AVUtilLib.av_rescale_q(FTsOffsets[fileIndex], kMicroseconds, tb);
        if (pkt->dts != NoPts) pkt->dts += offset;
        if (pkt->pts != NoPts) pkt->pts += offset;
        if (pkt->stream_index < MaxStreams) {
          const double scale = FJob.InputTsScales[fileIndex][pkt->stream_index];
          if (scale != 0) {
            if (pkt->pts != NoPts) pkt->pts = ScaleTs(pkt->pts, scale);
            if (pkt->dts != NoPts) pkt->dts = ScaleTs(pkt->dts, scale);
          }
        }
        if (pkt->dts != NoPts && ist.NextDts != NoPts && !FSettings.CopyTs) {
          const int64_t pktDts = ToMicro(pkt->dts, tb);
          const int64_t delta = pktDts - ist.NextDts;
          if (IsFileDiscontinuity(fileIndex, istIndex, pktDts, delta)) {
            FTsOffsets[ist.FileIndex] -= delta;
            if (FSettings.Verbose > 2)
              Log(1, Format("timestamp discontinuity %d, new offset= %d", {delta, FTsOffsets[ist.FileIndex]}));
            const int64_t shift = AVUtilLib.av_rescale_q(delta, kMicroseconds, tb);
            pkt->dts -= shift;
            if (pkt->pts != NoPts) pkt->pts -= shift;
          }
        }
        DispatchPacket(ist, istIndex, pkt.get());
      }
    }
    AVCodecLib.av_packet_unref(pkt.get());
    // With stage threads a few jobs may run ahead; without, every job is
    // written before the next packet is read.
    FPipeline->Write(kJobsAhead);
    const int64_t now = AVUtilLib.av_gettime();
    if (now - FLastReportTime > FParams.ProgressInterval) {
      FLastReportTime = now;
      PrintReport(false);
    }
  }
}

int engine::TRun::ReadInputPacket(int AFileIndex, AVPacket *APacket)
{
  if (FJob.FlvInputs[AFileIndex]) return FJob.FlvInputs[AFileIndex]->Read(APacket);
  return AVFormatLib.av_read_frame(FInputs[AFileIndex], APacket);
}

void engine::TRun::TranscodeEnd()
{
  for (std::size_t i = 0; i < FInputStreams.size(); ++i)
    if (FInputStreams[i]->DecodingNeeded) DispatchPacket(*FInputStreams[i], static_cast<int>(i), nullptr);
  FPipeline->Write(0);
  StopPipeline();

  int64_t written = 0;
  for (auto &ost : FOutputStreams) written += ost->PacketsWritten;
  std::vector<engine::TOutputFileFacts> files;
  for (int f = 0; f < FOutputCount; ++f) files.push_back(FJob.OutputSetups[f].File);
  // Only a run that was not stopped fails for having read nothing.
  engine::EndOutputFiles(FOutputs, files.data(), FOutputCount,
                         written > 0 ? engine::TOutputEnd::Written : engine::TOutputEnd::Unwritten);
  if (written == 0 && !FEvents.StopRequested())
    Fail(Format("%s: no audio or video data could be read", {FInputCount > 0 ? FInputs[0]->url : ""}));

  PrintReport(true);
  if (!FEvents.StopRequested()) CheckInputEnds();
  CloseOpenCodecs();
  FreeRunTables();
}

bool engine::TRun::UseStageThreads() const
{
  if (FParams.ThreadBudget < 2) return false;
  // Decisions the run's thread takes from what the output paths have done
  // so far (frame, time and size limits, the choice among several inputs,
  // a clock borrowed from another stream) would depend on how far the
  // stages have got: such runs keep every stage on the run's thread.
  if (FInputCount != 1 || FSettings.RecordingTime != INT64_MAX || FSettings.LimitFileSize != 0) return false;
  for (int32_t limit : FSettings.MaxFrames)
    if (limit != INT32_MAX) return false;
  // Hooks and the audio work buffers belong to the engine: one stage each.
  int video = 0, audio = 0;
  for (const auto &ist : FInputStreams) {
    if (!ist->DecodingNeeded) continue;
    if (ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) ++video;
    if (ist->Stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++audio;
  }
  if (video > 1 || audio > 1) return false;
  for (const auto &ost : FOutputStreams)
    if (ost->SyncIst != FInputStreams[ost->SourceIndex].get()) return false;
  return true;
}

void engine::TRun::StartPipeline()
{
  for (auto &ist : FInputStreams) {
    ist->EncodeFeeds.clear();
    ist->CopyFeeds.clear();
  }
  for (auto &ost : FOutputStreams)
    (ost->EncodingNeeded ? FInputStreams[ost->SourceIndex]->EncodeFeeds : FInputStreams[ost->SourceIndex]->CopyFeeds)
        .push_back(ost.get());
  FPredictors.clear();
  FPredictors.resize(FInputStreams.size());
  for (std::size_t i = 0; i < FInputStreams.size(); ++i) {
    TInputStream &ist = *FInputStreams[i];
    if (!MayPredictDrops(ist)) continue;
    const AVCodecParameters *par = ist.Stream->codecpar;
    const bool avc = par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && par->extradata[0] == 1;
    const int nalLength = avc ? (par->extradata[4] & 3) + 1 : 0;
    // Deep enough for the stream's reordering, with room to spare.
    const int depth = std::min(par->video_delay > 0 ? par->video_delay : 0, 16) + 4;
    FPredictors[i] = std::make_unique<engine::TDropPredictor>(avbind::Q2D(ist.EncodeFeeds[0]->Enc->time_base),
                                                              FSettings.StartTime, depth, avc, nalLength);
  }
  auto pipeline = std::make_unique<engine::TRunPipeline>([this](engine::TTicket &ATicket) { WriteTicket(ATicket); });
  if (UseStageThreads())
    for (auto &ist : FInputStreams) {
      const AVMediaType type = ist->Stream->codecpar->codec_type;
      if (ist->DecodingNeeded && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO))
        pipeline->AddStage(ist.get(), [priority = FParams.Priority] { TFFmpegThread::ApplyPriority(priority); });
    }
  std::lock_guard<std::mutex> lock(FPipelineLock);
  FPipeline = std::move(pipeline);
}

void engine::TRun::StopPipeline()
{
  std::unique_ptr<engine::TRunPipeline> pipeline;
  {
    std::lock_guard<std::mutex> lock(FPipelineLock);
    pipeline = std::move(FPipeline);
  }
  pipeline.reset();  // joins the stage threads outside the lock
  FPredictors.clear();
}

bool engine::TRun::OwnsThread(pid_t ATid) const
{
  std::lock_guard<std::mutex> lock(FPipelineLock);
  return FPipeline && FPipeline->OwnsThread(ATid);
}

namespace {

// Keeps the counters of AFeeds as the job left them, for the writer to
// report once the job's packets are written.
engine::TRunPipeline::TAfter KeepCounters(const std::vector<TOutputStream *> &AFeeds)
{
  return [&AFeeds](engine::TTicket &ATicket) {
    if (AFeeds.empty()) return;
    std::vector<std::pair<TOutputStream *, TOstStats>> counters;
    counters.reserve(AFeeds.size());
    for (TOutputStream *ost : AFeeds) counters.emplace_back(ost, ost->LiveStats());
    ATicket.Settle = [counters = std::move(counters)] {
      for (const auto &[ost, stats] : counters) ost->Reported = stats;
    };
  };
}

}  // namespace

void engine::TRun::WriteTicket(engine::TTicket &ATicket)
{
  for (auto &[sink, pkt] : ATicket.Packets) {
    auto *ost = static_cast<TOutputStream *>(sink);
    MuxPacket(FOutputs[ost->FileIndex], pkt, *ost);
  }
  if (ATicket.Settle) {
    ATicket.Settle();
    int64_t video = 0, audio = 0;
    int32_t dup = 0, drop = 0;
    for (const auto &ost : FOutputStreams) {
      const AVMediaType type = ost->Stream->codecpar->codec_type;
      if (type == AVMEDIA_TYPE_VIDEO) video += ost->Reported.Bytes;
      if (type == AVMEDIA_TYPE_AUDIO) audio += ost->Reported.Bytes;
      dup += ost->Reported.Dup;
      drop += ost->Reported.Drop;
    }
    FReport.VideoSize = video;
    FReport.AudioSize = audio;
    FReport.FramesDup = dup;
    FReport.FramesDrop = drop;
    FEvents.Counted(FReport);
  }
  if (ATicket.Result < 0 && ATicket.Key && FSettings.Verbose >= 0) {
    const auto *ist = static_cast<const TInputStream *>(ATicket.Key);
    Log(1, Format("Error while decoding stream #%d.%d", {ist->FileIndex, ist->Index}));
  }
  if (ATicket.Error) std::rethrow_exception(ATicket.Error);
}

void engine::TRun::CloseOpenCodecs()
{
  for (auto &ostp : FOutputStreams) {
    TOutputStream &ost = *ostp;
    if (ost.Path) {
      // A re-encoded stream's path owns its encoder.
      std::lock_guard<std::recursive_mutex> lock(CodecLock());
      ost.Path->CloseEncoder();
      ost.Enc = nullptr;
      ost.Opened = false;
      continue;
    }
    auto &owner = FJob.OutputSetups[ost.FileIndex].Streams[ost.Index].Enc;
    // A pass-2 log read before a failed open is ours to free as well.
    if (owner) AVUtilLib.av_freep(&owner->stats_in);
    if (!ost.Opened) continue;
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    owner.reset();
    ost.Enc = nullptr;
    ost.Opened = false;
  }
  for (auto &istp : FInputStreams) {
    TInputStream &ist = *istp;
    if (!ist.Opened) continue;
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    ist.DecOwner.reset();
    ist.Dec = nullptr;
    ist.Opened = false;
  }
}

void engine::TRun::FreeRunTables()
{
  // Each output path's record frees its own resources.
  FOutputStreams.clear();
  FPicturePrep.reset();
  FInputStreams.clear();
  FFileTable.clear();
}

int64_t engine::TRun::DiscontinuityThreshold() const
{
  return static_cast<int64_t>(static_cast<double>(FSettings.DtsDeltaThreshold) * 1000000.0);
}

bool engine::TRun::IsFileDiscontinuity(int AFileIndex, int AIstIndex, int64_t ADts, int64_t ADelta) const
{
  // A jump seen in one stream is a discontinuity of the file only when the
  // file's other streams disagree with the packet too. A stream that merely
  // resumes after a hole (the camera stopped, the sound went on) lands where
  // the others already are, and one whose timestamps wobble or step back a
  // little stays among them; moving the whole file for either would put
  // every stream out of step.
  const TInputStream &ist = *FInputStreams[AIstIndex];
  const TInputFileInfo &info = FFileTable[AFileIndex];
  const int64_t threshold = DiscontinuityThreshold();
  const bool far = std::llabs(ADelta) > threshold;
  // Going back, the unit is the stream's own packet: a packet that lands
  // within one packet of where the stream was is a reordering, not a jump.
  const bool back = ADts + std::max<int64_t>(ist.LastDuration, 1) < ist.Dts;
  if (!far && !back) return false;
  for (int k = 0; k < info.StreamCount; ++k) {
    const int j = info.FirstStream + k;
    if (j == AIstIndex) continue;
    const TInputStream &other = *FInputStreams[j];
    if (other.Discard || other.NextDts == NoPts) continue;
    if (far ? std::llabs(ADts - other.NextDts) <= threshold
            : ADts + std::max<int64_t>(other.LastDuration, 1) >= other.Dts)
      return false;
  }
  return true;
}

void engine::TRun::EmulateRate(TInputStream &AIst)
{
  if (!AIst.RateEmu) return;
  // The file's own time from its first packet, so a file that starts at a
  // large timestamp is not held back by it.
  const int64_t origin = FFileTable[AIst.FileIndex].FirstDts;
  if (origin == NoPts) return;
  const int64_t elapsed = AVUtilLib.av_gettime() - AIst.Start;
  const int64_t target = AIst.Dts - origin;
  if (target - elapsed > 50000) {
    // In short steps, so a stop request is not held up by a long wait.
    int64_t wait = target - elapsed;
    while (wait > 0 && !FEvents.StopRequested()) {
      const int64_t step = std::min<int64_t>(wait, 100000);
      AVUtilLib.av_usleep(static_cast<unsigned>(step));
      wait -= step;
    }
  }
  ++AIst.Frame;
}

int64_t engine::TRun::PacketDuration(const TInputStream &AIst, const AVPacket &APkt) const
{
  const AVRational tb = AIst.Stream->time_base;
  if (APkt.duration > 0) return ToMicro(APkt.duration, tb);
  const AVCodecParameters *par = AIst.Stream->codecpar;
  if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && par->frame_size > 0)
    return 1000000LL * par->frame_size / par->sample_rate;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational fr = AIst.Stream->avg_frame_rate.num ? AIst.Stream->avg_frame_rate : AIst.Stream->r_frame_rate;
    if (fr.num > 0 && fr.den > 0) return 1000000LL * fr.den / fr.num;
  }
  return 0;
}

void engine::TRun::DispatchPacket(TInputStream &AIst, int AIstIndex, const AVPacket *APkt)
{
  const AVRational tb = AIst.Stream->time_base;
  if (APkt) {
    // Decode clock: the packet's decoding timestamp, or the prediction from
    // the packets before it.
    if (AIst.NextDts == NoPts) AIst.NextDts = AIst.Dts;
    if (APkt->dts != NoPts) AIst.NextDts = ToMicro(APkt->dts, tb);
    AIst.Dts = AIst.NextDts;
    AIst.LastDuration = PacketDuration(AIst, *APkt);
    AIst.NextDts += AIst.LastDuration;
    int64_t &first = FFileTable[AIst.FileIndex].FirstDts;
    if (first == NoPts || AIst.Dts < first) first = AIst.Dts;
    EmulateRate(AIst);
    // Copies first, then the decoding job, as the packet's outputs are listed.
    if (!AIst.CopyFeeds.empty())
      FPipeline->RunNow(
          &AIst,
          [&] {
            CopyPacketToOutputs(AIst, AIstIndex, *APkt);
            return 0;
          },
          KeepCounters(AIst.CopyFeeds));
  }
  if (!AIst.DecodingNeeded) return;
  std::shared_ptr<AVPacket> ref;
  if (APkt) {
    ref.reset(AVCodecLib.av_packet_alloc(), [](AVPacket *p) { AVCodecLib.av_packet_free(&p); });
    if (!ref || AVCodecLib.av_packet_ref(ref.get(), APkt) < 0) Fail("av_mallocz fail");
  }
  engine::TDropPredictor *predictor =
      static_cast<std::size_t>(AIstIndex) < FPredictors.size() ? FPredictors[AIstIndex].get() : nullptr;
  if (predictor) {
    std::deque<engine::TDropPredictor::TRelease> released;
    if (predictor->Active() && AIst.PredictionBroken) predictor->TurnOff(released);
    if (APkt)
      predictor->Push(ref, APkt->pts != NoPts ? ToMicro(APkt->pts, tb) : NoPts, PacketDuration(AIst, *APkt), released);
    else
      predictor->Drain(released);
    for (auto &r : released) SubmitPicture(AIst, AIstIndex, std::move(r.Packet), r.Skip, r.Pts, r.Duration);
    if (APkt) return;
  }
  SubmitPicture(AIst, AIstIndex, std::move(ref), false, NoPts, 0);
}

void engine::TRun::SubmitPicture(TInputStream &AIst, int AIstIndex, std::shared_ptr<AVPacket> APacket, bool ASkip,
                                  int64_t APts, int64_t ADuration)
{
  if (!ASkip) {
    FPipeline->Submit(
        &AIst, [this, &AIst, AIstIndex, APacket] { return DecodePacket(AIst, AIstIndex, APacket.get()); },
        KeepCounters(AIst.EncodeFeeds));
    return;
  }
  // A picture the sync would drop, which no other picture needs: the clock
  // and the drop count move as if it had been decoded and dropped.
  ++FReport.PicturesSkipped;
  FEvents.Counted(FReport);
  FPipeline->Submit(&AIst, [this, &AIst, APts, ADuration] {
    AIst.Pts = APts;
    AIst.NextPts = APts + ADuration;
    if (AIst.EndPts == NoPts || AIst.EndPts < APts + ADuration) AIst.EndPts = APts + ADuration;
    for (TOutputStream *ost : AIst.EncodeFeeds) {
      ++ost->Drop;
      if (FSettings.Verbose > 2 && FEvents.Listening()) Log(1, "*** drop!");
    }
    return 0;
  }, KeepCounters(AIst.EncodeFeeds));
}

bool engine::TRun::MayPredictDrops(const TInputStream &AIst) const
{
  // Only where a dropped picture would leave no trace but the count: one
  // re-encoded video output following this stream's clock with frame
  // dropping on, nothing that looks at every picture (hooks, deinterlacing),
  // no start cut or frame limit.
  if (!FParams.PredictDrops || !AIst.DecodingNeeded || AIst.Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return false;
  if (AIst.EncodeFeeds.size() != 1) return false;
  const TOutputStream &ost = *AIst.EncodeFeeds[0];
  if (!ost.Enc || ost.Enc->codec_type != AVMEDIA_TYPE_VIDEO || ost.SyncIst != &AIst) return false;
  if (!engine::VideoSyncApplies(FSettings, *ost.Enc) || FSettings.VideoSyncMethod == 2) return false;
  if (FEvents.CustomHookSet() || FEvents.FrameHooksLoaded() || FSettings.DoDeinterlace || FSettings.StartTime != 0) return false;
  return FSettings.MaxFrames[AVMEDIA_TYPE_VIDEO] == INT32_MAX;
}

int engine::TRun::DecodePacket(TInputStream &AIst, int AIstIndex, const AVPacket *APkt)
{
  const AVRational tb = AIst.Stream->time_base;
  if (APkt && APkt->dts != NoPts) AIst.JobDts = ToMicro(APkt->dts, tb);
  AVCodecContext *dec = AIst.Dec;
  if (!dec) return -1;
  if (dec->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    if (!APkt) return 0;
    AVSubtitle sub{};
    int got = 0;
    if (AVCodecLib.avcodec_decode_subtitle2(dec, &sub, &got, const_cast<AVPacket *>(APkt)) < 0) return -1;
    if (!got) return 0;
    const int64_t pts = APkt->pts != NoPts ? APkt->pts : NoPts;
    if (pts != NoPts) {
      AIst.Pts = ToMicro(pts, tb);
      AIst.NextPts = AIst.Pts;
    }
    try {
      if (FSettings.StartTime == 0 || AIst.Pts >= FSettings.StartTime)
        for (auto &ost : FOutputStreams)
          if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded && ost->Path && ost->Path->Subtitle())
            ost->Path->Subtitle()->Take(AIst, sub, pts);
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
  int frames = 0;
  for (;;) {
    r = AVCodecLib.avcodec_receive_frame(dec, frame.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) return -1;
    if (APkt && ++frames == 2 && FSettings.Verbose > 0)
      Log(0, Format("Multiple frames in a packet from stream %d", {APkt->stream_index}));
    HandleDecodedFrame(AIst, AIstIndex, *frame);
    AVUtilLib.av_frame_unref(frame.get());
  }
  if (!APkt) FlushEncoders(AIst, AIstIndex);
  return 0;
}

void engine::TRun::CopyPacketToOutputs(TInputStream &AIst, int AIstIndex, const AVPacket &APkt)
{
  if (FSettings.StartTime != 0 && AIst.Dts < FSettings.StartTime) return;
  for (auto &ost : FOutputStreams)
    if (ost->SourceIndex == AIstIndex && !ost->EncodingNeeded) StreamCopyPacket(AIst, *ost, APkt);
}

void engine::TRun::HandleDecodedFrame(TInputStream &AIst, int AIstIndex, AVFrame &AFrame)
{
  const AVRational tb = AIst.Stream->time_base;
  AVCodecContext *dec = AIst.Dec;
  // Presentation clock: the picture's or block's own timestamp, else the
  // prediction from the data before it.
  const int64_t ts = AFrame.best_effort_timestamp != NoPts ? AFrame.best_effort_timestamp : AFrame.pts;
  if (ts != NoPts)
    AIst.Pts = ToMicro(ts, tb);
  else if (AIst.NextPts != NoPts)
    AIst.Pts = AIst.NextPts;
  else
    AIst.Pts = AIst.JobDts;
  if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
    const int rate = AFrame.sample_rate > 0 ? AFrame.sample_rate : dec->sample_rate;
    if (rate > 0) AIst.NextPts = AIst.Pts + 1000000LL * AFrame.nb_samples / rate;
    const int size = engine::DecodedAudioToS16(AIst, AFrame);
    if (size <= 0) return;
    if (FSettings.AudioVolume != 256) {
      auto *s = reinterpret_cast<int16_t *>(AIst.Samples.data());
      for (int i = 0; i < size / 2; ++i) {
        const int v = (s[i] * FSettings.AudioVolume + 128) >> 8;
        s[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
      }
    }
    if (FSettings.StartTime == 0 || AIst.Pts >= FSettings.StartTime)
      for (auto &ost : FOutputStreams)
        if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded && ost->Path && ost->Path->Audio())
          ost->Path->Audio()->Take(AIst, AIst.Samples.data(), size);
    return;
  }
  // Video.
  int64_t duration = AFrame.pkt_duration > 0 ? ToMicro(AFrame.pkt_duration, tb) : 0;
  if (duration <= 0) {
    const AVRational fr = AIst.Stream->avg_frame_rate.num ? AIst.Stream->avg_frame_rate : AIst.Stream->r_frame_rate;
    if (fr.num > 0 && fr.den > 0) duration = 1000000LL * fr.den / fr.num;
  }
  AIst.NextPts = AIst.Pts + duration;
  if (AIst.EndPts == NoPts || AIst.EndPts < AIst.NextPts) AIst.EndPts = AIst.NextPts;
  // The drop predictor foresees pictures by their packets' presentation
  // times, in rising order; a stream that leaves that stops it.
  if (AFrame.pts == NoPts || ts != AFrame.pts || (AIst.LastDecodedPts != NoPts && AFrame.pts <= AIst.LastDecodedPts))
    AIst.PredictionBroken = true;
  AIst.LastDecodedPts = AFrame.pts;
  if (FPicturePrep) FPicturePrep->Process(AIst.Pts, AFrame);
  if (FSettings.StartTime == 0 || AIst.Pts >= FSettings.StartTime)
    for (auto &ost : FOutputStreams)
      if (ost->SourceIndex == AIstIndex && ost->EncodingNeeded && ost->Path && ost->Path->Video())
        ost->Path->Video()->Take(AIst, AFrame);
}

void engine::TRun::FlushEncoders(TInputStream &AIst, int AIstIndex)
{
  for (auto &ostp : FOutputStreams) {
    TOutputStream &ost = *ostp;
    if (ost.SourceIndex != AIstIndex || !ost.EncodingNeeded || !ost.Enc || !ost.Path) continue;
    ost.Path->Finish(AIst);
  }
}

void engine::TRun::StreamCopyPacket(TInputStream &AIst, TOutputStream &AOst, const AVPacket &APkt)
{
  if (AOst.FrameNumber == 0 && !(APkt.flags & AV_PKT_FLAG_KEY)) return;
  avbind::TPacketPtr opkt(AVCodecLib.av_packet_alloc());
  if (!opkt || AVCodecLib.av_packet_ref(opkt.get(), &APkt) < 0) Fail("av_mallocz fail");
  const AVMediaType type = AIst.Stream->codecpar->codec_type;
  AOst.Bytes += APkt.size;
  if (type == AVMEDIA_TYPE_VIDEO) ++AOst.SyncOpts;
  const AVRational itb = AIst.Stream->time_base;
  const AVRational otb = AOst.Stream->time_base;
  opkt->pts = APkt.pts != NoPts ? AVUtilLib.av_rescale_q(APkt.pts, itb, otb) : NoPts;
  opkt->dts = APkt.dts != NoPts ? AVUtilLib.av_rescale_q(APkt.dts, itb, otb)
                                : AVUtilLib.av_rescale_q(AIst.Dts, kMicroseconds, otb);
  opkt->duration = AVUtilLib.av_rescale_q(APkt.duration, itb, otb);
  opkt->flags = APkt.flags;
  WritePacket(FOutputs[AOst.FileIndex], opkt.get(), AOst);
  ++AOst.FrameNumber;
}
