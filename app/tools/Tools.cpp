// Presets, output naming and the version text (see Tools.h).
#include "Tools.h"

#include "AtomicOutput.h"

#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <strings.h>
#include <system_error>

#ifndef QV_FILE_VERSION
#error "QV_FILE_VERSION must be defined by the build (the project version)"
#endif
#ifndef QV_PRESETS_INSTALLED
#error "QV_PRESETS_INSTALLED must be defined by the build (the shared presets, relative to the programs)"
#endif

std::vector<TFormat> Presets;

namespace {

// The folder of the running executable, with a trailing '/'.
std::string ProgramDir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string dir = exe.parent_path().string();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// Where the default presets may be, the user's own first.
std::vector<std::string> PresetFileCandidates() {
  std::vector<std::string> names;
  // Only an absolute XDG_CONFIG_HOME counts; otherwise ~/.config.
  const char *config = std::getenv("XDG_CONFIG_HOME");
  const char *home = std::getenv("HOME");
  if (config && config[0] == '/')
    names.push_back(std::string(config) + "/quenvaro/formats.ini");
  else if (home && home[0] != '\0')
    names.push_back(std::string(home) + "/.config/quenvaro/formats.ini");
  names.push_back(ProgramDir() + "formats.ini");
  names.push_back(std::filesystem::path(ProgramDir() + QV_PRESETS_INSTALLED).lexically_normal().string());
  return names;
}

}  // namespace

std::string PresetFileName() {
  const std::vector<std::string> names = PresetFileCandidates();
  for (const std::string &name : names)
    if (access(name.c_str(), F_OK) == 0) return name;
  // None yet: the installed file is the one a fresh install would read.
  return names.back();
}

bool ParseIniInteger(const std::string &AValue, int32_t &AResult) {
  const char *s = AValue.c_str();
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  int base = 10;
  if (*s == '$') {
    base = 16;
    ++s;
  } else if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
  }
  // strtoll would accept blanks and a second sign here; a value must be digits only.
  if (*s == '\0') return false;
  for (const char *p = s; *p; ++p)
    if (base == 10 ? !(*p >= '0' && *p <= '9') : !isxdigit(static_cast<unsigned char>(*p)))
      return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(s, &end, base);
  if (errno == ERANGE) return false;
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  AResult = static_cast<int32_t>(v);
  return true;
}

int32_t ReadIniInteger(const std::string &AValue, int32_t ADefault) {
  int32_t v = 0;
  return ParseIniInteger(AValue, v) ? v : ADefault;
}

