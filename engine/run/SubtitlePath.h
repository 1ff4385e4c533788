// The subtitle path of one re-encoded output stream: each decoded subtitle
// encoded as one packet (two for DVB: the second clears the page).
//
// Ownership, threads, failure: see OutputPath.h. A subtitle the encoder
// cannot take is logged and lost; the rest of the job is not.
#pragma once

#include <cstdint>

#include "OutputPath.h"

struct AVSubtitle;

namespace engine {

class TSubtitlePath : public TOutputPath {
 public:
  TSubtitlePath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst);
  TSubtitlePath *Subtitle() override { return this; }

  // Before the encoder opens: the time base it needs, from AIst's stream when unset.
  void Setup(TInputStream &AIst);
  // One decoded subtitle of AIst at APts (AIst's stream time base); ASub is
  // left as it was.
  void Take(const TInputStream &AIst, AVSubtitle &ASub, int64_t APts);
  // Subtitle encoders hold nothing back.
  void Finish(const TInputStream &) override {}
};

}  // namespace engine
