#include "DropPredictor.h"

#include <cmath>

namespace engine {

TDropPredictor::TDropPredictor(double ATickSeconds, int64_t AStartTime, int ADepth, bool AAvc, int ANalLengthSize)
    : FTick(ATickSeconds),
      FStartTime(AStartTime),
      FDepth(static_cast<std::size_t>(ADepth < 1 ? 1 : ADepth)),
      FAvc(AAvc),
      FNalLengthSize(ANalLengthSize)
{
}

bool TDropPredictor::Unreferenced(const AVPacket &APacket, bool AAvc, int ANalLengthSize)
{
  if (APacket.flags & AV_PKT_FLAG_DISPOSABLE) return true;
  if (!AAvc || ANalLengthSize < 1 || ANalLengthSize > 4 || !APacket.data) return false;
  // Length-prefixed NAL units: every slice must say that no picture refers to it.
  const uint8_t *p = APacket.data;
  const std::size_t size = static_cast<std::size_t>(APacket.size);
  std::size_t pos = 0;
  bool slices = false;
  while (pos + ANalLengthSize <= size) {
    std::size_t length = 0;
    for (int i = 0; i < ANalLengthSize; ++i) length = (length << 8) | p[pos + i];
    pos += ANalLengthSize;
    if (length == 0 || length > size - pos) return false;
    const int type = p[pos] & 0x1f, refIdc = (p[pos] >> 5) & 3;
    if (type >= 1 && type <= 5) {
      if (type != 1 || refIdc != 0) return false;  // IDR, partitions, or a referenced slice
      slices = true;
    }
    pos += length;
  }
  return slices && pos == size;
}

void TDropPredictor::SimulateUpTo(int64_t APts)
{
  while (!FUnsimulated.empty() && *FUnsimulated.begin() <= APts) {
    const int64_t t = *FUnsimulated.begin();
    FUnsimulated.erase(FUnsimulated.begin());
    // The video sync's own rule, computed the same way.
    const double inputTime = static_cast<double>(t - FStartTime) / 1000000.0;
    const double vdelta = inputTime / FTick - static_cast<double>(FSyncOpts);
    int64_t copies = 1;
    if (vdelta < -1.1)
      copies = 0;
    else if (vdelta > 1.1)
      copies = std::llrint(vdelta);
    FSyncOpts += copies;
    FDropped[t] = copies == 0;
    FLastSimulated = t;
  }
}

void TDropPredictor::Release(std::deque<TRelease> &AOut)
{
  TRelease r = std::move(FWaiting.front());
  FWaiting.pop_front();
  SimulateUpTo(r.Pts);
  const auto it = FDropped.find(r.Pts);
  r.Skip = it != FDropped.end() && it->second && Unreferenced(*r.Packet, FAvc, FNalLengthSize);
  if (it != FDropped.end()) FDropped.erase(it);
  AOut.push_back(std::move(r));
}

void TDropPredictor::TurnOff(std::deque<TRelease> &AOut)
{
  FActive = false;
  for (TRelease &r : FWaiting) AOut.push_back(std::move(r));
  FWaiting.clear();
  FUnsimulated.clear();
  FDropped.clear();
}

void TDropPredictor::Push(std::shared_ptr<AVPacket> APacket, int64_t APtsUs, int64_t ADurationUs,
                          std::deque<TRelease> &AOut)
{
  if (FActive && (APtsUs == NoPts || APtsUs <= FLastSimulated || FUnsimulated.count(APtsUs) ||
                  FDropped.count(APtsUs)))
    TurnOff(AOut);
  TRelease r{std::move(APacket), APtsUs, ADurationUs, false};
  if (!FActive) {
    AOut.push_back(std::move(r));
    return;
  }
  FUnsimulated.insert(APtsUs);
  FWaiting.push_back(std::move(r));
  while (FWaiting.size() > FDepth) Release(AOut);
}

void TDropPredictor::Drain(std::deque<TRelease> &AOut)
{
  // Nothing more will come: every picture is known.
  while (!FWaiting.empty()) Release(AOut);
}

}  // namespace engine
