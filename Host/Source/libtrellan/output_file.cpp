/* Writing an output file through a temporary file, in place or directly: see output_file.h. */
#ifdef _WIN32
#define _CRT_RAND_S /* declares rand_s */
#endif
#include "output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/random.h>
#include <unistd.h>
#endif

namespace {

/* A name of fixed length whatever the target's, so that any name the file system takes works. */
constexpr char TEMPORARY_PREFIX[] = ".trellan-";
constexpr char TEMPORARY_SUFFIX[] = ".tmp";
constexpr size_t RANDOM_LETTERS = 12;
constexpr char NAME_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
/* Only another file that took the same random name makes an attempt fail. */
constexpr int TEMPORARY_NAME_ATTEMPTS = 16;

/* The temporary file being written, where a signal handler can reach it without allocating. */
char temporaryPath[4096];

std::string FolderOf(const std::string &name) {
#ifdef _WIN32
  const size_t slash = name.find_last_of("/\\:");
#else
  const size_t slash = name.rfind('/');
#endif
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

bool FillRandom(unsigned char *bytes, size_t count) {
#ifdef _WIN32
  for (size_t index = 0; index < count; ++index) {
    unsigned int value;
    if (rand_s(&value) != 0) {
      return false;
    }
    bytes[index] = static_cast<unsigned char>(value);
  }
  return true;
#else
  while (count > 0) {
    ssize_t got = getrandom(bytes, count, 0);
    if (got < 0 && errno != EINTR) {
      return false;
    }
    if (got > 0) {
      bytes += got;
      count -= static_cast<size_t>(got);
    }
  }
  return true;
#endif
}

/* Puts a fresh unpredictable name in folder into temporaryPath. Returns 0 or an errno value. */
int MakeTemporaryName(const std::string &folder) {
  unsigned char random[RANDOM_LETTERS];
  if (folder.size() + sizeof TEMPORARY_PREFIX + RANDOM_LETTERS + sizeof TEMPORARY_SUFFIX >
      sizeof temporaryPath) {
    return ENAMETOOLONG;
  }
  if (!FillRandom(random, sizeof random)) {
    return EIO;
  }
  char *end = temporaryPath;
  end += folder.copy(end, folder.size());
  end = std::strcpy(end, TEMPORARY_PREFIX) + std::strlen(TEMPORARY_PREFIX);
  for (unsigned char byte : random) {
    *end++ = NAME_LETTERS[byte % (sizeof NAME_LETTERS - 1)];
  }
  std::strcpy(end, TEMPORARY_SUFFIX);
  return 0;
}

#ifdef _WIN32

HANDLE volatile temporaryHandle = INVALID_HANDLE_VALUE;

/* Runs on a thread of its own when the console is interrupted; the default handler then ends us. */
BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(temporaryHandle, FileDispositionInfo, &disposition,
                             sizeof disposition);
  return FALSE;
}

int ErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    default:
      return EIO;
  }
}

int CreateTemporaryFile(const std::string &folder, OutputFile *output) {
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
    int error = MakeTemporaryName(folder);
    if (error != 0) {
      return error;
    }
    /* DELETE access lets the interrupt handler mark the file for removal. */
    HANDLE handle = CreateFileA(temporaryPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ, NULL,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
      error = ErrnoFromLastError();
      if (error != EEXIST) {
        return error;
      }
      continue;
    }
    output->descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (output->descriptor < 0) {
      CloseHandle(handle);
      DeleteFileA(temporaryPath);
      return EMFILE;
    }
    temporaryHandle = handle;
    SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE);
    return 0;
  }
  return EEXIST;
}

/* Closes our descriptor; with replace, renames the temporary file over the target, else removes it. */
int FinishTemporaryFile(OutputFile *output, bool replace) {
  SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, FALSE);
  temporaryHandle = INVALID_HANDLE_VALUE;
  int error = _close(output->descriptor) == 0 ? 0 : errno;
  output->descriptor = -1;
  if (replace && error == 0 &&
      !MoveFileExA(temporaryPath, output->target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = ErrnoFromLastError();
  }
  if (!replace || error != 0) {
    DeleteFileA(temporaryPath);
  }
  return error;
}

