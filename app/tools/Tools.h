// Tools: the output presets read from formats.ini, the rule that derives a
// free output file name, and the program's version text.
//
// No GUI toolkit here: the window and the command line both use this module.
// Threads: LoadPresets and Presets belong to the thread that runs the front
// end (the window thread); MakeOutputName and FileVersionText may be called
// from any thread.
// Failure: nothing here throws for missing or malformed files; a preset file
// that cannot be read simply gives no presets.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One output preset: one section of formats.ini.
struct TFormat {
  std::string Name;
  int32_t FrameWidth = 0;
  int32_t FrameHeight = 0;
  // "frame_rate": read and range-checked, but never the output's rate, which
  // is 15 fps, or with keep_frame_rate the source's (25 when it tells none).
  int32_t FrameRate = 0;
  int32_t VideoBitrate = 0;  // bits per second, as option "vb" takes it
  int32_t AudioBitrate = 0;  // bits per second, as option "ab" takes it
  int32_t AudioChannels = 0;
  int32_t AudioFrequency = 0;  // Hz
  // Optional keys of newer preset files. Left out, they give the classic
  // conversion: "mpeg4" and "libfaac" at 15 fps, at exactly the preset's size.
  std::string VideoCodec;        // "video_codec": the video encoder; empty: "mpeg4"
  std::string AudioCodec;        // "audio_codec": the audio encoder; empty: "libfaac"
  int32_t KeepFrameRate = 0;     // "keep_frame_rate": not 0: the source's frame rate instead of 15
  int32_t KeepAspectRatio = 0;   // "keep_aspect_ratio": not 0: the largest size with the source's
                                 // shape within frame_width x frame_height
  std::string Crf;               // "crf": constant quality of the x264 encoder (0 to 51); empty: none
  std::string X264Preset;        // "x264_preset": speed preset of the x264 encoder; empty: its default
  // Why the preset cannot be used: its first value that is not a number or
  // out of range, with the line ("formats.ini line 42: audio_frequency=0 is
  // not a sample rate"). Empty: usable. Such a preset is listed but never
  // converts: the value it holds is the one it read (0 when not a number).
  std::string Problem;
};

// The presets of the process, one per section, in the order of the file.
extern std::vector<TFormat> Presets;

// The default presets: the first that exists of the user's own
// $XDG_CONFIG_HOME/quenvaro/formats.ini (~/.config/quenvaro/formats.ini when
// that is unset), formats.ini beside the running executable (the build tree)
// and the installed share/quenvaro/formats.ini; the installed one when none
// does.
std::string PresetFileName();

// Fills Presets from AFileName (PresetFileName() when empty) and
// hands every preset name, in order, to AAddName. Every section is a preset,
// one without keys too; keys may be indented. A missing or unreadable file
// leaves Presets empty. Keys missing or not numbers read as 0 (name: empty);
// the optional keys read as their defaults (a "crf" that is not a number
// from 0 to 51 too). A value given that is not a number, or out of its
// range, makes the preset unusable (TFormat::Problem); a missing key does not.
void LoadPresets(const std::string &AFileName = {},
                 const std::function<void(const std::string &)> &AAddName = {});

// Reads one integer value the way the preset file's keys are read: decimal
// (or $/0x hexadecimal) within the 32-bit range, otherwise ADefault.
int32_t ReadIniInteger(const std::string &AValue, int32_t ADefault);
// The same, false when AValue is no such number.
bool ParseIniInteger(const std::string &AValue, int32_t &AResult);

// The first free name of the form <input without extension>_(new)<AExt>, then
// _(new_1), _(new_2), ... AExt includes its dot. The input name itself with
// AExt is never proposed. A name is taken when a file of it exists or another
// conversion is writing it (OutputNameReserved).
std::string MakeOutputName(const std::string &AInputName, const std::string &AExt);

// Why AName cannot wait its turn among other inputs: it exists but is no
// regular file (a FIFO, a socket, a device, a folder), and opening it could
// block or read forever. Empty for a regular file (or a link to one) and for
// a name that does not exist, whose opening says what is wrong.
std::string NotRegularFileText(const std::string &AName);

// The estimated-time timer's projection: the duration of the whole job at the
// rate seen so far (not the time left), AElapsed * ATotalCount / ACurrentCount,
// in AElapsed's unit; 0 while nothing is done, AElapsed once the current count
// reaches the total.
double EstimatedTotalTime(int32_t ACurrentCount, int32_t ATotalCount, double AElapsed);

// The executable's file version, compiled in from the build's project
// version (for example "1.0.0.0").
std::string FileVersionText();