namespace {

// Per section, which keys were already read: the first occurrence of a key
// counts, as with the classic INI readers the preset file was written for.
struct TSectionState {
  std::string Section;
  TFormat Format;
  std::vector<std::string> SeenKeys;
};

struct TParseState {
  std::vector<TSectionState> Sections;
  std::string FileLabel;  // the file's own name, for messages
  // The line (from 1) of each key's first occurrence, by section and key in
  // lower case: the reader does not tell lines.
  std::map<std::pair<std::string, std::string>, int> KeyLines;
};

std::string Lower(std::string AText) {
  for (char &c : AText) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return AText;
}

// What an integer key may hold, when given: the range the encoders and the
// engine can take, and what such a value is called.
struct TIntRule {
  const char *Key;
  int32_t TFormat::*Field;
  int32_t Min, Max;
  const char *What;
};

const TIntRule IntRules[] = {
    {"frame_width", &TFormat::FrameWidth, 1, 16384, "a frame width"},
    {"frame_height", &TFormat::FrameHeight, 1, 16384, "a frame height"},
    // Kept only; 0 is what a preset without it holds.
    {"frame_rate", &TFormat::FrameRate, 0, 1000, "a frame rate"},
    {"video_bitrate", &TFormat::VideoBitrate, 1000, INT32_MAX, "a bit rate in bits per second"},
    {"audio_bitrate", &TFormat::AudioBitrate, 1000, INT32_MAX, "a bit rate in bits per second"},
    {"audio_channels", &TFormat::AudioChannels, 1, 8, "a channel count"},
    {"audio_frequency", &TFormat::AudioFrequency, 4000, 192000, "a sample rate"},
    {"keep_frame_rate", &TFormat::KeepFrameRate, 0, 1, "0 or 1"},
    {"keep_aspect_ratio", &TFormat::KeepAspectRatio, 0, 1, "0 or 1"},
};

int PresetHandler(void *AUser, const char *ASection, const char *AName, const char *AValue) {
  auto *state = static_cast<TParseState *>(AUser);
  if (ASection == nullptr || *ASection == '\0') return 1;  // keys before any section
  TSectionState *sec = nullptr;
  for (auto &s : state->Sections)
    if (strcasecmp(s.Section.c_str(), ASection) == 0) {
      sec = &s;
      break;
    }
  if (sec == nullptr) {
    state->Sections.push_back({ASection, {}, {}});
    sec = &state->Sections.back();
  }
  // A library built to announce new sections calls with no name: the section
  // is listed even when it holds no key.
  if (AName == nullptr) return 1;
  for (const auto &k : sec->SeenKeys)
    if (strcasecmp(k.c_str(), AName) == 0) return 1;
  sec->SeenKeys.emplace_back(AName);

  const std::string value = AValue ? AValue : "";
  TFormat &f = sec->Format;
  // The first bad value of a section is the one told.
  auto bad = [&](const char *AWhat) {
    if (!f.Problem.empty()) return;
    const auto line = state->KeyLines.find({Lower(ASection), Lower(AName)});
    f.Problem = state->FileLabel + (line != state->KeyLines.end() ? " line " + std::to_string(line->second) : "") +
                ": " + AName + "=" + value + " is not " + AWhat;
  };
  struct {
    const char *Key;
    std::string TFormat::*Field;
  } static const TextKeys[] = {
      {"name", &TFormat::Name},
      {"video_codec", &TFormat::VideoCodec},
      {"audio_codec", &TFormat::AudioCodec},
      {"x264_preset", &TFormat::X264Preset},
  };
  for (const auto &k : TextKeys)
    if (strcasecmp(AName, k.Key) == 0) {
      f.*k.Field = value;
      return 1;
    }
  if (strcasecmp(AName, "crf") == 0) {
    // Handed to the encoder as text; only a quality it can take is kept.
    char *end = nullptr;
    errno = 0;
    const double crf = std::strtod(value.c_str(), &end);
    const bool plain = !value.empty() && value.find_first_not_of("0123456789.") == std::string::npos;
    if (plain && end && *end == '\0' && errno == 0 && crf >= 0 && crf <= 51)
      f.Crf = value;
    else
      bad("a quality from 0 to 51");
    return 1;
  }
  for (const auto &k : IntRules)
    if (strcasecmp(AName, k.Key) == 0) {
      int32_t v = 0;
      if (!ParseIniInteger(value, v))
        bad("a number");
      else if (v < k.Min || v > k.Max)
        bad(k.What);
      f.*k.Field = ReadIniInteger(value, 0);
      break;
    }
  return 1;
}

// The section name of a header line, as the INI reader takes it: the text
// between "[" and the first "]" (at most 49 bytes); false for other lines,
// and for a header that a comment cuts short.
bool SectionHeader(const std::string &ALine, std::string &AName) {
  if (ALine.empty() || ALine[0] != '[') return false;
  for (size_t i = 1; i < ALine.size(); ++i) {
    if (ALine[i] == ']') {
      AName = ALine.substr(1, std::min<size_t>(i - 1, 49));
      return true;
    }
    if (ALine[i] == ';' && (ALine[i - 1] == ' ' || ALine[i - 1] == '\t')) return false;
  }
  return false;
}

}  // namespace

