// The input and output records of one FLV -> MP4 conversion, built from an
// output preset the way the converter window builds them: MPEG-4 video
// ("mpeg4") and AAC audio ("libfaac") at 15 frames per second, with the
// preset's frame size, bit rates, channel count and sample rate.
//
// No GUI toolkit: the window and the command line share these.
// Threads: pure functions, callable from any thread.
// Failure: none; a null preset leaves size and rates unset.
#pragma once

#include <string>

#include "Options.h"
#include "Tools.h"

// ResetInputOptions with FileName := AFileName.
TInputOptions ConvertInputRecord(const std::string &AFileName);

// ResetOutputOptions, then the codecs, "15" fps and, with a preset, its frame
// size ("320x240"), video and audio bit rates, channels and sample rate.
// Without one the engine keeps the input's frame size and its own rates.
TOutputOptions ConvertOutputRecord(const TFormat *APreset);
