#include "output_cases.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

std::string RunnerPrefix(CaseRunner runner) {
  switch (runner) {
    case AS_NOBODY:
      return OTHER_USER_PREFIX;
    case IN_SCRATCH_DEV:
      return "unshare -m sh -c 'mount -t tmpfs none /dev && ln -s /proc/self/fd/1 /dev/stdout && "
             "\"$@\" >> log; status=$?; test -L /dev/stdout || status=99; exit $status' sh ";
    case NO_FILE_SIZE:
      /* In a subshell, so that the shell's own message may go to a file. */
      return "sh -c '(ulimit -f 0; exec \"$@\" >/dev/null); test $(kill -l $?) = XFSZ' sh ";
    case BIND_MOUNTED:
      return "unshare -m sh -c 'mount --make-rprivate / && mount --bind bound target && exec \"$@\"' sh ";
    case OVERLAID_NO_FILE_SIZE:
      return "unshare -m sh -c 'mount --make-rprivate / && mkdir .l .u .m && mount -t tmpfs none .l && "
             "mount -t tmpfs none .u && mkdir .u/u .u/w && cp -a -- * .l/ && "
             "mount -t overlay none -o lowerdir=.l,upperdir=.u/u,workdir=.u/w .m && cd .m || exit 99; "
             "(ulimit -f 1; exec \"$@\" >/dev/null); status=$?; cp -a . .. && test $(kill -l $status) = XFSZ' sh ";
    case WITHOUT_PROC:
      /* LeakSanitizer needs /proc to look at the process's threads. */
      return "unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs none /proc && "
             "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 exec \"$@\"' sh ";
    case FOLDER_SWAPPED:
      /* LeakSanitizer cannot work under ptrace. */
      return std::string("sh -c 'ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o .trace "
                         "-e signal=none -e trace=linkat,rename,renameat,renameat2 "
                         "-e inject=linkat,rename,renameat,renameat2:delay_enter=1000000 \"$@\" & n=0; "
                         "until [ -s .trace ] || [ $((n += 1)) = 3000 ]; do sleep 0.01; done; ") +
             OTHER_USER_PREFIX + "sh -c \"mv d d.old && ln -s secret d\"; wait $!' sh ";
    case TERMINATED_IN_COPY:
      return std::string(OTHER_USER_PREFIX) +
             "sh -c 'ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o .trace "
             "-e signal=none -e trace=ftruncate "
             "-e inject=ftruncate:delay_enter=1000000 \"$@\" >/dev/null & n=0; "
             "until [ -s .trace ] || [ $((n += 1)) = 3000 ]; do sleep 0.01; done; "
             "kill -TERM $(cut -d\" \" -f1 .trace); wait $!; test $(kill -l $?) = TERM' sh ";
    case ON_FUSE:
      return "unshare -m sh -c 'mount --make-rprivate / && m=$(mktemp -d) && bindfs . \"$m\" && cd \"$m\" || "
             "exit 99; touch plain; status=0; pids=; for run in $(seq 60); do \"$@\" >/dev/null & "
             "pids=\"$pids $!\"; done; for pid in $pids; do wait $pid || status=1; done; "
             "cd / && umount \"$m\" && rmdir \"$m\" && exit $status' sh ";
    default:
      return "";
  }
}

static bool FuseWorks() { return access("/dev/fuse", R_OK | W_OK) == 0 && RunCommand("command -v bindfs").exitCode == 0; }

bool RunningAsRoot() { return geteuid() == 0; }

bool RunsUnderValgrind(const char *commandVariable) {
  const char *command = std::getenv(commandVariable);
  return command != nullptr && std::strstr(command, "valgrind") != nullptr;
}

