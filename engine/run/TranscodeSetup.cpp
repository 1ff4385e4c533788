// The first half of a run: per-run tables, stream mapping, codec parameters,
// two-pass logs, opening encoders and decoders, metadata maps and headers.
// Every failure raises FFMpegException after freeing the per-run tables;
// codecs already open stay marked and are closed by Run's clean-up.
#include <cstring>

#include "AudioPath.h"
#include "CodecThreads.h"
#include "FFmpeg.h"
#include "RunState.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "PathLink.h"
#include "Rational.h"
#include "SubtitlePath.h"
#include "SysFormat.h"
#include "VideoPath.h"

using avbind::Format;

namespace {

bool IsStreamCopy(const TCustomFFmpeg &AEngine, int AFile, int AStream)
{
  return AEngine.OutputSetups[AFile].Streams[AStream].StreamCopy;
}

const char *Language(const AVStream *ASt)
{
  const AVDictionaryEntry *e = AVUtilLib.av_dict_get(ASt->metadata, "language", nullptr, 0);
  return e ? e->value : nullptr;
}

// A metadata map carries the descriptive fields only: title, author,
// copyright, comment, album, year, track and genre, each overwritten with the
// input's (removed when the input has none). Other tags (encoder, creation
// time, the demuxer's own) stay as the output has them.
void CopyNamedMetadata(AVDictionary *&AOut, const AVDictionary *AIn)
{
  struct TField {
    const char *Out;
    const char *In[2];
  };
  static constexpr TField kFields[] = {
      {"title", {"title", nullptr}},     {"artist", {"artist", "author"}}, {"copyright", {"copyright", nullptr}},
      {"comment", {"comment", nullptr}}, {"album", {"album", nullptr}},    {"date", {"date", "year"}},
      {"track", {"track", nullptr}},     {"genre", {"genre", nullptr}},
  };
  for (const TField &f : kFields) {
    const AVDictionaryEntry *e = nullptr;
    for (const char *key : f.In)
      if (key && !e) e = AVUtilLib.av_dict_get(AIn, key, nullptr, 0);
    AVUtilLib.av_dict_set(&AOut, f.Out, e ? e->value : nullptr, 0);
  }
}

// The codec's own tick, which decoders no longer carry: one frame at the
// stream's frame rate for video, one sample for audio; 0/0 when unknown.
AVRational CodecTimeBase(const AVStream &ASt)
{
  const AVCodecParameters *par = ASt.codecpar;
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const AVRational fr = ASt.r_frame_rate.num > 0 && ASt.r_frame_rate.den > 0 ? ASt.r_frame_rate : ASt.avg_frame_rate;
    if (fr.num > 0 && fr.den > 0) return AVRational{fr.den, fr.num};
  } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0) {
    return AVRational{1, par->sample_rate};
  }
  return AVRational{0, 0};
}

}  // namespace

void TCustomFFmpeg::Transcode()
{
  if (StopRequested) return;  // stopped before it began: nothing to set up or write
  TranscodeSetup();
  TranscodeLoop();
  TranscodeEnd();
}

