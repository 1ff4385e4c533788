// The bitmap handed to custom frame hooks: a 24-bit BGR image (blue, green,
// red per pixel) with rows padded to 4 bytes, and a lock that stands for the
// canvas lock: the engine holds it while the hook runs, so another thread
// that wants to look at the picture takes it too.
// Owned by the engine; valid during the hook call only.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class THookBitmap {
 public:
  THookBitmap(int AWidth, int AHeight)
      : FWidth(AWidth), FHeight(AHeight), FStride((AWidth * 3 + 3) & ~3),
        FPixels(static_cast<std::size_t>(FStride) * (AHeight > 0 ? AHeight : 0), 0)
  {
  }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int Stride() const { return FStride; }
  // Row AY, FWidth * 3 bytes of B, G, R triples.
  uint8_t *ScanLine(int AY) { return FPixels.data() + static_cast<std::size_t>(FStride) * AY; }
  const uint8_t *ScanLine(int AY) const { return FPixels.data() + static_cast<std::size_t>(FStride) * AY; }
  std::mutex &Canvas() { return FCanvas; }

 private:
  int FWidth, FHeight, FStride;
  std::vector<uint8_t> FPixels;
  std::mutex FCanvas;
};