int OpenDirectly(const std::string &name, OutputFile *output) {
  output->descriptor = _open(name.c_str(), _O_WRONLY | _O_BINARY);
  return output->descriptor < 0 ? errno : 0;
}

int OpenTarget(const char *path, OutputFile *output) {
  output->target = path;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    /* Only a missing file is created: wine reports the Unix devices it hides as invalid names. */
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return ErrnoFromLastError();
    }
    return CreateTemporaryFile(FolderOf(output->target), output);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return EISDIR;
  }
  /* Reading attributes is never refused by another's sharing mode. */
  HANDLE probe = CreateFileA(path, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, 0, NULL);
  if (probe == INVALID_HANDLE_VALUE) {
    return ErrnoFromLastError();
  }
  const DWORD type = GetFileType(probe);
  CloseHandle(probe);
  if (type != FILE_TYPE_DISK) {
    output->route = OUTPUT_DIRECT;
    return OpenDirectly(output->target, output);
  }
  /* A replacing rename would override the read-only attribute that a plain write honours. */
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    return EACCES;
  }
  output->targetExists = true;
  return CreateTemporaryFile(FolderOf(output->target), output);
}

int AttachStream(OutputFile *output) {
  const int copy = _dup(output->descriptor);
  output->stream = copy < 0 ? nullptr : _fdopen(copy, "wb");
  if (output->stream == nullptr) {
    if (copy >= 0) {
      _close(copy);
    }
    return EMFILE;
  }
  return 0;
}

int CloseDescriptor(int descriptor) { return _close(descriptor) == 0 ? 0 : errno; }

int EmptyDescriptor(int descriptor) { return _chsize(descriptor, 0) == 0 ? 0 : errno; }

#else

/* The folder that holds name, as a name that stat and realpath take. */
std::string ExistingFolderOf(const std::string &name) {
  const std::string folder = FolderOf(name);
  return folder.empty() ? std::string(".") : folder;
}

constexpr int MAX_LINKS_FOLLOWED = 40;
/* SIGXFSZ and SIGXCPU too: a save past ulimit -f or -t ends us like the others. */
const int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGXFSZ, SIGXCPU};
constexpr size_t CAUGHT_SIGNAL_COUNT = sizeof CAUGHT_SIGNALS / sizeof CAUGHT_SIGNALS[0];

volatile sig_atomic_t temporaryExists = 0;
struct sigaction previousActions[CAUGHT_SIGNAL_COUNT];
bool signalCaught[CAUGHT_SIGNAL_COUNT];

/* Removes the temporary file, then lets the signal do what it would have done without us. */
void RemoveTemporaryAndResignal(int signalNumber) {
  const int savedErrno = errno;
  if (temporaryExists) {
    unlink(temporaryPath);
    temporaryExists = 0;
  }
  for (size_t index = 0; index < CAUGHT_SIGNAL_COUNT; ++index) {
    if (CAUGHT_SIGNALS[index] == signalNumber) {
      sigaction(signalNumber, &previousActions[index], nullptr);
    }
  }
  raise(signalNumber); /* delivered when the handler returns */
  errno = savedErrno;
}

/* Keeps the caught signals away while the temporary file and the handlers change together. */
void BlockCaughtSignals(sigset_t *previousMask) {
  sigset_t mask;
  sigemptyset(&mask);
  for (int signalNumber : CAUGHT_SIGNALS) {
    sigaddset(&mask, signalNumber);
  }
  sigprocmask(SIG_BLOCK, &mask, previousMask);
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndResignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : CAUGHT_SIGNALS) {
    sigaddset(&action.sa_mask, signalNumber);
  }
  action.sa_flags = SA_RESTART;
  for (size_t index = 0; index < CAUGHT_SIGNAL_COUNT; ++index) {
    struct sigaction &previous = previousActions[index];
    sigaction(CAUGHT_SIGNALS[index], nullptr, &previous);
    /* An ignored signal stays ignored: nohup relies on it. */
    signalCaught[index] = (previous.sa_flags & SA_SIGINFO) || previous.sa_handler != SIG_IGN;
    if (signalCaught[index]) {
      sigaction(CAUGHT_SIGNALS[index], &action, nullptr);
    }
  }
}

