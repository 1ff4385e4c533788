// Command-line test support (see CliTest.h).
#include "CliTest.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "TestMedia.h"

namespace clitest {

std::string Cli() { return std::string(QV_BIN_DIR) + "/quenvaro-cli"; }

TChild::TChild(const std::string &AProgram, TArgs AArgs, const TChildSetup &ASetup)
{
  int out[2];
  FErr = tmpfile();
  FILE *in = ASetup.HasStdin ? tmpfile() : nullptr;
  if (!FErr || (ASetup.HasStdin && !in) || pipe(out) != 0) {
    ADD_FAILURE() << "cannot start " << AProgram;
    if (in) fclose(in);
    return;
  }
  if (in) {
    fwrite(ASetup.Stdin.data(), 1, ASetup.Stdin.size(), in);
    fflush(in);
    rewind(in);
  }
  AArgs.insert(AArgs.begin(), AProgram);
  FPid = fork();
  if (FPid == 0) {
    const rlimit rl{ASetup.FileLimit, ASetup.FileLimit};
    if (ASetup.FileLimit > 0) setrlimit(RLIMIT_NOFILE, &rl);
    const rlimit fsize{ASetup.FileSizeLimit, ASetup.FileSizeLimit};
    if (ASetup.FileSizeLimit > 0) signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &fsize);
    for (const std::string &e : ASetup.Env) {
      const auto eq = e.find('=');
      if (eq == std::string::npos)
        unsetenv(e.c_str());
      else
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    if (in) dup2(fileno(in), 0);
    dup2(out[1], 1);
    dup2(fileno(FErr), 2);
    close(out[0]);
    std::vector<char *> argv;
    for (auto &a : AArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (in) fclose(in);
  close(out[1]);
  FOutFd = out[0];
}

TChild::~TChild()
{
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
  if (FOutFd >= 0) close(FOutFd);
  if (FErr) fclose(FErr);
}

bool TChild::Poll(int AMilliseconds)
{
  if (FOutFd < 0) return false;
  pollfd p{FOutFd, POLLIN, 0};
  if (poll(&p, 1, AMilliseconds) <= 0) return true;
  char buf[4096];
  const ssize_t n = read(FOutFd, buf, sizeof buf);
  if (n <= 0) {
    close(FOutFd);
    FOutFd = -1;
    return false;
  }
  FOut.append(buf, static_cast<size_t>(n));
  return true;
}

std::string TChild::ErrSoFar() const
{
  // pread: the child writes at the offset it shares with FErr.
  std::string err;
  char buf[4096];
  for (ssize_t n; FErr && (n = pread(fileno(FErr), buf, sizeof buf, static_cast<off_t>(err.size()))) > 0;)
    err.append(buf, static_cast<size_t>(n));
  return err;
}

void TChild::Signal(int ASignal)
{
  if (FPid > 0) kill(FPid, ASignal);
}

TRun TChild::Wait()
{
  TRun r;
  while (Poll(1000)) {
  }
  if (FPid > 0) {
    int status = 0;
    rusage usage {};
    wait4(FPid, &status, 0, &usage);
    FPid = -1;
    r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.PeakKBytes = usage.ru_maxrss;
  }
  r.Out = FOut;
  if (FErr) {
    rewind(FErr);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, FErr)) > 0;) r.Err.append(buf, n);
  }
  return r;
}

TRun RunProgram(const std::string &AProgram, const TArgs &AArgs, const std::string &AInterruptOn,
                const TChildSetup &ASetup)
{
  TChild child(AProgram, AArgs, ASetup);
  bool sent = false;
  while (child.Poll(1000)) {
    if (!sent && !AInterruptOn.empty() && child.Out().find(AInterruptOn) != std::string::npos) {
      child.Signal(SIGINT);
      sent = true;
    }
  }
  return child.Wait();
}

TRun RunCli(const TArgs &AArgs, const std::string &AInterruptOn, const TChildSetup &ASetup)
{
  return RunProgram(Cli(), AArgs, AInterruptOn, ASetup);
}

