// Whole-or-nothing outputs (see AtomicOutput.h).
#include "AtomicOutput.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>

namespace {

const char *const PartSuffix = ".qvpart";   // a temporary being written, always locked
const char *const StageSuffix = ".qvnew";   // a temporary between its creation and its lock
constexpr size_t HexDigits = 16;
// Room left in a file name (255 bytes) for the final name inside a temporary's.
constexpr size_t StemLimit = 255 - 2 - HexDigits - 7;
// A staged name lives for microseconds; one this old was left by a crash.
constexpr time_t StageAbandonedAfter = 60;
// Without file locks (an NFS mount without its lock service, say) a writer
// cannot be told from a dead one; a temporary untouched this long is taken
// as abandoned, since a live conversion writes all the time.
constexpr time_t UnlockedAbandonedAfter = 3600;

bool LocksUnsupported(int AErrno)
{
  return AErrno == ENOLCK || AErrno == EOPNOTSUPP || AErrno == ENOTSUP || AErrno == ENOSYS || AErrno == EINVAL;
}

// The folder part of APath with its slash ("" for a bare name).
std::string FolderOf(const std::string &APath)
{
  const auto slash = APath.find_last_of('/');
  return slash == std::string::npos ? std::string() : APath.substr(0, slash + 1);
}

// The final file name as it appears in its temporaries' names: cut to fit
// the name limit, never inside a UTF-8 sequence.
std::string StemOf(const std::string &AFinal)
{
  std::string stem = AFinal.substr(FolderOf(AFinal).size());
  if (stem.size() <= StemLimit) return stem;
  size_t n = StemLimit;
  while (n > 0 && (static_cast<unsigned char>(stem[n]) & 0xC0) == 0x80) --n;
  return stem.substr(0, n);
}

std::string RandomHex()
{
  uint64_t v = 0;
  if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
    std::random_device rd;
    v = (static_cast<uint64_t>(rd()) << 32) ^ rd() ^ static_cast<uint64_t>(getpid());
  }
  char buf[HexDigits + 1];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

bool EndsWith(const std::string &AText, const std::string &AEnd)
{
  return AText.size() >= AEnd.size() && AText.compare(AText.size() - AEnd.size(), AEnd.size(), AEnd) == 0;
}

// The stem of a temporary's file name; empty when the name is not one of ours.
std::string TempStem(const std::string &AName)
{
  std::string body;
  if (EndsWith(AName, PartSuffix))
    body = AName.substr(0, AName.size() - std::strlen(PartSuffix));
  else if (EndsWith(AName, StageSuffix))
    body = AName.substr(0, AName.size() - std::strlen(StageSuffix));
  else
    return {};
  if (body.size() < HexDigits + 3 || body[0] != '.' || body[body.size() - HexDigits - 1] != '.') return {};
  if (body.find_first_not_of("0123456789abcdef", body.size() - HexDigits) != std::string::npos) return {};
  return body.substr(1, body.size() - HexDigits - 2);
}

bool SameFile(const struct stat &A, const struct stat &B) { return A.st_dev == B.st_dev && A.st_ino == B.st_ino; }

// True when APath still names the file open as AFd.
bool StillNames(int AFd, const std::string &APath)
{
  struct stat a {}, b {};
  return fstat(AFd, &a) == 0 && lstat(APath.c_str(), &b) == 0 && SameFile(a, b);
}

// Makes a rename in AFolder durable; a failure leaves it as durable as the
// file system makes it anyway.
void SyncFolder(const std::string &AFolder)
{
  const int fd = open(AFolder.empty() ? "." : AFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Renames AFrom to ATo unless ATo exists: 0, or an errno (EEXIST: it exists).
int RenameNoReplace(const std::string &AFrom, const std::string &ATo)
{
  if (renameat2(AT_FDCWD, AFrom.c_str(), AT_FDCWD, ATo.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP) return errno;
  // No atomic no-replace rename here (NFS, for one): a hard link fails on an
  // existing name just as atomically.
  if (link(AFrom.c_str(), ATo.c_str()) == 0) {
    unlink(AFrom.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOTSUP && errno != ENOSYS) return errno;
  // No hard links either: the best left is to look first.
  struct stat st {};
  if (lstat(ATo.c_str(), &st) == 0) return EEXIST;
  return rename(AFrom.c_str(), ATo.c_str()) == 0 ? 0 : errno;
}

}  // namespace

bool IsCompleteMp4(const std::string &APath)
{
  const int fd = open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool complete = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 8;
  const uint64_t size = complete ? static_cast<uint64_t>(st.st_size) : 0;
  bool moov = false;
  for (uint64_t pos = 0; complete && pos < size;) {
    unsigned char h[16];
    const size_t want = size - pos >= 16 ? 16 : 8;
    if (size - pos < 8 || pread(fd, h, want, static_cast<off_t>(pos)) != static_cast<ssize_t>(want)) {
      complete = false;
      break;
    }
    uint64_t box = (uint64_t{h[0]} << 24) | (uint64_t{h[1]} << 16) | (uint64_t{h[2]} << 8) | h[3];
    uint64_t header = 8;
    if (box == 1) {  // a 64-bit size follows the type
      if (want < 16) {
        complete = false;
        break;
      }
      box = 0;
      for (int i = 8; i < 16; ++i) box = (box << 8) | h[i];
      header = 16;
    }
    // A size of 0 ("to the end of the file") is what a writer leaves before
    // it knows the real one.
    const std::string type(reinterpret_cast<const char *>(h) + 4, 4);
    if (box < header || box > size - pos || (pos == 0 && type != "ftyp")) complete = false;
    if (type == "moov") moov = true;
    pos += box;
  }
  close(fd);
  return complete && moov;
}

bool TAtomicOutput::Create(const std::string &AFinal, std::string &AError)
{
  Discard();
  const std::string base = FolderOf(AFinal) + "." + StemOf(AFinal) + ".";
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string hex = RandomHex();
    const std::string staged = base + hex + StageSuffix, name = base + hex + PartSuffix;
    const int fd = open(staged.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      AError = "Could not create '" + AFinal + "': " + std::strerror(errno);
      return false;
    }
    // Locked before it takes the name a sweeper looks at.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && !LocksUnsupported(errno)) {
      unlink(staged.c_str());  // a sweeper holds it for a moment; take another name
      close(fd);
      continue;
    }
    if (rename(staged.c_str(), name.c_str()) != 0) {
      AError = "Could not create '" + AFinal + "': " + std::strerror(errno);
      unlink(staged.c_str());
      close(fd);
      return false;
    }
    FFinal = AFinal;
    FName = name;
    FFd = fd;
    return true;
  }
  AError = "Could not create a temporary file for '" + AFinal + "'";
  return false;
}

bool OutputNameReserved(const std::string &AFinal)
{
  const std::string folder = FolderOf(AFinal), stem = StemOf(AFinal);
  DIR *d = opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return false;
  bool live = false;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] != '.' || TempStem(e->d_name) != stem) continue;
    const std::string path = folder + e->d_name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    // Our own lock is per open file, so a second open sees it as another's.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0)
      live = errno == EWOULDBLOCK || LocksUnsupported(errno);
    close(fd);
    if (live) break;
  }
  closedir(d);
  return live;
}

