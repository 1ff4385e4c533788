#include "SysFormat.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace avbind {

namespace {

std::string Pad(std::string body, int width, bool left, bool zero)
{
  if (width <= 0 || static_cast<int>(body.size()) >= width) return body;
  const std::size_t fill = width - body.size();
  if (left) return body + std::string(fill, ' ');
  if (zero) {
    const std::size_t sign = (!body.empty() && (body[0] == '-' || body[0] == '+')) ? 1 : 0;
    return body.substr(0, sign) + std::string(fill, '0') + body.substr(sign);
  }
  return std::string(fill, ' ') + body;
}

// A double given to an integer conversion: truncated, saturated at the
// 64-bit range, NaN as 0 (a plain cast of those is undefined).
int64_t Truncate(double AValue)
{
  if (std::isnan(AValue)) return 0;
  if (AValue >= 9223372036854775807.0) return INT64_MAX;
  if (AValue <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(AValue);
}

std::string Integer(const TFmtArg &a, char conv, int prec, bool plus)
{
  int64_t v = a.Kind == TFmtArg::fkInt ? a.Int : a.Kind == TFmtArg::fkFloat ? Truncate(a.Float) : 0;
  char buf[64];
  bool neg = false;
  uint64_t u;
  if (conv == 'd' || conv == 'i') {
    neg = v < 0;
    u = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  } else {
    u = static_cast<uint64_t>(v);
  }
  const char *fmt = conv == 'x' ? "%llx" : conv == 'X' ? "%llX" : "%llu";
  std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned long long>(u));
  std::string digits = buf;
  if (prec >= 0 && static_cast<int>(digits.size()) < prec) digits = std::string(prec - digits.size(), '0') + digits;
  if (neg) return "-" + digits;
  return plus ? "+" + digits : digits;
}

std::string Floating(const TFmtArg &a, char conv, int prec, bool plus)
{
  double v = a.Kind == TFmtArg::fkFloat ? a.Float : a.Kind == TFmtArg::fkInt ? static_cast<double>(a.Int) : 0.0;
  // Only "%f" defaults to two decimals; "%e" and "%g" keep printf's six.
  if (prec < 0) prec = conv == 'f' ? 2 : 6;
  char conversion[16];
  std::snprintf(conversion, sizeof conversion, "%%%s.%d%c", plus ? "+" : "", prec, conv);
  char buf[1400];  // the widest double at the largest precision
  std::snprintf(buf, sizeof buf, conversion, v);
  return buf;  // snprintf already uses the locale's decimal separator
}

}  // namespace

std::string Format(const char *AFormat, std::initializer_list<TFmtArg> AArgs)
{
  std::string out;
  if (!AFormat) return out;
  const TFmtArg *arg = AArgs.begin();
  const TFmtArg *end = AArgs.end();
  for (const char *p = AFormat; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += '%';
      continue;
    }
    bool left = false, zero = false, plus = false;
    for (;; ++p) {
      if (*p == '-') left = true;
      else if (*p == '0') zero = true;
      else if (*p == '+') plus = true;
      else if (*p == ' ' || *p == '#') {}
      else break;
    }
    // Widths and precisions are capped so that a runaway number cannot
    // overflow or ask for gigabytes of padding.
    constexpr int kMaxField = 1024;
    int width = 0;
    while (*p >= '0' && *p <= '9') width = std::min(kMaxField, width * 10 + (*p++ - '0'));
    int prec = -1;
    if (*p == '.') {
      ++p;
      prec = 0;
      while (*p >= '0' && *p <= '9') prec = std::min(kMaxField, prec * 10 + (*p++ - '0'));
    }
    while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'j' || *p == 'L') ++p;
    if (!*p) break;
    const char conv = *p;
    static const TFmtArg kNone(static_cast<const char *>(""));
    const TFmtArg &a = arg < end ? *arg++ : kNone;
    std::string body;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'x': case 'X':
        if (a.Kind == TFmtArg::fkText) body = a.Text;
        else body = Integer(a, conv, prec, plus);
        break;
      case 'f': case 'e': case 'g': case 'E': case 'G':
        if (a.Kind == TFmtArg::fkText) body = a.Text;
        else body = Floating(a, conv, prec, plus);
        break;
      case 's':
        body = a.Kind == TFmtArg::fkText ? a.Text
               : a.Kind == TFmtArg::fkInt ? std::to_string(a.Int)
                                          : Floating(a, 'f', -1, false);
        if (prec >= 0 && static_cast<int>(body.size()) > prec) body.resize(prec);
        zero = false;
        break;
      case 'c':
        body = a.Kind == TFmtArg::fkInt ? std::string(1, static_cast<char>(a.Int)) : a.Text.substr(0, 1);
        zero = false;
        break;
      default:
        body = std::string("%") + conv;
        break;
    }
    // A precision turns '0' padding off for integers only, as in printf.
    const bool isFloat = conv == 'f' || conv == 'e' || conv == 'g' || conv == 'E' || conv == 'G';
    out += Pad(body, width, left, zero && (prec < 0 || isFloat));
  }
  return out;
}

}  // namespace avbind
