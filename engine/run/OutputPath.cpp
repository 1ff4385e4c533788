// What every output path shares: its links and the two-pass log (see OutputPath.h).
#include "OutputPath.h"

#include <mutex>
#include <string>
#include <utility>

#include "FFmpeg.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "Streams.h"

namespace engine {

TOutputPath::TOutputPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst)
    : FServices(AServices), FOut(AOut), FOst(AOst), FEnc(AOst.Enc)
{
}

TOutputPath::~TOutputPath()
{
  if (!FEncOwner) return;
  std::lock_guard<std::recursive_mutex> lock(CodecLock());
  CloseEncoder();
}

void TOutputPath::AdoptEncoder(avbind::TCodecCtxPtr AEnc)
{
  FEncOwner = std::move(AEnc);
  FEnc = FEncOwner.get();
}

void TOutputPath::CloseEncoder()
{
  // The library leaves a pass-2 log given to the encoder to us.
  if (FEncOwner) AVUtilLib.av_freep(&FEncOwner->stats_in);
  FEncOwner.reset();
  FEnc = nullptr;
}

void TOutputPath::OpenPassLog(int AIndex)
{
  AVCodecContext *enc = FEnc;
  if (!(enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) return;
  const std::string &base = Settings().PassLogFileName;
  std::string name = (base.empty() ? std::string("ffmpeg2pass") : base) + "-" + std::to_string(AIndex) + ".log";
  if (name.size() > 1023) name.resize(1023);
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    FLogFile.reset(MyUtilLib.my_fopen(name.c_str(), "w"));
    if (!FLogFile) throw FFMpegException("creat file fail: " + name);
    return;
  }
  avbind::TMyFilePtr f(MyUtilLib.my_fopen(name.c_str(), "r"));
  if (!f) throw FFMpegException("creat open fail: " + name);
  MyUtilLib.my_fseek(f.get(), 0, SEEK_END);
  const long size = MyUtilLib.my_ftell(f.get());
  MyUtilLib.my_fseek(f.get(), 0, SEEK_SET);
  char *text = size >= 0 ? static_cast<char *>(AVUtilLib.av_malloc(static_cast<size_t>(size) + 1)) : nullptr;
  if (!text) throw FFMpegException("Could not allocate log buffer");
  const size_t got = MyUtilLib.my_fread(text, 1, static_cast<size_t>(size), f.get());
  f.reset();
  text[got] = 0;
  AVUtilLib.av_freep(&enc->stats_in);
  enc->stats_in = text;
}

}  // namespace engine
