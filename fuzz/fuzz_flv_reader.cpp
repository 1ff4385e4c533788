// The FLV reader on arbitrary bytes, as a file and as a pipe: Open, then
// every packet to the end, a seek and a few packets more; and the bytes as a
// script tag body. Checks what callers rely on: every packet names a track
// that exists, comes from inside the input, never decodes after it
// presents, and reading ends.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FlvReader.h"

namespace {

void Check(bool ACondition)
{
  if (!ACondition) std::abort();
}

void ReadAll(const uint8_t *AData, size_t ASize, bool ASeekable)
{
  flv::TMemorySource Source(AData, ASize, ASeekable);
  flv::TReader Reader(Source, [](int, const std::string &) {});
  std::string Error;
  if (!Reader.Open(Error)) return;
  Check(!Reader.Tracks().empty());
  flv::TPacket Packet;
  int64_t Count = 0;
  auto Drain = [&](int64_t ALimit) {
    while (Count < ALimit && Reader.Next(Packet)) {
      ++Count;
      Check(Packet.Stream >= 0 && size_t(Packet.Stream) < Reader.Tracks().size());
      Check(Packet.DtsNs <= Packet.PtsNs);
      Check(Packet.Position >= 0 && size_t(Packet.Position) < ASize && Packet.Data.size() < ASize);
    }
  };
  // each packet needs at least a tag header of the input
  Drain(int64_t(ASize) + 1);
  Check(Count <= int64_t(ASize));
  if (ASeekable && ASize > 0 && Reader.SeekMs(AData[ASize - 1] * 10)) Drain(Count + 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  ReadAll(AData, ASize, true);
  ReadAll(AData, ASize, false);
  std::string Name;
  flv::TAmfValue Value;
  flv::ParseScriptBody(AData, ASize, Name, Value);
  return 0;
}
