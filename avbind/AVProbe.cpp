#include "AVProbe.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "AVPtr.h"
#include "FlvSource.h"
#include "OpenErrors.h"
#include "SysFormat.h"

namespace {

std::string Tag(const AVDictionary *ADict, const char *AKey)
{
  const AVDictionaryEntry *e = AVUtilLib.av_dict_get(ADict, AKey, nullptr, 0);
  return e && e->value ? e->value : "";
}

// Leading decimal number of a tag such as "2008-03-01" or "3/12"; 0 when none.
int32_t LeadingNumber(const std::string &AText)
{
  std::size_t i = 0;
  while (i < AText.size() && std::isspace(static_cast<unsigned char>(AText[i]))) ++i;
  int64_t v = 0;
  bool any = false;
  for (; i < AText.size() && std::isdigit(static_cast<unsigned char>(AText[i])); ++i) {
    any = true;
    if (v < 100000000) v = v * 10 + (AText[i] - '0');
  }
  return any ? static_cast<int32_t>(v) : 0;
}

std::string Trim(const std::string &AText)
{
  std::size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ') --e;
  return AText.substr(b, e - b);
}

// Seconds east of UTC of the local zone's standard (non-daylight) time: the
// smaller of the January and July offsets, which is standard time on either
// hemisphere.
long StandardOffset(time_t AAt)
{
  struct tm t {};
  gmtime_r(&AAt, &t);
  long best = 0;
  bool first = true;
  for (int mon : {0, 6}) {
    struct tm probe {};
    probe.tm_year = t.tm_year;
    probe.tm_mon = mon;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    time_t when = mktime(&probe);
    struct tm local {};
    if (when == static_cast<time_t>(-1) || !localtime_r(&when, &local)) continue;
    if (first || local.tm_gmtoff < best) best = local.tm_gmtoff;
    first = false;
  }
  return best;
}

std::string LocalStandardTime(int64_t ASeconds)
{
  const time_t utc = static_cast<time_t>(ASeconds);
  const time_t shifted = utc + StandardOffset(utc);
  struct tm t {};
  if (!gmtime_r(&shifted, &t)) return "";
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t);
  return buf;
}

// A local file whose name holds a ':' would otherwise be taken for a
// protocol (and could open a network address); an existing file is always
// read as a file.
std::string OpenName(const std::string &AFileName)
{
  struct stat st {};
  if (AFileName.find(':') != std::string::npos && stat(AFileName.c_str(), &st) == 0) return "file:" + AFileName;
  return AFileName;
}

}  // namespace

TAVProbe::TAVProbe() = default;

TAVProbe::~TAVProbe() { CloseFile(); }

void TAVProbe::CheckLibAV()
{
  if (!AVCodecLoaded()) throw std::runtime_error("LibAVCodec not loaded.");
  if (!AVFormatLoaded()) throw std::runtime_error("LibAVFormat not loaded.");
  if (!AVUtilLoaded()) throw std::runtime_error("LibAVUtil not loaded.");
  if (!SwScaleLoaded()) throw std::runtime_error("LibSwScale not loaded.");
}

void TAVProbe::ResetCounts()
{
  StreamCount = ProgramCount = -1;
  AudioStreamCount = VideoStreamCount = SubtitleStreamCount = -1;
  FirstAudioStream = FirstVideoStream = FirstSubtitleStream = -1;
}

void TAVProbe::CloseFile()
{
  if (!FContext) return;
  if (FFlv)
    FFlv.reset();
  else
    AVFormatLib.avformat_close_input(&FContext);
  FContext = nullptr;
  FFileName.clear();
  FormatName.clear();
  ResetCounts();
}

bool TAVProbe::LoadFile(const std::string &AFileName, const std::string &AFormatName)
{
  CheckLibAV();
  CloseFile();
  const AVInputFormat *fmt = nullptr;
  if (!AFormatName.empty()) {
    fmt = AVFormatLib.av_find_input_format(AFormatName.c_str());
    if (!fmt) {
      LastError = avbind::Format("Unknown input format: %s", {AFormatName});
      return false;
    }
  }
  if ((AFormatName.empty() || AFormatName == "flv") && flv::TFlvSource::Claims(AFileName, AFormatName == "flv")) {
    std::string error;
    FFlv = flv::TFlvSource::Open(AFileName, {}, error);
    if (!FFlv) {
      LastError = error;
      return false;
    }
    FContext = FFlv->Context();
    FFileName = AFileName;
  } else if (!OpenWithDemuxer(AFileName, fmt)) {
    return false;
  }
  CountStreams();
  FormatName = AFormatName;
  return true;
}

