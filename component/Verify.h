// Verification of a finished output against its input: the output is
// demuxed and every picture and sound frame of its first video and audio
// streams decoded; the input's packets are read (not decoded) for what it
// holds. A complete conversion passes when each expected stream is there,
// lasts as long as the input's (within one frame or 0.2 s, whichever is
// larger), holds the pictures expected at the output's frame rate (a copy:
// every picture of the input) and decodes without an error. A run stopped on
// purpose is short on purpose: it passes when it decodes cleanly and lasts no
// longer than the input.
//
// Lengths are measured from the file's start (the input's first timestamp,
// the output's zero) to the end of each stream's last frame, so a stream
// that starts late is measured the same way on both sides.
//
// Plain C++ over the media libraries (which must be loaded); no GUI toolkit.
// Threads: any thread; each call opens its own files and decoders.
// Failure: never throws on bad media; a file that cannot be read is a failed
// verification with its reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TVerifyRequest {
  std::string Input, Output;
  // False for a run stopped by its user: decodability and no stream longer
  // than the input's only.
  bool Complete = true;
  // Streams the conversion was asked to leave out are not expected.
  bool VideoExpected = true, AudioExpected = true;
  // The video was copied: every picture of the input is expected, whatever
  // the rate; otherwise the output's constant rate sets the count.
  bool VideoCopied = false;
  // The part of the input converted, in ms from its start; -1: all of it.
  int64_t StartMs = -1, DurationMs = -1;
  int Threads = 0;  // decoding threads; 0: the library's choice
  // Polled while reading; true gives up at once (not Checked, no reason).
  std::function<bool()> Cancelled;
};

struct TVerifiedStream {
  std::string Kind;  // "video" or "audio"
  double InputSeconds = -1, OutputSeconds = -1;  // -1: the stream is missing on that side
  int64_t InputFrames = -1;     // packets of the input (video: from its first key frame)
  int64_t ExpectedFrames = -1;  // video pictures expected in the output; -1 when not compared
  int64_t OutputFrames = 0;     // frames decoded from the output
  int64_t DecodeErrors = 0;
  bool Passed = false;
};

struct TVerification {
  bool Checked = false;  // a verification ran to its end
  bool Passed = false;
  // Empty when passed; otherwise one sentence for people, starting
  // "Verification failed: ".
  std::string Reason;
  std::vector<TVerifiedStream> Streams;
  double Seconds = 0;  // wall time the verification took
};

TVerification VerifyConversion(const TVerifyRequest &ARequest);