void ReleaseSignals() {
  for (size_t index = 0; index < CAUGHT_SIGNAL_COUNT; ++index) {
    if (signalCaught[index]) {
      sigaction(CAUGHT_SIGNALS[index], &previousActions[index], nullptr);
      signalCaught[index] = false;
    }
  }
}

int CreateTemporaryFile(const std::string &folder, OutputFile *output) {
  sigset_t previousMask;
  BlockCaughtSignals(&previousMask);
  int error = EEXIST;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && error == EEXIST; ++attempt) {
    error = MakeTemporaryName(folder);
    if (error == 0) {
      /* Never through a link, never into a file that exists: leftovers are not ours to use. */
      output->descriptor = open(temporaryPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      error = output->descriptor < 0 ? errno : 0;
    }
  }
  if (error == 0) {
    temporaryExists = 1;
    CatchSignals();
  }
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return error;
}

/* The target's owner and group where we may give them, then its mode; set-id bits only where both hold. */
int CopyTargetAttributes(const OutputFile *output) {
  unsigned mode = output->targetMode & 07777;
  if (output->targetExists) {
    if (fchown(output->descriptor, output->targetOwner, output->targetGroup) != 0) {
      (void)!fchown(output->descriptor, static_cast<uid_t>(-1), output->targetGroup);
    }
    struct stat status;
    if (fstat(output->descriptor, &status) != 0) {
      return errno;
    }
    if (status.st_uid != output->targetOwner) {
      mode &= ~static_cast<unsigned>(S_ISUID | S_ISGID);
    }
    if (status.st_gid != output->targetGroup) {
      mode &= ~static_cast<unsigned>(S_ISGID);
    }
  }
  return fchmod(output->descriptor, mode) == 0 ? 0 : errno;
}

/* Closes our descriptor; with replace, renames the temporary file over the target, else removes it. */
int FinishTemporaryFile(OutputFile *output, bool replace) {
  int error = replace ? CopyTargetAttributes(output) : 0;
  if (close(output->descriptor) != 0 && error == 0) {
    error = errno;
  }
  output->descriptor = -1;
  sigset_t previousMask;
  BlockCaughtSignals(&previousMask);
  if (replace && error == 0 && rename(temporaryPath, output->target.c_str()) != 0) {
    error = errno;
  }
  if (!replace || error != 0) {
    unlink(temporaryPath);
  }
  temporaryExists = 0;
  ReleaseSignals();
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return error;
}

/* The number that text spells in decimal digits as /proc names it (no leading zero), or -1. */
int DecimalNumber(const std::string &text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
      (text[0] == '0' && text.size() > 1)) {
    return -1;
  }
  return std::atoi(text.c_str());
}

/* The path that name resolves to, or "" when it does not exist. */
std::string RealPath(const std::string &name) {
  char *resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) {
    return std::string();
  }
  const std::string path(resolved);
  std::free(resolved);
  return path;
}

/*
 * The descriptor that name stands for, or -1. Known by where it is, not by
 * how it is spelled: /proc/self//fd/1, /dev/fd/./1 and /proc/thread-self/fd/1
 * are descriptor 1 as much as /dev/stdout is.
 */
int DescriptorNamed(const std::string &name) {
  if (name == "/dev/stdout") {
    return STDOUT_FILENO;
  }
  if (name == "/dev/stderr") {
    return STDERR_FILENO;
  }
  for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const int number =
        name.compare(0, std::strlen(prefix), prefix) == 0 ? DecimalNumber(name.substr(std::strlen(prefix))) : -1;
    if (number >= 0) {
      return number;
    }
  }
  const std::string last = name.substr(FolderOf(name).size());
  const std::string folder = RealPath(ExistingFolderOf(name));
  if (folder.empty()) {
    return -1;
  }
  if (folder == "/dev") {
    return last == "stdout" ? STDOUT_FILENO : last == "stderr" ? STDERR_FILENO : -1;
  }
  if (folder == RealPath("/proc/self/fd") || folder == RealPath("/proc/thread-self/fd")) {
    return DecimalNumber(last);
  }
  return -1;
}