std::vector<std::string> FindNamesWithPrefix(const std::string &folder, const std::string &prefix) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto entry = fs::recursive_directory_iterator(folder, error);
       entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->path().filename().string().rfind(prefix, 0) == 0) {
      names.push_back(fs::relative(entry->path(), folder).string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

/* A path of exactly length bytes ending in name, through folders of 200-byte names. */
std::string LongPath(size_t length, const std::string &name) {
  std::string path;
  while (path.size() + 201 + 1 + name.size() < length) {
    path += std::string(200, 'd') + "/";
  }
  return path + std::string(length - path.size() - 1 - name.size(), 'e') + "/" + name;
}

std::vector<OutputCase> OutputCases(const std::string &extension, const std::string &temporaryPrefix) {
  const std::string out = "out" + extension;
  const std::string longName = std::string(255 - extension.size(), 'n') + extension;
  const std::string longPath = LongPath(4093, out);
  const std::string unchanged = "test \"$(cat " + out + ")\" = old";
  const std::string replaced = "cmp " + out + " \"$REF\"";
  const std::string appended =
      "test \"$(head -n 1 log)\" = old && tail -c $(stat -c %s \"$REF\") log | cmp - \"$REF\"";
  const char *denied = "Permission denied";
  return {
      {"an existing file is replaced", "echo old > " + out, out, AS_ROOT, "", replaced, true},
      {"a new file gets 0666 less the umask", "true", out, AS_ROOT, "",
       replaced + " && test $(stat -c %a " + out + ") = $(printf %o $((0666 & ~0$(umask))))", true},
      {"root replacing a user's file keeps its owner, group and set-id bits",
       "echo old > " + out + " && chown nobody:nogroup " + out + " && chmod 6750 " + out, out,
       AS_ROOT, "", replaced + " && test $(stat -c %U:%G:%a " + out + ") = nobody:nogroup:6750",
       false},
      {"a root file that others may not write is refused in a folder anyone may write",
       "echo old > " + out, out, AS_NOBODY, denied, unchanged, false},
      {"an own file without write permission is refused", "echo old > " + out + " && chown nobody " +
       out + " && chmod 444 " + out, out, AS_NOBODY, denied, unchanged, true},
      {"the owner of a 0066 file may not write it", "echo old > " + out + " && chown nobody " + out +
       " && chmod 066 " + out, out, AS_NOBODY, denied, unchanged, false},
      {"another's writable file in a sticky folder is written in place",
       "mkdir -m 1777 t && echo old > t/" + out + " && chmod 666 t/" + out, "t/" + out, AS_NOBODY, "",
       "cmp t/" + out + " \"$REF\" && test $(stat -c %U:%a t/" + out + ") = root:666", false},
      {"an own file in a folder the user may not write is written in place",
       "mkdir -m 755 r && echo old > r/" + out + " && chown nobody r/" + out, "r/" + out, AS_NOBODY, "",
       "cmp r/" + out + " \"$REF\"", false},
      {"a dangling link creates its target beside the link, and stays",
       "mkdir d && ln -s ../new" + extension + " d/" + out, "d/" + out, AS_ROOT, "",
       "test -L d/" + out + " && cmp new" + extension + " \"$REF\"", false},
      {"a link to a file replaces the file, and stays",
       "echo old > real && ln -s real " + out, out, AS_ROOT, "",
       "test -L " + out + " && cmp real \"$REF\"", false},
      {"a link another user planted in a sticky folder anyone may write is not followed, at any hop",
       "echo old > " + out + " && mkdir -m 1777 s && ln -s ../" + out + " s/hop && chown -h nobody s/hop"
       " && ln -s s/hop link", "link", AS_ROOT, denied, unchanged + " && test -L s/hop", false},
      {"a link of the sticky folder's owner is followed", "echo old > " + out + " && chmod 666 " + out +
       " && mkdir -m 1777 s && ln -s ../" + out + " s/" + out, "s/" + out, AS_NOBODY, "", replaced,
       false},
      {"a loop of links is refused", "ln -s loop2 loop1 && ln -s loop1 loop2", "loop1", AS_ROOT,
       "Too many levels of symbolic links", "test -L loop1 && test -L loop2", false},
      {"a missing folder is refused", "true", "no/" + out, AS_ROOT, "No such file or directory",
       "test ! -e no", true},
      {"a folder is refused", "mkdir " + out, out, AS_ROOT, "Is a directory", "test -d " + out, true},
      {"a name of 255 bytes works", "true", longName, AS_ROOT, "", "cmp " + longName + " \"$REF\"",
       false},
      {"stale temporary files and planted links neither block nor redirect a save",
       "echo keep > victim && ln -s victim " + out + ".tervox-tmp && for i in $(seq 100 219); do "
       "touch " + out + ".trl-$((i - 100)).tmp " + temporaryPrefix + "$i.tmp && ln -s victim " +
       temporaryPrefix + "000000000$i.tmp; done", out, AS_ROOT, "",
       replaced + " && test \"$(cat victim)\" = keep", true},
      {"a descriptor that is not open is refused", "true", "/dev/fd/999", AS_ROOT,
       "Bad file descriptor", "true", false},
      {"/dev/stdout appends to what stdout is, and the link stays", "echo old > log", "/dev/stdout",
       IN_SCRATCH_DEV, "",
       appended, false},
      {"another spelling of /proc/self/fd/1 is descriptor 1 too", "echo old > log", "/proc/self//fd/1",
       IN_SCRATCH_DEV, "", appended, false},
      {"a link to /proc/thread-self/fd/1 is descriptor 1 too",
       "echo old > log && ln -s /proc/thread-self/fd/1 " + out, out, IN_SCRATCH_DEV, "", appended, false},
      {"passing the file size limit ends by SIGXFSZ and removes the temporary file",
       "echo old > " + out, out, NO_FILE_SIZE, "", unchanged, false},
      {"a file mounted over another (a container's bind mount) is written in place",
       "echo old > bound && echo old > target", "target", BIND_MOUNTED, "",
       "cmp bound \"$REF\" && test \"$(cat target)\" = old", false},
      {"a descriptor number with a leading zero is no descriptor's name", "true", "/proc/self/fd/01",
       AS_ROOT, "No such file or directory", "true", false},
      {"a failed save on an overlay (as containers have) leaves the file as it was", "echo old > " + out,
       out, OVERLAID_NO_FILE_SIZE, "", unchanged, false},
      {"a folder swapped for a link midway changes nothing in the folder it leads to",
       "mkdir d secret && echo old > d/" + out + " && chmod 666 d/" + out + " && chown -R nobody:nogroup d"
       " && echo old > secret/" + out + " && chmod 600 secret/" + out + " && chmod 700 secret",
       "d/" + out, FOLDER_SWAPPED, "",
       "test -L d && test \"$(cat secret/" + out + ")\" = old && test $(stat -c %U:%G:%a secret/" + out +
       ") = root:root:600 && cmp d.old/" + out + " \"$REF\" && test $(stat -c %U:%a d.old/" + out +
       ") = nobody:666", false},
      {"replacing a file keeps its ACL", "echo old > " + out + " && chown nobody " + out + " && chmod 640 " +
       out + " && setfacl -m u:daemon:r,g:adm:rw,m::r " + out + " && getfacl -c " + out + " > acl", out,
       AS_NOBODY, "", replaced + " && test \"$(getfacl -c " + out + ")\" = \"$(cat acl)\"", false},
      {"a new file in a folder with a default ACL gets what a plain create there gets",
       "mkdir a && setfacl -d -m u::rw,g::r,o::-,u:nobody:rw a && touch a/plain", "a/" + out, AS_ROOT, "",
       "cmp a/" + out + " \"$REF\" && test \"$(getfacl -c a/" + out + ")\" = \"$(getfacl -c a/plain)\"",
       false},
      {"replacing another user's and group's file keeps them, written in place",
       "echo old > " + out + " && chown daemon:adm " + out + " && chmod 606 " + out, out, AS_NOBODY, "",
       replaced + " && test $(stat -c %U:%G:%a " + out + ") = daemon:adm:606", false},
      {"a signal during the copy into a file written in place waits for the copy to end",
       "mkdir -m 755 r && echo old > r/" + out + " && chown nobody r/" + out, "r/" + out, TERMINATED_IN_COPY,
       "", "cmp r/" + out + " \"$REF\"", false},
      {"without /proc a new file in a folder with a default ACL gets what a plain create there gets",
       "mkdir a && setfacl -d -m u::rw,g::r,o::-,u:nobody:rw a && touch a/plain", "a/" + out, WITHOUT_PROC, "",
       "cmp a/" + out + " \"$REF\" && test \"$(getfacl -c a/" + out + ")\" = \"$(getfacl -c a/plain)\"",
       false},
      {"on FUSE runs at once all create a file as a plain create there does",
       "setfacl -d -m u::rw,g::r,o::-,u:nobody:rw .", out, ON_FUSE, "",
       replaced + " && test \"$(getfacl -c " + out + ")\" = \"$(getfacl -c plain)\"", false},
      {"a path of 4093 bytes works", "mkdir -p " + longPath.substr(0, longPath.rfind('/')), longPath, AS_ROOT,
       "", "cmp " + longPath + " \"$REF\"", false},
  };
}

void ExpectOutputCases(const std::vector<OutputCase> &cases, const ToolUnderTest &tool) {
  int skipped = 0;
  for (const OutputCase &outputCase : cases) {
    if (tool.underWine && !outputCase.underWine) {
      continue;
    }
    /* Under wine every case runs as the user who runs the tests. */
    const bool needsRoot = (!tool.underWine && outputCase.runner != AS_ROOT) ||
                           outputCase.setup.find("chown") != std::string::npos;
    /* valgrind needs /proc, and does its own ftruncate; 60 runs under it take too long. */
    const bool needsPlainRun = outputCase.runner == WITHOUT_PROC || outputCase.runner == TERMINATED_IN_COPY ||
                               outputCase.runner == ON_FUSE;
    if ((needsRoot && !RunningAsRoot()) || (needsPlainRun && RunsUnderValgrind(tool.commandVariable)) ||
        (outputCase.runner == ON_FUSE && !FuseWorks())) {
      ++skipped;
      continue;
    }
    ScratchFolder folder;
    chmod(folder.root.c_str(), 0777);
    tool.setupInput(folder);
    const std::string inFolder = "cd " + ShellQuote(folder.root) + " && ";
    ASSERT_EQ(0, RunCommand(inFolder + "{ " + outputCase.setup + "; }").exitCode) << outputCase.what;
    const std::vector<std::string> leftovers = FindNamesWithPrefix(folder.root, tool.temporaryPrefix);

    CommandResult result =
        tool.run(folder, tool.underWine ? "" : RunnerPrefix(outputCase.runner), outputCase.output);
    EXPECT_EQ(outputCase.reason.empty() ? 0 : tool.failureExitCode, result.exitCode)
        << outputCase.what;
    /* These runners send the tool's standard output elsewhere. */
    EXPECT_EQ(outputCase.runner == IN_SCRATCH_DEV || outputCase.runner == NO_FILE_SIZE ||
                      outputCase.runner == OVERLAID_NO_FILE_SIZE || outputCase.runner == TERMINATED_IN_COPY ||
                      outputCase.runner == ON_FUSE
                  ? ""
                  : tool.expectedOutput(outputCase.output, outputCase.reason),
              result.output)
        << outputCase.what;
    EXPECT_EQ(0, RunCommand(inFolder + "REF=" + ShellQuote(tool.reference) + " && " +
                            outputCase.check)
                     .exitCode)
        << outputCase.what << ": " << outputCase.check;
    EXPECT_EQ(leftovers, FindNamesWithPrefix(folder.root, tool.temporaryPrefix)) << outputCase.what;
  }
  if (skipped > 0) {
    GTEST_SKIP() << skipped << " cases need root, FUSE (/dev/fuse, bindfs) or a tool not under valgrind";
  }
}

/* Whether process holds open an unnamed file (O_TMPFILE) of folder; its mode then in *mode. */
bool HoldsUnnamedFile(pid_t process, const std::string &folder, unsigned *mode) {
  const std::string descriptors = "/proc/" + std::to_string(process) + "/fd";
  std::error_code error;
  for (auto entry = fs::directory_iterator(descriptors, error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    const std::string target = fs::read_symlink(entry->path(), error).string();
    struct stat status {};
    if (target.rfind(folder + "/#", 0) == 0 && stat(entry->path().c_str(), &status) == 0) {
      *mode = status.st_mode & 07777;
      return true;
    }
  }
  return false;
}

Interruption InterruptWhenFileAppears(const std::string &commandLine, const std::string &folder,
                                      const std::string &prefix, int signalNumber) {
  Interruption result{false, false, 0, 0};
  const int watch = inotify_init1(IN_CLOEXEC);
  if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE) < 0) {
    ADD_FAILURE() << "cannot watch " << folder;
    return result;
  }
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", (commandLine + " >/dev/null").c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  const std::string canonicalFolder = fs::canonical(folder).string();
  /* Bounded, so that a file that never appears cannot hang the test. */
  for (int waited = 0; !result.appeared; waited += 5) {
    struct pollfd readable = {watch, POLLIN, 0};
    if (poll(&readable, 1, 5) <= 0) {
      if (HoldsUnnamedFile(child, canonicalFolder, &result.mode)) {
        result.appeared = result.seen = true;
        break;
      }
      if (waited > 300 * 1000) {
        kill(child, SIGKILL);
      }
      if (waitpid(child, &result.waitStatus, WNOHANG) == child) {
        close(watch);
        return result;
      }
      continue;
    }
    alignas(struct inotify_event) char events[4096];
    const ssize_t length = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < length && !result.appeared;) {
      const auto *event = reinterpret_cast<const struct inotify_event *>(events + at);
      if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) {
        result.appeared = true;
        struct stat status {};
        result.seen = lstat((folder + "/" + event->name).c_str(), &status) == 0;
        result.mode = status.st_mode & 07777;
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
  kill(child, signalNumber);
  waitpid(child, &result.waitStatus, 0);
  close(watch);
  return result;
}

int InterruptSignal(bool underWine) { return underWine ? SIGINT : SIGTERM; }

std::vector<SignalCase> FatalSignalCases(bool underWine, const char *commandVariable) {
  const struct {
    int signalNumber;
    CaseRunner runner;
  } all[] = {
      {InterruptSignal(underWine), AS_ROOT}, {SIGQUIT, AS_ROOT},      {SIGPIPE, AS_ROOT},
      {SIGKILL, AS_ROOT},                    {SIGTERM, WITHOUT_PROC}, {SIGQUIT, WITHOUT_PROC},
      {SIGPIPE, WITHOUT_PROC},
  };
  std::vector<SignalCase> cases;
  for (const auto &signalCase : all) {
    if (underWine ? &signalCase != all
                  : signalCase.runner != AS_ROOT && (!RunningAsRoot() || RunsUnderValgrind(commandVariable))) {
      continue;
    }
    cases.push_back({signalCase.signalNumber, signalCase.runner,
                     strsignal(signalCase.signalNumber) +
                         std::string(signalCase.runner == AS_ROOT ? "" : " without /proc")});
  }
  return cases;
}

void ExpectEndedBySignal(const Interruption &interruption, int signalNumber, bool underWine) {
  if (underWine) {
    return;
  }
  EXPECT_TRUE(WIFSIGNALED(interruption.waitStatus) && WTERMSIG(interruption.waitStatus) == signalNumber)
      << interruption.waitStatus;
  if (interruption.seen) {
    EXPECT_EQ(0600u, interruption.mode);
  }
}

void ExpectConcurrentWritersEachWriteWhole(const ScratchFolder &folder, const std::vector<std::string> &commands,
                                           const std::vector<std::string> &references, int failureExitCode,
                                           const std::string &failureMessage) {
  const std::string inFolder = "cd " + ShellQuote(folder.root) + " && ";
  chmod(folder.root.c_str(), 0755);
  ASSERT_EQ(0, RunCommand(inFolder + "mkdir -m 1777 t && echo old > t/out && chmod 666 t/out").exitCode);
  std::string script = inFolder + "status=0; pids=; ";
  for (const std::string &command : commands) {
    script += "(" + command + ") & pids=\"$pids $!\"; ";
  }
  CommandResult all = RunCommand(script + "for pid in $pids; do wait $pid || status=1; done; exit $status");
  EXPECT_EQ(0, all.exitCode) << all.output;
  const std::string written = ReadFileText(folder.Path("t/out"));
  EXPECT_TRUE(std::any_of(references.begin(), references.end(),
                          [&](const std::string &reference) { return ReadFileText(reference) == written; }))
      << "a mix of " << written.size() << " bytes";
  EXPECT_EQ(std::vector<std::string>{"out"}, ListFolder(folder.Path("t")));

  const int held = open(folder.Path("t/out").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_LE(0, held);
  ASSERT_EQ(0, flock(held, LOCK_EX));
  CommandResult locked = RunCommand(commands[0]);
  close(held);
  EXPECT_EQ(failureExitCode, locked.exitCode);
  EXPECT_NE(std::string::npos, locked.output.find(failureMessage)) << locked.output;
  EXPECT_EQ(written, ReadFileText(folder.Path("t/out")));
  EXPECT_EQ(std::vector<std::string>{"out"}, ListFolder(folder.Path("t")));
}
