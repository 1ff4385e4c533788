#include "Rational.h"

#include <cmath>

#include "AVUtilHlpr.h"

namespace avbind {

double Q2D(AVRational q) { return static_cast<double>(q.num) / static_cast<double>(q.den); }

int CmpQ(AVRational a, AVRational b)
{
  // 64-bit products: 32-bit ones wrap for values such as 1000000/1 against
  // 1/1000000 and give the wrong sign. Negative denominators count too.
  const int64_t diff = static_cast<int64_t>(a.num) * b.den - static_cast<int64_t>(b.num) * a.den;
  if (diff) return static_cast<int>((diff ^ a.den ^ b.den) >> 63) | 1;
  return 0;
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