void TCustomFFmpeg::TranscodeSetup()
{
  // Each run reports its own sizes and sync counts, not the sums of earlier runs.
  VideoSize = AudioSize = ExtraSize = 0;
  FramesDup = FramesDrop = 0;
  PicturesSkipped = 0;
  try {
    MakeStreamTables();
    MapOutputStreams();
    for (std::size_t n = 0; n < FRun->OutputStreams.size(); ++n)
      SetupOutputCodec(*FRun->OutputStreams[n], static_cast<int>(n));
    // The description and the mapping log. Encoder parameters go to the
    // streams now so the description shows them; they are refreshed once
    // the encoders open.
    for (auto &ost : FRun->OutputStreams)
      if (ost->EncodingNeeded) AVCodecLib.avcodec_parameters_from_context(ost->Stream->codecpar, ost->Enc);
    for (int f = 0; f < OutputFileCount; ++f) AVFormatLib.av_dump_format(OutputFiles[f], f, OutputFiles[f]->url, 1);
    if (Verbose >= 0 && OnLog) {
      Log(1, "Stream mapping:");
      for (auto &ost : FRun->OutputStreams) {
        const TInputStream &src = *FRun->InputStreams[ost->SourceIndex];
        Log(1, Format("  Stream #%d.%d -> #%d.%d", {src.FileIndex, src.Index, ost->FileIndex, ost->Index}));
        if (ost->SyncIst != &src) Log(1, Format(" [sync #%d.%d]", {ost->SyncIst->FileIndex, ost->SyncIst->Index}));
      }
    }
    OpenEncoders();
    OpenDecoders();
    ResetInputClocks();
    ApplyMetaDataMaps();
    WriteHeaders();
    StartPipeline();
    FRun->TimerStart = AVUtilLib.av_gettime();
    FRun->LastReportTime = FRun->TimerStart;
  } catch (...) {
    // The open codecs are found through the tables: close them (under the
    // codec lock) before the tables go.
    CloseOpenCodecs();
    FreeRunTables();
    throw;
  }
}

void TCustomFFmpeg::MakeStreamTables()
{
  // The records of the input files and their streams.
  FRun->FileTable.assign(InputFileCount, TInputFileInfo{});
  FRun->InputStreams.clear();
  for (int i = 0; i < InputFileCount; ++i) {
    AVFormatContext *ic = InputFiles[i];
    FRun->FileTable[i].FirstStream = static_cast<int32_t>(FRun->InputStreams.size());
    FRun->FileTable[i].StreamCount = static_cast<int32_t>(ic->nb_streams);
    for (unsigned k = 0; k < ic->nb_streams; ++k) {
      auto ist = std::make_unique<TInputStream>();
      ist->FileIndex = i;
      ist->Index = static_cast<int32_t>(k);
      ist->Stream = ic->streams[k];
      ist->Dec = k < InputSetups[i].Dec.size() ? InputSetups[i].Dec[k].get() : nullptr;
      ist->Discard = 1;
      // Rate emulation belongs to the file it was given for, not to the job.
      ist->RateEmu = InputSetups[i].RateEmu;
      if (ist->RateEmu) {
        ist->Start = AVUtilLib.av_gettime();
        ist->Frame = 0;
      }
      FRun->InputStreams.push_back(std::move(ist));
    }
  }
}

