// Opening input files, and the codec helpers the option and output code
// share: codec lookup by name, copying remembered generic options onto a
// context, the open-error messages and the scan of input stream kinds.
#include <algorithm>
#include <cctype>
#include <climits>

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
  for (const std::string &name : OptNames) {
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

bool TCustomFFmpeg::OpenInputFile(const std::string &AFileName)
{
  AVFormatContext *ic = nullptr;
  bool opened = false;  // ic came from avformat_open_input and needs closing
  std::unique_ptr<flv::TFlvSource> flvSource;  // owns ic when the input is FLV
  avbind::TDict params;

  // Per-file settings are spent whether or not the file opens.
  auto resetPerFile = [this] {
    InputFormat = nullptr;
    OutputFormat = nullptr;
    VideoChannel = 0;
    RateEmu = 0;
    VideoCodecName.clear();
    AudioCodecName.clear();
    SubtitleCodecName.clear();
  };
  auto releaseContext = [&] {
    if (!ic) return;
    if (flvSource)
      flvSource.reset();
    else if (opened)
      AVFormatLib.avformat_close_input(&ic);
    else
      AVFormatLib.avformat_free_context(ic);
    ic = nullptr;
  };
  auto fail = [&](const std::string &AMsg) {
    LastOptionError = AMsg;
    releaseContext();
    resetPerFile();
    return false;
  };

  if (InputFileCount >= MaxFiles)
    return fail(Format("Too many input files: at most %d can be opened", {MaxFiles}));

  try {
    ic = AVFormatLib.avformat_alloc_context();
    if (!ic) return fail(InputOpenErrorText(AFileName, AVERROR(ENOMEM)));

    BuildInputParameters(*this, params.Addr());
    KeepKnownOptions(InputFormat, params.Addr());

    AVCodecID videoId, audioId, subtitleId;
    if (!FindCodec(VideoCodecName, AVMEDIA_TYPE_VIDEO, false, videoId)) return fail(LastOptionError);
    if (!FindCodec(AudioCodecName, AVMEDIA_TYPE_AUDIO, false, audioId)) return fail(LastOptionError);
    if (!FindCodec(SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, subtitleId)) return fail(LastOptionError);
    if (PgmyuvHack) videoId = AV_CODEC_ID_PGMYUV;

    ApplyGenericOptions(ic, FormatOpts, AV_OPT_FLAG_DECODING_PARAM);

    // A decoder forced by name wins over the demuxer's choice for its kind.
    auto forceDecoders = [&](AVFormatContext *AContext) {
      std::string unused;
      AContext->video_codec_id = videoId;
      AContext->audio_codec_id = audioId;
      AContext->subtitle_codec_id = subtitleId;
      if (!VideoCodecName.empty()) AContext->video_codec = engine::FindCodecByName(VideoCodecName, false, unused);
      if (!AudioCodecName.empty()) AContext->audio_codec = engine::FindCodecByName(AudioCodecName, false, unused);
      if (!SubtitleCodecName.empty())
        AContext->subtitle_codec = engine::FindCodecByName(SubtitleCodecName, false, unused);
    };
    forceDecoders(ic);

    const bool forcedFlv = InputFormat && std::string(InputFormat->name) == "flv";
    if ((!InputFormat || forcedFlv) && flv::TFlvSource::Claims(AFileName, forcedFlv)) {
      // Our reader: the context the library allocated above is not needed.
      AVFormatLib.avformat_free_context(ic);
      ic = nullptr;
      std::string error;
      flvSource = flv::TFlvSource::Open(
          AFileName, [this](int ALevel, const std::string &AText) { Log(ALevel, AText); }, error);
      if (!flvSource) return fail(error);
      ic = flvSource->Context();
      forceDecoders(ic);
    } else {
      // On failure the library frees the pre-allocated context itself.
      const int err = AVFormatLib.avformat_open_input(&ic, AFileName.c_str(), InputFormat, params.Addr());
      if (err < 0) {
        ic = nullptr;
        return fail(InputOpenErrorText(AFileName, err));
      }
      opened = true;
    }

    if (ProgramId != 0)
      for (unsigned i = 0; i < ic->nb_programs; ++i)
        if (ic->programs[i]->id != ProgramId) ic->programs[i]->discard = AVDISCARD_ALL;

    int probe = 0;
    if (!flvSource) {
      std::lock_guard<std::recursive_mutex> lock(CodecLock());
      probe = AVFormatLib.avformat_find_stream_info(ic, nullptr);
    }
    if (probe < 0 && Verbose >= 0) return fail(Format("%s: could not find codec parameters", {AFileName}));

    int64_t timestamp = StartTime;
    if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
    if (StartTime != 0) {
      // A failed seek reads from where it stands.
      if (flvSource)
        flvSource->Seek(timestamp);
      else
        AVFormatLib.av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
      StartTime = 0;
    }

    // Decoder contexts: built aside, so a failure part-way leaves the table untouched.
    std::vector<avbind::TCodecCtxPtr> decoders;
    decoders.reserve(ic->nb_streams);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      AVStream *st = ic->streams[i];
      const AVCodecParameters *par = st->codecpar;
      const AVCodec *codec = nullptr;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO && ic->video_codec) codec = ic->video_codec;
      else if (par->codec_type == AVMEDIA_TYPE_AUDIO && ic->audio_codec) codec = ic->audio_codec;
      else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE && ic->subtitle_codec) codec = ic->subtitle_codec;
      else codec = AVCodecLib.avcodec_find_decoder(par->codec_id);
      avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(codec));
      if (!dec) return fail(InputOpenErrorText(AFileName, AVERROR(ENOMEM)));
      if (AVCodecLib.avcodec_parameters_to_context(dec.get(), par) < 0)
        return fail(InputOpenErrorText(AFileName, AVERROR(ENOMEM)));
      dec->pkt_timebase = st->time_base;
      dec->thread_count = ThreadCount;

      switch (dec->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
          ApplyGenericOptions(dec.get(), CodecOpts[AVMEDIA_TYPE_AUDIO],
                              AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
          // A stream that does not tell its layout or rate keeps the job's
          // values: a zero would only make the output encoder refuse later.
          if (dec->ch_layout.nb_channels > 0) AudioChannels = dec->ch_layout.nb_channels;
          if (dec->sample_rate > 0) AudioSampleRate = dec->sample_rate;
          if (AudioDisable) st->discard = AVDISCARD_ALL;
          break;
        case AVMEDIA_TYPE_VIDEO: {
          ApplyGenericOptions(dec.get(), CodecOpts[AVMEDIA_TYPE_VIDEO],
                              AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
          FrameHeight = dec->height;
          FrameWidth = dec->width;
          FrameAspectRatio = dec->sample_aspect_ratio.den
                                 ? static_cast<float>(av_q2d(dec->sample_aspect_ratio))
                                 : 0.0f;
          if (static_cast<int64_t>(dec->width) * dec->height != 0) {
            FrameAspectRatio = FrameAspectRatio * dec->width / dec->height;
            if (FrameAspectRatio == 0) FrameAspectRatio = static_cast<float>(dec->width) / dec->height;
          } else if (FrameAspectRatio == 0) {
            FrameAspectRatio = 4.0f / 3.0f;
          }
          if (dec->pix_fmt == AV_PIX_FMT_NONE && ExtensionStartsWith(AFileName, ".rmvb"))
            dec->pix_fmt = AV_PIX_FMT_YUV420P;
          FramePixFmt = dec->pix_fmt;
          FrameRate = st->r_frame_rate;
          if (VideoDisable)
            st->discard = AVDISCARD_ALL;
          else if (VideoDiscard != 0)
            st->discard = static_cast<AVDiscard>(VideoDiscard);
          break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
          if (SubtitleDisable) st->discard = AVDISCARD_ALL;
          break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN: break;
        default:
          releaseContext();
          resetPerFile();
          Fail("invalid codec_type");
      }
      decoders.push_back(std::move(dec));
    }

    if (ic->duration != AV_NOPTS_VALUE) {
      // The total is held in milliseconds in 32 bits; clamp rather than wrap.
      const int64_t ms = std::min<int64_t>(ic->duration / 1000, INT32_MAX);
      if (ms > TotalDuration) TotalDuration = static_cast<int32_t>(ms);
    }

    const int index = InputFileCount;
    InputFiles[index] = ic;
    FlvInputs[index] = std::move(flvSource);
    InputSetups[index].Dec = std::move(decoders);
    InputSetups[index].RateEmu = RateEmu;
    InputTsOffsets[index] = CopyTs ? InputTsOffset : InputTsOffset - timestamp;
    ic = nullptr;  // the table owns it now
    opened = false;
    if (Verbose >= 0) AVFormatLib.av_dump_format(InputFiles[index], index, AFileName.c_str(), 0);
    InputFileCount = index + 1;
    resetPerFile();
    return true;
  } catch (...) {
    releaseContext();
    resetPerFile();
    throw;
  }
}
