// The option table and its dispatch: SetOption maps an option name to its
// handler; names the table does not know go to the libraries' own option
// system (SetGenericOption, GenericOptions.cpp). The handlers live by topic:
// StreamOptions.cpp (formats, maps, time limits), VideoOptions.cpp (frame
// geometry), CodecOptions.cpp (codecs, quality, two-pass), JobOptions.cpp
// (diagnostics, metadata, plain settings), Targets.cpp (presets).
//
// Every failure is raised: FFMpegException with a finished message,
// EConvertError for a malformed number, EAssertionFailed for a bad tag.
#include <string_view>
#include <unordered_map>

#include "FFmpeg.h"
#include "OptionText.h"

using engine::StrToFloat;
using engine::StrToFloat32;
using engine::StrToInt;
using engine::StrToInt64;

namespace {

enum TOptKind {
  okNoOp,         // reports "Do nothing" and takes no value
  okUnsupported,  // raises "TODO"
  okFlag,         // the value is ignored, the setting becomes 1
  okAction,       // takes no value ("vstats", "new*")
  okValue         // takes a value
};

enum TOptId {
  oiNoOp, oiUnsupported,
  oiFormat, oiMap, oiMapMetaData, oiRecordingTime, oiLimitFileSize, oiStartTime, oiInputTsOffset,
  oiInputTsScale, oiRecTimestamp, oiTitle, oiAuthor, oiCopyright, oiComment, oiGenre, oiAlbum,
  oiDataFrames, oiVideoFrames, oiAudioFrames, oiDump, oiHex, oiRateEmu, oiLoopInput, oiLoopOutput,
  oiVerbose, oiTarget, oiVideoSync, oiAudioSync, oiAudioDrift, oiVideoGlobalHeader, oiCopyTs, oiShortest,
  oiDtsDelta, oiProgramId, oiBitRate, oiFrameRate, oiFrameSize, oiAspect, oiPixFmt, oiCropTop,
  oiCropBottom, oiCropLeft, oiCropRight, oiPadTop, oiPadBottom, oiPadLeft, oiPadRight, oiPadColor,
  oiIntra, oiVideoDisable, oiVideoDiscard, oiQScale, oiRcOverride, oiVideoCodec, oiAudioCodec,
  oiSubtitleCodec, oiMeThreshold, oiSameQ, oiPass, oiPassLogFile, oiDeinterlace, oiPsnr, oiVstats,
  oiVstatsFile, oiVhook, oiIntraMatrix, oiInterMatrix, oiTop, oiDc, oiVideoTag, oiAudioTag,
  oiNewVideo, oiNewAudio, oiNewSubtitle, oiQpHist, oiAudioQScale, oiAudioRate, oiAudioChannels,
  oiAudioDisable, oiVolume, oiAudioLanguage, oiSubtitleDisable, oiSubtitleLanguage, oiVideoChannel,
  oiVideoStandard, oiInputSync, oiMuxDelay, oiMuxPreload
};

struct TOptDef {
  TOptId Id;
  TOptKind Kind;
};

const std::unordered_map<std::string_view, TOptDef> &OptionTable()
{
  static const std::unordered_map<std::string_view, TOptDef> table = {
      {"L", {oiNoOp, okNoOp}}, {"h", {oiNoOp, okNoOp}}, {"version", {oiNoOp, okNoOp}},
      {"formats", {oiNoOp, okNoOp}}, {"i", {oiNoOp, okNoOp}}, {"y", {oiNoOp, okNoOp}},
      {"benchmark", {oiNoOp, okNoOp}}, {"apre", {oiNoOp, okNoOp}}, {"vpre", {oiNoOp, okNoOp}},
      {"spre", {oiNoOp, okNoOp}},
      {"threads", {oiUnsupported, okUnsupported}}, {"absf", {oiUnsupported, okUnsupported}},
      {"vbsf", {oiUnsupported, okUnsupported}}, {"sbsf", {oiUnsupported, okUnsupported}},
      {"f", {oiFormat, okValue}}, {"map", {oiMap, okValue}}, {"map_meta_data", {oiMapMetaData, okValue}},
      {"t", {oiRecordingTime, okValue}}, {"fs", {oiLimitFileSize, okValue}}, {"ss", {oiStartTime, okValue}},
      {"itsoffset", {oiInputTsOffset, okValue}}, {"itsscale", {oiInputTsScale, okValue}},
      {"timestamp", {oiRecTimestamp, okValue}}, {"title", {oiTitle, okValue}}, {"author", {oiAuthor, okValue}},
      {"copyright", {oiCopyright, okValue}}, {"comment", {oiComment, okValue}}, {"genre", {oiGenre, okValue}},
      {"album", {oiAlbum, okValue}}, {"dframes", {oiDataFrames, okValue}}, {"vframes", {oiVideoFrames, okValue}},
      {"aframes", {oiAudioFrames, okValue}}, {"dump", {oiDump, okFlag}}, {"hex", {oiHex, okFlag}},
      {"re", {oiRateEmu, okFlag}}, {"loop_input", {oiLoopInput, okFlag}},
      {"loop_output", {oiLoopOutput, okValue}}, {"v", {oiVerbose, okValue}}, {"target", {oiTarget, okValue}},
      {"vsync", {oiVideoSync, okValue}}, {"async", {oiAudioSync, okValue}},
      {"adrift_threshold", {oiAudioDrift, okValue}}, {"vglobal", {oiVideoGlobalHeader, okValue}},
      {"copyts", {oiCopyTs, okFlag}}, {"shortest", {oiShortest, okFlag}},
      {"dts_delta_threshold", {oiDtsDelta, okValue}}, {"programid", {oiProgramId, okValue}},
      {"b", {oiBitRate, okValue}}, {"vb", {oiBitRate, okValue}}, {"ab", {oiBitRate, okValue}},
      {"r", {oiFrameRate, okValue}}, {"s", {oiFrameSize, okValue}}, {"aspect", {oiAspect, okValue}},
      {"pix_fmt", {oiPixFmt, okValue}}, {"croptop", {oiCropTop, okValue}}, {"cropbottom", {oiCropBottom, okValue}},
      {"cropleft", {oiCropLeft, okValue}}, {"cropright", {oiCropRight, okValue}}, {"padtop", {oiPadTop, okValue}},
      {"padbottom", {oiPadBottom, okValue}}, {"padleft", {oiPadLeft, okValue}},
      {"padright", {oiPadRight, okValue}}, {"padcolor", {oiPadColor, okValue}}, {"intra", {oiIntra, okFlag}},
      {"vn", {oiVideoDisable, okFlag}}, {"vdt", {oiVideoDiscard, okValue}}, {"qscale", {oiQScale, okValue}},
      {"rc_override", {oiRcOverride, okValue}}, {"vcodec", {oiVideoCodec, okValue}},
      {"acodec", {oiAudioCodec, okValue}}, {"scodec", {oiSubtitleCodec, okValue}},
      {"me_threshold", {oiMeThreshold, okValue}}, {"sameq", {oiSameQ, okFlag}}, {"pass", {oiPass, okValue}},
      {"passlogfile", {oiPassLogFile, okValue}}, {"deinterlace", {oiDeinterlace, okFlag}},
      {"psnr", {oiPsnr, okFlag}}, {"vstats", {oiVstats, okAction}}, {"vstats_file", {oiVstatsFile, okValue}},
      {"vhook", {oiVhook, okValue}}, {"intra_matrix", {oiIntraMatrix, okValue}},
      {"inter_matrix", {oiInterMatrix, okValue}}, {"top", {oiTop, okValue}}, {"dc", {oiDc, okValue}},
      {"vtag", {oiVideoTag, okValue}}, {"atag", {oiAudioTag, okValue}}, {"newvideo", {oiNewVideo, okAction}},
      {"newaudio", {oiNewAudio, okAction}}, {"newsubtitle", {oiNewSubtitle, okAction}},
      {"qphist", {oiQpHist, okFlag}}, {"aq", {oiAudioQScale, okValue}}, {"ar", {oiAudioRate, okValue}},
      {"ac", {oiAudioChannels, okValue}}, {"an", {oiAudioDisable, okFlag}}, {"vol", {oiVolume, okValue}},
      {"alang", {oiAudioLanguage, okValue}}, {"sn", {oiSubtitleDisable, okFlag}},
      {"slang", {oiSubtitleLanguage, okValue}}, {"vc", {oiVideoChannel, okValue}},
      {"tvstd", {oiVideoStandard, okValue}}, {"isync", {oiInputSync, okFlag}},
      {"muxdelay", {oiMuxDelay, okValue}}, {"muxpreload", {oiMuxPreload, okValue}},
  };
  return table;
}

}  // namespace

