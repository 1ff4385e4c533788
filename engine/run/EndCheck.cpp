// How far each input's reading got, and what a finished run must say about
// inputs that gave less than they promised: the length known at the start
// not reached, a read error, data the reader dropped.
#include <algorithm>

#include "Run.h"
#include "SysFormat.h"

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Short of the known length by more than this is an early end; less is the
// rounding of the last packet's length, or a stream's last frames dropped.
constexpr int64_t kEarlyEndFloorUs = 1000000;
constexpr double kEarlyEndShare = 0.02;

// "0:08", "1:00", "1:02:03": whole seconds, as people read a player's clock.
std::string ClockText(int64_t AMicroseconds)
{
  const int64_t s = std::max<int64_t>(AMicroseconds, 0) / 1000000;
  if (s >= 3600) return avbind::Format("%d:%.2d:%.2d", {s / 3600, s / 60 % 60, s % 60});
  return avbind::Format("%d:%.2d", {s / 60, s % 60});
}

}  // namespace

void engine::TRun::NoteInputReached(int AFileIndex, const AVPacket &APkt)
{
  const AVFormatContext *ic = FInputs[AFileIndex];
  if (APkt.stream_index < 0 || static_cast<unsigned>(APkt.stream_index) >= ic->nb_streams) return;
  const int64_t ts = APkt.pts != NoPts ? APkt.pts : APkt.dts;
  if (ts == NoPts) return;
  const AVRational tb = ic->streams[APkt.stream_index]->time_base;
  const int64_t end = AVUtilLib.av_rescale_q(ts + std::max<int64_t>(APkt.duration, 0), tb, kMicroseconds);
  int64_t &reached = FFileTable[AFileIndex].ReachedUs;
  if (reached == NoPts || end > reached) reached = end;
}

void engine::TRun::CheckInputEnds()
{
  // A limit ends the reading on purpose; the early-end rule does not apply.
  bool limited = FSettings.RecordingTime != INT64_MAX || FSettings.LimitFileSize != 0 || FSettings.Shortest;
  for (int32_t limit : FSettings.MaxFrames) limited = limited || limit != INT32_MAX;
  auto warn = [this](const std::string &ACode, const std::string &AText) {
    FEvents.Warn(ACode, AText);
    Log(1, "Warning: " + AText);
  };
  for (int f = 0; f < FInputCount && f < static_cast<int>(FFileTable.size()); ++f) {
    const AVFormatContext *ic = FInputs[f];
    const TInputFileInfo &info = FFileTable[f];
    const flv::TFlvSource *flvSource = FJob.FlvInputs[f].get();
    const int64_t start = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    const int64_t reached = info.ReachedUs != NoPts ? info.ReachedUs - start : 0;
    // The length counts only when it was read from the data itself: our
    // reader's scan of a file, or a demuxer's last timestamps. onMetaData's
    // (a pipe) and a bit-rate guess are too often wrong to accuse the input.
    const bool lengthKnown = ic->duration != AV_NOPTS_VALUE && ic->duration > 0 &&
                             (flvSource ? flvSource->Reader().DurationMs() >= 0
                                        : ic->duration_estimation_method == AVFMT_DURATION_FROM_PTS);
    const std::string of = lengthKnown ? " of " + ClockText(ic->duration) : std::string();
    const std::string input = FInputCount > 1 ? avbind::Format("input #%d ", {f}) : std::string();
    bool early = false;
    if (info.ReadError) {
      warn("input-read-error", "a read error ended the " + input + "input at " + ClockText(reached) + of);
      early = true;
    } else if (!limited && info.EofReached && lengthKnown &&
               ic->duration - reached > std::max<int64_t>(kEarlyEndFloorUs, static_cast<int64_t>(
                                                                               ic->duration * kEarlyEndShare))) {
      warn("input-ended-early", "the " + input + "input ended early at " + ClockText(reached) + of);
      early = true;
    }
    if (!flvSource) continue;
    const flv::TReader &reader = flvSource->Reader();
    // A file cut before the run (a copy that did not finish, a recorder that
    // died) ends inside a tag; its length is the part that is there, so only
    // the cut tag tells. Where onMetaData promised more, it says how much.
    for (const flv::TFinding &finding : reader.Findings()) {
      // A read error was told above, with where it struck.
      if (finding.Action != flv::TFindingAction::Lost || (finding.Code == "read-error" && info.ReadError)) continue;
      if (finding.Code != "truncated-tail") {
        warn(finding.Code, finding.Text);
      } else if (!early) {
        const double promised = reader.Meta().Duration * 1e6;
        const bool more = lengthKnown && promised > static_cast<double>(ic->duration) + kEarlyEndFloorUs;
        warn(finding.Code, "the " + input + "input ended early at " + ClockText(reached) +
                               (more ? " of " + ClockText(static_cast<int64_t>(promised)) : std::string()));
      }
    }
  }
}
