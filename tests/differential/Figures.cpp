#include "Figures.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "Process.h"

namespace qvdiff {

namespace {

using TFields = std::map<std::string, std::string>;

// One line of ffprobe's compact output: "section|key=value|key=value".
std::string ParseLine(const std::string &ALine, TFields &AFields)
{
  AFields.clear();
  std::string section;
  std::stringstream ss(ALine);
  std::string item;
  for (bool first = true; std::getline(ss, item, '|'); first = false) {
    if (first) {
      section = item;
      continue;
    }
    const auto eq = item.find('=');
    if (eq != std::string::npos) AFields[item.substr(0, eq)] = item.substr(eq + 1);
  }
  return section;
}

bool Number(const TFields &AFields, const std::string &AKey, double &AValue)
{
  const auto it = AFields.find(AKey);
  if (it == AFields.end() || it->second.empty() || it->second == "N/A") return false;
  char *end = nullptr;
  AValue = std::strtod(it->second.c_str(), &end);
  return end && *end == '\0';
}

int Integer(const TFields &AFields, const std::string &AKey)
{
  double v = 0;
  return Number(AFields, AKey, v) ? static_cast<int>(v) : 0;
}

double Median(std::vector<double> AValues)
{
  if (AValues.empty()) return 0;
  std::nth_element(AValues.begin(), AValues.begin() + AValues.size() / 2, AValues.end());
  return AValues[AValues.size() / 2];
}

}  // namespace

const TStreamFigures *TFigures::Find(const std::string &AType) const
{
  for (const TStreamFigures &s : Streams)
    if (s.Type == AType) return &s;
  return nullptr;
}

int TFigures::Count(const std::string &AType) const
{
  return static_cast<int>(std::count_if(Streams.begin(), Streams.end(), [&](const auto &s) { return s.Type == AType; }));
}

double TFigures::Start() const
{
  bool any = false;
  double start = 0;
  for (const TStreamFigures &s : Streams)
    if ((s.Type == "video" || s.Type == "audio") && s.HasSpan) {
      start = any ? std::min(start, s.Start) : s.Start;
      any = true;
    }
  return start;
}

void MergeKinds(TFigures &AFigures)
{
  std::vector<TStreamFigures> merged;
  for (const TStreamFigures &s : AFigures.Streams) {
    auto same = std::find_if(merged.begin(), merged.end(), [&](const auto &m) { return m.Type == s.Type; });
    if (same == merged.end()) {
      merged.push_back(s);
      continue;
    }
    if (s.HasSpan) {
      same->Start = same->HasSpan ? std::min(same->Start, s.Start) : s.Start;
      same->End = same->HasSpan ? std::max(same->End, s.End) : s.End;
      same->LastPts = same->HasSpan ? std::max(same->LastPts, s.LastPts) : s.LastPts;
      same->HasSpan = true;
    }
    same->Packets += s.Packets;
    same->Frames += s.Frames;
    same->Samples += s.Samples;
  }
  AFigures.Streams = std::move(merged);
}

bool Probe(const std::string &APath, bool ADecode, TFigures &AFigures, std::string &AError)
{
  std::string entries = "stream=index,codec_type,codec_name,codec_tag_string,width,height,sample_rate,channels"
                        ":packet=stream_index,pts_time,duration_time";
  if (ADecode) entries += ":frame=stream_index,nb_samples";
  const qvtest::TProcessResult r =
      qvtest::RunProcess({"ffprobe", "-v", "error", "-show_entries", entries, "-of", "compact", APath}, 600);
  AFigures = {};
  if (!r.Ok()) {
    AError = r.Err.empty() ? "ffprobe exit code " + std::to_string(r.Code) : r.Err;
    return false;
  }

  // Streams come last in ffprobe's output; packets and frames refer to them by index.
  std::map<int, TStreamFigures> streams;
  std::map<int, std::vector<double>> times;
  std::stringstream lines(r.Out);
  TFields f;
  for (std::string line; std::getline(lines, line);) {
    const std::string section = ParseLine(line, f);
    if (section != "stream" && section != "packet" && section != "frame") continue;
    const int index = Integer(f, section == "stream" ? "index" : "stream_index");
    TStreamFigures &s = streams[index];
    if (section == "stream") {
      s.Type = f["codec_type"];
      s.Codec = f["codec_name"];
      s.Tag = f["codec_tag_string"];
      s.Width = Integer(f, "width"), s.Height = Integer(f, "height");
      s.SampleRate = Integer(f, "sample_rate"), s.Channels = Integer(f, "channels");
    } else if (section == "packet") {
      ++s.Packets;
      double pts = 0, duration = 0;
      if (!Number(f, "pts_time", pts)) continue;
      Number(f, "duration_time", duration);
      times[index].push_back(pts);
      s.Start = s.HasSpan ? std::min(s.Start, pts) : pts;
      s.End = s.HasSpan ? std::max(s.End, pts + duration) : pts + duration;
      s.LastPts = s.HasSpan ? std::max(s.LastPts, pts) : pts;
      s.HasSpan = true;
    } else if (section == "frame") {
      ++s.Frames;
      s.Samples += Integer(f, "nb_samples");
    }
  }
  for (auto &[index, pts] : times) {
    std::sort(pts.begin(), pts.end());
    std::vector<double> steps;
    for (size_t i = 1; i < pts.size(); ++i)
      if (pts[i] > pts[i - 1]) steps.push_back(pts[i] - pts[i - 1]);
    streams[index].Period = Median(steps);
  }
  for (auto &[index, s] : streams) AFigures.Streams.push_back(s);
  return true;
}

std::string DecodeErrors(const std::string &APath)
{
  const qvtest::TProcessResult r =
      qvtest::RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", APath, "-f", "null", "-"}, 600);
  if (r.TimedOut) return "ffmpeg did not finish decoding within 600 s";
  if (!r.Ok() && r.Err.empty()) return "ffmpeg exit code " + std::to_string(r.Code);
  return r.Err;
}

}  // namespace qvdiff
