/* Writing an output file on Unix, every step relative to the target's held folder: see output_file.h. */
#ifndef _WIN32
#include "output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/acl.h>
#endif

namespace {

/* A name of fixed length whatever the target's, so that any name the file system takes works. */
constexpr char TEMPORARY_PREFIX[] = ".trellan-";
constexpr char TEMPORARY_SUFFIX[] = ".tmp";
constexpr size_t RANDOM_LETTERS = 12;
constexpr char NAME_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
/* Only another file that took the same random name makes an attempt fail. */
constexpr int TEMPORARY_NAME_ATTEMPTS = 16;
constexpr int MAX_LINKS_FOLLOWED = 40;
/* How long a write in place waits for another run of ours that is writing the same file. */
constexpr long LOCK_WAIT_MILLISECONDS = 10000;
constexpr long LOCK_POLL_MILLISECONDS = 10;
constexpr size_t COPY_BUFFER_SIZE = 64 * 1024;
/* How long a target that vanished as we opened it is looked for again: a FUSE server renaming over it. */
constexpr int TARGET_LOOKUP_ATTEMPTS = 100;
constexpr long LOOKUP_PAUSE_MILLISECONDS = 1;

#ifdef O_PATH
constexpr int HOLD_ONLY = O_PATH; /* a folder we may search but not list can still be held */
#else
constexpr int HOLD_ONLY = O_RDONLY;
#endif

/* Signals whose default action ends the process; the real-time ones are added where they exist. */
const int FATAL_SIGNALS[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
    SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGXFSZ,
    SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#if defined(SIGPOLL) && defined(__linux__)
    SIGPOLL,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

/* The named temporary file, where a signal handler can reach it without allocating. */
char temporaryName[sizeof TEMPORARY_PREFIX + RANDOM_LETTERS + sizeof TEMPORARY_SUFFIX];
int temporaryFolder = -1;
volatile sig_atomic_t temporaryNamed = 0;
struct sigaction previousActions[NSIG];
bool signalCaught[NSIG];

std::string FolderOf(const std::string &name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

bool FillRandom(unsigned char *bytes, size_t count) {
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
}

/* Puts a fresh unpredictable name into name (sizeof temporaryName bytes). Returns 0 or an errno value. */
int MakeTemporaryName(char *name) {
  unsigned char random[RANDOM_LETTERS];
  if (!FillRandom(random, sizeof random)) {
    return EIO;
  }
  char *end = std::strcpy(name, TEMPORARY_PREFIX) + std::strlen(TEMPORARY_PREFIX);
  for (unsigned char byte : random) {
    *end++ = NAME_LETTERS[byte % (sizeof NAME_LETTERS - 1)];
  }
  std::strcpy(end, TEMPORARY_SUFFIX);
  return 0;
}

/*
 * Moves a new descriptor above 0, 1 and 2: when the caller runs with one of
 * them closed, the output must not take its place, or reading /dev/stdin or
 * printing a message would reach the output file. Passes -1 through.
 */
int Hold(int descriptor) {
  if (descriptor < 0 || descriptor > STDERR_FILENO) {
    return descriptor;
  }
  const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(descriptor);
  errno = error;
  return moved;
}

void CloseHeld(int *descriptor) {
  if (*descriptor >= 0) {
    close(*descriptor);
    *descriptor = -1;
  }
}

void FatalSignals(sigset_t *signals) {
  sigemptyset(signals);
  for (int signalNumber : FATAL_SIGNALS) {
    sigaddset(signals, signalNumber);
  }
#ifdef SIGRTMIN
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    sigaddset(signals, signalNumber);
  }
#endif
}

/* Removes the temporary file, then lets the signal do what it would have done without us. */
void RemoveTemporaryAndResignal(int signalNumber) {
  const int savedErrno = errno;
  if (temporaryNamed) {
    unlinkat(temporaryFolder, temporaryName, 0);
    temporaryNamed = 0;
  }
  sigaction(signalNumber, &previousActions[signalNumber], nullptr);
  raise(signalNumber); /* delivered when the handler returns */
  errno = savedErrno;
}

/* Keeps the fatal signals away while the temporary file, its name and the handlers change together. */
void BlockFatalSignals(sigset_t *previousMask) {
  sigset_t signals;
  FatalSignals(&signals);
  sigprocmask(SIG_BLOCK, &signals, previousMask);
}

void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = RemoveTemporaryAndResignal;
  FatalSignals(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    if (sigismember(&action.sa_mask, signalNumber) != 1) {
      continue;
    }
    struct sigaction &previous = previousActions[signalNumber];
    sigaction(signalNumber, nullptr, &previous);
    /* An ignored signal stays ignored: nohup relies on it. */
    signalCaught[signalNumber] = (previous.sa_flags & SA_SIGINFO) || previous.sa_handler != SIG_IGN;
    if (signalCaught[signalNumber]) {
      sigaction(signalNumber, &action, nullptr);
    }
  }
}

void ReleaseSignals() {
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    if (signalCaught[signalNumber]) {
      sigaction(signalNumber, &previousActions[signalNumber], nullptr);
      signalCaught[signalNumber] = false;
    }
  }
}

