// The input and output records of one FLV -> MP4 conversion, built from an
// output preset the way the converter window builds them: MPEG-4 video
// ("mpeg4") and AAC audio ("libfaac") at 15 frames per second, with the
// preset's frame size, bit rates, channel count and sample rate. Presets
// with the optional keys of Tools.h name other encoders, keep the source's
// frame rate or shape, or ask the x264 encoder for a constant quality; the
// rewrap records copy what MP4 can carry as it is.
//
// No GUI toolkit: the window and the command line share these.
// Threads: pure functions, callable from any thread (MissingEncoder needs
// the media libraries loaded).
// Failure: none; a null preset leaves size and rates unset.
#pragma once

#include <string>

#include "Options.h"
#include "SourceInfo.h"
#include "Tools.h"

// ResetInputOptions with FileName := AFileName.
TInputOptions ConvertInputRecord(const std::string &AFileName);

// ResetOutputOptions, then the codecs, "15" fps and, with a preset, its frame
// size ("320x240"), video and audio bit rates, channels and sample rate.
// Without one the engine keeps the input's frame size and its own rates.
// ASource is read only for the optional keys (the source's frame rate and
// shape); a preset without them gives the same record with or without it.
TOutputOptions ConvertOutputRecord(const TFormat *APreset, const TSourceInfo *ASource = nullptr);

// ResetOutputOptions, then: rkCopyAll copies video and audio; rkCopyVideo
// copies the video and encodes the audio to AAC (64 kbit/s a channel, at
// most two channels, at the source's sample rate or the next one AAC takes).
// rkNone gives the plain reset record.
TOutputOptions RewrapOutputRecord(TRewrapKind AKind, const TSourceInfo &ASource);

// The first encoder the preset names that the loaded libraries lack ("" when
// every one is there, or when the libraries are not loaded).
std::string MissingEncoder(const TFormat &APreset);