void TCustomFFmpeg::MapOutputStreams()
{
  int nbOstreams = 0;
  for (int i = 0; i < OutputFileCount; ++i) {
    if (OutputFiles[i]->nb_streams == 0) Fail("Output file does not contain any stream");
    nbOstreams += static_cast<int>(OutputFiles[i]->nb_streams);
  }

  // Stream maps.
  if (StreamMapCount > 0 && StreamMapCount != nbOstreams)
    Fail("Number of stream maps must match number of output streams");
  for (int i = 0; i < StreamMapCount; ++i) {
    const TStreamMap &m = StreamMaps[i];
    if (m.FileIndex < 0 || m.FileIndex >= InputFileCount || m.StreamIndex < 0 ||
        m.StreamIndex >= FRun->FileTable[m.FileIndex].StreamCount)
      Fail(Format("Could not find input stream #%d.%d", {m.FileIndex, m.StreamIndex}));
    if (m.SyncFileIndex < 0 || m.SyncFileIndex >= InputFileCount || m.SyncStreamIndex < 0 ||
        m.SyncStreamIndex >= FRun->FileTable[m.SyncFileIndex].StreamCount)
      Fail(Format("Could not find sync stream #%d.%d", {m.SyncFileIndex, m.SyncStreamIndex}));
  }

  // Output streams and their sources.
  FRun->OutputStreams.clear();
  int n = 0;
  for (int f = 0; f < OutputFileCount; ++f) {
    AVFormatContext *oc = OutputFiles[f];
    for (unsigned k = 0; k < oc->nb_streams; ++k, ++n) {
      auto ost = std::make_unique<TOutputStream>();
      ost->FileIndex = f;
      ost->Index = static_cast<int32_t>(k);
      ost->Stream = oc->streams[k];
      ost->Enc = OutputSetups[f].Streams[k].Enc.get();
      ost->StreamCopy = IsStreamCopy(*this, f, static_cast<int>(k));
      if (!ost->Enc) Fail("invalid codec_type of output stream");
      const AVMediaType type = ost->Enc->codec_type;
      int source = -1;
      if (StreamMapCount > 0) {
        const TStreamMap &m = StreamMaps[n];
        source = FRun->FileTable[m.FileIndex].FirstStream + m.StreamIndex;
        if (FRun->InputStreams[source]->Stream->codecpar->codec_type != type) {
          AVFormatLib.av_dump_format(oc, f, oc->url, 1);
          Fail(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", {m.FileIndex, m.StreamIndex, f, k}));
        }
      } else {
        if (ProgramId != 0) {
          for (int j = 0; j < InputFileCount && source < 0; ++j) {
            AVFormatContext *ic = InputFiles[j];
            for (unsigned p = 0; p < ic->nb_programs && source < 0; ++p) {
              if (ic->programs[p]->id != ProgramId) continue;
              for (unsigned s = 0; s < ic->programs[p]->nb_stream_indexes; ++s) {
                const int idx = FRun->FileTable[j].FirstStream + static_cast<int>(ic->programs[p]->stream_index[s]);
                if (FRun->InputStreams[idx]->Discard && FRun->InputStreams[idx]->Stream->codecpar->codec_type == type) {
                  source = idx;
                  break;
                }
              }
            }
          }
        } else {
          for (std::size_t j = 0; j < FRun->InputStreams.size(); ++j)
            if (FRun->InputStreams[j]->Discard && FRun->InputStreams[j]->Stream->codecpar->codec_type == type) {
              source = static_cast<int>(j);
              break;
            }
        }
        if (source < 0 && ProgramId == 0)
          for (std::size_t j = 0; j < FRun->InputStreams.size(); ++j)
            if (FRun->InputStreams[j]->Stream->codecpar->codec_type == type) source = static_cast<int>(j);
        if (source < 0) {
          AVFormatLib.av_dump_format(oc, f, oc->url, 1);
          Fail(Format("Could not find input stream matching output stream #%d.%d", {f, k}));
        }
      }
      ost->SourceIndex = source;
      FRun->InputStreams[source]->Discard = 0;
      if (StreamMapCount > 0) {
        const TStreamMap &m = StreamMaps[n];
        ost->SyncIst = FRun->InputStreams[FRun->FileTable[m.SyncFileIndex].FirstStream + m.SyncStreamIndex].get();
      } else {
        ost->SyncIst = FRun->InputStreams[source].get();
      }
      FRun->OutputStreams.push_back(std::move(ost));
    }
  }
}

void TCustomFFmpeg::SetupOutputCodec(TOutputStream &AOst, int AIndex)
{
  TInputStream &ist = *FRun->InputStreams[AOst.SourceIndex];
  AVCodecContext *enc = AOst.Enc;

  if (!Language(AOst.Stream))
    if (const char *lang = Language(ist.Stream)) {
      char buf[4] = {};
      std::strncpy(buf, lang, 3);
      AVUtilLib.av_dict_set(&AOst.Stream->metadata, "language", buf, 0);
    }
  AOst.Stream->disposition = ist.Stream->disposition;

  if (AOst.StreamCopy) {
    SetupStreamCopy(AOst, ist);
  } else {
    SetupOutputPath(AOst, ist, AIndex);
    AOst.EncodingNeeded = 1;
    ist.DecodingNeeded = 1;
  }
  if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
    const int w = AOst.StreamCopy ? AOst.Stream->codecpar->width : enc->width;
    const int h = AOst.StreamCopy ? AOst.Stream->codecpar->height : enc->height;
    const int64_t need = 4LL * w * h;
    if (need > BitBufferSize && need < INT32_MAX) BitBufferSize = static_cast<int32_t>(need);
  }
}

