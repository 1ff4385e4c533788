// Shared by the hook tests: a capture of the library log, pictures to hook,
// and access to the probe hook's record of calls.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "AVUtilHlpr.h"
#include "ProbeHook.h"

namespace hooktest {

// Library log lines (av_log) collected while an instance lives.
class TLibraryLogCapture {
 public:
  TLibraryLogCapture()
  {
    Lines().clear();
    AVUtilLib.av_log_set_callback(&Callback);
  }
  ~TLibraryLogCapture() { AVUtilLib.av_log_set_callback(AVUtilLib.av_log_default_callback); }
  std::vector<std::string> Take()
  {
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<std::string> lines;
    lines.swap(Lines());
    return lines;
  }

 private:
  static std::vector<std::string> &Lines()
  {
    static std::vector<std::string> lines;
    return lines;
  }
  static std::mutex &Mutex()
  {
    static std::mutex m;
    return m;
  }
  static void Callback(void *, int ALevel, const char *AFmt, va_list AArgs)
  {
    if (ALevel > AV_LOG_ERROR) return;
    char buf[1024];
    vsnprintf(buf, sizeof buf, AFmt, AArgs);
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().push_back(buf);
  }
};

// The probe hook's own exports, reached through the module the engine loaded.
class TProbe {
 public:
  TProbe()
  {
    FModule = dlopen(QV_PROBE_HOOK, RTLD_NOW | RTLD_LOCAL);
    if (!FModule) throw std::runtime_error(dlerror());
    FRead = reinterpret_cast<ProbeReadFn>(dlsym(FModule, "ProbeRead"));
    FReset = reinterpret_cast<ProbeResetFn>(dlsym(FModule, "ProbeReset"));
    FReset();
  }
  ~TProbe() { dlclose(FModule); }
  ProbeState Read() const
  {
    ProbeState s{};
    FRead(&s);
    return s;
  }

 private:
  void *FModule;
  ProbeReadFn FRead;
  ProbeResetFn FReset;
};

// A planar picture with padded lines, filled with a pattern that differs
// from pixel to pixel, and a copy of its bytes to compare against.
class TPicture {
 public:
  TPicture(int AWidth, int AHeight, AVPixelFormat AFormat = AV_PIX_FMT_YUV420P)
  {
    FFrame = AVUtilLib.av_frame_alloc();
    FFrame->width = AWidth;
    FFrame->height = AHeight;
    FFrame->format = AFormat;
    if (AVUtilLib.av_frame_get_buffer(FFrame, 64) < 0) throw std::runtime_error("no picture buffer");
    for (int p = 0; p < 4 && FFrame->data[p]; ++p) {
      const int rows = PlaneRows(p);
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < FFrame->linesize[p]; ++x) Byte(p, x, y) = static_cast<uint8_t>(x * 7 + y * 13 + p * 50);
    }
    FOriginal = Bytes();
  }
  ~TPicture() { AVUtilLib.av_frame_free(&FFrame); }
  AVFrame *Frame() { return FFrame; }
  uint8_t &Byte(int APlane, int AX, int AY) { return FFrame->data[APlane][AY * FFrame->linesize[APlane] + AX]; }
  uint8_t Original(int APlane, int AX, int AY) const
  {
    return FOriginal[APlane][AY * FFrame->linesize[APlane] + AX];
  }
  int PlaneRows(int APlane) const
  {
    if (APlane == 0 || FFrame->format == AV_PIX_FMT_YUV444P) return FFrame->height;
    return (FFrame->height + 1) / 2;  // 4:2:0
  }
  std::vector<std::vector<uint8_t>> Bytes() const
  {
    std::vector<std::vector<uint8_t>> planes;
    for (int p = 0; p < 4 && FFrame->data[p]; ++p)
      planes.emplace_back(FFrame->data[p], FFrame->data[p] + FFrame->linesize[p] * PlaneRows(p));
    return planes;
  }

 private:
  AVFrame *FFrame = nullptr;
  std::vector<std::vector<uint8_t>> FOriginal;
};

// "path|a|b" from a path and arguments.
inline std::string HookText(const std::string &APath, const std::vector<std::string> &AArgs, char ASep = '|')
{
  std::string s = APath;
  for (const std::string &a : AArgs) s += ASep + a;
  return s;
}

}  // namespace hooktest
