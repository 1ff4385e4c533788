#include "Compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qvdiff {

namespace {

constexpr double kOutputRate = 15;  // the window converts at 15 fps

std::string Seconds(double AValue)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s", AValue);
  return buf;
}

std::string FirstLines(const std::string &AText, int ACount = 3)
{
  std::string out;
  size_t pos = 0;
  for (int i = 0; i < ACount && pos < AText.size(); ++i) {
    const size_t end = std::min(AText.find('\n', pos), AText.size());
    out += (out.empty() ? "" : " | ") + AText.substr(pos, end - pos);
    pos = end + 1;
  }
  return out.empty() ? "(no message)" : out;
}

// The last lines, where a program states why it failed.
std::string LastLines(const std::string &AText, int ACount = 3)
{
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < AText.size()) {
    size_t end = AText.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = AText.size();
    if (end > pos) lines.push_back(AText.substr(pos, end - pos));
    pos = end + 1;
  }
  std::string out;
  for (size_t i = lines.size() > static_cast<size_t>(ACount) ? lines.size() - ACount : 0; i < lines.size(); ++i)
    out += (out.empty() ? "" : " | ") + lines[i];
  return out.empty() ? "(no message)" : out;
}

int64_t PacketTotal(const TFigures &AFigures)
{
  int64_t n = 0;
  for (const TStreamFigures &s : AFigures.Streams) n += s.Packets;
  return n;
}

class TChecker {
 public:
  explicit TChecker(double ATolerance) : FTol(ATolerance) {}

  void Time(const std::string &AWhat, double AOurs, double AOracle)
  {
    if (std::fabs(AOurs - AOracle) > FTol + 1e-6)
      Out.push_back(AWhat + ": ours " + Seconds(AOurs) + ", ffmpeg " + Seconds(AOracle) + " (differ by " +
                    Seconds(std::fabs(AOurs - AOracle)) + ", tolerance " + Seconds(FTol) + ")");
  }
  void Count(const std::string &AWhat, int64_t AOurs, int64_t AOracle, int64_t ATolerance)
  {
    if (std::llabs(AOurs - AOracle) > ATolerance)
      Out.push_back(AWhat + ": ours " + std::to_string(AOurs) + ", ffmpeg " + std::to_string(AOracle) +
                    " (tolerance " + std::to_string(ATolerance) + ")");
  }
  template <typename T>
  void Same(const std::string &AWhat, const T &AOurs, const T &AOracle)
  {
    if (!(AOurs == AOracle)) Out.push_back(AWhat + ": ours " + Text(AOurs) + ", ffmpeg " + Text(AOracle));
  }

  std::vector<std::string> Out;

 private:
  static std::string Text(const std::string &AValue) { return AValue.empty() ? "(none)" : AValue; }
  static std::string Text(int AValue) { return std::to_string(AValue); }
  double FTol;
};

}  // namespace

double Tolerance(const TFigures &ASource)
{
  const TStreamFigures *v = ASource.Find("video");
  return std::max(0.2, v ? v->Period : 0.0);
}

