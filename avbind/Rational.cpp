#include "Rational.h"

#include <cmath>

#include "AVUtilHlpr.h"

namespace avbind {

double Q2D(AVRational q) { return static_cast<double>(q.num) / static_cast<double>(q.den); }

int CmpQ(AVRational a, AVRational b)
{
  // Wrapping 32-bit arithmetic, computed unsigned to stay defined.
  const uint32_t p1 = static_cast<uint32_t>(a.num) * static_cast<uint32_t>(b.den);
  const uint32_t p2 = static_cast<uint32_t>(b.num) * static_cast<uint32_t>(a.den);
  const int32_t diff = static_cast<int32_t>(p1 - p2);
  return diff > 0 ? 1 : diff < 0 ? -1 : 0;
}

AVRational SubQ(AVRational b, AVRational c)
{
  AVRational r{0, 1};
  const int64_t num = static_cast<int64_t>(b.num) * c.den - static_cast<int64_t>(c.num) * b.den;
  const int64_t den = static_cast<int64_t>(b.den) * c.den;
  AVUtilLib.av_reduce(&r.num, &r.den, num, den, 2147483647);
  return r;
}

AVRational D2Q(double d, int AMax)
{
  AVRational r{0, 1};
  if (std::isnan(d)) return r;
  if (std::isinf(d)) return AVRational{d < 0 ? -1 : 1, 0};
  int e = static_cast<int>(std::nearbyint(std::log10(std::fabs(d) + 1e-20) / std::log(2.0)));
  if (e < 0) e = 0;
  const int64_t den = static_cast<int64_t>(1) << ((61 - e) % 32 + ((61 - e) % 32 < 0 ? 32 : 0));
  const double scaled = d * static_cast<double>(den) + 0.5;
  if (std::fabs(scaled) >= 9.2e18) return AVRational{d < 0 ? -AMax : AMax, 1};
  const int64_t num = static_cast<int64_t>(std::nearbyint(scaled));
  AVUtilLib.av_reduce(&r.num, &r.den, num, den, AMax);
  return r;
}

int Clip(int a, int amin, int amax) { return a < amin ? amin : a > amax ? amax : a; }

}  // namespace avbind
