// Decoding only the pictures the output shows.
//
// When a source has more pictures per second than the output (30 fps to
// 15, say), the video sync drops every other picture after decoding it.
// Many of those are pictures no other picture refers to (H.264 frames with
// nal_ref_idc 0, FLV's disposable inter frames); they need not be decoded
// at all. The predictor runs the video sync ahead of the decoder on the
// packets' presentation times, in presentation order, and marks the packets
// of unreferenced pictures that the sync is certain to drop; the run then
// counts them as dropped without decoding them. The output is the same:
// a dropped picture changes nothing but the drop count.
//
// To know every picture shown before a packet's own, packets wait in a
// delay line ADepth packets deep before they are handed on (the run gives
// the stream's reordering depth plus four, to spare). The predictor turns itself off for good, handing everything on
// undecided, as soon as a stream leaves what it can foresee exactly:
// a packet without a presentation time, two pictures at one time, or one
// older than a picture already foreseen.
//
// Ownership: holds references to the waiting packets. Threads: the run's
// thread only. Failure: never throws but for memory (FFMpegException).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>

#include "AVPtr.h"
#include "EngineLimits.h"

namespace engine {

class TDropPredictor {
 public:
  struct TRelease {
    std::shared_ptr<AVPacket> Packet;
    int64_t Pts = 0;          // µs
    int64_t Duration = 0;     // µs
    bool Skip = false;        // drop it without decoding
  };

  // ATickSeconds: the output's frame time; ADepth: the stream's reordering depth.
  TDropPredictor(double ATickSeconds, int64_t AStartTime, int ADepth, bool AAvcLengthSize, int ANalLengthSize);

  // Takes a packet (its timestamps in µs); appends what may go on now to AOut.
  void Push(std::shared_ptr<AVPacket> APacket, int64_t APtsUs, int64_t ADurationUs, std::deque<TRelease> &AOut);
  // The end of the stream: everything waiting goes on.
  void Drain(std::deque<TRelease> &AOut);
  bool Active() const { return FActive; }
  // Hands everything on undecided from now on.
  void TurnOff(std::deque<TRelease> &AOut);

  // True when the packet holds only pictures no other picture refers to.
  static bool Unreferenced(const AVPacket &APacket, bool AAvc, int ANalLengthSize);

 private:
  void Release(std::deque<TRelease> &AOut);
  void SimulateUpTo(int64_t APts);

  double FTick;
  int64_t FStartTime;
  std::size_t FDepth;
  bool FAvc;
  int FNalLengthSize;
  bool FActive = true;
  int64_t FSyncOpts = 0;               // the sync's next output tick, as foreseen
  int64_t FLastSimulated = INT64_MIN;  // presentation time of the last picture foreseen
  std::deque<TRelease> FWaiting;
  std::set<int64_t> FUnsimulated;      // presentation times seen, not yet foreseen
  std::map<int64_t, bool> FDropped;    // foreseen: dropped or shown
};

}  // namespace engine
