#include "FFmpeg.h"

void TCustomFFmpeg::Transcode() { Fail("transcoding is not available yet"); }