bool TCustomFFmpeg::OptionTakesNoValue(const std::string &AName)
{
  const auto &table = OptionTable();
  auto it = table.find(AName);
  if (it == table.end()) return false;
  return it->second.Kind == okNoOp || it->second.Kind == okFlag || it->second.Kind == okAction;
}

void TCustomFFmpeg::SetOption(const std::string &AName, const std::string &AValue)
{
  const auto &table = OptionTable();
  auto it = table.find(AName);
  if (it == table.end()) {
    SetGenericOption(AName, AValue);  // an option no library knows is dropped
    return;
  }
  const std::string &v = AValue;
  switch (it->second.Id) {
    case oiNoOp: Log(1, "Do nothing: option - " + AName); break;
    case oiUnsupported: Fail("TODO: option - " + AName);
    case oiFormat: SetFormat(v); break;
    case oiMap: SetStreamMap(v); break;
    case oiMapMetaData: SetMetaDataMap(v); break;
    case oiRecordingTime: SetRecordingTime(v); break;
    case oiLimitFileSize: LimitFileSize = StrToInt64(v); break;
    case oiStartTime: SetStartTimeText(v); break;
    case oiInputTsOffset: SetInputTsOffsetText(v); break;
    case oiInputTsScale: SetInputTsScale(v); break;
    case oiRecTimestamp: SetRecTimestampText(v); break;
    case oiTitle: SetTitle(v); break;
    case oiAuthor: SetAuthor(v); break;
    case oiCopyright: SetCopyright(v); break;
    case oiComment: SetComment(v); break;
    case oiGenre: SetGenre(v); break;
    case oiAlbum: SetAlbum(v); break;
    case oiDataFrames: MaxFrames[AVMEDIA_TYPE_DATA] = StrToInt(v); break;
    case oiVideoFrames: MaxFrames[AVMEDIA_TYPE_VIDEO] = StrToInt(v); break;
    case oiAudioFrames: MaxFrames[AVMEDIA_TYPE_AUDIO] = StrToInt(v); break;
    case oiDump: DoPktDump = 1; break;
    case oiHex: DoHexDump = 1; break;
    case oiRateEmu: RateEmu = 1; break;
    case oiLoopInput: LoopInput = 1; break;
    case oiLoopOutput: LoopOutput = StrToInt(v); break;
    case oiVerbose: SetVerbose(StrToInt(v)); break;
    case oiTarget: SetTarget(v); break;
    case oiVideoSync: VideoSyncMethod = StrToInt(v); break;
    case oiAudioSync: AudioSyncMethod = StrToInt(v); break;
    case oiAudioDrift: AudioDriftThreshold = StrToFloat32(v); break;
    case oiVideoGlobalHeader: VideoGlobalHeader = StrToInt(v); break;
    case oiCopyTs: CopyTs = 1; break;
    case oiShortest: Shortest = 1; break;
    case oiDtsDelta: DtsDeltaThreshold = StrToFloat32(v); break;
    case oiProgramId: ProgramId = StrToInt(v); break;
    case oiBitRate: SetBitRate(AName, v); break;
    case oiFrameRate: SetFrameRate(v); break;
    case oiFrameSize: SetFrameSize(v); break;
    case oiAspect: SetFrameAspectRatio(v); break;
    case oiPixFmt: SetFramePixFmt(v); break;
    case oiCropTop: SetFrameCropTop(StrToInt(v)); break;
    case oiCropBottom: SetFrameCropBottom(StrToInt(v)); break;
    case oiCropLeft: SetFrameCropLeft(StrToInt(v)); break;
    case oiCropRight: SetFrameCropRight(StrToInt(v)); break;
    case oiPadTop: SetFramePadTop(StrToInt(v)); break;
    case oiPadBottom: SetFramePadBottom(StrToInt(v)); break;
    case oiPadLeft: SetFramePadLeft(StrToInt(v)); break;
    case oiPadRight: SetFramePadRight(StrToInt(v)); break;
    case oiPadColor: SetPadColor(StrToInt(v)); break;
    case oiIntra: IntraOnly = 1; break;
    case oiVideoDisable: VideoDisable = 1; break;
    case oiVideoDiscard: VideoDiscard = StrToInt(v); break;
    case oiQScale: SetQScale(static_cast<float>(StrToFloat(v))); break;
    case oiRcOverride: VideoRcOverride = v; break;
    case oiVideoCodec: SetVideoCodec(v); break;
    case oiAudioCodec: SetAudioCodec(v); break;
    case oiSubtitleCodec: SetSubtitleCodec(v); break;
    case oiMeThreshold:
      MeThreshold = StrToInt(v);
      if (MeThreshold != 0)
        ReportOnce("me_threshold",
                   "Option me_threshold has no counterpart in this release; only the input's picture types are kept");
      break;
    case oiSameQ: SameQuality = 1; break;
    case oiPass: SetPass(StrToInt(v)); break;
    case oiPassLogFile: PassLogFileName = v; break;
    case oiDeinterlace: DoDeinterlace = 1; break;
    case oiPsnr: DoPsnr = 1; break;
    case oiVstats: SetVstats(); break;
    case oiVstatsFile: SetVstatsFile(v); break;
    case oiVhook: AddFrameHook(v); break;
    case oiIntraMatrix: SetMatrix(v, true); break;
    case oiInterMatrix: SetMatrix(v, false); break;
    case oiTop: TopFieldFirst = StrToInt(v); break;
    case oiDc: IntraDcPrecision = StrToInt(v); break;
    case oiVideoTag: SetVideoTag(v); break;
    case oiAudioTag: SetAudioTag(v); break;
    case oiNewVideo:
    case oiNewAudio:
    case oiNewSubtitle:
      // A stream is added to the last output file; without one there is
      // nothing to extend.
      if (OutputFileCount <= 0) Fail("At least one output file must be specified");
      if (it->second.Id == oiNewVideo)
        NewVideoStream(OutputFileCount - 1);
      else if (it->second.Id == oiNewAudio)
        NewAudioStream(OutputFileCount - 1);
      else
        NewSubtitleStream(OutputFileCount - 1);
      break;
    case oiQpHist: QpHist = 1; break;
    case oiAudioQScale: AudioQScale = StrToFloat32(v); break;
    case oiAudioRate: SetAudioSampleRate(StrToInt(v)); break;
    case oiAudioChannels: SetAudioChannels(StrToInt(v)); break;
    case oiAudioDisable: AudioDisable = 1; break;
    case oiVolume: AudioVolume = StrToInt(v); break;
    case oiAudioLanguage: AudioLanguage = v; break;
    case oiSubtitleDisable: SubtitleDisable = 1; break;
    case oiSubtitleLanguage: SubtitleLanguage = v; break;
    case oiVideoChannel: VideoChannel = StrToInt(v); break;
    case oiVideoStandard: VideoStandard = v; break;
    case oiInputSync: InputSync = 1; break;
    case oiMuxDelay: MuxMaxDelay = StrToFloat32(v); break;
    case oiMuxPreload: MuxPreload = StrToFloat32(v); break;
  }
}
