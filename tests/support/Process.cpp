#include "Process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace qvtest {

namespace {

std::string ReadAll(FILE *AFile)
{
  std::string out;
  rewind(AFile);
  char buf[8192];
  for (size_t n; (n = fread(buf, 1, sizeof buf, AFile)) > 0;) out.append(buf, n);
  return out;
}

}  // namespace

TProcessResult RunProcess(const std::vector<std::string> &AArgs, double ATimeoutSeconds)
{
  TProcessResult r;
  r.Code = 127;
  if (AArgs.empty()) return r;
  FILE *out = tmpfile(), *err = tmpfile();
  if (!out || !err) {
    if (out) fclose(out);
    if (err) fclose(err);
    return r;
  }
  std::vector<std::string> args = AArgs;
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    fclose(out);
    fclose(err);
    return r;
  }

  // The watchdog kills the child when it outlives the time limit.
  std::mutex lock;
  std::condition_variable ended;
  bool done = false, killed = false;
  std::thread watchdog;
  if (ATimeoutSeconds > 0)
    watchdog = std::thread([&] {
      std::unique_lock<std::mutex> g(lock);
      if (!ended.wait_for(g, std::chrono::duration<double>(ATimeoutSeconds), [&] { return done; })) {
        killed = true;
        kill(pid, SIGKILL);
      }
    });
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> g(lock);
    done = true;
  }
  ended.notify_all();
  if (watchdog.joinable()) watchdog.join();

  r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  r.PeakKBytes = usage.ru_maxrss;
  r.TimedOut = killed;
  r.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Out = ReadAll(out);
  r.Err = ReadAll(err);
  fclose(out);
  fclose(err);
  return r;
}

std::string CommandText(const std::vector<std::string> &AArgs)
{
  std::string text;
  for (const std::string &a : AArgs) {
    if (!text.empty()) text += ' ';
    const bool plain = !a.empty() && a.find_first_of(" '\"\\$;|&()<>*?") == std::string::npos;
    if (plain) {
      text += a;
      continue;
    }
    text += '\'';
    for (char c : a) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += '\'';
  }
  return text;
}

}  // namespace qvtest
