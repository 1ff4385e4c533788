#include "FrameHook.h"

#include "FFmpeg.h"

struct TFrameHookEntry {};

TFrameHookChain::TFrameHookChain() = default;
TFrameHookChain::~TFrameHookChain() = default;

void TCustomFFmpeg::ReleaseFrameHooks() { FrameHooks.reset(); }
