// Settled FLV files of a watched folder (see FolderWatch.h).
#include "FolderWatch.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

// Folders: what appears in them. Files: closed after writing, written to,
// moved in, gone.
constexpr uint32_t WatchMask = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                               IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

std::string Join(const std::string &AFolder, const std::string &AName)
{
  return AFolder.empty() || AFolder.back() == '/' ? AFolder + AName : AFolder + "/" + AName;
}

}  // namespace

TFolderWatch::TFolderWatch(std::string AFolder, bool ARecursive, std::chrono::milliseconds ASettle)
    : FFolder(std::move(AFolder)), FRecursive(ARecursive), FSettle(ASettle)
{
}

TFolderWatch::~TFolderWatch()
{
  if (FFd >= 0) close(FFd);
}

bool TFolderWatch::IsFlvName(const std::string &AName)
{
  return AName.size() > 4 && AName[0] != '.' && strcasecmp(AName.c_str() + AName.size() - 4, ".flv") == 0;
}

bool TFolderWatch::Open(const TPresentTest &APresent, std::string &AError)
{
  FPresent = APresent;
  FFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FFd < 0) {
    AError = std::string("Could not watch folders: ") + std::strerror(errno);
    return false;
  }
  FRootWatch = inotify_add_watch(FFd, FFolder.c_str(), WatchMask);
  if (FRootWatch < 0) {
    AError = "Could not watch '" + FFolder + "': " + std::strerror(errno);
    return false;
  }
  FWatches[FRootWatch] = FFolder;
  AddFolder(FFolder);
  return true;
}

void TFolderWatch::AddFolder(const std::string &AFolder)
{
  // Watched before it is listed, so a file closed in between is not missed
  // (one seen both ways is simply a candidate twice).
  if (AFolder != FFolder) {
    const int wd = inotify_add_watch(FFd, AFolder.c_str(), WatchMask);
    if (wd < 0) {
      std::fprintf(stderr, "Could not watch '%s': %s\n", AFolder.c_str(), std::strerror(errno));
      return;
    }
    FWatches[wd] = AFolder;
  }
  DIR *dir = opendir(AFolder.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent *e = readdir(dir)) names.emplace_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());  // the order a user expects
  for (const std::string &name : names) {
    if (name == "." || name == "..") continue;
    const std::string path = Join(AFolder, name);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (FRecursive && name[0] != '.') AddFolder(path);
    } else if (S_ISREG(st.st_mode) && IsFlvName(name) && (!FPresent || FPresent(path))) {
      Candidate(path, false);
    }
  }
}

void TFolderWatch::Candidate(const std::string &APath, bool AWhole)
{
  TCandidate &c = FCandidates[APath];
  c.Stamp = InputStampOf(APath);
  c.Due = TClock::now() + (AWhole ? std::chrono::milliseconds(0) : FSettle);
  c.Writing = false;
}

void TFolderWatch::Forget(const std::string &APath) { FCandidates.erase(APath); }

bool TFolderWatch::ReadEvents()
{
  alignas(inotify_event) char buf[64 * 1024];
  bool rootThere = true;
  for (;;) {
    const ssize_t n = read(FFd, buf, sizeof buf);
    if (n <= 0) break;  // EAGAIN: all read
    for (char *p = buf; p < buf + n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(p);
      p += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) {
        // Events were lost: every folder is looked at again.
        std::fprintf(stderr, "Too many changes at once in '%s': looking at every file again\n", FFolder.c_str());
        const auto folders = FWatches;
        for (const auto &[wd, folder] : folders) AddFolder(folder);
        continue;
      }
      const auto watch = FWatches.find(e->wd);
      if (watch == FWatches.end()) continue;
      if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        if (e->wd == FRootWatch) rootThere = false;
        // A subfolder moved away is no longer where its name says.
        if (e->mask & IN_MOVE_SELF) inotify_rm_watch(FFd, e->wd);
        if (e->mask & IN_IGNORED) FWatches.erase(watch);
        continue;
      }
      if (e->len == 0) continue;
      const std::string name = e->name;
      const std::string path = Join(watch->second, name);
      if (e->mask & IN_ISDIR) {
        if (FRecursive && name[0] != '.' && (e->mask & (IN_CREATE | IN_MOVED_TO))) AddFolder(path);
        continue;
      }
      if (!IsFlvName(name)) continue;
      if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
        Forget(path);
      } else if (e->mask & IN_MOVED_TO) {
        Candidate(path, true);
      } else if (e->mask & IN_CLOSE_WRITE) {
        Candidate(path, false);
      } else if (e->mask & IN_MODIFY) {
        const auto c = FCandidates.find(path);
        if (c != FCandidates.end()) c->second.Writing = true;
      }
    }
  }
  return rootThere;
}

std::vector<std::string> TFolderWatch::TakeSettled()
{
  std::vector<std::string> settled;
  const auto now = TClock::now();
  for (auto it = FCandidates.begin(); it != FCandidates.end();) {
    TCandidate &c = it->second;
    if (c.Writing || c.Due > now) {
      ++it;
      continue;
    }
    const TInputStamp stamp = InputStampOf(it->first);
    if (!stamp.Valid()) {  // gone meanwhile
      it = FCandidates.erase(it);
    } else if (stamp.Size != c.Stamp.Size || stamp.MtimeNs != c.Stamp.MtimeNs) {
      // Changed without our seeing it written (before the watch began, or
      // through a mapping): it settles from now.
      c.Stamp = stamp;
      c.Due = now + FSettle;
      ++it;
    } else {
      settled.push_back(it->first);
      it = FCandidates.erase(it);
    }
  }
  return settled;
}

int TFolderWatch::MillisToNextSettle() const
{
  const auto now = TClock::now();
  long long best = -1;
  for (const auto &[path, c] : FCandidates) {
    if (c.Writing) continue;
    const long long ms = std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(c.Due - now).count() + 1);
    if (best < 0 || ms < best) best = ms;
  }
  return static_cast<int>(std::min<long long>(best, 1 << 30));
}
