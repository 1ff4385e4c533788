// The first half of a run: per-run tables, stream mapping, codec parameters,
// two-pass logs, opening encoders and decoders, metadata maps and headers.
// Every failure raises FFMpegException after freeing the per-run tables;
// codecs already open stay marked and are closed by Run's clean-up.
#include <cstring>

#include "AudioPath.h"
#include "CodecThreads.h"
#include "Run.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "PicturePrep.h"
#include "Rational.h"
#include "SubtitlePath.h"
#include "SysFormat.h"
#include "VideoPath.h"

using avbind::Format;

namespace {

bool IsStreamCopy(const engine::TJob &AJob, int AFile, int AStream)
{
  return AJob.OutputSetups[AFile].Streams[AStream].StreamCopy;
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

bool engine::TRun::Execute()
{
  TranscodeSetup();
  TranscodeLoop();
  TranscodeEnd();
  return !FEvents.StopRequested();
}

void engine::TRun::TranscodeSetup()
{
  // Each run reports its own sizes and sync counts, not the sums of earlier runs.
  FReport.VideoSize = FReport.AudioSize = FReport.ExtraSize = 0;
  FReport.FramesDup = FReport.FramesDrop = 0;
  FReport.PicturesSkipped = 0;
  FEvents.Counted(FReport);
  try {
    MakeStreamTables();
    MapOutputStreams();
    for (std::size_t n = 0; n < FOutputStreams.size(); ++n)
      SetupOutputCodec(*FOutputStreams[n], static_cast<int>(n));
    // The description and the mapping log. Encoder parameters go to the
    // streams now so the description shows them; they are refreshed once
    // the encoders open.
    for (auto &ost : FOutputStreams)
      if (ost->EncodingNeeded) AVCodecLib.avcodec_parameters_from_context(ost->Stream->codecpar, ost->Enc);
    for (int f = 0; f < FOutputCount; ++f) AVFormatLib.av_dump_format(FOutputs[f], f, FOutputs[f]->url, 1);
    if (FSettings.Verbose >= 0 && FEvents.Listening()) {
      Log(1, "Stream mapping:");
      for (auto &ost : FOutputStreams) {
        const TInputStream &src = *FInputStreams[ost->SourceIndex];
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
    FTimerStart = AVUtilLib.av_gettime();
    FLastReportTime = FTimerStart;
  } catch (...) {
    // The open codecs are found through the tables: close them (under the
    // codec lock) before the tables go.
    CloseOpenCodecs();
    FreeRunTables();
    throw;
  }
}

void engine::TRun::MakeStreamTables()
{
  // The records of the input files and their streams.
  FFileTable.assign(FInputCount, TInputFileInfo{});
  FTsOffsets.assign(FJob.InputTsOffsets, FJob.InputTsOffsets + FInputCount);
  FInputStreams.clear();
  for (int i = 0; i < FInputCount; ++i) {
    AVFormatContext *ic = FInputs[i];
    FFileTable[i].FirstStream = static_cast<int32_t>(FInputStreams.size());
    FFileTable[i].StreamCount = static_cast<int32_t>(ic->nb_streams);
    for (unsigned k = 0; k < ic->nb_streams; ++k) {
      auto ist = std::make_unique<TInputStream>();
      ist->FileIndex = i;
      ist->Index = static_cast<int32_t>(k);
      ist->Stream = ic->streams[k];
      // The decoder is the stream's from now on (see Run.h).
      if (k < FJob.InputSetups[i].Dec.size()) ist->DecOwner = std::move(FJob.InputSetups[i].Dec[k]);
      ist->Dec = ist->DecOwner.get();
      ist->Discard = 1;
      // Rate emulation belongs to the file it was given for, not to the job.
      ist->RateEmu = FJob.InputSetups[i].RateEmu;
      if (ist->RateEmu) {
        ist->Start = AVUtilLib.av_gettime();
        ist->Frame = 0;
      }
      FInputStreams.push_back(std::move(ist));
    }
  }
}

void engine::TRun::MapOutputStreams()
{
  int nbOstreams = 0;
  for (int i = 0; i < FOutputCount; ++i) {
    if (FOutputs[i]->nb_streams == 0) Fail("Output file does not contain any stream");
    nbOstreams += static_cast<int>(FOutputs[i]->nb_streams);
  }

  // Stream maps.
  if (FJob.StreamMapCount > 0 && FJob.StreamMapCount != nbOstreams)
    Fail("Number of stream maps must match number of output streams");
  for (int i = 0; i < FJob.StreamMapCount; ++i) {
    const TStreamMap &m = FJob.StreamMaps[i];
    if (m.FileIndex < 0 || m.FileIndex >= FInputCount || m.StreamIndex < 0 ||
        m.StreamIndex >= FFileTable[m.FileIndex].StreamCount)
      Fail(Format("Could not find input stream #%d.%d", {m.FileIndex, m.StreamIndex}));
    if (m.SyncFileIndex < 0 || m.SyncFileIndex >= FInputCount || m.SyncStreamIndex < 0 ||
        m.SyncStreamIndex >= FFileTable[m.SyncFileIndex].StreamCount)
      Fail(Format("Could not find sync stream #%d.%d", {m.SyncFileIndex, m.SyncStreamIndex}));
  }

  // Output streams and their sources.
  FOutputStreams.clear();
  int n = 0;
  for (int f = 0; f < FOutputCount; ++f) {
    AVFormatContext *oc = FOutputs[f];
    for (unsigned k = 0; k < oc->nb_streams; ++k, ++n) {
      auto ost = std::make_unique<TOutputStream>();
      ost->FileIndex = f;
      ost->Index = static_cast<int32_t>(k);
      ost->Stream = oc->streams[k];
      ost->Enc = FJob.OutputSetups[f].Streams[k].Enc.get();
      ost->StreamCopy = IsStreamCopy(FJob, f, static_cast<int>(k));
      if (!ost->Enc) Fail("invalid codec_type of output stream");
      const AVMediaType type = ost->Enc->codec_type;
      int source = -1;
      if (FJob.StreamMapCount > 0) {
        const TStreamMap &m = FJob.StreamMaps[n];
        source = FFileTable[m.FileIndex].FirstStream + m.StreamIndex;
        if (FInputStreams[source]->Stream->codecpar->codec_type != type) {
          AVFormatLib.av_dump_format(oc, f, oc->url, 1);
          Fail(Format("Codec type mismatch for mapping #%d.%d -> #%d.%d", {m.FileIndex, m.StreamIndex, f, k}));
        }
      } else {
        if (FSettings.ProgramId != 0) {
          for (int j = 0; j < FInputCount && source < 0; ++j) {
            AVFormatContext *ic = FInputs[j];
            for (unsigned p = 0; p < ic->nb_programs && source < 0; ++p) {
              if (ic->programs[p]->id != FSettings.ProgramId) continue;
              for (unsigned s = 0; s < ic->programs[p]->nb_stream_indexes; ++s) {
                const int idx = FFileTable[j].FirstStream + static_cast<int>(ic->programs[p]->stream_index[s]);
                if (FInputStreams[idx]->Discard && FInputStreams[idx]->Stream->codecpar->codec_type == type) {
                  source = idx;
                  break;
                }
              }
            }
          }
        } else {
          for (std::size_t j = 0; j < FInputStreams.size(); ++j)
            if (FInputStreams[j]->Discard && FInputStreams[j]->Stream->codecpar->codec_type == type) {
              source = static_cast<int>(j);
              break;
            }
        }
        if (source < 0 && FSettings.ProgramId == 0)
          for (std::size_t j = 0; j < FInputStreams.size(); ++j)
            if (FInputStreams[j]->Stream->codecpar->codec_type == type) source = static_cast<int>(j);
        if (source < 0) {
          AVFormatLib.av_dump_format(oc, f, oc->url, 1);
          Fail(Format("Could not find input stream matching output stream #%d.%d", {f, k}));
        }
      }
      ost->SourceIndex = source;
      FInputStreams[source]->Discard = 0;
      if (FJob.StreamMapCount > 0) {
        const TStreamMap &m = FJob.StreamMaps[n];
        ost->SyncIst = FInputStreams[FFileTable[m.SyncFileIndex].FirstStream + m.SyncStreamIndex].get();
      } else {
        ost->SyncIst = FInputStreams[source].get();
      }
      FOutputStreams.push_back(std::move(ost));
    }
  }
}

void engine::TRun::SetupOutputCodec(TOutputStream &AOst, int AIndex)
{
  TInputStream &ist = *FInputStreams[AOst.SourceIndex];
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
  if (enc && enc->codec_type == AVMEDIA_TYPE_VIDEO) {
    const int w = AOst.StreamCopy ? AOst.Stream->codecpar->width : enc->width;
    const int h = AOst.StreamCopy ? AOst.Stream->codecpar->height : enc->height;
    const int64_t need = 4LL * w * h;
    if (need > FReport.BitBufferSize && need < INT32_MAX) FReport.BitBufferSize = static_cast<int32_t>(need);
  }
}

void engine::TRun::SetupStreamCopy(TOutputStream &AOst, TInputStream &AIst)
{
  AVCodecContext *enc = AOst.Enc;
  AVCodecParameters *dec = AIst.Stream->codecpar;
  AVFormatContext *oc = FOutputs[AOst.FileIndex];
  const AVMediaType type = dec->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO && FSettings.AudioVolume != 256)
    Fail("-acodec copy and -vol are incompatible (frames are not decoded)");
  if (type == AVMEDIA_TYPE_VIDEO) {
    if (FEvents.CustomHookSet()) Fail("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    if (FEvents.FrameHooksLoaded()) Fail("-vcodec copy and -vhook are incompatible (frames are not decoded)");
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

void engine::TRun::SetupOutputPath(TOutputStream &AOst, TInputStream &AIst, int AIndex)
{
  AVFormatContext *oc = FOutputs[AOst.FileIndex];
  switch (AOst.Enc->codec_type) {
    case AVMEDIA_TYPE_AUDIO: {
      auto path = std::make_unique<TAudioPath>(*this, oc, AOst);
      path->Setup(AIst);
      AOst.Path = std::move(path);
      break;
    }
    case AVMEDIA_TYPE_VIDEO: {
      TVideoPathOptions options;
      int64_t flags = FSettings.SwsFlags;
      SwsContext *swsOpts = FJob.SwsOpts;
      options.SetupScalerFlags = swsOpts && AVUtilLib.av_opt_get_int(swsOpts, "sws_flags", 0, &flags) >= 0
                                     ? static_cast<int32_t>(flags)
                                     : FSettings.SwsFlags;
      const AVCodecContext *videoOpts = FJob.CodecOpts[AVMEDIA_TYPE_VIDEO];
      options.InterlacedCoding =
          videoOpts && (videoOpts->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
      if (AOst.FileIndex >= 0 && AOst.FileIndex < MaxFiles && AOst.Index >= 0 && AOst.Index < MaxStreams)
        options.Quality = FJob.OutputSetups[AOst.FileIndex].Streams[AOst.Index].Quality;
      if (!FPicturePrep) FPicturePrep = std::make_unique<TPicturePrep>(FHookLinks);
      auto path = std::make_unique<TVideoPath>(*this, oc, AOst, options);
      path->Setup(AIst);
      // The setting follows the scaler options once a scaler is made at the
      // set-up, so later scalers of the run use them too: the one setting a
      // run writes, on its own thread before any stage starts.
      if (path->Rescaling()) FEvents.ScalerFlagsSettled(options.SetupScalerFlags);
      AOst.Path = std::move(path);
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE: {
      auto path = std::make_unique<TSubtitlePath>(*this, oc, AOst);
      path->Setup(AIst);
      AOst.Path = std::move(path);
      break;
    }
    default:
      Fail("invalid codec_type of output stream");
  }
  // From here the path owns the encoder; nothing reads it from the job's table again.
  AOst.Path->AdoptEncoder(std::move(FJob.OutputSetups[AOst.FileIndex].Streams[AOst.Index].Enc));
  AOst.Path->OpenPassLog(AIndex);
}

void engine::TRun::OpenDecoder(TInputStream &AIst)
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

void engine::TRun::OpenEncoders()
{
    for (auto &ostp : FOutputStreams) {
    TOutputStream &ost = *ostp;
    if (!ost.EncodingNeeded) continue;
    AVCodecContext *enc = ost.Enc;
    const AVCodec *codec = enc->codec ? enc->codec : AVCodecLib.avcodec_find_encoder(enc->codec_id);
    if (!codec || !AVCodecLib.av_codec_is_encoder(codec))
      Fail(Format("Unsupported codec for output stream #%d.%d", {ost.FileIndex, ost.Index}));
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE && !enc->subtitle_header) {
      // Text subtitle encoders take their style header from the decoder,
      // which makes it when it opens: open that one first.
      TInputStream &ist = *FInputStreams[ost.SourceIndex];
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
    FReport.ExtraSize += enc->extradata_size;
  }
  FEvents.Counted(FReport);
}

void engine::TRun::OpenDecoders()
{
  // Decoders on their library's threads as the budget allows (see CodecThreads.h).
  for (auto &istp : FInputStreams)
    if (istp->DecodingNeeded && istp->Dec && !istp->Opened) engine::SetDecoderThreads(*istp->Dec, FParams.ThreadBudget);
  for (auto &istp : FInputStreams)
    if (istp->DecodingNeeded) OpenDecoder(*istp);
}

void engine::TRun::ResetInputClocks()
{
  for (auto &ist : FInputStreams) {
    ist->Pts = 0;
    ist->NextPts = NoPts;
    ist->Dts = 0;
    ist->NextDts = NoPts;
    ist->IsStart = 1;
  }
}

void engine::TRun::ApplyMetaDataMaps()
{
  for (int i = 0; i < FJob.MetaDataMapCount; ++i) {
    const int out = FJob.MetaDataMaps[i].OutFile, in = FJob.MetaDataMaps[i].InFile;
    if (out < 0 || out >= FOutputCount)
      Fail(Format("Invalid output file index %d map_meta_data(%d,%d)", {out, out, in}));
    if (in < 0 || in >= FInputCount)
      Fail(Format("Invalid input file index %d map_meta_data(%d,%d)", {in, out, in}));
    CopyNamedMetadata(FOutputs[out]->metadata, FInputs[in]->metadata);
  }
}

void engine::TRun::WriteHeaders()
{
  for (int f = 0; f < FOutputCount; ++f) {
    AVDictionary *opts = nullptr;
    AVUtilLib.av_dict_copy(&opts, FJob.OutputSetups[f].MuxOpts.Get(), 0);
    const int r = AVFormatLib.avformat_write_header(FOutputs[f], &opts);
    AVUtilLib.av_dict_free(&opts);
    if (r < 0) Fail(Format("Could not write header for output file #%d (incorrect codec parameters ?)", {f}));
    FJob.OutputSetups[f].File.HeaderWritten = true;
  }
  bool allRtp = FOutputCount > 0;
  for (int f = 0; f < FOutputCount; ++f)
    allRtp = allRtp && std::strcmp(FOutputs[f]->oformat->name, "rtp") == 0;
  if (allRtp && FEvents.Listening()) {
    char sdp[2048] = {};
    AVFormatLib.av_sdp_create(FOutputs, FOutputCount, sdp, sizeof sdp);
    std::string text = sdp;
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    Log(1, "SDP: " + text);
  }
}
