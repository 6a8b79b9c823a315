/* Helpers shared by the end-to-end tests: scratch folders, files and running a tool. */
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <string>
#include <vector>

/* Whether the tests, and so the tools built beside them, carry AddressSanitizer (GCC's macro, clang's feature). */
#if defined(__SANITIZE_ADDRESS__)
constexpr bool BUILT_WITH_ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool BUILT_WITH_ADDRESS_SANITIZER = true;
#else
constexpr bool BUILT_WITH_ADDRESS_SANITIZER = false;
#endif
#else
constexpr bool BUILT_WITH_ADDRESS_SANITIZER = false;
#endif

struct CommandResult {
  int exitCode; /* -1 when the command did not exit normally */
  std::string output; /* standard output only */
  long peakMemoryKiB; /* of the shell; begin the command with exec to measure the program */
};

/* Runs a shell command line and collects its standard output, exit code and peak memory. */
CommandResult RunCommand(const std::string &commandLine);

/* What goes before a tool's command to run it as nobody. */
extern const char *const OTHER_USER_PREFIX;

/*
 * The shell command line that runs a tool in folder with TZ=UTC: prefix (e.g.
 * "setpriv ... "), then the command line in the environment variable
 * commandVariable (e.g. "valgrind -q /path/Tool" or "wine /path/Tool.exe"),
 * or else builtProgram, then the shell-safe arguments. After
 * OTHER_USER_PREFIX the program (builtProgram, or the command's last word
 * when that names a file) is replaced by its ReachableCopy().
 */
std::string ToolCommandLine(const char *commandVariable, const std::string &builtProgram,
                            const std::string &folder, const std::string &arguments,
                            const std::string &prefix = "");

/*
 * The path of the program that ToolCommandLine() starts with that prefix, as
 * the program sees it in argv[0]; empty when the command names no file last.
 */
std::string ToolProgramPath(const char *commandVariable, const std::string &builtProgram,
                            const std::string &prefix = "");

/*
 * A copy of the program at path in a folder under the temporary folder that
 * every user may enter, so that another user can run it wherever the build
 * is (a clone under /root): <folder>/bin/<program>, with the shared libraries
 * of the build's lib/ folder (beside the program's) in <folder>/lib. One copy
 * per path, removed when the test program ends.
 */
std::string ReachableCopy(const std::string &path);

/*
 * Runs ToolCommandLine(). Under wine the CRs that a Windows console may add
 * before "\n" are dropped; nothing else may differ.
 */
CommandResult RunTool(const char *commandVariable, const std::string &builtProgram,
                      const std::string &folder, const std::string &arguments,
                      const std::string &prefix = "");

/* True when the command in that environment variable runs its program under wine. */
bool ToolRunsUnderWine(const char *commandVariable);

/* Quotes one argument for the shell. */
std::string ShellQuote(const std::string &argument);

/* A fresh empty folder under the system's temporary folder, removed by the destructor. */
struct ScratchFolder {
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder &) = delete;
  ScratchFolder &operator=(const ScratchFolder &) = delete;
  std::string Path(const std::string &name) const;
  std::string root;
};

std::string ReadFileText(const std::string &path);
std::vector<unsigned char> ReadFileBytes(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
void WriteFileBytes(const std::string &path, const std::vector<unsigned char> &bytes);
bool FileExists(const std::string &path);

/* True when a program of that name is on the PATH. */
bool HasProgram(const std::string &name);

/* The folder's file names, sorted. */
std::vector<std::string> ListFolder(const std::string &path);

#endif
