// Our FLV reader against what the files hold: enhanced and codec-12 files
// packet by packet against the Matroska streams they were made from, and
// damaged H.264/AAC files against the tags the damage spared.
#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "EnhancedFlv.h"
#include "FlvReader.h"
#include "TestEnv.h"

namespace qvtest {
void PrintTo(const TEnhancedRecipe &ARecipe, std::ostream *AOut) { *AOut << ARecipe.Name; }
}  // namespace qvtest

namespace {

using qvtest::TDamage;
using qvtest::TFlvTag;

std::string Str(const std::vector<uint8_t> &ABytes) { return {ABytes.begin(), ABytes.end()}; }

struct TGot {
  int64_t DtsNs = 0, PtsNs = 0;
  bool Key = false;
  std::string Data, NewConfig;
};

struct TRead {
  std::string Error;
  std::vector<flv::TTrack> Tracks;
  flv::TMetaData Meta;
  flv::TRepairs Repairs;
  std::vector<flv::TFinding> Findings;
  std::vector<std::vector<TGot>> Packets;  // by stream
};

// The codes of AFindings (of the warnings and errors only, or all), sorted, space-separated.
std::string Codes(const std::vector<flv::TFinding> &AFindings, bool AAll)
{
  std::vector<std::string> codes;
  for (const flv::TFinding &f : AFindings)
    if (AAll || flv::IsProblem(f)) codes.push_back(f.Code);
  std::sort(codes.begin(), codes.end());
  std::string text;
  for (const std::string &c : codes) text += (text.empty() ? "" : " ") + c;
  return text;
}

TRead Failed(std::string AWhy)
{
  TRead r;
  r.Error = std::move(AWhy);
  return r;
}

// Reads AFd to its end and closes it.
TRead ReadFd(int AFd)
{
  TRead r;
  flv::TFdSource source(AFd, true);
  flv::TReader reader(source);
  if (!reader.Open(r.Error)) return Failed("Open: " + r.Error);
  r.Tracks = reader.Tracks();
  r.Meta = reader.Meta();
  r.Packets.resize(r.Tracks.size());
  flv::TPacket p;
  while (reader.Next(p)) {
    if (p.Stream < 0 || static_cast<size_t>(p.Stream) >= r.Packets.size())
      return Failed("a packet of stream " + std::to_string(p.Stream));
    r.Packets[p.Stream].push_back({p.DtsNs, p.PtsNs, p.Key, Str(p.Data), Str(p.NewConfig)});
  }
  r.Repairs = reader.Repairs();
  r.Findings = reader.Findings();
  return r;
}

// Through the file, or through a pipe that a thread writes the file into.
TRead ReadFlv(const std::string &APath, bool ASeekable)
{
  if (ASeekable) {
    const int fd = open(APath.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? Failed("cannot open " + APath) : ReadFd(fd);
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return Failed("no pipe");
  std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early closes the pipe on the writer
  std::thread writer([fd = ends[1], bytes = qvtest::ReadFile(APath)] {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  TRead r = ReadFd(ends[0]);
  writer.join();
  return r;
}

// What one packet should be; Diff names the first field that is not.
struct TWant {
  int64_t DtsNs = 0, PtsNs = 0;
  bool Key = false;
  std::string Data, NewConfig;
};

std::string Diff(const TGot &AGot, const TWant &AWant)
{
  std::ostringstream s;
  if (AGot.DtsNs != AWant.DtsNs) s << " dts " << AGot.DtsNs << " ns instead of " << AWant.DtsNs;
  if (AGot.PtsNs != AWant.PtsNs) s << " pts " << AGot.PtsNs << " ns instead of " << AWant.PtsNs;
  if (AGot.Key != AWant.Key) s << " key " << AGot.Key << " instead of " << AWant.Key;
  if (AGot.Data != AWant.Data) {
    const auto at = std::mismatch(AGot.Data.begin(), AGot.Data.end(), AWant.Data.begin(), AWant.Data.end());
    s << " data of " << AGot.Data.size() << " bytes instead of " << AWant.Data.size() << ", first difference at "
      << (at.first - AGot.Data.begin());
  }
  if (AGot.NewConfig != AWant.NewConfig)
    s << " new configuration of " << AGot.NewConfig.size() << " bytes instead of " << AWant.NewConfig.size();
  return s.str();
}

// Every packet against its wish: the count and the first few that differ.
std::string Compare(const std::vector<TGot> &AGot, const std::vector<TWant> &AWant)
{
  std::ostringstream s;
  if (AGot.size() != AWant.size()) s << AGot.size() << " packets instead of " << AWant.size() << ";";
  int shown = 0;
  for (size_t i = 0; i < std::min(AGot.size(), AWant.size()) && shown < 5; ++i)
    if (const std::string d = Diff(AGot[i], AWant[i]); !d.empty()) {
      s << " packet " << i << ":" << d << ";";
      ++shown;
    }
  return s.str();
}

const std::string &MediaDir()
{
  static const qvtest::TScratchDir dir;
  return dir.Path();
}

// ---- enhanced and codec-12 files against their Matroska source ----

std::string Mode(bool ASeekable) { return ASeekable ? "_file" : "_pipe"; }

class EnhancedFiles : public ::testing::TestWithParam<std::tuple<qvtest::TEnhancedRecipe, bool>> {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

TEST_P(EnhancedFiles, HoldTheSourcePacketByPacket)
{
  const auto &[recipe, seekable] = GetParam();
  const qvtest::TEnhancedFlv made = qvtest::MakeEnhancedFlv(MediaDir(), recipe);
  const std::vector<qvtest::TSourceStream> source = qvtest::ReadSource(made.Source);
  const TRead flv = ReadFlv(made.Path, seekable);
  ASSERT_EQ(flv.Error, "");
  ASSERT_EQ(flv.Tracks.size(), made.Tracks.size());
  EXPECT_FALSE(flv.Repairs.Any());
  EXPECT_EQ(flv.Repairs.UnreadableUnits, 0);
  EXPECT_EQ(Codes(flv.Findings, false), "");
  for (const qvtest::TFlvTrackRef &ref : made.Tracks) {
    const qvtest::TSourceStream &src = source[ref.Source];
    SCOPED_TRACE((ref.Video ? "video track " : "audio track ") + std::to_string(ref.TrackId));
    const auto track = std::find_if(flv.Tracks.begin(), flv.Tracks.end(), [&](const flv::TTrack &t) {
      return !t.Text && (t.Kind == flv::TKind::Video) == ref.Video && t.TrackId == ref.TrackId;
    });
    ASSERT_NE(track, flv.Tracks.end());
    EXPECT_EQ(track->Enhanced, !recipe.Legacy);
    if (recipe.Legacy)
      EXPECT_EQ(track->LegacyId, ref.Video ? 12 : 10);
    else
      EXPECT_EQ(flv::FourCCText(track->FourCCValue), flv::FourCCText(src.FourCC));
    EXPECT_EQ(Str(track->Config), src.Config);
    // A pipe's tracks are known from its first tags only.
    if (seekable) {
      EXPECT_EQ(track->UsesNano, std::any_of(src.Packets.begin(), src.Packets.end(), [&](const auto &p) {
                  return recipe.Nano && qvtest::NanoOffsetAt(p.DtsMs) != 0;
                }));
    }
    if (ref.TrackId == 0) {
      const std::string &metaId = ref.Video ? flv.Meta.VideoCodecId : flv.Meta.AudioCodecId;
      EXPECT_EQ(metaId, recipe.Legacy ? (ref.Video ? "12" : "10") : flv::FourCCText(src.FourCC));
    }
    if (ref.Video && ref.TrackId == 0 && recipe.ColorInfo) {
      EXPECT_EQ(track->Color.ColorPrimaries, src.ColorPrimaries);
      EXPECT_EQ(track->Color.TransferCharacteristics, src.ColorTransfer);
      EXPECT_EQ(track->Color.MatrixCoefficients, src.ColorMatrix);
      EXPECT_EQ(track->Color.MaxCLL, qvtest::kColorMaxCll);
      EXPECT_EQ(track->Color.MaxFALL, qvtest::kColorMaxFall);
    }
    std::vector<TWant> want;
    for (const qvtest::TSourcePacket &p : src.Packets) {
      const int64_t nano = recipe.Nano ? qvtest::NanoOffsetAt(p.DtsMs) : 0;
      want.push_back({p.DtsMs * 1000000 + nano, p.PtsMs * 1000000 + nano, p.Key, p.Data, {}});
    }
    EXPECT_EQ(Compare(flv.Packets[track->Index], want), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Flv, EnhancedFiles,
                         ::testing::Combine(::testing::ValuesIn(qvtest::EnhancedRecipes()), ::testing::Bool()),
                         [](const auto &AInfo) {
                           return std::get<0>(AInfo.param).Name + Mode(std::get<1>(AInfo.param));
                         });

// ---- damaged files against their tags ----

// The repairs each damage calls for; bytes skipped -1: some, however many.
struct TDamageCase {
  TDamage Damage;
  int64_t BytesSkipped;
  int TruncatedTags, ConfigChanges, ShiftedTracks;
  const char *Codes;  // what the check finds in the file, sorted
};

void PrintTo(const TDamageCase &ACase, std::ostream *AOut) { *AOut << qvtest::DamageName(ACase.Damage); }

class DamagedFiles : public ::testing::TestWithParam<std::tuple<TDamageCase, bool>> {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

bool IsConfig(const TFlvTag &ATag)
{
  return ATag.Data.size() > 1 && ATag.Data[1] == 0 && (ATag.VideoCodecId() == 7 || ATag.SoundFormat() == 10);
}

int64_t Pictures(const qvtest::TFlvFile &AFile)
{
  return std::count_if(AFile.Tags.begin(), AFile.Tags.end(), [](const TFlvTag &t) { return t.IsAvcPicture(); });
}

TEST_P(DamagedFiles, DeliverEveryTagTheDamageSpared)
{
  const auto &[c, seekable] = GetParam();
  const qvtest::TDamagedFlv made = qvtest::MakeDamagedFlv(MediaDir(), c.Damage);
  const TRead flv = ReadFlv(made.Path, seekable);
  ASSERT_EQ(flv.Error, "");
  ASSERT_EQ(flv.Tracks.size(), 2u);

  // Per kind (true: video) the packets the spared tags hold, the first
  // configuration record and every later one that differs from the one in
  // force, wanted with the next packet.
  std::map<bool, std::vector<TWant>> want;
  std::map<bool, std::vector<int64_t>> tagMs;
  std::map<bool, std::string> first, inForce, pending;
  for (const TFlvTag &t : made.Delivered.Tags) {
    if (!t.IsAudio() && !t.IsVideo()) continue;
    const bool video = t.IsVideo();
    const std::string body = t.Data.substr(std::min<size_t>(t.Data.size(), video ? 5 : 2));
    if (IsConfig(t)) {
      if (first[video].empty()) first[video] = body;
      else if (body != inForce[video]) pending[video] = body;
      inForce[video] = body;
    } else if (t.CarriesMedia()) {
      const int64_t ct = t.IsAvcPicture() ? t.CompositionTime() : 0;
      want[video].push_back({0, (t.Timestamp + ct) * 1000000, !video || t.IsKeyFrame(), body,
                             std::exchange(pending[video], {})});
      tagMs[video].push_back(t.Timestamp);
    }
  }

  for (const flv::TTrack &track : flv.Tracks) {
    const bool video = track.Kind == flv::TKind::Video;
    SCOPED_TRACE(video ? "video" : "audio");
    EXPECT_EQ(Str(track.Config), first[video]);
    std::vector<TWant> &w = want[video];
    // Decoding times: the tags' own, all moved back by the track's one shift.
    for (size_t i = 0; i < w.size(); ++i) w[i].DtsNs = (tagMs[video][i] - track.DtsShiftMs) * 1000000;
    std::vector<TGot> got = flv.Packets[track.Index];
    // The first packet may repeat the track's configuration.
    if (!got.empty() && got[0].NewConfig == Str(track.Config)) got[0].NewConfig.clear();
    EXPECT_EQ(Compare(got, w), "");
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_LE(got[i].DtsNs, got[i].PtsNs) << "packet " << i;
      if (i) {
        EXPECT_LE(got[i - 1].DtsNs, got[i].DtsNs) << "packet " << i;
      }
    }
  }
  const flv::TRepairs &r = flv.Repairs;
  if (c.BytesSkipped == 0) {
    EXPECT_EQ(r.Resyncs, 0);
    EXPECT_EQ(r.BytesSkipped, 0);
  } else {
    EXPECT_GE(r.Resyncs, 1);
    EXPECT_GT(r.BytesSkipped, 0);
    if (c.BytesSkipped > 0) {
      EXPECT_EQ(r.BytesSkipped, c.BytesSkipped);
    }
  }
  EXPECT_EQ(r.TruncatedTags, c.TruncatedTags);
  EXPECT_EQ(r.ConfigChanges, c.ConfigChanges);
  EXPECT_EQ(r.ShiftedTracks, c.ShiftedTracks);
  const int64_t dropped = c.Damage == TDamage::LateConfig
                              ? Pictures(qvtest::TFlvFile::Load(made.Path)) - Pictures(made.Delivered)
                              : 0;
  EXPECT_EQ(r.DroppedBeforeConfig, dropped);
  // a pipe has no size to hold onMetaData's file size against
  std::string codes = c.Codes;
  if (!seekable && codes.rfind("metadata-filesize ", 0) == 0) codes.erase(0, 18);
  EXPECT_EQ(Codes(flv.Findings, true), codes);
}

INSTANTIATE_TEST_SUITE_P(Flv, DamagedFiles,
                         ::testing::Combine(::testing::Values(TDamageCase{TDamage::GarbageBetweenTags, 4096, 0, 0, 0, "damaged-data"},
                                                              TDamageCase{TDamage::GarbageOverTag, -1, 0, 0, 0, "damaged-data"},
                                                              TDamageCase{TDamage::LateConfig, 0, 0, 0, 0, "config-late key-frame-late"},
                                                              TDamageCase{TDamage::ConfigChange, 0, 0, 2, 0,
                                                                          "config-changed config-changed metadata-duration"},
                                                              TDamageCase{TDamage::CutLastTag, 0, 1, 0, 0, "metadata-filesize truncated-tail"},
                                                              TDamageCase{TDamage::NegativeComposition, 0, 0, 0, 1, "negative-composition"}),
                                            ::testing::Bool()),
                         [](const auto &AInfo) {
                           return qvtest::DamageName(std::get<0>(AInfo.param).Damage) + Mode(std::get<1>(AInfo.param));
                         });

}  // namespace
