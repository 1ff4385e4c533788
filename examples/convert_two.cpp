// Converts two FLV files to MP4 at the same time, on two worker threads,
// printing each task's progress and end.
//   convert_two IN1.flv OUT1.mp4 IN2.flv OUT2.mp4 [LIBAV_FOLDER]
// The LibAV folder defaults to the one beside the executable.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "LibLoader.h"
#include "Strix.h"

int main(int argc, char **argv)
{
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s IN1 OUT1 IN2 OUT2 [LIBAV_FOLDER]\n", argv[0]);
    return 2;
  }
  const std::string libFolder = argc > 5 ? argv[5] : ExecutableDir() + "LibAV";

  TPumpedWindowThread window;
  TStrix strix(window);
  strix.SetLogLevel(llError);
  if (!strix.LoadLibraries(libFolder, true)) {
    std::fprintf(stderr, "%s\n", strix.LastError().c_str());
    return 1;
  }

  // The settings the desktop window uses: MPEG-4 video, AAC audio, 15 fps.
  TOutputOptions output;
  output.VideoCodecName = "mpeg4";
  output.AudioCodecName = "libfaac";
  output.FrameRate = "15";
  output.VideoBitrate = 400000;
  output.AudioBitrate = 64000;

  for (int i = 0; i < 2; ++i) {
    int index = strix.AddTask(argv[1 + 2 * i]);
    if (index < 0 || !strix.AddTaskOutput(index, argv[2 + 2 * i], output)) {
      std::fprintf(stderr, "%s\n", strix.LastError().c_str());
      return 1;
    }
  }

  std::mutex printLock;  // events of both workers print here
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  strix.OnProgress = [&](int AIndex, int AFrameNumber, int, int ACurrentDuration, float, float, int64_t ACurrentSize,
                         int ATotalOutputDuration) {
    std::lock_guard<std::mutex> lock(printLock);
    int percent = ATotalOutputDuration > 0 ? ACurrentDuration * 100 / ATotalOutputDuration : 0;
    std::printf("task %d: frame %d, %d%%, %lld bytes\n", AIndex, AFrameNumber, percent,
                static_cast<long long>(ACurrentSize));
    std::fflush(stdout);
  };
  strix.OnTerminate = [&](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
    std::lock_guard<std::mutex> lock(printLock);
    if (AIndex < 0) {
      std::printf("all done\n");
      done = true;
      return;
    }
    if (!AFinished) ++failures;
    std::printf("task %d: %s%s%s\n", AIndex, AFinished ? "finished" : "not finished", AException ? ": " : "",
                AException ? AMessage.c_str() : "");
  };

  strix.StartTasks(2);
  while (!done) window.ProcessEvents(100);
  strix.UnassignEvents();
  return failures == 0 ? 0 : 1;
}