bool TAtomicOutput::SetTimes(const struct timespec ATimes[2])
{
  return FFd >= 0 && futimens(FFd, ATimes) == 0;
}

TPublishResult TAtomicOutput::PublishAs(const std::string &AFinal, bool AReplace, std::string &AError)
{
  if (FFd < 0 || !StillNames(FFd, FName)) {
    AError = "The temporary file '" + FName + "' was removed or replaced by another program";
    return prFailed;
  }
  // The data reaches the disk before the name does: after a power loss the
  // final name holds the whole file or nothing.
  if (fsync(FFd) != 0) {
    AError = "Could not write '" + FName + "': " + std::strerror(errno);
    return prFailed;
  }
  const int err = AReplace ? (rename(FName.c_str(), AFinal.c_str()) == 0 ? 0 : errno) : RenameNoReplace(FName, AFinal);
  if (err == EEXIST) return prFinalExists;
  if (err != 0) {
    AError = "Could not rename '" + FName + "' to '" + AFinal + "': " + std::strerror(err);
    return prFailed;
  }
  SyncFolder(FolderOf(AFinal));
  close(FFd);  // releases the lock, now that the temporary name is gone
  FFd = -1;
  FName.clear();
  return prPublished;
}

void TAtomicOutput::Discard()
{
  if (FFd < 0) return;
  if (StillNames(FFd, FName)) unlink(FName.c_str());
  close(FFd);
  FFd = -1;
  FName.clear();
}

std::vector<std::string> TTempSweeper::Sweep(const std::string &AFinal)
{
  const std::string folder = FolderOf(AFinal);
  auto it = FFolders.find(folder);
  if (it == FFolders.end()) {
    it = FFolders.emplace(folder, std::multimap<std::string, std::string>()).first;
    if (DIR *d = opendir(folder.empty() ? "." : folder.c_str())) {
      while (const dirent *e = readdir(d)) {
        const std::string stem = TempStem(e->d_name);
        if (!stem.empty()) it->second.emplace(stem, e->d_name);
      }
      closedir(d);
    }
  }
  std::vector<std::string> removed;
  const auto range = it->second.equal_range(StemOf(AFinal));
  const time_t now = time(nullptr);
  for (auto t = range.first; t != range.second; ++t) {
    const std::string path = folder + t->second;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st {};
    bool abandoned = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      const time_t age = now - st.st_mtime;
      if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        abandoned = !EndsWith(t->second, StageSuffix) || age > StageAbandonedAfter;
      else if (LocksUnsupported(errno))
        abandoned = age > UnlockedAbandonedAfter;
    }
    if (abandoned && StillNames(fd, path) && unlink(path.c_str()) == 0) removed.push_back(path);
    close(fd);
  }
  it->second.erase(range.first, range.second);
  return removed;
}