bool TAVProbe::OpenWithDemuxer(const std::string &AFileName, const AVInputFormat *AFormat)
{
  const AVInputFormat *fmt = AFormat;
  AVFormatContext *ctx = AVFormatLib.avformat_alloc_context();
  if (!ctx) {
    LastError = avbind::InputOpenErrorText(AFileName, AVERROR(ENOMEM));
    return false;
  }
  // The library frees the context itself when the open fails.
  const int r = AVFormatLib.avformat_open_input(&ctx, OpenName(AFileName).c_str(), fmt, nullptr);
  if (r < 0) {
    LastError = avbind::InputOpenErrorText(AFileName, r);
    return false;
  }
  FContext = ctx;
  FFileName = AFileName;
  if (AVFormatLib.avformat_find_stream_info(FContext, nullptr) < 0) {
    LastError = avbind::Format("%s: could not find codec parameters", {AFileName});
    CloseFile();
    return false;
  }
  return true;
}

void TAVProbe::CountStreams()
{
  StreamCount = static_cast<int32_t>(FContext->nb_streams);
  ProgramCount = static_cast<int32_t>(FContext->nb_programs);
  AudioStreamCount = VideoStreamCount = SubtitleStreamCount = 0;
  for (unsigned i = 0; i < FContext->nb_streams; ++i) {
    const int idx = static_cast<int>(i);
    switch (FContext->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        ++AudioStreamCount;
        if (FirstAudioStream < 0) FirstAudioStream = idx;
        break;
      case AVMEDIA_TYPE_VIDEO:
        ++VideoStreamCount;
        if (FirstVideoStream < 0) FirstVideoStream = idx;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++SubtitleStreamCount;
        if (FirstSubtitleStream < 0) FirstSubtitleStream = idx;
        break;
      default:
        break;
    }
  }
}

void TAVProbe::GetFileInfo(TAVFileInfo &AInfo) const
{
  AInfo = TAVFileInfo();
  if (!FContext) {
    AInfo.StartTime = AInfo.Duration = AInfo.TimeStamp = -1;
    if (AVUtilLoaded()) AVUtilLib.av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return;
  }
  AInfo.StartTime = FContext->start_time;
  AInfo.Duration = FContext->duration;
  // Bit rates beyond 32 bits are clamped rather than wrapped to a negative rate.
  AInfo.BitRate = FContext->bit_rate > INT32_MAX ? INT32_MAX : static_cast<int32_t>(FContext->bit_rate);
  const AVDictionary *md = FContext->metadata;
  AInfo.Title = Tag(md, "title");
  AInfo.Author = Tag(md, "artist");
  if (AInfo.Author.empty()) AInfo.Author = Tag(md, "author");
  AInfo.Copyright = Tag(md, "copyright");
  AInfo.Comment = Tag(md, "comment");
  AInfo.Album = Tag(md, "album");
  AInfo.Genre = Tag(md, "genre");
  AInfo.Year = LeadingNumber(Tag(md, "date"));
  if (AInfo.Year == 0) AInfo.Year = LeadingNumber(Tag(md, "year"));
  AInfo.Track = LeadingNumber(Tag(md, "track"));
  AInfo.TimeStamp = 0;
  const std::string created = Tag(md, "creation_time");
  int64_t us = 0;
  if (!created.empty() && AVUtilLib.av_parse_time(&us, created.c_str(), 0) >= 0) AInfo.TimeStamp = us / 1000000;
}

std::string TAVProbe::SizeText(int64_t ABytes)
{
  if (ABytes > 1073741824) return avbind::Format("%.2f GB", {static_cast<double>(ABytes) / 1073741824.0});
  if (ABytes > 1048576) return avbind::Format("%.2f MB", {static_cast<double>(ABytes) / 1048576.0});
  if (ABytes > 1024) return avbind::Format("%.2f KB", {static_cast<double>(ABytes) / 1024.0});
  return avbind::Format("%d Byte", {ABytes});
}

std::string TAVProbe::DurationText(int64_t AMicroseconds)
{
  // Negative values keep their sign in front instead of inside every field.
  const bool neg = AMicroseconds < 0;
  const uint64_t t = neg ? 0 - static_cast<uint64_t>(AMicroseconds) : static_cast<uint64_t>(AMicroseconds);
  const uint64_t hours = t / 3600000000ULL, minutes = (t / 60000000ULL) % 60, seconds = (t / 1000000ULL) % 60;
  const uint64_t hundredths = (t % 1000000ULL) / 10000ULL;
  return std::string(neg ? "-" : "") +
         avbind::Format("%.2d:%.2d:%.2d.%.2d", {static_cast<int64_t>(hours), static_cast<int64_t>(minutes),
                                                 static_cast<int64_t>(seconds), static_cast<int64_t>(hundredths)});
}

std::string TAVProbe::StartTimeText(int64_t AMicroseconds)
{
  // Split the magnitude, so -0.5 s reads "-0.500000" rather than "0.-500000".
  const bool neg = AMicroseconds < 0;
  const uint64_t t = neg ? 0 - static_cast<uint64_t>(AMicroseconds) : static_cast<uint64_t>(AMicroseconds);
  return std::string(neg ? "-" : "") + avbind::Format("%d.%.6d", {static_cast<int64_t>(t / 1000000ULL),
                                                                  static_cast<int64_t>(t % 1000000ULL)});
}

