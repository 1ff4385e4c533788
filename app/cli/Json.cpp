// JSON text (see Json.h).
#include "Json.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at AText[APos], 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8Length(const std::string &AText, size_t APos)
{
  const auto b = [&](size_t i) { return static_cast<unsigned char>(AText[i]); };
  const unsigned char c = b(APos);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (APos + n > AText.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(APos + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(APos + i) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string &AText)
{
  std::string out = "\"";
  for (size_t i = 0; i < AText.size();) {
    const unsigned char c = static_cast<unsigned char>(AText[i]);
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++i;
      continue;
    }
    const size_t n = Utf8Length(AText, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
    } else {
      out.append(AText, i, n);
      i += n;
    }
  }
  return out + "\"";
}

void TJsonObject::Key(const char *AKey)
{
  if (FText.size() > 1) FText += ",";
  FText += JsonString(AKey) + ":";
}

TJsonObject &TJsonObject::Add(const char *AKey, const std::string &AValue)
{
  Key(AKey);
  FText += JsonString(AValue);
  return *this;
}

TJsonObject &TJsonObject::Add(const char *AKey, int64_t AValue)
{
  Key(AKey);
  FText += std::to_string(AValue);  // integers only: no locale decimal separator can creep in
  return *this;
}

TJsonObject &TJsonObject::Add(const char *AKey, bool AValue)
{
  Key(AKey);
  FText += AValue ? "true" : "false";
  return *this;
}

TJsonObject &TJsonObject::AddNull(const char *AKey)
{
  Key(AKey);
  FText += "null";
  return *this;
}
