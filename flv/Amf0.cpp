#include <cstring>

#include "FlvTags.h"

namespace flv {

namespace {

constexpr int kMaxDepth = 64;

enum : uint8_t {
  kNumber = 0, kBoolean = 1, kString = 2, kObject = 3, kMovieClip = 4, kNull = 5, kUndefined = 6,
  kReference = 7, kEcmaArray = 8, kObjectEnd = 9, kStrictArray = 10, kDate = 11, kLongString = 12,
  kUnsupported = 13, kRecordSet = 14, kXmlDocument = 15, kTypedObject = 16,
};

// Reads AMF0 values from [P, End). Each value needs at least one byte, so
// counts written in the data never make it allocate beyond the input's size.
class TAmfReader {
 public:
  TAmfReader(const uint8_t *AData, std::size_t ASize) : P(AData), End(AData + ASize) {}

  bool AtEnd() const { return P >= End; }

  bool Text(std::string &AText, bool ALong)
  {
    std::size_t Width = ALong ? 4 : 2;
    if (Left() < Width) return false;
    std::size_t Len = ALong ? (std::size_t(P[0]) << 24 | std::size_t(P[1]) << 16 | std::size_t(P[2]) << 8 | P[3])
                            : (std::size_t(P[0]) << 8 | P[1]);
    P += Width;
    if (Left() < Len) return false;
    AText.assign(reinterpret_cast<const char *>(P), Len);
    P += Len;
    return true;
  }

  bool Value(TAmfValue &AValue, int ADepth)
  {
    if (ADepth > kMaxDepth || AtEnd()) return false;
    uint8_t Type = *P++;
    switch (Type) {
      case kNumber:
        AValue.Type = TAmfValue::Number;
        return Double(AValue.Num);
      case kBoolean:
        if (AtEnd()) return false;
        AValue.Type = TAmfValue::Boolean;
        AValue.Num = *P++ ? 1 : 0;
        return true;
      case kString:
      case kLongString:
      case kXmlDocument:
        AValue.Type = TAmfValue::String;
        return Text(AValue.Text, Type != kString);
      case kTypedObject: {
        std::string ClassName;
        if (!Text(ClassName, false)) return false;
        AValue.Type = TAmfValue::Object;
        return Props(AValue.Props, ADepth);
      }
      case kObject:
        AValue.Type = TAmfValue::Object;
        return Props(AValue.Props, ADepth);
      case kEcmaArray:
        // The count is often wrong; the end marker decides.
        if (Left() < 4) return false;
        P += 4;
        AValue.Type = TAmfValue::Array;
        return Props(AValue.Props, ADepth);
      case kStrictArray: {
        if (Left() < 4) return false;
        uint32_t Count = uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3];
        P += 4;
        AValue.Type = TAmfValue::Array;
        for (uint32_t I = 0; I < Count; ++I) {
          if (AtEnd()) return false;
          AValue.Items.emplace_back();
          if (!Value(AValue.Items.back(), ADepth + 1)) return false;
        }
        return true;
      }
      case kDate:
        AValue.Type = TAmfValue::Date;
        if (!Double(AValue.Num) || Left() < 2) return false;
        P += 2;  // time zone, unused by writers
        return true;
      case kReference:
        // Points at an earlier object; nothing we read needs it.
        if (Left() < 2) return false;
        P += 2;
        AValue.Type = TAmfValue::Undefined;
        return true;
      case kNull: AValue.Type = TAmfValue::Null; return true;
      case kUndefined:
      case kUnsupported: AValue.Type = TAmfValue::Undefined; return true;
      default: return false;  // object end out of place, movie clip, record set, AMF3
    }
  }

 private:
  std::size_t Left() const { return std::size_t(End - P); }

  bool Double(double &ANum)
  {
    if (Left() < 8) return false;
    uint64_t Bits = 0;
    for (int I = 0; I < 8; ++I) Bits = Bits << 8 | P[I];
    P += 8;
    std::memcpy(&ANum, &Bits, sizeof ANum);
    return true;
  }

  // Name/value pairs up to the end marker (an empty name and type 9). What
  // was read before a cut stays in AProps for callers that take a part.
  bool Props(std::vector<std::pair<std::string, TAmfValue>> &AProps, int ADepth)
  {
    for (;;) {
      std::string Name;
      if (!Text(Name, false)) return false;
      if (Name.empty() && !AtEnd() && *P == kObjectEnd) {
        ++P;
        return true;
      }
      AProps.emplace_back(std::move(Name), TAmfValue{});
      if (!Value(AProps.back().second, ADepth + 1)) return false;
    }
  }

  const uint8_t *P, *End;
};

}  // namespace

TAmfValue::TAmfValue() = default;

const TAmfValue *TAmfValue::Find(const std::string &AKey) const
{
  for (const auto &Prop : Props)
    if (Prop.first == AKey) return &Prop.second;
  return nullptr;
}

bool ParseScriptBody(const uint8_t *AData, std::size_t ASize, std::string &AName, TAmfValue &AValue)
{
  AName.clear();
  AValue = TAmfValue{};
  TAmfReader Reader(AData, ASize);
  TAmfValue Name;
  if (!Reader.Value(Name, 0) || Name.Type != TAmfValue::String) return false;
  AName = std::move(Name.Text);
  if (Reader.AtEnd()) return true;  // a name alone: the value is undefined
  return Reader.Value(AValue, 0);
}

}  // namespace flv