/* Writes through a copy of an open descriptor: never opened anew, so `>> log` keeps appending. */
int OpenDescriptor(int descriptorNumber, OutputFile *output) {
  const int flags = fcntl(descriptorNumber, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
    return EBADF;
  }
  std::fflush(stdout); /* what the program printed comes first */
  output->route = OUTPUT_DIRECT;
  output->descriptor = fcntl(descriptorNumber, F_DUPFD_CLOEXEC, 0);
  return output->descriptor < 0 ? errno : 0;
}

int OpenDirectly(const std::string &name, OutputFile *output) {
  output->descriptor = open(name.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  return output->descriptor < 0 ? errno : 0;
}

/*
 * The rule the kernel applies to links in a sticky folder anyone may write
 * (fs.protected_symlinks), whatever the machine's setting: we follow links
 * ourselves, so the kernel never gets to. Such a link is followed only if it
 * is ours or the folder owner's; another user may have planted it.
 */
int MayFollowLink(const std::string &name, const struct stat &linkStatus) {
  struct stat folderStatus;
  if (stat(ExistingFolderOf(name).c_str(), &folderStatus) != 0) {
    return errno;
  }
  const bool shared = (folderStatus.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  const bool trusted = linkStatus.st_uid == geteuid() || linkStatus.st_uid == folderStatus.st_uid;
  return !shared || trusted ? 0 : EACCES;
}

/*
 * Follows links from path as far as they go. Sets *descriptorNumber when a
 * descriptor's name is met; otherwise *name is the final name, and *exists
 * tells whether something is there (described in *status).
 */
int ResolveTarget(const char *path, std::string *name, int *descriptorNumber, bool *exists,
                  struct stat *status) {
  *name = path;
  for (int links = 0;; ++links) {
    *descriptorNumber = DescriptorNamed(*name);
    if (*descriptorNumber >= 0) {
      return 0;
    }
    if (lstat(name->c_str(), status) != 0) {
      *exists = false;
      return errno == ENOENT ? 0 : errno; /* a missing folder fails when the file is created */
    }
    *exists = true;
    if (!S_ISLNK(status->st_mode)) {
      return 0;
    }
    if (links == MAX_LINKS_FOLLOWED) {
      return ELOOP;
    }
    const int refused = MayFollowLink(*name, *status);
    if (refused != 0) {
      return refused;
    }
    char linkText[4096];
    const ssize_t length = readlink(name->c_str(), linkText, sizeof linkText);
    if (length < 0) {
      return errno;
    }
    if (static_cast<size_t>(length) == sizeof linkText) {
      return ENAMETOOLONG;
    }
    const std::string target(linkText, static_cast<size_t>(length));
    *name = target[0] == '/' ? target : FolderOf(*name) + target;
  }
}

/* Whether name is the root of a mount (a file bound over another on the same file system). */
bool IsMountRoot(const std::string &name) {
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx extended;
  return statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW, 0, &extended) == 0 &&
         (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
  (void)name;
  return false;
#endif
}

/*
 * Whether this user may rename over name: the folder's write and search
 * rights, and its sticky bit. Nothing may be renamed over a mount point (a
 * file bound over another, as containers hand files in): EBUSY, or EXDEV when
 * it lies on another file system than its folder.
 */
bool FolderLetsUsReplace(const std::string &name, const struct stat &fileStatus) {
  const std::string folder = ExistingFolderOf(name);
  struct stat folderStatus;
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
      stat(folder.c_str(), &folderStatus) != 0 || folderStatus.st_dev != fileStatus.st_dev ||
      IsMountRoot(name)) {
    return false;
  }
  const uid_t user = geteuid();
  return !(folderStatus.st_mode & S_ISVTX) || user == 0 || fileStatus.st_uid == user ||
         folderStatus.st_uid == user;
}

int OpenTarget(const char *path, OutputFile *output) {
  std::string name;
  int descriptorNumber;
  bool exists;
  struct stat status;
  int error = ResolveTarget(path, &name, &descriptorNumber, &exists, &status);
  if (error != 0) {
    return error;
  }
  if (descriptorNumber >= 0) {
    return OpenDescriptor(descriptorNumber, output);
  }
  if (exists && S_ISDIR(status.st_mode)) {
    return EISDIR;
  }
  if (exists && !S_ISREG(status.st_mode)) {
    output->route = OUTPUT_DIRECT;
    return OpenDirectly(name, output);
  }
  /* Permission is what the system grants this user, whoever owns the file. */
  if (exists && faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno;
  }
  if (exists && !FolderLetsUsReplace(name, status)) {
    output->route = OUTPUT_IN_PLACE;
    return OpenDirectly(name, output); /* emptied by StartOutputFile */
  }
  output->target = name;
  output->targetExists = exists;
  if (exists) {
    output->targetMode = status.st_mode;
    output->targetOwner = status.st_uid;
    output->targetGroup = status.st_gid;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    output->targetMode = 0666 & ~mask; /* as a plain create would make it */
  }
  return CreateTemporaryFile(FolderOf(name), output);
}

/*
 * Moves our descriptor above 0, 1 and 2: when the caller runs with one of
 * them closed, the output must not take its place, or reading /dev/stdin or
 * printing a message would reach the output file.
 */
int KeepClearOfStandardDescriptors(OutputFile *output) {
  if (output->descriptor > STDERR_FILENO) {
    return 0;
  }
  const int moved = fcntl(output->descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) {
    return errno;
  }
  close(output->descriptor);
  output->descriptor = moved;
  return 0;
}

int AttachStream(OutputFile *output) {
  const int error = KeepClearOfStandardDescriptors(output);
  if (error != 0) {
    return error;
  }
  const int copy = fcntl(output->descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  output->stream = copy < 0 ? nullptr : fdopen(copy, "wb");
  if (output->stream == nullptr) {
    const int error = errno;
    if (copy >= 0) {
      close(copy);
    }
    return error;
  }
  return 0;
}

int CloseDescriptor(int descriptor) { return close(descriptor) == 0 ? 0 : errno; }

int EmptyDescriptor(int descriptor) { return ftruncate(descriptor, 0) == 0 ? 0 : errno; }

#endif

}  // namespace

int OpenOutputFile(const char *path, OutputFile *output) {
  output->stream = nullptr;
  output->descriptor = -1;
  output->route = OUTPUT_TEMPORARY;
  output->target.clear();
  output->targetExists = false;
  output->targetMode = 0;
  output->targetOwner = 0;
  output->targetGroup = 0;
  if (path == nullptr || path[0] == '\0') {
    return ENOENT;
  }
  int error = OpenTarget(path, output);
  if (error == 0) {
    error = AttachStream(output);
    if (error != 0) {
      AbandonOutputFile(output);
    }
  }
  return error;
}

int StartOutputFile(OutputFile *output) {
  return output->route == OUTPUT_IN_PLACE ? EmptyDescriptor(output->descriptor) : 0;
}

int CommitOutputFile(OutputFile *output) {
  output->stream = nullptr;
  if (output->route == OUTPUT_TEMPORARY) {
    return FinishTemporaryFile(output, true);
  }
  const int error = CloseDescriptor(output->descriptor);
  output->descriptor = -1;
  return error;
}

void AbandonOutputFile(OutputFile *output) {
  output->stream = nullptr;
  if (output->descriptor < 0) {
    return;
  }
  if (output->route == OUTPUT_TEMPORARY) {
    FinishTemporaryFile(output, false);
  } else {
    CloseDescriptor(output->descriptor);
    output->descriptor = -1;
  }
}