void TCustomFFmpeg::SetupStreamCopy(TOutputStream &AOst, TInputStream &AIst)
{
  AVCodecContext *enc = AOst.Enc;
  AVCodecParameters *dec = AIst.Stream->codecpar;
  AVFormatContext *oc = OutputFiles[AOst.FileIndex];
  const AVMediaType type = dec->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO && AudioVolume != 256)
    Fail("-acodec copy and -vol are incompatible (frames are not decoded)");
  if (type == AVMEDIA_TYPE_VIDEO) {
    if (OnCustomHook) Fail("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    if (UsingVhook) Fail("-vcodec copy and -vhook are incompatible (frames are not decoded)");
  }
  if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_SUBTITLE)
    Fail("invalid codec_type of output stream");
  const uint32_t encTag = enc->codec_tag;
  if (AVCodecLib.avcodec_parameters_copy(AOst.Stream->codecpar, dec) < 0) Fail("av_mallocz fail");
  AVCodecParameters *par = AOst.Stream->codecpar;
  par->codec_tag = encTag;
  if (!encTag) {
    const AVCodecTag *const *table = oc->oformat->codec_tag;
    if (!table || AVFormatLib.av_codec_get_id(table, dec->codec_tag) != AV_CODEC_ID_NONE ||
        AVFormatLib.av_codec_get_tag(table, dec->codec_id) == 0)
      par->codec_tag = dec->codec_tag;
    else
      par->codec_tag = 0;
  }
  // A tag the muxer maps to another codec would make it refuse the header.
  if (par->codec_tag && oc->oformat->codec_tag) {
    const AVCodecID tagged = AVFormatLib.av_codec_get_id(oc->oformat->codec_tag, par->codec_tag);
    if (tagged != AV_CODEC_ID_NONE && tagged != par->codec_id) par->codec_tag = 0;
  }
  // HEVC in MP4 tagged hvc1, the tag Apple's players open.
  if (par->codec_id == AV_CODEC_ID_HEVC && !encTag &&
      (std::strcmp(oc->oformat->name, "mp4") == 0 || std::strcmp(oc->oformat->name, "mov") == 0))
    par->codec_tag = MKTAG('h', 'v', 'c', '1');
  // One MP4 track holds one configuration of the sound; a copy of sound
  // re-published at another rate would not decode past the change.
  if (type == AVMEDIA_TYPE_AUDIO && AVUtilLib.av_dict_get(AIst.Stream->metadata, "config_changes", nullptr, 0))
    Fail(Format("The sound of input stream #%d.%d changes its configuration mid-stream, so it cannot be "
                "copied as it is; convert it instead (for example -acodec aac)",
                {AIst.FileIndex, AIst.Index}));
  AVRational tb = AIst.Stream->time_base;
  const AVRational codecTb = CodecTimeBase(*AIst.Stream);
  if (codecTb.num > 0 && codecTb.den > 0 && avbind::Q2D(codecTb) > avbind::Q2D(tb) &&
      avbind::Q2D(tb) < 0.001)
    tb = codecTb;
  AOst.Stream->time_base = tb;
  enc->time_base = tb;
  if (type == AVMEDIA_TYPE_AUDIO) {
    const char *name = AVCodecLib.avcodec_get_name(par->codec_id);
    if ((par->block_align == 1 && std::strcmp(name, "mp3") == 0) || std::strcmp(name, "ac3") == 0)
      par->block_align = 0;
  }
  AOst.EncodingNeeded = 0;
}

engine::THookLinks TCustomFFmpeg::HookLinks()
{
  engine::THookLinks links;
  links.Sender = this;
  links.OnBeforeHook = &OnBeforeHook;
  links.OnCustomHook = &OnCustomHook;
  links.UsingVhook = &UsingVhook;
  links.HookAction = &HookAction;
  links.HookRanges = &HookRanges;
  links.HookRangeIndex = &HookRangeIndex;
  links.HookRangeCount = &HookRangeCount;
  links.Deinterlace = DoDeinterlace != 0;
  links.RunFrameHooks = [this](uint8_t *AData[4], int ALineSize[4], AVPixelFormat APixFmt, int AWidth, int AHeight,
                               int64_t APts) { RunFrameHooks(AData, ALineSize, APixFmt, AWidth, AHeight, APts); };
  links.Log = [this](int ALevel, const std::string &AMsg) { Log(ALevel, AMsg); };
  return links;
}

