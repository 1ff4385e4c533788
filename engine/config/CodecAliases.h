// Retired encoder and decoder names that older presets still carry, and the
// library codec each now stands for. Shared by the input and output file
// code; pure data, any thread.
#pragma once

#include <string>

#include "AVCodecHlpr.h"

namespace engine {

struct TCodecAlias {
  const char *Retired;
  const char *Current;
};

// "libfaac" left the libraries long ago; the built-in AAC encoder replaces it.
inline constexpr TCodecAlias CodecAliases[] = {
    {"libfaac", "aac"},
};

// The current name for a retired one, or null when AName is not retired.
inline const char *CodecAliasFor(const std::string &AName)
{
  for (const TCodecAlias &a : CodecAliases)
    if (AName == a.Retired) return a.Current;
  return nullptr;
}

// Encoder or decoder by name, trying the current name of a retired one when
// the name itself is unknown. AUsed receives the name that was found.
inline const AVCodec *FindCodecByName(const std::string &AName, bool AEncoder, std::string &AUsed)
{
  auto find = [&](const char *n) {
    return AEncoder ? AVCodecLib.avcodec_find_encoder_by_name(n) : AVCodecLib.avcodec_find_decoder_by_name(n);
  };
  AUsed = AName;
  if (const AVCodec *c = find(AName.c_str())) return c;
  if (const char *current = CodecAliasFor(AName)) {
    AUsed = current;
    return find(current);
  }
  return nullptr;
}

}  // namespace engine
