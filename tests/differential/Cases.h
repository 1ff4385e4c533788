// The matrix of the differential suite: input shapes (how each FLV is made:
// an ffmpeg command, optionally edited tag by tag) and the jobs each goes
// through, plus where inputs and the ffmpeg command's outputs are cached.
//
// Shapes() is built once and read from any thread. Input() and
// OracleOutput() make missing files under a lock file, so test processes
// running side by side make each file once; they throw std::runtime_error
// when the ffmpeg command or the edit fails.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "FlvTags.h"

namespace qvdiff {

// Stream copy goes to Matroska, which holds every FLV codec but Nellymoser
// (copied to FLV instead), and to MP4 where it holds the codecs.
enum TJob { jbReencode = 1, jbCopyMkv = 2, jbCopyMp4 = 4, jbCopyFlv = 8 };

enum TExpect {
  exSame,        // the ffmpeg command's result on the same input
  exClosedJump,  // every stream jumps beyond the threshold (or back): our rule closes the jump,
                 // the ffmpeg command keeps it; the reference is the ffmpeg command's result on
                 // the input without the jump, which is what closing the jump gives
  exMergedKinds, // stream copy: the ffmpeg command splits a stream whose configuration changes into
                 // two; its streams of one kind are taken together as one
};

// An input made by test code rather than an ffmpeg command, and what the
// ffmpeg command reads in its place when it cannot read that input right.
struct TMade {
  std::string Input;      // the FLV we convert
  std::string Reference;  // the ffmpeg command's input (a Matroska source, or an FLV of the right tags)
  std::vector<std::string> Maps;  // "-map 0:N" arguments choosing the reference's streams (empty: all)
};

// An edit of the generated file; ASecond is the file of Source2 (empty when none).
using TEdit = std::function<void(qvtest::TFlvFile &AFile, const qvtest::TFlvFile &ASecond)>;

struct TShape {
  std::string Name;  // [A-Za-z0-9_], unique
  std::string What;  // in words, for failure messages
  std::string Source;   // ffmpeg arguments before "-f flv OUT"; empty for a real sample
  std::string Source2;  // a second file handed to the edit (e.g. to append), or empty
  std::string Sample;   // a real file, used as it is
  TEdit Edit;
  std::string EditKey;  // the edit's recipe in words; part of the cache key
  TEdit ClosedEdit;     // exClosedJump: the same edit without the jump (may be empty)
  std::string ClosedKey;
  TExpect Expect = exSame;
  int Jobs = jbReencode | jbCopyMkv;
  int Preset = 1;  // the window's preset number (formats.ini order, from 1)
  // Re-encoding must show the last source picture for its whole frame time.
  bool LastFrame = true;
  bool Long = false;  // only in the long mode
  // Made inputs: AMake writes into the empty folder it is given (once per cache).
  std::function<TMade(const std::string &ADir)> Make;
  std::string MakeKey;  // the recipe in words; part of the cache key
  // The MP4 copy goes through `convert --preset copy`, which converts the
  // sound where MP4 does not take it as it is; RewrapAudio is the ffmpeg
  // command's audio codec for the same.
  bool Rewrap = false;
  std::string RewrapAudio = "copy";
};

// Every shape; the long ones only when ALong.
const std::vector<TShape> &Shapes(bool ALong);

// The input file of AShape (AClosed: the input without the jump), made when missing.
std::string Input(const TShape &AShape, bool AClosed = false);

// A made shape's input and reference, made when missing.
TMade Made(const TShape &AShape);

// The ffmpeg command AArgs (which names its input; the output path is
// appended) run once and its output cached under a name made from the
// command; AExt (with its dot) gives the container. Returns the path. When
// the command fails, AExit and AError hold its exit code and error text and
// nothing is cached.
std::string OracleOutput(const std::vector<std::string> &AArgs, const std::string &AExt, int &AExit,
                         std::string &AError);

// The cache folder (created when missing).
std::string MediaDir();

}  // namespace qvdiff
