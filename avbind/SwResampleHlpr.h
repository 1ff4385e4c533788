// Run-time binding of libswresample (FFmpeg 5.1, libswresample.so.4), which
// converts decoded audio to the engine's 16-bit interleaved samples and on to
// each encoder's sample format. See LibModule.h for ownership, threads and failure.
#pragma once

#include <string>

extern "C" {
#include <libswresample/swresample.h>
}

#include "LibModule.h"

#define QV_SWRESAMPLE_FUNCTIONS(X)                                                      \
  X(swr_alloc_set_opts2) X(swr_init) X(swr_free) X(swr_convert) X(swr_get_out_samples)  \
  X(swr_get_delay) X(swr_set_compensation) X(swresample_version)

struct TSwResampleFuncs {
  QV_SWRESAMPLE_FUNCTIONS(QV_SLOT)
};

extern TSwResampleFuncs SwResampleLib;

bool LoadSwResample(std::string &AError, const std::string &AFolder, bool AVersioned);
void UnloadSwResample();
bool SwResampleLoaded();
