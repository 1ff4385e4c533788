// Opening input files, and the codec helpers the option and output code
// share: codec lookup by name, copying remembered generic options onto a
// context, the open-error messages and the scan of input stream kinds.
#include <algorithm>
#include <cctype>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>

#include "CodecAliases.h"
#include "FFmpeg.h"
#include "LibLoader.h"
#include "OpenErrors.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

// Demuxer options carrying what the job settings say about raw input. Only
// meaningful to raw and image demuxers; others leave them unconsumed.
void BuildInputParameters(const TFFmpegSettings &S, AVDictionary **ADict)
{
  if (S.AudioSampleRate > 0)
    AVUtilLib.av_dict_set(ADict, "sample_rate", std::to_string(S.AudioSampleRate).c_str(), 0);
  if (S.AudioChannels > 0)
    AVUtilLib.av_dict_set(ADict, "ch_layout", (std::to_string(S.AudioChannels) + "c").c_str(), 0);
  if (S.FrameRate.num > 0 && S.FrameRate.den > 0)
    AVUtilLib.av_dict_set(ADict, "framerate",
                          (std::to_string(S.FrameRate.num) + "/" + std::to_string(S.FrameRate.den)).c_str(), 0);
  const int w = S.FrameWidth + S.FramePadLeft + S.FramePadRight;
  const int h = S.FrameHeight + S.FramePadTop + S.FramePadBottom;
  if (w > 0 && h > 0)
    AVUtilLib.av_dict_set(ADict, "video_size", (std::to_string(w) + "x" + std::to_string(h)).c_str(), 0);
  if (S.FramePixFmt >= 0)
    if (const char *name = AVUtilLib.av_get_pix_fmt_name(static_cast<AVPixelFormat>(S.FramePixFmt)))
      AVUtilLib.av_dict_set(ADict, "pixel_format", name, 0);
  if (S.VideoChannel != 0)
    AVUtilLib.av_dict_set(ADict, "channel", std::to_string(S.VideoChannel).c_str(), 0);
  if (!S.VideoStandard.empty()) AVUtilLib.av_dict_set(ADict, "standard", S.VideoStandard.c_str(), 0);
  if (S.LoopInput) AVUtilLib.av_dict_set(ADict, "loop", "1", 0);
}