/* The name under which a descriptor's file can be reached where no call takes the descriptor. */
std::string ProcName(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

/* Whether the system says "write it in place" rather than "fail": this folder does not let us replace the file. */
bool RefusesReplacing(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == EBUSY || error == EXDEV;
}

/*
 * An unnamed file in the folder (O_TMPFILE), named only once complete:
 * nothing is left whatever ends the process. New files are made as a plain
 * create makes them (the umask, or the folder's default ACL): unnamed, no
 * other user can open it meanwhile. Returns EOPNOTSUPP where it cannot be had.
 */
int CreateUnnamedFile(OutputFile *output) {
#ifdef O_TMPFILE
  /* The final link goes through /proc, which a chroot may lack. */
  if (faccessat(AT_FDCWD, "/proc/self/fd", X_OK, 0) != 0) {
    return EOPNOTSUPP;
  }
  output->descriptor =
      Hold(openat(output->folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, output->targetExists ? 0600 : 0666));
  if (output->descriptor >= 0) {
    output->unnamed = true;
    return 0;
  }
  /* Kernels and file systems without it answer in these ways. */
  return errno == EISDIR || errno == EINVAL || errno == ENOENT ? EOPNOTSUPP : errno;
#else
  (void)output;
  return EOPNOTSUPP;
#endif
}

/*
 * Creates a file of a fresh random name (into name) in folder, open with
 * access; never through a link, never into a file that exists: leftovers are
 * not ours to use. Returns 0 or an errno value.
 */
int CreateRandomlyNamed(int folder, char *name, int access, mode_t mode, int *descriptor) {
  int error = EEXIST;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && error == EEXIST; ++attempt) {
    error = MakeTemporaryName(name);
    if (error == 0) {
      *descriptor = Hold(openat(folder, name, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
      error = *descriptor < 0 ? errno : 0;
    }
  }
  return error;
}

int CreateNamedFile(OutputFile *output) {
  sigset_t previousMask;
  BlockFatalSignals(&previousMask);
  const int error = CreateRandomlyNamed(output->folder, temporaryName, O_RDWR, 0600, &output->descriptor);
  if (error == 0) {
    temporaryFolder = output->folder;
    temporaryNamed = 1;
    CatchSignals();
  }
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return error;
}

int CreateTemporaryFile(OutputFile *output) {
  const int error = CreateUnnamedFile(output);
  return error == EOPNOTSUPP ? CreateNamedFile(output) : error;
}

/* The bytes of a write in place wait here until they are complete (unnamed, 0600). */
int CreateStagingFile(OutputFile *output) {
  FILE *staging = std::tmpfile();
  if (staging == nullptr) {
    return errno;
  }
  output->descriptor = Hold(fcntl(fileno(staging), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
  const int error = output->descriptor < 0 ? errno : 0;
  std::fclose(staging);
  return error;
}

#ifdef __linux__
/* The access ACL of a held file, whether held open or only by O_PATH. */
acl_t ReadAcl(int descriptor) {
  const int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && (flags & HOLD_ONLY) != HOLD_ONLY ? acl_get_fd(descriptor)
                                                       : acl_get_file(ProcName(descriptor).c_str(), ACL_TYPE_ACCESS);
}

/* ACLs are optional: a file system without them has the mode bits only. */
bool LacksAcls(int error) { return error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS; }
#endif

/* Gives the file to the ACL of the file from, whether it has more than the mode bits or not, then mode. */
int CopyAccess(int from, int to, unsigned mode) {
#ifdef __linux__
  acl_t acl = ReadAcl(from);
  int error = acl == nullptr ? errno : acl_set_fd(to, acl) == 0 ? 0 : errno;
  if (acl != nullptr) {
    acl_free(acl);
  }
  if (error != 0 && !LacksAcls(error)) {
    return error;
  }
#else
  (void)from;
#endif
  /* After the ACL: chmod sets its mask from the group bits, as the source has it. */
  return fchmod(to, mode) == 0 ? 0 : errno;
}

/*
 * What a plain create with mode 0666 makes in the folder, for a temporary file
 * that was made 0600 to be written: read from a plain create of an empty
 * probe file beside it, removed at once. The system computes it as it would
 * for the output (umask, the folder's default ACL, a FUSE server's own rule),
 * and no /proc is needed. The probe's name exists only with every signal
 * blocked, and it never holds a byte.
 */
int GiveCreatedAccess(const OutputFile *output) {
  char probeName[sizeof temporaryName];
  sigset_t previousMask;
  BlockFatalSignals(&previousMask);
  int probe = -1;
  int error = CreateRandomlyNamed(output->folder, probeName, O_RDONLY, 0666, &probe);
  if (error == 0) {
    unlinkat(output->folder, probeName, 0);
  }
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  struct stat created;
  if (error == 0 && fstat(probe, &created) != 0) {
    error = errno;
  }
  if (error == 0) {
    error = CopyAccess(probe, output->descriptor, created.st_mode & 0777);
  }
  if (probe >= 0) {
    close(probe);
  }
  return error;
}

/*
 * The target's owner, group, ACL and mode. Only where owner and group can both
 * be kept: another owner or group would let in whom the old ones kept out
 * (the old group's members, denied, would count as others), so EPERM then
 * sends the bytes into the target in place, which keeps all of them.
 */
int GiveTargetAccess(const OutputFile *output) {
  if (!output->targetExists) {
    return output->unnamed ? 0 : GiveCreatedAccess(output);
  }
  struct stat target;
  if (fstat(output->targetHandle, &target) != 0) {
    return errno;
  }
  struct stat ours;
  if (fstat(output->descriptor, &ours) != 0) {
    return errno;
  }
  if ((ours.st_uid != target.st_uid || ours.st_gid != target.st_gid) &&
      fchown(output->descriptor, target.st_uid, target.st_gid) != 0) {
    return EPERM;
  }
  return CopyAccess(output->targetHandle, output->descriptor, target.st_mode & 07777);
}

/* Gives the unnamed file a random name in the folder so that it can be renamed over the target. */
int NameUnnamedFile(OutputFile *output) {
  const std::string source = ProcName(output->descriptor);
  int error = EEXIST;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && error == EEXIST; ++attempt) {
    error = MakeTemporaryName(temporaryName);
    if (error == 0) {
      error = linkat(AT_FDCWD, source.c_str(), output->folder, temporaryName, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    }
  }
  if (error == 0) {
    temporaryFolder = output->folder;
    temporaryNamed = 1;
  }
  return error;
}

/*
 * Waits for the file's advisory lock, which every run of our tools that
 * writes it in place takes. A file system without locks is written as it is.
 */
int LockForWriting(int descriptor) {
  const struct timespec pause = {0, LOCK_POLL_MILLISECONDS * 1000000};
  for (long waited = 0;; waited += LOCK_POLL_MILLISECONDS) {
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      return 0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return errno == ENOLCK || errno == EINVAL || errno == EOPNOTSUPP ? 0 : errno;
    }
    if (waited >= LOCK_WAIT_MILLISECONDS) {
      return EWOULDBLOCK;
    }
    nanosleep(&pause, nullptr);
  }
}

int CopyBytes(int from, int to) {
  char buffer[COPY_BUFFER_SIZE];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(from, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got == 0 ? 0 : errno;
    }
    offset += got;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(to, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno != EINTR) {
        return errno;
      }
      done += put > 0 ? put : 0;
    }
  }
}

/*
 * Writes the complete bytes into the target itself, as a plain write would,
 * under its lock so that concurrent runs each write whole. The target is
 * emptied only once the lock is ours.
 */
int CopyIntoTarget(OutputFile *output) {
  const int target =
      Hold(openat(output->folder, output->name.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (target < 0) {
    return errno;
  }
  struct stat status;
  int error = fstat(target, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : EBUSY;
  if (error == 0) {
    error = LockForWriting(target);
  }
  /* A signal that ends the process waits until the file is whole again: only SIGKILL can cut the copy short. */
  sigset_t previousMask;
  BlockFatalSignals(&previousMask);
  if (error == 0 && ftruncate(target, 0) != 0) {
    error = errno;
  }
  if (error == 0) {
    error = CopyBytes(output->descriptor, target);
  }
  if (close(target) != 0 && error == 0) {
    error = errno;
  }
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return error;
}

/*
 * With replace, gives the temporary file its access and renames it over the
 * target, or copies it into the target where the system refuses the rename;
 * the temporary file is gone afterwards in every case.
 */
int FinishTemporaryFile(OutputFile *output, bool replace) {
  int error = replace ? GiveTargetAccess(output) : 0;
  sigset_t previousMask;
  BlockFatalSignals(&previousMask);
  if (replace && error == 0) {
    error = output->unnamed ? NameUnnamedFile(output) : 0;
    if (error == 0 && renameat(output->folder, temporaryName, output->folder, output->name.c_str()) == 0) {
      temporaryNamed = 0;
    } else {
      error = error != 0 ? error : errno;
    }
  }
  const bool copyInPlace = replace && output->targetExists && RefusesReplacing(error);
  if (temporaryNamed) {
    unlinkat(output->folder, temporaryName, 0);
    temporaryNamed = 0;
  }
  ReleaseSignals();
  sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return copyInPlace ? CopyIntoTarget(output) : error;
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
  const std::string folderName = FolderOf(name);
  const std::string last = name.substr(folderName.size());
  const std::string folder = RealPath(folderName.empty() ? std::string(".") : folderName);
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
  output->descriptor = fcntl(descriptorNumber, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  return output->descriptor < 0 ? errno : 0;
}

/*
 * Holds the folder of name, looked up from base (for a relative name), as
 * output->folder; output->name becomes name's last component ("." for none).
 */
int HoldFolderOf(int base, const std::string &name, OutputFile *output) {
  const std::string folderName = FolderOf(name);
  const int folder =
      Hold(openat(base, folderName.empty() ? "." : folderName.c_str(), HOLD_ONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder < 0) {
    return errno;
  }
  CloseHeld(&output->folder);
  output->folder = folder;
  output->name = name.size() > folderName.size() ? name.substr(folderName.size()) : std::string(".");
  return 0;
}

/*
 * The rule the kernel applies to links in a sticky folder anyone may write
 * (fs.protected_symlinks), whatever the machine's setting: we follow links
 * ourselves, so the kernel never gets to. Such a link is followed only if it
 * is ours or the folder owner's; another user may have planted it.
 */
int MayFollowLink(int folder, const struct stat &linkStatus) {
  struct stat folderStatus;
  if (fstat(folder, &folderStatus) != 0) {
    return errno;
  }
  const bool shared = (folderStatus.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  const bool trusted = linkStatus.st_uid == geteuid() || linkStatus.st_uid == folderStatus.st_uid;
  return !shared || trusted ? 0 : EACCES;
}

/*
 * Follows links from path as far as they go, each one read in the held folder
 * it lies in and a relative one followed from there. Sets *descriptorNumber
 * when a descriptor's name is met; otherwise output->folder and output->name
 * are the final folder and name, and *exists tells whether something is
 * there (described in *status).
 */
int ResolveTarget(const char *path, OutputFile *output, int *descriptorNumber, bool *exists,
                  struct stat *status) {
  std::string spelled = path; /* the name as a path, to know descriptors' names by */
  std::string next = path;
  for (int links = 0;; ++links) {
    *descriptorNumber = DescriptorNamed(spelled);
    if (*descriptorNumber >= 0) {
      return 0;
    }
    const int error = HoldFolderOf(output->folder >= 0 ? output->folder : AT_FDCWD, next, output);
    if (error != 0) {
      return error;
    }
    if (fstatat(output->folder, output->name.c_str(), status, AT_SYMLINK_NOFOLLOW) != 0) {
      *exists = false;
      return errno == ENOENT ? 0 : errno;
    }
    *exists = true;
    if (!S_ISLNK(status->st_mode)) {
      return 0;
    }
    if (links == MAX_LINKS_FOLLOWED) {
      return ELOOP;
    }
    const int refused = MayFollowLink(output->folder, *status);
    if (refused != 0) {
      return refused;
    }
    char linkText[4096];
    const ssize_t length = readlinkat(output->folder, output->name.c_str(), linkText, sizeof linkText);
    if (length < 0) {
      return errno;
    }
    if (static_cast<size_t>(length) == sizeof linkText) {
      return ENAMETOOLONG;
    }
    next.assign(linkText, static_cast<size_t>(length));
    /* A relative target is looked up from the held folder of the link. */
    spelled = next[0] == '/' ? next : FolderOf(spelled) + next;
  }
}

/* Holds the existing target to read its mode, owner and ACL at the end; open for reading where allowed. */
int HoldTarget(OutputFile *output) {
  const char *name = output->name.c_str();
  output->targetHandle =
      Hold(openat(output->folder, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (output->targetHandle < 0 && errno == EACCES) {
    output->targetHandle = Hold(openat(output->folder, name, HOLD_ONLY | O_NOFOLLOW | O_CLOEXEC));
  }
  struct stat status;
  if (output->targetHandle < 0 || fstat(output->targetHandle, &status) != 0) {
    return errno;
  }
  return S_ISREG(status.st_mode) ? 0 : EBUSY; /* changed since we looked */
}

/* Sets *vanished when the target was there when looked at but gone when opened: worth looking again. */
int OpenTarget(const char *path, OutputFile *output, bool *vanished) {
  int descriptorNumber;
  bool exists;
  struct stat status;
  int error = ResolveTarget(path, output, &descriptorNumber, &exists, &status);
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
    output->descriptor =
        Hold(openat(output->folder, output->name.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    return output->descriptor < 0 ? errno : 0;
  }
  /* Permission is what the system grants this user, whoever owns the file. */
  if (exists && faccessat(output->folder, output->name.c_str(), W_OK, AT_EACCESS) != 0) {
    error = errno;
  } else if (exists) {
    error = HoldTarget(output);
  }
  if (error != 0) {
    *vanished = error == ENOENT;
    return error;
  }
  output->targetExists = exists;
  error = CreateTemporaryFile(output);
  /* The folder's rules (not writable, read-only) do not let us replace it: write in place. */
  if (error != 0 && exists && RefusesReplacing(error)) {
    output->route = OUTPUT_IN_PLACE;
    return CreateStagingFile(output);
  }
  return error;
}

int AttachStream(OutputFile *output) {
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

/* Lets go of everything held; the error of closing the file written, if any. */
int ReleaseOutput(OutputFile *output) {
  int error = 0;
  if (output->descriptor >= 0 && close(output->descriptor) != 0) {
    error = errno;
  }
  output->descriptor = -1;
  CloseHeld(&output->targetHandle);
  CloseHeld(&output->folder);
  return error;
}

}  // namespace

int OpenOutputFile(const char *path, OutputFile *output) {
  *output = OutputFile{};
  if (path == nullptr || path[0] == '\0') {
    return ENOENT;
  }
  int error = 0;
  bool vanished = true;
  /*
   * Another run may replace the target between our look and our open; where
   * that shows as the name missing for a moment (FUSE), look again.
   */
  const struct timespec pause = {0, LOOKUP_PAUSE_MILLISECONDS * 1000000};
  for (int attempt = 0; vanished && attempt < TARGET_LOOKUP_ATTEMPTS; ++attempt) {
    if (attempt > 0) {
      nanosleep(&pause, nullptr);
    }
    ReleaseOutput(output);
    *output = OutputFile{};
    vanished = false;
    error = OpenTarget(path, output, &vanished);
  }
  if (error == 0) {
    error = AttachStream(output);
  }
  if (error != 0) {
    AbandonOutputFile(output);
  }
  return error;
}

int StartOutputFile(OutputFile *) { return 0; }

int CommitOutputFile(OutputFile *output) {
  output->stream = nullptr;
  int error = 0;
  if (output->route == OUTPUT_TEMPORARY) {
    error = FinishTemporaryFile(output, true);
  } else if (output->route == OUTPUT_IN_PLACE) {
    error = CopyIntoTarget(output);
  }
  const int closeError = ReleaseOutput(output);
  return error != 0 ? error : closeError;
}

void AbandonOutputFile(OutputFile *output) {
  output->stream = nullptr;
  if (output->route == OUTPUT_TEMPORARY && output->descriptor >= 0) {
    FinishTemporaryFile(output, false);
  }
  ReleaseOutput(output);
}

#endif