void TCustomFFmpeg::SetupOutputPath(TOutputStream &AOst, TInputStream &AIst, int AIndex)
{
  AVFormatContext *oc = OutputFiles[AOst.FileIndex];
  switch (AOst.Enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
      auto path = std::make_unique<engine::TAudioPath>(*FPathLink, oc, AOst);
      path->Setup(AIst);
      AOst.Path = std::move(path);
      break;
    }
    case AVMEDIA_TYPE_VIDEO: {
      engine::TVideoPathOptions options;
      int64_t flags = SwsFlags;
      options.SetupScalerFlags =
          SwsOpts && AVUtilLib.av_opt_get_int(SwsOpts, "sws_flags", 0, &flags) >= 0 ? static_cast<int32_t>(flags)
                                                                                       : SwsFlags;
      options.InterlacedCoding =
          CodecOpts[AVMEDIA_TYPE_VIDEO] &&
          (CodecOpts[AVMEDIA_TYPE_VIDEO]->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
      if (AOst.FileIndex >= 0 && AOst.FileIndex < MaxFiles && AOst.Index >= 0 && AOst.Index < MaxStreams)
        options.Quality = OutputSetups[AOst.FileIndex].Streams[AOst.Index].Quality;
      if (!FRun->PicturePrep) FRun->PicturePrep = std::make_unique<engine::TPicturePrep>(HookLinks());
      auto path = std::make_unique<engine::TVideoPath>(*FPathLink, oc, AOst, options);
      path->Setup(AIst);
      // The setting follows the scaler options once a scaler is made at the
      // set-up, so later scalers of the run use them too.
      if (path->Rescaling()) SwsFlags = options.SetupScalerFlags;
      AOst.Path = std::move(path);
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
      auto path = std::make_unique<engine::TSubtitlePath>(*FPathLink, oc, AOst);
      path->Setup(AIst);
      AOst.Path = std::move(path);
      break;
    }
    default:
      Fail("invalid codec_type of output stream");
  }
  // From here the path owns the encoder; nothing reads it from the job's table again.
  AOst.Path->AdoptEncoder(std::move(OutputSetups[AOst.FileIndex].Streams[AOst.Index].Enc));
  AOst.Path->OpenPassLog(AIndex);
}

void TCustomFFmpeg::OpenDecoder(TInputStream &AIst)
{
  if (AIst.Opened) return;
  const AVCodec *codec = AVCodecLib.avcodec_find_decoder(AIst.Stream->codecpar->codec_id);
  if (!codec || !AIst.Dec)
    Fail(Format("Unsupported codec (id=%d) for input stream #%d.%d",
                {static_cast<int>(AIst.Stream->codecpar->codec_id), AIst.FileIndex, AIst.Index}));
  std::lock_guard<std::recursive_mutex> lock(CodecLock());
  if (AVCodecLib.avcodec_open2(AIst.Dec, codec, nullptr) < 0)
    Fail(Format("Error while opening codec for input stream #%d.%d", {AIst.FileIndex, AIst.Index}));
  AIst.Opened = true;
}