void LoadPresets(const std::string &AFileName,
                 const std::function<void(const std::string &)> &AAddName) {
  const std::string file = AFileName.empty() ? PresetFileName() : AFileName;
  Presets.clear();
  std::ifstream in(file, std::ios::binary);
  if (!in) return;  // no file: no sections, no presets
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));  // the reader stops there too
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);

  // Every section is a preset, also one without keys (the reader announces
  // only sections that hold a key): list the headers first, in file order.
  // Leading blanks go from every line, so an indented key is a key and never
  // the continuation of the value above it.
  TParseState state;
  state.FileLabel = std::filesystem::path(file).filename().string();
  std::string lines;
  std::string section;
  int lineNumber = 0;
  for (size_t pos = 0; pos < text.size();) {
    ++lineNumber;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    size_t start = pos;
    while (start < end && (text[start] == ' ' || text[start] == '\t')) ++start;
    const std::string line = text.substr(start, end - start);
    std::string name;
    if (SectionHeader(line, name) && !name.empty() &&
        std::none_of(state.Sections.begin(), state.Sections.end(),
                     [&](const TSectionState &ASection) { return strcasecmp(ASection.Section.c_str(), name.c_str()) == 0; }))
      state.Sections.push_back({name, {}, {}});
    if (SectionHeader(line, name)) {
      section = Lower(name);
    } else if (!line.empty() && line[0] != ';' && line[0] != '#') {
      const size_t delimiter = line.find_first_of("=:");
      std::string key = line.substr(0, delimiter);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
      if (delimiter != std::string::npos && !key.empty()) state.KeyLines.emplace(std::pair(section, Lower(key)), lineNumber);
    }
    lines += line;
    lines += '\n';
    pos = end + 1;
  }
  // A result other than 0 is the line of the first malformed entry; the
  // lines around it are still read, so whatever parsed is kept.
  ini_parse_string(lines.c_str(), PresetHandler, &state);
  Presets.reserve(state.Sections.size());
  for (auto &s : state.Sections) {
    Presets.push_back(std::move(s.Format));
    if (AAddName) AAddName(Presets.back().Name);
  }
}

std::string MakeOutputName(const std::string &AInputName, const std::string &AExt) {
  // The system sees a name only up to its first zero byte. Cut there, or a
  // name whose visible part exists (a folder, say) would be taken for every
  // number and the search below would never end.
  const std::string ext = AExt.substr(0, AExt.find('\0'));
  // The extension is searched for in the last path component only, so a dot
  // in a folder name is never taken for one.
  std::string base = AInputName.substr(0, AInputName.find('\0'));
  const auto slash = base.find_last_of('/');
  const auto dot = base.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);

  // A dangling symbolic link counts as taken: writing there would follow it.
  // So does a name another conversion is writing under a temporary.
  auto taken = [](const std::string &AName) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(AName, ec)) || OutputNameReserved(AName);
  };
  std::string name = base + "_(new)" + ext;
  for (unsigned long k = 1; taken(name); ++k) name = base + "_(new_" + std::to_string(k) + ")" + ext;
  return name;
}

std::string NotRegularFileText(const std::string &AName) {
  struct stat st {};
  if (stat(AName.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
  const char *kind = S_ISFIFO(st.st_mode)  ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISDIR(st.st_mode)  ? "a folder"
                                            : "not a file";
  return "Input file '" + AName + "' is not a regular file (" + kind + ")";
}

double EstimatedTotalTime(int32_t ACurrentCount, int32_t ATotalCount, double AElapsed) {
  if (ACurrentCount == 0) return 0.0;
  // Past the known total (a last packet's length) the job is as long as it took.
  if (ATotalCount > 0 && ACurrentCount > ATotalCount) ACurrentCount = ATotalCount;
  return static_cast<double>(ATotalCount) * AElapsed / static_cast<double>(ACurrentCount);
}

std::string FileVersionText() { return QV_FILE_VERSION; }
