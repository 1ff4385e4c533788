#include "FlvTags.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvtest {

namespace {

constexpr size_t kTagHeader = 11, kBackPointer = 4;

uint32_t ReadBE(const std::string &AData, size_t APos, int ABytes)
{
  uint32_t v = 0;
  for (int i = 0; i < ABytes; ++i) v = (v << 8) | static_cast<uint8_t>(AData[APos + i]);
  return v;
}

void PutBE(std::string &AOut, uint64_t AValue, int ABytes)
{
  for (int i = ABytes - 1; i >= 0; --i) AOut += static_cast<char>((AValue >> (8 * i)) & 0xff);
}

void PutAmfString(std::string &AOut, const std::string &AText)
{
  PutBE(AOut, AText.size(), 2);
  AOut += AText;
}

}  // namespace

int TFlvTag::VideoCodecId() const { return IsVideo() && !Data.empty() ? static_cast<uint8_t>(Data[0]) & 0x0f : -1; }

bool TFlvTag::IsKeyFrame() const { return IsVideo() && !Data.empty() && (static_cast<uint8_t>(Data[0]) >> 4) == 1; }

int TFlvTag::SoundFormat() const { return IsAudio() && !Data.empty() ? static_cast<uint8_t>(Data[0]) >> 4 : -1; }

bool TFlvTag::CarriesMedia() const
{
  if (!IsAudio() && !IsVideo()) return false;
  if (SoundFormat() == 10 || VideoCodecId() == 7) return Data.size() > 1 && Data[1] == 1;
  return !Data.empty();
}

bool TFlvTag::IsAvcPicture() const { return VideoCodecId() == 7 && Data.size() >= 5 && Data[1] == 1; }

int32_t TFlvTag::CompositionTime() const
{
  if (VideoCodecId() != 7 || Data.size() < 5) throw std::runtime_error("not an AVC video tag");
  const uint32_t raw = ReadBE(Data, 2, 3);
  return static_cast<int32_t>(raw & 0x800000 ? raw | 0xff000000u : raw);  // sign-extend 24 bits
}

void TFlvTag::SetCompositionTime(int32_t AMs)
{
  if (VideoCodecId() != 7 || Data.size() < 5) throw std::runtime_error("not an AVC video tag");
  if (AMs < -0x800000 || AMs > 0x7fffff) throw std::runtime_error("composition time out of 24-bit range");
  const auto raw = static_cast<uint32_t>(AMs) & 0xffffff;
  for (int i = 0; i < 3; ++i) Data[2 + i] = static_cast<char>((raw >> (8 * (2 - i))) & 0xff);
}

TFlvFile TFlvFile::Parse(const std::string &ABytes)
{
  if (ABytes.size() < 9 || ABytes.compare(0, 3, "FLV") != 0) throw std::runtime_error("not an FLV file");
  const uint32_t headerSize = ReadBE(ABytes, 5, 4);
  if (headerSize < 9 || headerSize + kBackPointer > ABytes.size()) throw std::runtime_error("bad FLV header size");
  TFlvFile f;
  f.Header = ABytes.substr(0, headerSize + kBackPointer);
  size_t pos = f.Header.size();
  while (pos + kTagHeader <= ABytes.size()) {
    const uint32_t size = ReadBE(ABytes, pos + 1, 3);
    if (pos + kTagHeader + size > ABytes.size()) break;  // a cut last tag stays in the trailer
    TFlvTag t;
    const auto first = static_cast<uint8_t>(ABytes[pos]);
    t.Flags = first & 0xe0;
    t.Type = first & 0x1f;
    t.Timestamp = ReadBE(ABytes, pos + 4, 3) | (static_cast<uint32_t>(static_cast<uint8_t>(ABytes[pos + 7])) << 24);
    t.StreamId = ReadBE(ABytes, pos + 8, 3);
    t.Data = ABytes.substr(pos + kTagHeader, size);
    f.Tags.push_back(std::move(t));
    pos += kTagHeader + size + kBackPointer;
  }
  if (pos < ABytes.size()) f.Trailer = ABytes.substr(pos);
  return f;
}

TFlvFile TFlvFile::Load(const std::string &APath)
{
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + APath);
  std::stringstream ss;
  ss << in.rdbuf();
  return Parse(ss.str());
}

std::string TFlvFile::Bytes() const
{
  std::string out = Header;
  for (const TFlvTag &t : Tags) {
    if (t.Data.size() > 0xffffff) throw std::runtime_error("FLV tag too large");
    if (t.Timestamp < 0 || t.Timestamp > 0xffffffffLL) throw std::runtime_error("FLV timestamp out of range");
    out += static_cast<char>(t.Flags | (t.Type & 0x1f));
    PutBE(out, t.Data.size(), 3);
    PutBE(out, static_cast<uint64_t>(t.Timestamp) & 0xffffff, 3);
    PutBE(out, static_cast<uint64_t>(t.Timestamp) >> 24, 1);
    PutBE(out, t.StreamId, 3);
    out += t.Data;
    PutBE(out, t.Data.size() + kTagHeader, 4);
  }
  return out + Trailer;
}

void TFlvFile::Save(const std::string &APath) const
{
  const std::string bytes = Bytes();
  std::ofstream out(APath, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + APath);
}

int64_t TFlvFile::LastTimestamp(uint8_t AType) const
{
  int64_t last = -1;
  for (const TFlvTag &t : Tags)
    if (t.Type == AType) last = std::max(last, t.Timestamp);
  return last;
}

TFlvTag MakeScriptTag(int64_t ATimestamp, const std::string &AName, const std::vector<TAmfValue> &AValues)
{
  TFlvTag t;
  t.Type = fttScript;
  t.Timestamp = ATimestamp;
  t.Data += '\x02';  // string
  PutAmfString(t.Data, AName);
  t.Data += '\x08';  // ECMA array
  PutBE(t.Data, AValues.size(), 4);
  for (const TAmfValue &v : AValues) {
    PutAmfString(t.Data, v.Key);
    if (v.IsString) {
      t.Data += '\x02';
      PutAmfString(t.Data, v.Text);
    } else {
      t.Data += '\x00';
      PutBE(t.Data, std::bit_cast<uint64_t>(v.Number), 8);
    }
  }
  t.Data += std::string("\x00\x00\x09", 3);  // object end
  return t;
}

void SetMetaDuration(TFlvFile &AFile, double ASeconds)
{
  static const std::string kKey("\x00\x08" "duration\x00", 11);  // the name, then a number's marker
  for (TFlvTag &t : AFile.Tags) {
    if (!t.IsScript() || t.Data.find("onMetaData") == std::string::npos) continue;
    const size_t at = t.Data.find(kKey);
    if (at == std::string::npos || at + kKey.size() + 8 > t.Data.size()) break;
    if (ASeconds < 0) {
      t.Data[at + 2] = 'x';
      return;
    }
    std::string number;
    PutBE(number, std::bit_cast<uint64_t>(ASeconds), 8);
    t.Data.replace(at + kKey.size(), 8, number);
    return;
  }
  throw std::runtime_error("no onMetaData duration to change");
}

}  // namespace qvtest
