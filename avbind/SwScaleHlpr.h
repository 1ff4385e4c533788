// Run-time binding of libswscale (FFmpeg 5.1, libswscale.so.6).
// See LibModule.h for ownership, threads and failure.
#pragma once

#include <string>

extern "C" {
#include <libswscale/swscale.h>
}

#include "LibModule.h"

#define QV_SWSCALE_FUNCTIONS(X)                                                                 \
  X(sws_scale) X(sws_getContext) X(sws_freeContext) X(sws_getCachedContext) X(swscale_version)

struct TSwScaleFuncs {
  QV_SWSCALE_FUNCTIONS(QV_SLOT)
};

extern TSwScaleFuncs SwScaleLib;

bool LoadSwScale(std::string &AError, const std::string &AFolder, bool AVersioned);
void UnloadSwScale();
bool SwScaleLoaded();
