// The system's own message formatter, used for every engine, component and
// probe message (texts handed to the stdio shim use standard printf instead).
// Conventions that differ from printf:
//   - "%f" without a precision gives two decimals;
//   - "%d" (and "%u", "%x", "%X") take 64-bit values;
//   - "%.3d" pads with zeros to three digits;
//   - the decimal separator is the current C locale's.
// Arguments are typed, so a mismatch cannot read the wrong thing: a missing
// argument formats as nothing, a number given to "%s" formats as a number.
// Thread-safe; throws nothing but std::bad_alloc.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace avbind {

class TFmtArg {
 public:
  enum TKind { fkInt, fkFloat, fkText };
  template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  TFmtArg(T v) : Kind(fkInt), Int(static_cast<int64_t>(v)) {}
  TFmtArg(double v) : Kind(fkFloat), Float(v) {}
  TFmtArg(float v) : Kind(fkFloat), Float(v) {}
  TFmtArg(const char *v) : Kind(fkText), Text(v ? v : "") {}
  TFmtArg(const std::string &v) : Kind(fkText), Text(v) {}

  TKind Kind;
  int64_t Int = 0;
  double Float = 0;
  std::string Text;
};

std::string Format(const char *AFormat, std::initializer_list<TFmtArg> AArgs = {});

}  // namespace avbind
