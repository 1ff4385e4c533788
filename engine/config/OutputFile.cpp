// Output files: container choice, the streams the inputs call for (added in
// OutputStreams.cpp), file metadata, muxer options and opening the file for
// writing.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "FFmpeg.h"
#include "MediaDate.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

bool HasPrivateOption(const AVOutputFormat *AFormat, const char *AName, const AVOption **AOpt = nullptr)
{
  if (!AFormat || !AFormat->priv_class) return false;
  const void *cls = &AFormat->priv_class;
  const AVOption *o =
      AVUtilLib.av_opt_find(const_cast<void *>(cls), AName, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  if (AOpt) *AOpt = o;
  return o != nullptr;
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

  // Withdraws the pending entry: its streams' encoders, its muxer options,
  // its context and, when we created it and nothing was written, the file.
  auto fail = [&](const std::string &AMsg) {
    LastOptionError = AMsg;
    if (index < MaxFiles) {
      for (auto &st : FJob.OutputSetups[index].Streams) st = TOutputStreamSetup{};
      FJob.OutputSetups[index].MuxOpts.Clear();
      OutputFiles[index] = nullptr;
    }
    if (oc) {
      const engine::TOutputFileFacts facts = index < MaxFiles ? FJob.OutputSetups[index].File : engine::TOutputFileFacts{};
      engine::EndOutputFiles(&oc, &facts, 1, engine::TOutputEnd::Withdrawn);
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
    for (auto &st : FJob.OutputSetups[index].Streams) st = TOutputStreamSetup{};
    FJob.OutputSetups[index].MuxOpts.Clear();
    FJob.OutputSetups[index].File = engine::TOutputFileFacts{};

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
    for (const auto &[name, value] : FJob.PrivateOpts)
      if (name == "update" && value != "0") singleImage = true;
    const bool needNumber = (fmt->flags & AVFMT_NEEDNUMBER) || (std::string(fmt->name) == "image2" && !singleImage);
    if (needNumber && !AVFormatLib.av_filename_number_test(oc->url))
      return fail(InputOpenErrorText(oc->url, AVERROR(EDOM)));

    if (!(fmt->flags & AVFMT_NOFILE)) {
      // Opening for writing would truncate it: an input is never written over.
      const std::string input = InputSameAs(AFileName);
      if (!input.empty()) return fail(Format("Output file '%s' is the same as input '%s'", {AFileName, input}));
      if (!engine::OpenForWriting(oc, AFileName, FJob.OutputSetups[index].File))
        return fail(Format("Could not open '%s'", {AFileName}));
    }

    AVDictionary **mux = FJob.OutputSetups[index].MuxOpts.Addr();
    if (HasPrivateOption(fmt, "preload"))
      AVUtilLib.av_dict_set(mux, "preload", std::to_string(static_cast<int64_t>(MuxPreload * 1000000.0f)).c_str(), 0);
    oc->max_delay = static_cast<int>(MuxMaxDelay * 1000000.0f);
    // Only a count the muxer accepts: some muxers have no "does not loop" value.
    const AVOption *loop = nullptr;
    if (HasPrivateOption(fmt, "loop", &loop) && loop->type != AV_OPT_TYPE_CONST && LoopOutput >= loop->min &&
        LoopOutput <= loop->max)
      AVUtilLib.av_dict_set(mux, "loop", std::to_string(LoopOutput).c_str(), 0);
    for (const auto &[name, value] : FJob.PrivateOpts)
      if (HasPrivateOption(fmt, name.c_str())) AVUtilLib.av_dict_set(mux, name.c_str(), value.c_str(), 0);

    ApplyGenericOptions(oc, FJob.FormatOpts, AV_OPT_FLAG_ENCODING_PARAM);

    OutputFileCount = index + 1;
    OutputFormat = nullptr;
    InputFormat = nullptr;
    return true;
  } catch (const std::exception &e) {
    return fail(e.what());
  }
}
