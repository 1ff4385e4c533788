// Rational and clip helpers that the FFmpeg headers define inline or that the
// engine needs with fixed 32-bit arithmetic. Pure functions, any thread;
// av_sub_q and av_d2q call av_reduce through the loaded table, so they need
// libavutil loaded.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

namespace avbind {

double Q2D(AVRational q);
// 1, -1 or 0 as a is above, below or equal to b (exact 64-bit products;
// negative denominators allowed).
int CmpQ(AVRational a, AVRational b);
AVRational SubQ(AVRational b, AVRational c);
// Nearest rational with numerator and denominator not above AMax.
AVRational D2Q(double d, int AMax);
int Clip(int a, int amin, int amax);

}  // namespace avbind