std::string TAVProbe::StreamLine(unsigned AIndex) const
{
  const AVStream *st = FContext->streams[AIndex];
  std::string line = avbind::Format("Stream #%d", {AIndex});
  if (FContext->iformat->flags & AVFMT_SHOW_IDS) line += avbind::Format("[0x%x]", {st->id});
  const std::string lang = Trim(Tag(st->metadata, "language"));
  if (!lang.empty()) line += "(" + lang + ")";
  int64_t num = st->time_base.num, den = st->time_base.den;
  const int64_t g = AVUtilLib.av_gcd(num, den);
  if (g > 0) {
    num /= g;
    den /= g;
  }
  line += avbind::Format(", %d/%d", {num, den});

  char desc[1024] = {};
  avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(nullptr));
  if (dec && AVCodecLib.avcodec_parameters_to_context(dec.get(), st->codecpar) >= 0) {
    // The stream's time base is the nearest thing 5.1 keeps to a codec time base.
    dec->time_base = st->time_base;
    AVCodecLib.avcodec_string(desc, sizeof desc, dec.get(), 0);
  }
  line += ": ";
  line += desc;

  if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    if (st->r_frame_rate.num != 0 && st->r_frame_rate.den != 0)
      line += avbind::Format(", %5.2f tb(r)", {av_q2d(st->r_frame_rate)});
    else if (dec && dec->time_base.num != 0 && dec->time_base.den != 0)
      line += avbind::Format(", %5.2f tb(c)", {1.0 / av_q2d(dec->time_base)});
  }
  const AVRational us{1, AV_TIME_BASE};
  if (st->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " + StartTimeText(AVUtilLib.av_rescale_q(st->start_time, st->time_base, us));
  if (st->duration == AV_NOPTS_VALUE)
    line += ", Duration: N/A";
  else
    line += ", Duration: " + DurationText(AVUtilLib.av_rescale_q(st->duration, st->time_base, us));
  return line;
}

std::string TAVProbe::GetFileInfoText() const
{
  if (!FContext) {
    if (AVUtilLoaded()) AVUtilLib.av_log(nullptr, AV_LOG_INFO, "file not loaded.\n");
    return "";
  }
  std::string text;
  auto add = [&text](const std::string &ALine) { text += ALine + "\r\n"; };

  add(avbind::Format("File Name: %s", {FFileName}));
  add(avbind::Format("Format Name: %s", {FContext->iformat->name}));
  add(avbind::Format("Format Long Name: %s", {FContext->iformat->long_name}));

  // A stream that cannot tell its size (a pipe, say) has none: neither the
  // library's error code nor the 0 of a FIFO is a size.
  int64_t size = FFlv ? FFlv->FileSize() : FContext->pb ? AVFormatLib.avio_size(FContext->pb) : -1;
  if (size <= 0) {
    struct stat st {};
    size = stat(FFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
  }
  add(size < 0 ? std::string("File Size: N/A") : avbind::Format("File Size: %s", {SizeText(size)}));

  TAVFileInfo info;
  GetFileInfo(info);
  if (info.StartTime != AV_NOPTS_VALUE) add("StartTime: " + StartTimeText(info.StartTime));
  add(info.Duration == AV_NOPTS_VALUE ? std::string("Duration: N/A")
                                      : avbind::Format("Duration: %s", {DurationText(info.Duration)}));
  add(info.BitRate < 1 ? std::string("Bit Rate: N/A") : avbind::Format("Bit Rate: %d Kbps", {info.BitRate / 1000}));
  if (info.TimeStamp > 0) add(avbind::Format("Time Stamp: %s", {LocalStandardTime(info.TimeStamp)}));
  const std::pair<const char *, const std::string *> tags[] = {
      {"Title: %s", &info.Title},     {"Author: %s", &info.Author}, {"Copyright: %s", &info.Copyright},
      {"Comment: %s", &info.Comment}, {"Album: %s", &info.Album},   {"Genre: %s", &info.Genre}};
  for (const auto &t : tags)
    if (!t.second->empty()) add(avbind::Format(t.first, {*t.second}));
  if (info.Year > 0) add(avbind::Format("Year: %d", {info.Year}));
  if (info.Track > 0) add(avbind::Format("Track: #%d", {info.Track}));

  if (FContext->nb_programs == 0) {
    for (unsigned i = 0; i < FContext->nb_streams; ++i) add(StreamLine(i));
  } else {
    for (unsigned p = 0; p < FContext->nb_programs; ++p) {
      const AVProgram *prog = FContext->programs[p];
      add(avbind::Format("Program %d %s@%s", {prog->id, Tag(prog->metadata, "service_name"),
                                              Tag(prog->metadata, "service_provider")}));
      for (unsigned k = 0; k < prog->nb_stream_indexes; ++k)
        if (prog->stream_index[k] < FContext->nb_streams) add(StreamLine(prog->stream_index[k]));
    }
  }
  return text;
}