void TCustomFFmpeg::OpenEncoders()
{
    for (auto &ostp : FRun->OutputStreams) {
    TOutputStream &ost = *ostp;
    if (!ost.EncodingNeeded) continue;
    AVCodecContext *enc = ost.Enc;
    const AVCodec *codec = enc->codec ? enc->codec : AVCodecLib.avcodec_find_encoder(enc->codec_id);
    if (!codec || !AVCodecLib.av_codec_is_encoder(codec))
      Fail(Format("Unsupported codec for output stream #%d.%d", {ost.FileIndex, ost.Index}));
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE && !enc->subtitle_header) {
      // Text subtitle encoders take their style header from the decoder,
      // which makes it when it opens: open that one first.
      TInputStream &ist = *FRun->InputStreams[ost.SourceIndex];
      OpenDecoder(ist);
      if (ist.Dec->subtitle_header && ist.Dec->subtitle_header_size > 0) {
        enc->subtitle_header = static_cast<uint8_t *>(AVUtilLib.av_mallocz(ist.Dec->subtitle_header_size + 1));
        if (!enc->subtitle_header) Fail("av_mallocz fail");
        std::memcpy(enc->subtitle_header, ist.Dec->subtitle_header, ist.Dec->subtitle_header_size);
        enc->subtitle_header_size = ist.Dec->subtitle_header_size;
      }
    }
    {
      std::lock_guard<std::recursive_mutex> lock(CodecLock());
      if (AVCodecLib.avcodec_open2(enc, codec, nullptr) < 0)
        Fail(Format("Error while opening codec for output stream #%d.%d - maybe incorrect parameters such as "
                    "bit_rate, rate, width or height",
                    {ost.FileIndex, ost.Index}));
      ost.Opened = true;
    }
    if (AVCodecLib.avcodec_parameters_from_context(ost.Stream->codecpar, enc) < 0)
      Fail(Format("Error while opening codec for output stream #%d.%d - maybe incorrect parameters such as "
                  "bit_rate, rate, width or height",
                  {ost.FileIndex, ost.Index}));
    ost.Stream->time_base = enc->time_base;
    if (enc->codec_type == AVMEDIA_TYPE_VIDEO && enc->framerate.num == 0)
      ost.Stream->avg_frame_rate = AVRational{enc->time_base.den, enc->time_base.num};
    ExtraSize += enc->extradata_size;
  }
}

void TCustomFFmpeg::OpenDecoders()
{
  // Decoders on their library's threads as the budget allows (see CodecThreads.h).
  for (auto &istp : FRun->InputStreams)
    if (istp->DecodingNeeded && istp->Dec && !istp->Opened) engine::SetDecoderThreads(*istp->Dec, ThreadBudget());
  for (auto &istp : FRun->InputStreams)
    if (istp->DecodingNeeded) OpenDecoder(*istp);
}

void TCustomFFmpeg::ResetInputClocks()
{
  for (auto &ist : FRun->InputStreams) {
    ist->Pts = 0;
    ist->NextPts = NoPts;
    ist->Dts = 0;
    ist->NextDts = NoPts;
    ist->IsStart = 1;
  }
}

void TCustomFFmpeg::ApplyMetaDataMaps()
{
  for (int i = 0; i < MetaDataMapCount; ++i) {
    const int out = MetaDataMaps[i].OutFile, in = MetaDataMaps[i].InFile;
    if (out < 0 || out >= OutputFileCount)
      Fail(Format("Invalid output file index %d map_meta_data(%d,%d)", {out, out, in}));
    if (in < 0 || in >= InputFileCount)
      Fail(Format("Invalid input file index %d map_meta_data(%d,%d)", {in, out, in}));
    CopyNamedMetadata(OutputFiles[out]->metadata, InputFiles[in]->metadata);
  }
}

void TCustomFFmpeg::WriteHeaders()
{
  for (int f = 0; f < OutputFileCount; ++f) {
    AVDictionary *opts = nullptr;
    AVUtilLib.av_dict_copy(&opts, OutputSetups[f].MuxOpts.Get(), 0);
    const int r = AVFormatLib.avformat_write_header(OutputFiles[f], &opts);
    AVUtilLib.av_dict_free(&opts);
    if (r < 0) Fail(Format("Could not write header for output file #%d (incorrect codec parameters ?)", {f}));
    OutputSetups[f].File.HeaderWritten = true;
  }
  bool allRtp = OutputFileCount > 0;
  for (int f = 0; f < OutputFileCount; ++f)
    allRtp = allRtp && std::strcmp(OutputFiles[f]->oformat->name, "rtp") == 0;
  if (allRtp && OnLog) {
    char sdp[2048] = {};
    AVFormatLib.av_sdp_create(OutputFiles, OutputFileCount, sdp, sizeof sdp);
    std::string text = sdp;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    Log(1, "SDP: " + text);
  }
}