std::vector<std::string> Compare(const TSide &AOurs, const TSide &AOracle, const TCompareSetup &ASetup)
{
  const double tol = Tolerance(*ASetup.Source);
  TChecker c(tol);
  if (!AOracle.Ok) {
    c.Out.push_back("the ffmpeg command failed, so this case cannot be compared: " + LastLines(AOracle.Error));
    return c.Out;
  }
  // An input the ffmpeg command reads nothing from (it still reports
  // success, with an empty or unreadable file): we must not report success
  // without a readable output holding packets.
  if (!AOracle.Probed || PacketTotal(AOracle.Figures) == 0) {
    if (AOurs.Ok && (!AOurs.Probed || PacketTotal(AOurs.Figures) == 0))
      c.Out.push_back("ours reported success but its output holds no packets");
    return c.Out;
  }
  if (!AOurs.Ok) {
    c.Out.push_back("ours failed where ffmpeg succeeded: " + LastLines(AOurs.Error));
    return c.Out;
  }
  if (!AOurs.Probed) {
    c.Out.push_back("our output cannot be read: " + FirstLines(AOurs.Error));
    return c.Out;
  }

  const TFigures &o = AOurs.Figures, &f = AOracle.Figures;
  // Where ours must decode cleanly, what a damaged output of the ffmpeg
  // command decodes is no reference; its packets and span are.
  const bool oracleDamaged = ASetup.MustDecode && !AOracle.DecodeErrors.empty();
  std::vector<std::string> types = {"video", "audio"};
  if (!ASetup.Reencode) types.push_back("subtitle");
  for (const std::string &type : types) c.Same(type + " streams", o.Count(type), f.Count(type));

  for (const std::string &type : types) {
    const TStreamFigures *a = o.Find(type), *b = f.Find(type);
    if (!a || !b) continue;
    if (type != "subtitle") c.Same(type + " codec", a->Codec, b->Codec);
    if (type == "video") {
      c.Same("video size", std::to_string(a->Width) + "x" + std::to_string(a->Height),
             std::to_string(b->Width) + "x" + std::to_string(b->Height));
    } else if (type == "audio") {
      c.Same("audio sample rate", a->SampleRate, b->SampleRate);
      c.Same("audio channels", a->Channels, b->Channels);
    }
    if (a->HasSpan != b->HasSpan) c.Same(type + " has timestamps", std::string(a->HasSpan ? "yes" : "no"),
                                         std::string(b->HasSpan ? "yes" : "no"));
    if (a->HasSpan && b->HasSpan) {
      c.Time(type + " start", a->Start, b->Start);
      c.Time(type + " end", a->End, b->End);
    }
    if (type == "video") {
      const double rate = ASetup.Reencode ? kOutputRate : (b->Period > 0 ? 1 / b->Period : kOutputRate);
      const auto frames = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(tol * rate - 1e-9)));
      c.Count("video frames decoded", a->Frames, oracleDamaged ? b->Packets : b->Frames, frames);
    } else if (type == "audio") {
      const auto spanned = static_cast<int64_t>(std::llround((b->End - b->Start) * b->SampleRate));
      c.Count("audio samples decoded", a->Samples, oracleDamaged && b->HasSpan ? spanned : b->Samples,
              static_cast<int64_t>(std::ceil(tol * std::max(a->SampleRate, b->SampleRate))));
    } else {
      c.Count("subtitle packets", a->Packets, b->Packets, 0);
    }
  }

  // Sync: where each stream ends against the other.
  const TStreamFigures *ov = o.Find("video"), *oa = o.Find("audio"), *fv = f.Find("video"), *fa = f.Find("audio");
  if (ov && oa && fv && fa && ov->HasSpan && oa->HasSpan && fv->HasSpan && fa->HasSpan)
    c.Time("video end minus audio end", ov->End - oa->End, fv->End - fa->End);

  // The last source picture is shown for its frame time, as the source
  // would play it (in output time: source time minus the file's start), to
  // within one output frame.
  const TStreamFigures *sv = ASetup.Source->Find("video");
  if (ASetup.Reencode && ASetup.LastFrame && sv && sv->Packets >= 2 && sv->Period > 0 && ov && ov->HasSpan) {
    const double expected = sv->LastPts + sv->Period - ASetup.Source->Start();
    if (ov->End < expected - 1 / kOutputRate - 1e-3)
      c.Out.push_back("video end: ours " + Seconds(ov->End) + ", the last source picture is shown until " +
                      Seconds(expected) + " (ffmpeg " + (fv && fv->HasSpan ? Seconds(fv->End) : "-") +
                      "): its display time is lost");
  }

  if (!AOurs.DecodeErrors.empty() && oracleDamaged)
    c.Out.push_back("decoding our output reports errors: " + FirstLines(AOurs.DecodeErrors));
  if (!AOurs.DecodeErrors.empty() && AOracle.DecodeErrors.empty())
    c.Out.push_back("decoding our output reports errors (ffmpeg's output decodes cleanly): " +
                    FirstLines(AOurs.DecodeErrors));
  return c.Out;
}

std::string FiguresText(const TSide &AOurs, const TSide &AOracle)
{
  std::string out;
  for (const auto &[name, side] : {std::pair<const char *, const TSide *>{"ours  ", &AOurs}, {"ffmpeg", &AOracle}}) {
    if (!side->Probed) {
      out += std::string("  ") + name + " (no output)\n";
      continue;
    }
    for (const TStreamFigures &s : side->Figures.Streams) {
      char line[256];
      std::snprintf(line, sizeof line, "  %s %-8s %-9s start %9.3f end %9.3f packets %6lld frames %6lld samples %9lld\n",
                    name, s.Type.c_str(), s.Codec.c_str(), s.Start, s.End, static_cast<long long>(s.Packets),
                    static_cast<long long>(s.Frames), static_cast<long long>(s.Samples));
      out += line;
    }
  }
  return out;
}

}  // namespace qvdiff
