#include "FFmpeg.h"
