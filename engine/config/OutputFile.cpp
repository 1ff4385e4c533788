// Output files and their streams: container choice, one encoder context per
// stream filled from the pending job settings, file metadata, muxer options
// and opening the file for writing.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "CodecAliases.h"
#include "CodecThreads.h"
#include "FFmpeg.h"
#include "MediaDate.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

// One entry of a rate-control override text, parsed before anything is built.
struct TRcEntry {
  int Start, End, Q;
};

// Reads a signed decimal integer; false when there is none.
bool ReadInt(const char *&p, int &AValue)
{
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(p, &end, 10);
  if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  AValue = static_cast<int>(v);
  p = end;
  return true;
}

// "start,end,q/start,end,q/...": start and end must each be followed by one
// separator character; q ends its entry.
bool ParseRcOverride(const std::string &AText, std::vector<TRcEntry> &AEntries)
{
  const char *p = AText.c_str();
  while (*p) {
    TRcEntry e{};
    if (!ReadInt(p, e.Start) || !*p++) return false;
    if (!ReadInt(p, e.End) || !*p++) return false;
    if (!ReadInt(p, e.Q)) return false;
    AEntries.push_back(e);
    if (*p == '/') ++p;
    else if (*p) return false;
  }
  return true;
}

bool HasPrivateOption(const AVOutputFormat *AFormat, const char *AName, const AVOption **AOpt = nullptr)
{
  if (!AFormat || !AFormat->priv_class) return false;
  const void *cls = &AFormat->priv_class;
  const AVOption *o =
      AVUtilLib.av_opt_find(const_cast<void *>(cls), AName, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  if (AOpt) *AOpt = o;
  return o != nullptr;
}

uint16_t *CopyMatrix(const uint16_t *AMatrix)
{
  if (!AMatrix) return nullptr;
  auto *m = static_cast<uint16_t *>(AVUtilLib.av_malloc(64 * sizeof(uint16_t)));
  if (!m) throw FFMpegException("Could not alloc stream");
  std::copy(AMatrix, AMatrix + 64, m);
  return m;
}

// The local file a media name stands for: "file:" names one too; other
// protocols ("pipe:") have no file to compare, and stat simply fails on them.
bool StatMediaName(const std::string &AName, struct stat &AStat)
{
  const std::string path = AName.rfind("file:", 0) == 0 ? AName.substr(5) : AName;
  return !path.empty() && stat(path.c_str(), &AStat) == 0;
}

std::string IsoTime(int64_t ASeconds)
{
  const time_t t = static_cast<time_t>(ASeconds);
  struct tm tmv {};
  if (!gmtime_r(&t, &tmv)) return {};
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tmv);
  return buf;
}

}  // namespace

std::string TCustomFFmpeg::InputSameAs(const std::string &AFileName) const
{
  struct stat out {};
  if (!StatMediaName(AFileName, out)) return {};
  for (int i = 0; i < InputFileCount; ++i) {
    struct stat in {};
    if (InputFiles[i] && InputFiles[i]->url && StatMediaName(InputFiles[i]->url, in) && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino)
      return InputFiles[i]->url;
  }
  return {};
}

