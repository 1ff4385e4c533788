#include "OptionText.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "Errors.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

[[noreturn]] void BadInteger(const std::string &AText)
{
  throw EConvertError(Format("'%s' is not a valid integer value", {AText}));
}

[[noreturn]] void BadFloat(const std::string &AText)
{
  throw EConvertError(Format("'%s' is not a valid floating point value", {AText}));
}

bool TryParseInt(const std::string &AText, int64_t AMin, int64_t AMax, int64_t &AResult)
{
  size_t i = 0;
  const size_t n = AText.size();
  while (i < n && IsBlank(AText[i])) ++i;
  bool negative = false;
  if (i < n && (AText[i] == '+' || AText[i] == '-')) negative = AText[i++] == '-';
  int base = 10;
  if (i < n && AText[i] == '$') {
    base = 16;
    ++i;
  } else if (i < n && (AText[i] == 'x' || AText[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < n && AText[i] == '0' && (AText[i + 1] == 'x' || AText[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  // Accumulate as a negative number so INT64_MIN stays representable.
  int64_t value = 0;
  for (; i < n; ++i) {
    const char c = AText[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (value < (std::numeric_limits<int64_t>::min() + digit) / base) return false;
    value = value * base - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return false;
    value = -value;
  }
  if (value < AMin || value > AMax) return false;
  AResult = value;
  return true;
}

// Plain decimal notation only: no hexadecimal floats, "inf" or "nan".
bool TryParseFloat(const std::string &AText, double &AResult)
{
  size_t b = 0, e = AText.size();
  while (b < e && IsBlank(AText[b])) ++b;
  while (e > b && IsBlank(AText[e - 1])) --e;
  const std::string text = AText.substr(b, e - b);
  const char sep = *std::localeconv()->decimal_point;
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < n && text[i] == sep) {
    ++i;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + n || !std::isfinite(v)) return false;
  AResult = v;
  return true;
}

}  // namespace

namespace engine {

int32_t StrToInt(const std::string &AText)
{
  int64_t v;
  if (!TryParseInt(AText, INT32_MIN, INT32_MAX, v)) BadInteger(AText);
  return static_cast<int32_t>(v);
}

int64_t StrToInt64(const std::string &AText)
{
  int64_t v;
  if (!TryParseInt(AText, INT64_MIN, INT64_MAX, v)) BadInteger(AText);
  return v;
}

int32_t StrToIntDef(const std::string &AText, int32_t ADefault)
{
  int64_t v;
  return TryParseInt(AText, INT32_MIN, INT32_MAX, v) ? static_cast<int32_t>(v) : ADefault;
}

double StrToFloat(const std::string &AText)
{
  double v;
  if (!TryParseFloat(AText, v)) BadFloat(AText);
  return v;
}

float StrToFloat32(const std::string &AText)
{
  const double v = StrToFloat(AText);
  if (std::fabs(v) > std::numeric_limits<float>::max()) BadFloat(AText);
  return static_cast<float>(v);
}

double StrToFloatDef(const std::string &AText, double ADefault)
{
  double v;
  return TryParseFloat(AText, v) ? v : ADefault;
}

std::string Trim(const std::string &AText)
{
  size_t b = 0, e = AText.size();
  while (b < e && std::isspace(static_cast<unsigned char>(AText[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(AText[e - 1]))) --e;
  return AText.substr(b, e - b);
}

bool IsBlankText(const std::string &AText) { return Trim(AText).empty(); }

}  // namespace engine