std::vector<std::string> Split(const std::string &AText, const std::string &ASep)
{
  std::vector<std::string> out;
  std::size_t pos = 0;
  for (std::size_t e; (e = AText.find(ASep, pos)) != std::string::npos; pos = e + ASep.size())
    out.push_back(AText.substr(pos, e - pos));
  if (pos < AText.size()) out.push_back(AText.substr(pos));
  return out;
}

bool Has(const std::string &AText, const std::string &APart) { return AText.find(APart) != std::string::npos; }

std::string Stamp(const std::string &APath)
{
  struct stat st {};
  if (stat(APath.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + qvtest::ReadFile(APath);
}

namespace {

// Strict JSON (strict UTF-8, no NaN/Infinity) per line, by Python's reader;
// each object's top-level fields are handed back as text (strings decoded,
// other values as JSON), fields split by \x1f, events by \x1e.
const char *const JsonScript = R"(import json, sys
t = open(sys.argv[1], encoding='utf-8', errors='strict').read()
for l in (t[:-1] if t.endswith('\n') else t).split('\n'):
    o = json.loads(l, parse_constant=lambda c: 1 / 0)
    assert isinstance(o, dict), l
    sys.stdout.buffer.write((''.join(k + '\x1d' + (v if isinstance(v, str) else json.dumps(v)) + '\x1f'
                                     for k, v in o.items()) + '\x1e').encode())
)";

}  // namespace

void TBatchFixture::SetUp() { qvtest::LoadLibs(); }

std::string TBatchFixture::MakeFlv(const std::string &AName, double ASeconds, int AWidth, int AHeight)
{
  qvtest::TGenOptions o;
  o.VideoCodec = "flv", o.AudioCodec = "libmp3lame", o.Width = AWidth, o.Height = AHeight, o.Seconds = ASeconds;
  qvtest::MakeMedia(Dir.File(AName), o);
  return Dir.File(AName);
}

std::string TBatchFixture::Presets()
{
  qvtest::WriteFile(Dir.File("presets.ini"),
                    "[tiny]\nname=Tiny 160x120\nframe_width=160\nframe_height=120\nvideo_bitrate=100000\n"
                    "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n"
                    "[small]\nname=Small 176x144\nframe_width=176\nframe_height=144\nvideo_bitrate=128000\n"
                    "audio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n");
  return Dir.File("presets.ini");
}

std::vector<TEvent> TBatchFixture::Events(const std::string &AText)
{
  static int serial = 0;
  const std::string file = Dir.File("events-" + std::to_string(++serial) + ".jsonl");
  qvtest::WriteFile(file, AText);
  const TRun p = RunProgram("python3", {"-c", JsonScript, file});
  EXPECT_EQ(p.Code, 0) << "not JSON lines: " << p.Err << AText;
  std::vector<TEvent> events;
  for (const auto &record : Split(p.Out, "\x1e")) {
    TEvent &e = events.emplace_back();
    for (const auto &field : Split(record, "\x1f"))
      e[field.substr(0, field.find('\x1d'))] = field.substr(field.find('\x1d') + 1);
  }
  return events;
}

void TBatchFixture::ExpectConverted(const std::string &APath, int AWidth, int AHeight, int ARate, int AChannels)
{
  SCOPED_TRACE(APath);
  qvtest::TMediaInfo info;
  std::string error;
  ASSERT_TRUE(qvtest::ProbeMedia(APath, info, &error)) << error;
  const qvtest::TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO), *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Codec, "mpeg4");
  EXPECT_EQ(std::make_pair(v->Width, v->Height), std::make_pair(AWidth, AHeight));
  EXPECT_GT(v->Packets, 0);
  EXPECT_NEAR(av_q2d(v->FrameRate), 15.0, 0.5);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(std::make_pair(a->SampleRate, a->Channels), std::make_pair(ARate, AChannels));
}

}  // namespace clitest