bool TCustomFFmpeg::OpenOutputFile(const std::string &AFileName)
{
  const int index = OutputFileCount;
  AVFormatContext *oc = nullptr;
  bool createdFile = false;

  // Withdraws the pending entry: its streams' encoders, its muxer options,
  // its context and, when we created it and nothing was written, the file.
  auto fail = [&](const std::string &AMsg) {
    LastOptionError = AMsg;
    if (index < MaxFiles) {
      for (auto &st : OutputSetups[index].Streams) st = TOutputStreamSetup{};
      OutputSetups[index].MuxOpts.Clear();
      OutputFiles[index] = nullptr;
    }
    if (oc) {
      if (oc->pb) AVFormatLib.avio_closep(&oc->pb);
      struct stat sb;
      if (createdFile && stat(AFileName.c_str(), &sb) == 0 && sb.st_size == 0) unlink(AFileName.c_str());
      AVFormatLib.avformat_free_context(oc);
      oc = nullptr;
    }
    OutputFormat = nullptr;
    InputFormat = nullptr;
    return false;
  };

  if (index >= MaxFiles) return fail(Format("Too many output files: at most %d can be created", {MaxFiles}));

  try {
    const AVOutputFormat *fmt = OutputFormat;
    if (!fmt) fmt = AVFormatLib.av_guess_format(nullptr, AFileName.c_str(), nullptr);
    if (!fmt) return fail(Format("Unable to find a suitable output format for '%s'", {AFileName}));
    OutputFormat = fmt;
    if (AVFormatLib.avformat_alloc_output_context2(&oc, fmt, nullptr, AFileName.c_str()) < 0 || !oc)
      return fail(InputOpenErrorText(AFileName, AVERROR(ENOMEM)));
    OutputFiles[index] = oc;  // pending: counted only once everything succeeded
    for (auto &st : OutputSetups[index].Streams) st = TOutputStreamSetup{};
    OutputSetups[index].MuxOpts.Clear();
    OutputSetups[index].HeaderWritten = false;
    OutputSetups[index].Identified = false;

    bool useVideo = VideoStreamCopy || fmt->video_codec != AV_CODEC_ID_NONE || !VideoCodecName.empty();
    bool useAudio = AudioStreamCopy || fmt->audio_codec != AV_CODEC_ID_NONE || !AudioCodecName.empty();
    // A format's default subtitle codec is used only when this build can
    // encode it; otherwise the stream would only fail the run later.
    bool useSubtitle = SubtitleStreamCopy || !SubtitleCodecName.empty() ||
                       (fmt->subtitle_codec != AV_CODEC_ID_NONE && AVCodecLib.avcodec_find_encoder(fmt->subtitle_codec));
    if (InputFileCount > 0) {
      bool hasVideo = false, hasAudio = false, hasSubtitle = false;
      try {
        CheckInputStreamKinds(hasVideo, hasAudio, hasSubtitle);
      } catch (const std::exception &e) {
        return fail(Format("check_audio_video_sub_inputs fail: %s", {e.what()}));
      }
      useVideo = useVideo && hasVideo;
      useAudio = useAudio && hasAudio;
      useSubtitle = useSubtitle && hasSubtitle;
    }

    const bool videoDisabled = VideoDisable, audioDisabled = AudioDisable, subtitleDisabled = SubtitleDisable;
    if (useVideo && !videoDisabled) {
      try {
        NewVideoStream(index);
      } catch (const std::exception &e) {
        return fail(Format("new_video_stream fail: %s", {e.what()}));
      }
    }
    if (useAudio && !audioDisabled) {
      try {
        NewAudioStream(index);
      } catch (const std::exception &e) {
        return fail(Format("new_audio_stream fail: %s", {e.what()}));
      }
    }
    if (useSubtitle && !subtitleDisabled) {
      try {
        NewSubtitleStream(index);
      } catch (const std::exception &e) {
        return fail(Format("new_subtitle_stream fail: %s", {e.what()}));
      }
    }

    auto setMeta = [&](const char *AKey, const std::string &AValue) {
      if (!AValue.empty()) AVUtilLib.av_dict_set(&oc->metadata, AKey, AValue.c_str(), 0);
    };
    // Without a date of its own the output keeps the one its input was made on.
    const int64_t made = RecTimestamp > 0 ? RecTimestamp : InputFileCount > 0 ? InputCreationTime(InputFiles[0]) : -1;
    if (made > 0) setMeta("creation_time", IsoTime(made));
    setMeta("title", Title);
    setMeta("artist", Author);
    setMeta("copyright", Copyright);
    setMeta("comment", Comment);
    setMeta("album", Album);
    if (Year > 0) setMeta("date", std::to_string(Year));
    if (Track > 0) setMeta("track", std::to_string(Track));
    setMeta("genre", Genre);

    // Image sequences need a frame number in the name. The image muxer no
    // longer flags this itself, so it is asked for by name as well, unless
    // the job asked it to keep rewriting one file.
    bool singleImage = false;
    for (const auto &[name, value] : PrivateOpts)
      if (name == "update" && value != "0") singleImage = true;
    const bool needNumber = (fmt->flags & AVFMT_NEEDNUMBER) || (std::string(fmt->name) == "image2" && !singleImage);
    if (needNumber && !AVFormatLib.av_filename_number_test(oc->url))
      return fail(InputOpenErrorText(oc->url, AVERROR(EDOM)));

    if (!(fmt->flags & AVFMT_NOFILE)) {
      // Opening for writing would truncate it: an input is never written over.
      const std::string input = InputSameAs(AFileName);
      if (!input.empty()) return fail(Format("Output file '%s' is the same as input '%s'", {AFileName, input}));
      struct stat sb;
      const bool existed = stat(AFileName.c_str(), &sb) == 0;
      if (AVFormatLib.avio_open2(&oc->pb, AFileName.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0)
        return fail(Format("Could not open '%s'", {AFileName}));
      createdFile = !existed;
      struct stat opened {};
      TOutputFileSetup &setup = OutputSetups[index];
      setup.Identified = StatMediaName(AFileName, opened) && S_ISREG(opened.st_mode);
      setup.Device = setup.Identified ? opened.st_dev : 0;
      setup.Inode = setup.Identified ? opened.st_ino : 0;
    }

    AVDictionary **mux = OutputSetups[index].MuxOpts.Addr();
    if (HasPrivateOption(fmt, "preload"))
      AVUtilLib.av_dict_set(mux, "preload", std::to_string(static_cast<int64_t>(MuxPreload * 1000000.0f)).c_str(), 0);
    oc->max_delay = static_cast<int>(MuxMaxDelay * 1000000.0f);
    // Only a count the muxer accepts: some muxers have no "does not loop" value.
    const AVOption *loop = nullptr;
    if (HasPrivateOption(fmt, "loop", &loop) && loop->type != AV_OPT_TYPE_CONST && LoopOutput >= loop->min &&
        LoopOutput <= loop->max)
      AVUtilLib.av_dict_set(mux, "loop", std::to_string(LoopOutput).c_str(), 0);
    for (const auto &[name, value] : PrivateOpts)
      if (HasPrivateOption(fmt, name.c_str())) AVUtilLib.av_dict_set(mux, name.c_str(), value.c_str(), 0);

    ApplyGenericOptions(oc, FormatOpts, AV_OPT_FLAG_ENCODING_PARAM);

    OutputFileCount = index + 1;
    OutputFormat = nullptr;
    InputFormat = nullptr;
    return true;
  } catch (const std::exception &e) {
    return fail(e.what());
  }
}

namespace {

// The file a new stream goes into: a registered file or the one being created.
AVFormatContext *StreamTarget(AVFormatContext *const *AFiles, int AFileIndex)
{
  if (AFileIndex < 0 || AFileIndex >= MaxFiles || !AFiles[AFileIndex])
    throw FFMpegException(Format("Output file #%d does not exist", {AFileIndex}));
  return AFiles[AFileIndex];
}

void CheckStreamRoom(const AVFormatContext *AOc, int AFileIndex)
{
  if (AOc->nb_streams >= static_cast<unsigned>(MaxStreams))
    throw FFMpegException(
        Format("Too many streams in output file #%d: at most %d are allowed", {AFileIndex, MaxStreams}));
}

}  // namespace

void TCustomFFmpeg::FindStreamEncoder(const AVFormatContext *AOc, AVMediaType AKind, const std::string &AName,
                                      AVCodecID &AId, const AVCodec *&ACodec)
{
  if (AName.empty()) {
    AId = AVFormatLib.av_guess_codec(AOc->oformat, nullptr, AOc->url, nullptr, AKind);
    ACodec = AVCodecLib.avcodec_find_encoder(AId);
    return;
  }
  if (!FindCodec(AName, AKind, true, AId)) Fail(LastOptionError);
  std::string used;
  ACodec = engine::FindCodecByName(AName, true, used);
}

AVStream *TCustomFFmpeg::AddEncodedStream(int AFileIndex, AVFormatContext *AOc, const AVCodec *ACodec,
                                          AVMediaType AKind)
{
  AVStream *st = AVFormatLib.avformat_new_stream(AOc, nullptr);
  avbind::TCodecCtxPtr owner(st ? AVCodecLib.avcodec_alloc_context3(ACodec) : nullptr);
  if (!owner) Fail("Could not alloc stream");
  TOutputStreamSetup &setup = OutputSetups[AFileIndex].Streams[st->index];
  setup = TOutputStreamSetup{};
  setup.Enc = std::move(owner);
  setup.Enc->codec_type = AKind;
  st->codecpar->codec_type = AKind;
  return st;
}

void TCustomFFmpeg::NewVideoStream(int AFileIndex)
{
  // Every lookup that can fail runs before the stream exists, so a failure
  // never leaves a stream without its encoder behind.
  AVFormatContext *oc;
  const AVCodec *codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  std::vector<TRcEntry> rc;
  AVStream *st;
  try {
    oc = StreamTarget(OutputFiles, AFileIndex);
    CheckStreamRoom(oc, AFileIndex);
    if (!VideoStreamCopy) {
      FindStreamEncoder(oc, AVMEDIA_TYPE_VIDEO, VideoCodecName, id, codec);
      if (!ParseRcOverride(VideoRcOverride, rc)) Fail("error parsing rc_override");
    }
    st = AddEncodedStream(AFileIndex, oc, codec, AVMEDIA_TYPE_VIDEO);
  } catch (...) {
    VideoCodecName.clear();
    throw;
  }
  TOutputStreamSetup &setup = OutputSetups[AFileIndex].Streams[st->index];
  AVCodecContext *enc = setup.Enc.get();

  enc->thread_count = ThreadCount;
  if (VideoCodecTag != 0) enc->codec_tag = static_cast<unsigned>(VideoCodecTag);
  if ((VideoGlobalHeader & 1) || (VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (CodecOpts[AVMEDIA_TYPE_VIDEO]) CodecOpts[AVMEDIA_TYPE_VIDEO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (VideoGlobalHeader & 2) {
    enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (CodecOpts[AVMEDIA_TYPE_VIDEO]) CodecOpts[AVMEDIA_TYPE_VIDEO]->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (VideoStreamCopy) {
    setup.StreamCopy = true;
  } else {
    const AVRational fps = (FrameRate.num > 0 && FrameRate.den > 0) ? FrameRate : AVRational{25, 1};
    enc->codec_id = id;
    st->codecpar->codec_id = id;
    ApplyGenericOptions(enc, CodecOpts[AVMEDIA_TYPE_VIDEO],
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    for (const auto &[name, value] : PrivateOpts)
      AVUtilLib.av_opt_set(enc, name.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);

    AVRational rate = fps;
    if (codec && codec->supported_framerates) {
      AVRational best = {INT32_MAX, 1};
      for (const AVRational *r = codec->supported_framerates; r->den; ++r) {
        AVRational diff = avbind::SubQ(fps, *r);
        diff.num = diff.num < 0 ? -diff.num : diff.num;
        if (avbind::CmpQ(diff, best) < 0) {
          best = diff;
          rate = *r;
        }
      }
    }
    enc->time_base = AVRational{rate.den, rate.num};
    enc->framerate = rate;
    st->time_base = enc->time_base;

    enc->width = FrameWidth + FramePadRight + FramePadLeft;
    enc->height = FrameHeight + FramePadTop + FramePadBottom;
    enc->sample_aspect_ratio = (enc->width > 0 && enc->height > 0 && FrameAspectRatio > 0)
                                   ? avbind::D2Q(static_cast<double>(FrameAspectRatio) * enc->height / enc->width, 255)
                                   : AVRational{0, 1};
    st->sample_aspect_ratio = enc->sample_aspect_ratio;

    enc->pix_fmt = static_cast<AVPixelFormat>(FramePixFmt);
    if (codec && codec->pix_fmts) {
      bool supported = false;
      for (const AVPixelFormat *p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == enc->pix_fmt) supported = true;
      if (!supported) enc->pix_fmt = codec->pix_fmts[0];
    }

    if (IntraOnly) enc->gop_size = 0;
    if (VideoQScale != 0 || SameQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup.Quality = FF_QP2LAMBDA * VideoQScale;
      enc->global_quality = static_cast<int>(setup.Quality);
    }
    // The context frees its matrices; the job keeps its own for later streams.
    enc->intra_matrix = CopyMatrix(IntraMatrix);
    enc->inter_matrix = CopyMatrix(InterMatrix);
    engine::SetEncoderThreads(*enc, codec, ThreadCount);

    if (!rc.empty()) {
      auto *ov = static_cast<RcOverride *>(AVUtilLib.av_malloc(rc.size() * sizeof(RcOverride)));
      if (!ov) Fail("Could not alloc stream");
      for (std::size_t i = 0; i < rc.size(); ++i) {
        ov[i].start_frame = rc[i].Start;
        ov[i].end_frame = rc[i].End;
        if (rc[i].Q > 0) {
          ov[i].qscale = rc[i].Q;
          ov[i].quality_factor = 1.0f;
        } else {
          ov[i].qscale = 0;
          ov[i].quality_factor = -static_cast<float>(rc[i].Q) / 100.0f;
        }
      }
      enc->rc_override = ov;
      enc->rc_override_count = static_cast<int>(rc.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0)
      enc->rc_initial_buffer_occupancy = static_cast<int>(static_cast<int64_t>(enc->rc_buffer_size) * 3 / 4);
    enc->intra_dc_precision = IntraDcPrecision - 8;
    if (DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (DoPass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (DoPass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    if (codec && !VideoCodecName.empty()) setup.CodecName = codec->name;
  }

  VideoDisable = 0;
  VideoCodecName.clear();
  VideoStreamCopy = 0;
}

void TCustomFFmpeg::NewAudioStream(int AFileIndex)
{
  auto releaseKind = [this] {
    AudioCodecName.clear();
    AudioLanguage.clear();
  };
  AVFormatContext *oc;
  const AVCodec *codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  AVStream *st;
  try {
    oc = StreamTarget(OutputFiles, AFileIndex);
    CheckStreamRoom(oc, AFileIndex);
    if (!AudioStreamCopy) FindStreamEncoder(oc, AVMEDIA_TYPE_AUDIO, AudioCodecName, id, codec);
    st = AddEncodedStream(AFileIndex, oc, codec, AVMEDIA_TYPE_AUDIO);
  } catch (...) {
    releaseKind();
    throw;
  }
  TOutputStreamSetup &setup = OutputSetups[AFileIndex].Streams[st->index];
  AVCodecContext *enc = setup.Enc.get();

  enc->thread_count = ThreadCount;
  if (AudioCodecTag != 0) enc->codec_tag = static_cast<unsigned>(AudioCodecTag);
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (CodecOpts[AVMEDIA_TYPE_AUDIO]) CodecOpts[AVMEDIA_TYPE_AUDIO]->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (AudioStreamCopy) {
    setup.StreamCopy = true;
  } else {
    ApplyGenericOptions(enc, CodecOpts[AVMEDIA_TYPE_AUDIO],
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    for (const auto &[name, value] : PrivateOpts)
      AVUtilLib.av_opt_set(enc, name.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);
    enc->codec_id = id;
    st->codecpar->codec_id = id;
    if (AudioQScale > -99999.0f) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup.Quality = FF_QP2LAMBDA * AudioQScale;
      enc->global_quality = static_cast<int>(setup.Quality);
    }
    enc->thread_count = ThreadCount;
    if (codec && !AudioCodecName.empty()) setup.CodecName = codec->name;
  }
  AVUtilLib.av_channel_layout_uninit(&enc->ch_layout);
  AVUtilLib.av_channel_layout_default(&enc->ch_layout, AudioChannels);
  enc->sample_rate = AudioSampleRate;
  if (AudioSampleRate > 0) {
    enc->time_base = AVRational{1, AudioSampleRate};
    st->time_base = enc->time_base;
  }

  if (!AudioLanguage.empty()) {
    AVUtilLib.av_dict_set(&st->metadata, "language", AudioLanguage.substr(0, 3).c_str(), 0);
    AudioLanguage.clear();
  }

  AudioDisable = 0;
  AudioCodecName.clear();
  AudioStreamCopy = 0;
}

void TCustomFFmpeg::NewSubtitleStream(int AFileIndex)
{
  auto releaseKind = [this] {
    SubtitleCodecName.clear();
    SubtitleLanguage.clear();
  };
  AVFormatContext *oc;
  const AVCodec *codec = nullptr;
  AVCodecID id = AV_CODEC_ID_NONE;
  AVStream *st;
  try {
    oc = StreamTarget(OutputFiles, AFileIndex);
    CheckStreamRoom(oc, AFileIndex);
    if (!SubtitleStreamCopy) FindStreamEncoder(oc, AVMEDIA_TYPE_SUBTITLE, SubtitleCodecName, id, codec);
    st = AddEncodedStream(AFileIndex, oc, codec, AVMEDIA_TYPE_SUBTITLE);
  } catch (...) {
    releaseKind();
    throw;
  }
  TOutputStreamSetup &setup = OutputSetups[AFileIndex].Streams[st->index];
  AVCodecContext *enc = setup.Enc.get();

  if (SubtitleStreamCopy) {
    setup.StreamCopy = true;
  } else {
    ApplyGenericOptions(enc, CodecOpts[AVMEDIA_TYPE_SUBTITLE],
                        AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    for (const auto &[name, value] : PrivateOpts)
      AVUtilLib.av_opt_set(enc, name.c_str(), value.c_str(), AV_OPT_SEARCH_CHILDREN);
    enc->codec_id = id;
    st->codecpar->codec_id = id;
    if (codec) setup.CodecName = codec->name;
  }
  if (!SubtitleLanguage.empty()) {
    AVUtilLib.av_dict_set(&st->metadata, "language", SubtitleLanguage.substr(0, 3).c_str(), 0);
    SubtitleLanguage.clear();
  }

  SubtitleDisable = 0;
  SubtitleCodecName.clear();
  SubtitleStreamCopy = 0;
}
