// quenvaro-cli: prints a media report (--info FILE) or runs one conversion
// job whose arguments are handled in order, like a command-line transcoder:
//   -i FILE       opens an input
//   -y            allows overwriting an existing output
//   -NAME [VALUE] sets an engine option (flags and no-ops take no value)
//   FILE          creates an output
// Errors go to stderr in the system's own words. Exit codes: 0 finished,
// 1 failure, 130 stopped by Ctrl-C (the output still gets its trailer).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "LibLoader.h"

namespace {

std::atomic<bool> Interrupted{false};

// Only sets the flag: the main thread sees it and stops the engine.
void OnSigInt(int) { Interrupted.store(true); }

void Usage()
{
  std::fprintf(stderr,
               "usage: quenvaro-cli --info FILE\n"
               "       quenvaro-cli [-y] [-OPTION [VALUE]]... -i INPUT [-OPTION [VALUE]]... OUTPUT\n"
               "       quenvaro-cli --version\n");
}

bool Exists(const std::string &APath)
{
  struct stat st {};
  return stat(APath.c_str(), &st) == 0;
}

bool LoadLibraries()
{
  if (LoadAVLibs(ExecutableDir() + "LibAV", true)) return true;
  std::fprintf(stderr, "%s\n", AVLibsLastError().c_str());
  return false;
}

int Info(const std::string &AFile)
{
  TAVProbe probe;
  if (!probe.LoadFile(AFile)) {
    std::fprintf(stderr, "%s\n", probe.LastError.c_str());
    return 1;
  }
  const std::string text = probe.GetFileInfoText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

class TJob {
 public:
  int Execute(const std::vector<std::string> &AArgs);

 private:
  bool Configure(const std::vector<std::string> &AArgs);
  int Run();

  TCustomFFmpeg FEngine;
  std::mutex FLock;
  std::condition_variable FDone;
  bool FTerminated = false;
  std::string FLastLogged;  // so the final error is not printed twice
  bool FTerminal = isatty(STDERR_FILENO);
  bool FProgressShown = false;
};

bool TJob::Configure(const std::vector<std::string> &AArgs)
{
  bool overwrite = false;
  bool anyOutput = false;
  for (std::size_t i = 0; i < AArgs.size(); ++i) {
    const std::string &a = AArgs[i];
    if (a == "-y") {
      overwrite = true;
    } else if (a == "-i") {
      if (i + 1 >= AArgs.size()) {
        std::fprintf(stderr, "Missing argument for option 'i'\n");
        return false;
      }
      if (!FEngine.OpenInputFile(AArgs[++i])) {
        std::fprintf(stderr, "%s\n", FEngine.LastOptionError.c_str());
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      const std::string name = a.substr(1);
      if (TCustomFFmpeg::OptionTakesNoValue(name)) {
        FEngine.SetOption(name, "");
      } else {
        if (i + 1 >= AArgs.size()) {
          std::fprintf(stderr, "Missing argument for option '%s'\n", name.c_str());
          return false;
        }
        FEngine.SetOption(name, AArgs[++i]);
      }
    } else {
      // Never overwrite silently: an existing output needs -y.
      if (!overwrite && Exists(a)) {
        std::fprintf(stderr, "File '%s' already exists. Use -y to overwrite it.\n", a.c_str());
        return false;
      }
      if (!FEngine.OpenOutputFile(a)) {
        std::fprintf(stderr, "%s\n", FEngine.LastOptionError.c_str());
        return false;
      }
      anyOutput = true;
    }
  }
  if (!anyOutput) {
    Usage();
    return false;
  }
  return true;
}

int TJob::Run()
{
  FEngine.OnTerminate = [this](TCustomFFmpeg *) {
    std::lock_guard<std::mutex> lock(FLock);
    FTerminated = true;
    FDone.notify_all();
  };
  FEngine.OnProgress = [this](TCustomFFmpeg *, int AFrameNumber, int AFPS, int ACurrentDuration, float,
                              float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    const int percent = ATotalOutputDuration > 0
                            ? static_cast<int>(100.0 * ACurrentDuration / ATotalOutputDuration + 0.5)
                            : -1;
    std::fprintf(stderr, "frame=%5d fps=%3d time=%8.2fs size=%8lldkB bitrate=%7.1fkbit/s",
                 AFrameNumber, AFPS, ACurrentDuration / 1000.0, static_cast<long long>(ACurrentSize / 1024),
                 static_cast<double>(ABitRate));
    if (percent >= 0) std::fprintf(stderr, " %3d%%", percent > 100 ? 100 : percent);
    std::fputs(FTerminal ? "\r" : "\n", stderr);
    FProgressShown = true;
  };

  TFFmpegThread *thread = FEngine.Start(true);
  if (thread) thread->Resume();
  bool stopSent = false;
  {
    std::unique_lock<std::mutex> lock(FLock);
    while (!FTerminated) {
      FDone.wait_for(lock, std::chrono::milliseconds(100));
      if (Interrupted.load() && !stopSent) {
        stopSent = true;
        lock.unlock();
        FEngine.Stop();
        lock.lock();
      }
    }
  }
  FEngine.WaitForThread();
  if (FProgressShown && FTerminal) std::fputs("\n", stderr);
  if (Interrupted.load()) return 130;
  if (FEngine.Finished && !FEngine.ExceptionRaised) return 0;
  const std::string msg = FEngine.LastErrorMessage.empty() ? "Conversion failed" : FEngine.LastErrorMessage;
  if (msg != FLastLogged) std::fprintf(stderr, "%s\n", msg.c_str());
  return 1;
}

int TJob::Execute(const std::vector<std::string> &AArgs)
{
  FEngine.OnLog = [this](TCustomFFmpeg *, int ALevel, const std::string &AMsg) {
    if (ALevel > 0) return;
    std::string line = AMsg;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    FLastLogged = line;
    std::fprintf(stderr, "%s\n", line.c_str());
  };
  FEngine.Prepare();
  if (!Configure(AArgs)) return 1;
  return Run();
}

}  // namespace

int main(int argc, char **argv)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    Usage();
    return 1;
  }
  if (args[0] == "--version") {
    std::printf("quenvaro-cli %s\n", QV_VERSION);
    return 0;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    Usage();
    return 0;
  }
  if (!LoadLibraries()) return 1;
  // Library chatter stays quiet unless an option asks for more.
  SetLibraryLogLevel(0);
  try {
    if (args[0] == "--info") {
      if (args.size() != 2) {
        Usage();
        return 1;
      }
      return Info(args[1]);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSigInt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    TJob job;
    return job.Execute(args);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
