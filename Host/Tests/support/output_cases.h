/* The output-file cases that both tools must pass: one table per tool, run by one routine. */
#ifndef OUTPUT_CASES_H
#define OUTPUT_CASES_H

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

enum CaseRunner {
  AS_ROOT,
  AS_NOBODY,       /* through setpriv: where root would bypass a check */
  IN_SCRATCH_DEV,  /* unshare -m with a tmpfs over /dev holding stdout -> /proc/self/fd/1;
                      standard output appended to "log", and the link must survive */
  NO_FILE_SIZE,    /* ulimit -f 0, standard output dropped: the run must end by SIGXFSZ */
  BIND_MOUNTED,    /* unshare -m with the file "bound" mounted over the file "target" */
  OVERLAID_NO_FILE_SIZE, /* the folder's files copied onto an overlay of two tmpfs layers, run
                            there under ulimit -f 1 (512 bytes; must end by SIGXFSZ), the overlay's files
                            copied back afterwards */
  WITHOUT_PROC,    /* unshare -m with an empty tmpfs over /proc, as in a chroot: the temporary
                      file then has a name while it is written */
  FOLDER_SWAPPED,  /* under strace, which holds the run for a second at its first link or
                      rename, while nobody swaps the folder "d" for a link to "secret" */
  TERMINATED_IN_COPY, /* as nobody under strace, which holds the run for a second as it empties
                         the file to write it in place, while SIGTERM is sent: it must end by SIGTERM */
  ON_FUSE,         /* unshare -m with the case folder seen through bindfs, where a plain create
                      makes "plain", then 60 runs write the output at once; all must succeed */
};

struct OutputCase {
  std::string what;    /* the behaviour shown */
  std::string setup;   /* shell commands run first as root in the case's folder (mode 0777) */
  std::string output;  /* the output argument */
  CaseRunner runner;
  std::string reason;  /* why the run must fail (strerror text), or empty when it must succeed */
  std::string check;   /* shell test that must pass afterwards; $REF is what a good run writes */
  bool underWine;      /* also meaningful for a Windows build under wine (run as root) */
};

/* The cases, for outputs named with extension and temporary files named with temporaryPrefix. */
std::vector<OutputCase> OutputCases(const std::string &extension, const std::string &temporaryPrefix);

/* What goes between `exec` and the tool's command for a runner. */
std::string RunnerPrefix(CaseRunner runner);

bool RunningAsRoot();

/* Whether the command in that environment variable runs its program under valgrind, which needs /proc. */
bool RunsUnderValgrind(const char *commandVariable);

/* How the end-to-end test of one tool runs it. */
struct ToolUnderTest {
  std::string reference;        /* the file a successful run writes */
  std::string temporaryPrefix;  /* names of its temporary files begin with this */
  bool underWine;
  int failureExitCode;
  std::function<void(const ScratchFolder &)> setupInput;
  std::function<CommandResult(const ScratchFolder &, const std::string &prefix,
                              const std::string &output)> run;
  /* its whole standard output, for a run that fails for reason (or succeeds: empty reason) */
  std::function<std::string(const std::string &output, const std::string &reason)> expectedOutput;
  const char *commandVariable;  /* the variable that may run it under valgrind */
};

/*
 * Runs every case in a fresh folder holding the tool's input. Checks exit
 * code, output, the case's check, and that no temporary file was left or
 * removed. Under wine only the cases marked for it run; cases that need root,
 * FUSE, or a tool not under valgrind are skipped without them (the test then
 * says so).
 */
void ExpectOutputCases(const std::vector<OutputCase> &cases, const ToolUnderTest &tool);

struct Interruption {
  bool appeared;   /* the file appeared before the command ended */
  bool seen;       /* it could be examined before the signal was sent */
  unsigned mode;   /* its permission bits then */
  int waitStatus;  /* the command's status, as waitpid gives it */
};

/*
 * Starts commandLine, sends signalNumber as soon as a file whose name begins
 * with prefix appears in folder, or the command holds an unnamed file there
 * open, and waits for the command to end. A command that makes neither within
 * 300 s is killed.
 */
Interruption InterruptWhenFileAppears(const std::string &commandLine, const std::string &folder,
                                      const std::string &prefix, int signalNumber);

/*
 * The signal that interrupts a tool: SIGTERM, or under wine SIGINT, which wine
 * hands to a Windows program as the console's Ctrl-C.
 */
int InterruptSignal(bool underWine);

struct SignalCase {
  int signalNumber;
  CaseRunner runner; /* AS_ROOT, or WITHOUT_PROC, where the temporary file has a name */
  std::string what;  /* the signal's name, and how the tool ran */
};

/*
 * The fatal signals a save is interrupted by: the interrupt, SIGQUIT, SIGPIPE
 * and SIGKILL, and without /proc SIGTERM, SIGQUIT and SIGPIPE. Under wine only
 * the interrupt, the one signal wine turns into something a Windows program
 * sees; without root, or with the tool under valgrind (the command in
 * commandVariable), only the runs with /proc.
 */
std::vector<SignalCase> FatalSignalCases(bool underWine, const char *commandVariable);

/*
 * Checks that an interrupted command ended by that signal and that its
 * temporary file, if seen, was 0600. Under wine neither holds: Windows has no
 * mode bits, and wine's own Ctrl-C handler ends the process with status 0.
 */
void ExpectEndedBySignal(const Interruption &interruption, int signalNumber, bool underWine);

/*
 * Runs the commands at once, as nobody, each writing the same file in place
 * (root's 0666 file "t/out" in a sticky folder, created from references[0]):
 * every run must succeed and the file must equal one of the references, the
 * complete output of one run. Then, with the file's lock held by the test,
 * one more run must fail with failureExitCode and printing failureMessage,
 * and leave it as it was.
 */
void ExpectConcurrentWritersEachWriteWhole(const ScratchFolder &folder, const std::vector<std::string> &commands,
                                           const std::vector<std::string> &references, int failureExitCode,
                                           const std::string &failureMessage);

/* Names in folder beginning with prefix, searched through its subfolders. */
std::vector<std::string> FindNamesWithPrefix(const std::string &folder, const std::string &prefix);

#endif