// A forced demuxer gets only the options its private class knows, so a
// typo-free set of keys reaches it and nothing is reported as unused.
void KeepKnownOptions(const AVInputFormat *AFormat, AVDictionary **ADict)
{
  if (!AFormat) return;
  AVDictionary *kept = nullptr;
  const AVDictionaryEntry *e = nullptr;
  while ((e = AVUtilLib.av_dict_get(*ADict, "", e, AV_DICT_IGNORE_SUFFIX))) {
    const void *cls = &AFormat->priv_class;
    if (AFormat->priv_class &&
        AVUtilLib.av_opt_find(const_cast<void *>(cls), e->key, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      AVUtilLib.av_dict_set(&kept, e->key, e->value, 0);
  }
  AVUtilLib.av_dict_free(ADict);
  *ADict = kept;
}

bool ExtensionStartsWith(const std::string &AFileName, const char *APrefix)
{
  const std::size_t slash = AFileName.find_last_of('/');
  const std::size_t dot = AFileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = AFileName.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext.rfind(APrefix, 0) == 0;
}

}  // namespace

bool TCustomFFmpeg::FindCodec(const std::string &AName, AVMediaType AKind, bool AEncoder, AVCodecID &AId)
{
  AId = AV_CODEC_ID_NONE;
  if (AName.empty()) return true;
  const char *what = AEncoder ? "encoder" : "decoder";
  std::string used;
  const AVCodec *codec = engine::FindCodecByName(AName, AEncoder, used);
  if (!codec) {
    LastOptionError = Format("Unknown %s '%s'", {what, AName});
    return false;
  }
  if (codec->type != AKind) {
    LastOptionError = Format("Invalid %s type '%s'", {what, AName});
    return false;
  }
  if (used != AName) Log(1, Format("The %s '%s' is not available; using '%s' instead", {what, AName, used}));
  AId = codec->id;
  return true;
}

void TCustomFFmpeg::ApplyGenericOptions(void *AContext, void *ADefaults, int AFlags)
{
  if (!AContext || !ADefaults) return;
  for (const std::string &name : FJob.OptNames) {
    const AVOption *opt = AVUtilLib.av_opt_find(ADefaults, name.c_str(), nullptr, 0, 0);
    if (!opt || (opt->flags & AFlags) != AFlags) continue;
    uint8_t *value = nullptr;
    if (AVUtilLib.av_opt_get(ADefaults, name.c_str(), 0, &value) >= 0 && value)
      AVUtilLib.av_opt_set(AContext, name.c_str(), reinterpret_cast<const char *>(value), 0);
    AVUtilLib.av_free(value);
  }
}

// The media probe reports open failures in the same words.
std::string TCustomFFmpeg::InputOpenErrorText(const std::string &AFileName, int AErrorCode)
{
  return avbind::InputOpenErrorText(AFileName, AErrorCode);
}

void TCustomFFmpeg::CheckInputStreamKinds(bool &AHasVideo, bool &AHasAudio, bool &AHasSubtitle)
{
  AHasVideo = AHasAudio = AHasSubtitle = false;
  for (int i = 0; i < InputFileCount; ++i) {
    const AVFormatContext *ic = InputFiles[i];
    if (!ic) continue;
    for (unsigned j = 0; j < ic->nb_streams; ++j) {
      switch (ic->streams[j]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO: AHasVideo = true; break;
        case AVMEDIA_TYPE_AUDIO: AHasAudio = true; break;
        case AVMEDIA_TYPE_SUBTITLE: AHasSubtitle = true; break;
        case AVMEDIA_TYPE_UNKNOWN:
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT: break;
        default: Fail("invalid codec_type of input file");
      }
    }
  }
}

namespace {

using TLogFn = std::function<void(int ALevel, const std::string &AText)>;

// The demuxer context being opened. Released on every way out unless the
// file table took it: by our FLV reader when it owns the context, by the
// library's close once opened, by a plain free before that.
struct TOpeningInput {
  AVFormatContext *Ctx = nullptr;
  bool Opened = false;
  std::unique_ptr<flv::TFlvSource> Flv;

  TOpeningInput() = default;
  TOpeningInput(const TOpeningInput &) = delete;
  TOpeningInput &operator=(const TOpeningInput &) = delete;
  ~TOpeningInput()
  {
    if (!Ctx) return;
    if (Flv)
      Flv.reset();
    else if (Opened)
      AVFormatLib.avformat_close_input(&Ctx);
    else
      AVFormatLib.avformat_free_context(Ctx);
  }
};

// Per-file settings are spent whether or not the file opens.
void ResetPerFileSettings(TFFmpegSettings &S)
{
  S.InputFormat = nullptr;
  S.OutputFormat = nullptr;
  S.VideoChannel = 0;
  S.RateEmu = 0;
  S.VideoCodecName.clear();
  S.AudioCodecName.clear();
  S.SubtitleCodecName.clear();
}

// A decoder forced by name wins over the demuxer's choice for its kind.
void ForceDecoders(const TFFmpegSettings &S, AVFormatContext *AContext, AVCodecID AVideoId, AVCodecID AAudioId,
                   AVCodecID ASubtitleId)
{
  std::string unused;
  AContext->video_codec_id = AVideoId;
  AContext->audio_codec_id = AAudioId;
  AContext->subtitle_codec_id = ASubtitleId;
  if (!S.VideoCodecName.empty()) AContext->video_codec = engine::FindCodecByName(S.VideoCodecName, false, unused);
  if (!S.AudioCodecName.empty()) AContext->audio_codec = engine::FindCodecByName(S.AudioCodecName, false, unused);
  if (!S.SubtitleCodecName.empty())
    AContext->subtitle_codec = engine::FindCodecByName(S.SubtitleCodecName, false, unused);
}

// Opens AFileName's demuxer into AIn, by our FLV reader or the library's,
// with the forced format and decoders, and reads its stream parameters.
// False with AError set when the file cannot be opened.
bool OpenDemuxer(TCustomFFmpeg &E, const std::string &AFileName, const TLogFn &ALog, TOpeningInput &AIn,
                 std::string &AError)
{
  AIn.Ctx = AVFormatLib.avformat_alloc_context();
  if (!AIn.Ctx) {
    AError = TCustomFFmpeg::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
    return false;
  }
  avbind::TDict params;
  BuildInputParameters(E, params.Addr());
  KeepKnownOptions(E.InputFormat, params.Addr());

  AVCodecID videoId, audioId, subtitleId;
  if (!E.FindCodec(E.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, videoId) ||
      !E.FindCodec(E.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audioId) ||
      !E.FindCodec(E.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleId)) {
    AError = E.LastOptionError;
    return false;
  }
  if (E.PgmyuvHack) videoId = AV_CODEC_ID_PGMYUV;

  E.ApplyGenericOptions(AIn.Ctx, E.Job().FormatOpts, AV_OPT_FLAG_DECODING_PARAM);
  ForceDecoders(E, AIn.Ctx, videoId, audioId, subtitleId);

  const bool forcedFlv = E.InputFormat && std::string(E.InputFormat->name) == "flv";
  if ((!E.InputFormat || forcedFlv) && flv::TFlvSource::Claims(AFileName, forcedFlv)) {
    // Our reader: the context the library allocated above is not needed.
    AVFormatLib.avformat_free_context(AIn.Ctx);
    AIn.Ctx = nullptr;
    AIn.Flv = flv::TFlvSource::Open(AFileName, ALog, AError);
    if (!AIn.Flv) return false;
    AIn.Ctx = AIn.Flv->Context();
    ForceDecoders(E, AIn.Ctx, videoId, audioId, subtitleId);
  } else {
    // On failure the library frees the pre-allocated context itself.
    const int err = AVFormatLib.avformat_open_input(&AIn.Ctx, AFileName.c_str(), E.InputFormat, params.Addr());
    if (err < 0) {
      AIn.Ctx = nullptr;
      AError = TCustomFFmpeg::InputOpenErrorText(AFileName, err);
      return false;
    }
    AIn.Opened = true;
  }

  AVFormatContext *ic = AIn.Ctx;
  if (E.ProgramId != 0)
    for (unsigned i = 0; i < ic->nb_programs; ++i)
      if (ic->programs[i]->id != E.ProgramId) ic->programs[i]->discard = AVDISCARD_ALL;

  int probe = 0;
  if (!AIn.Flv) {
    std::lock_guard<std::recursive_mutex> lock(CodecLock());
    probe = AVFormatLib.avformat_find_stream_info(ic, nullptr);
  }
  if (probe < 0 && E.Verbose >= 0) {
    AError = Format("%s: could not find codec parameters", {AFileName});
    return false;
  }
  return true;
}

// An audio stream's layout and rate become the job's, for the output's encoder.
void TakeAudioStream(TCustomFFmpeg &E, AVCodecContext *ADec, AVStream *ASt)
{
  E.ApplyGenericOptions(ADec, E.Job().CodecOpts[AVMEDIA_TYPE_AUDIO], AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
  // A stream that does not tell its layout or rate keeps the job's values:
  // a zero would only make the output encoder refuse later.
  if (ADec->ch_layout.nb_channels > 0) E.AudioChannels = ADec->ch_layout.nb_channels;
  if (ADec->sample_rate > 0) E.AudioSampleRate = ADec->sample_rate;
  if (E.AudioDisable) ASt->discard = AVDISCARD_ALL;
}

// A video stream's geometry, display aspect, pixel format and rate become the job's.
void TakeVideoStream(TCustomFFmpeg &E, AVCodecContext *ADec, AVStream *ASt, const std::string &AFileName)
{
  E.ApplyGenericOptions(ADec, E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO], AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
  E.FrameHeight = ADec->height;
  E.FrameWidth = ADec->width;
  E.FrameAspectRatio =
      ADec->sample_aspect_ratio.den ? static_cast<float>(av_q2d(ADec->sample_aspect_ratio)) : 0.0f;
  if (static_cast<int64_t>(ADec->width) * ADec->height != 0) {
    E.FrameAspectRatio = E.FrameAspectRatio * ADec->width / ADec->height;
    if (E.FrameAspectRatio == 0) E.FrameAspectRatio = static_cast<float>(ADec->width) / ADec->height;
  } else if (E.FrameAspectRatio == 0) {
    E.FrameAspectRatio = 4.0f / 3.0f;
  }
  if (ADec->pix_fmt == AV_PIX_FMT_NONE && ExtensionStartsWith(AFileName, ".rmvb")) ADec->pix_fmt = AV_PIX_FMT_YUV420P;
  E.FramePixFmt = ADec->pix_fmt;
  E.FrameRate = ASt->r_frame_rate;
  if (E.VideoDisable)
    ASt->discard = AVDISCARD_ALL;
  else if (E.VideoDiscard != 0)
    ASt->discard = static_cast<AVDiscard>(E.VideoDiscard);
}

// One decoder context per stream of AIc, built aside so a failure part-way
// leaves the file table untouched; the streams' parameters go into the job.
// False with AError set when a context cannot be made; a stream of an
// impossible kind raises.
bool BuildDecoders(TCustomFFmpeg &E, AVFormatContext *AIc, const std::string &AFileName,
                   std::vector<avbind::TCodecCtxPtr> &ADecoders, std::string &AError)
{
  ADecoders.reserve(AIc->nb_streams);
  for (unsigned i = 0; i < AIc->nb_streams; ++i) {
    AVStream *st = AIc->streams[i];
    const AVCodecParameters *par = st->codecpar;
    const AVCodec *codec = nullptr;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && AIc->video_codec) codec = AIc->video_codec;
    else if (par->codec_type == AVMEDIA_TYPE_AUDIO && AIc->audio_codec) codec = AIc->audio_codec;
    else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE && AIc->subtitle_codec) codec = AIc->subtitle_codec;
    else codec = AVCodecLib.avcodec_find_decoder(par->codec_id);
    avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
    if (!dec || AVCodecLib.avcodec_parameters_to_context(dec.get(), par) < 0) {
      AError = TCustomFFmpeg::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
      return false;
    }
    dec->pkt_timebase = st->time_base;
    dec->thread_count = E.ThreadCount;

    switch (dec->codec_type) {
      case AVMEDIA_TYPE_AUDIO: TakeAudioStream(E, dec.get(), st); break;
      case AVMEDIA_TYPE_VIDEO: TakeVideoStream(E, dec.get(), st, AFileName); break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (E.SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_ATTACHMENT:
      case AVMEDIA_TYPE_UNKNOWN: break;
      default: throw FFMpegException("invalid codec_type");
    }
    ADecoders.push_back(std::move(dec));
  }
  return true;
}

// Where the input is read from: the start time asked for, moved by the
// file's own start. A failed seek reads from where it stands.
int64_t SeekToStart(TFFmpegSettings &S, TOpeningInput &AIn)
{
  int64_t timestamp = S.StartTime;
  if (AIn.Ctx->start_time != AV_NOPTS_VALUE) timestamp += AIn.Ctx->start_time;
  if (S.StartTime != 0) {
    if (AIn.Flv)
      AIn.Flv->Seek(timestamp);
    else
      AVFormatLib.av_seek_frame(AIn.Ctx, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    S.StartTime = 0;
  }
  return timestamp;
}

}  // namespace

bool TCustomFFmpeg::OpenInputFile(const std::string &AFileName)
{
  // Declared first so it runs last: the context is released before the
  // per-file settings are reset, on every way out.
  struct TSpentSettings {
    TFFmpegSettings &S;
    ~TSpentSettings() { ResetPerFileSettings(S); }
  } spent{*this};
  TOpeningInput input;

  if (InputFileCount >= MaxFiles) {
    LastOptionError = Format("Too many input files: at most %d can be opened", {MaxFiles});
    return false;
  }
  const TLogFn log = [this](int ALevel, const std::string &AText) { Log(ALevel, AText); };
  std::string error;
  std::vector<avbind::TCodecCtxPtr> decoders;
  if (!OpenDemuxer(*this, AFileName, log, input, error)) {
    LastOptionError = error;
    return false;
  }
  const int64_t timestamp = SeekToStart(*this, input);
  if (!BuildDecoders(*this, input.Ctx, AFileName, decoders, error)) {
    LastOptionError = error;
    return false;
  }

  if (input.Ctx->duration != AV_NOPTS_VALUE) {
    // The total is held in milliseconds in 32 bits; clamp rather than wrap.
    const int64_t ms = std::min<int64_t>(input.Ctx->duration / 1000, INT32_MAX);
    if (ms > TotalDuration) TotalDuration = static_cast<int32_t>(ms);
  }

  const int index = InputFileCount;
  InputFiles[index] = input.Ctx;
  input.Ctx = nullptr;  // the table owns it now
  FJob.FlvInputs[index] = std::move(input.Flv);
  FJob.InputSetups[index].Dec = std::move(decoders);
  FJob.InputSetups[index].RateEmu = RateEmu;
  FJob.InputTsOffsets[index] = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
  if (Verbose >= 0) AVFormatLib.av_dump_format(InputFiles[index], index, AFileName.c_str(), 0);
  InputFileCount = index + 1;
  return true;
}
