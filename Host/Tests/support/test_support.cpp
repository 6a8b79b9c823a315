#include "test_support.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

CommandResult RunCommand(const std::string &commandLine) {
  CommandResult result{-1, "", 0};
  int output[2];
  if (pipe(output) != 0) {
    throw std::runtime_error("cannot make a pipe");
  }
  pid_t child = fork();
  if (child < 0) {
    throw std::runtime_error("cannot fork");
  }
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    close(output[0]);
    close(output[1]);
    execl("/bin/sh", "sh", "-c", commandLine.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(output[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(output[0], buffer, sizeof buffer)) != 0) {
    if (got > 0) {
      result.output.append(buffer, static_cast<size_t>(got));
    } else if (errno != EINTR) {
      break;
    }
  }
  close(output[0]);
  int status = 0;
  struct rusage usage {};
  while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.peakMemoryKiB = usage.ru_maxrss;
  return result;
}

const char *const OTHER_USER_PREFIX = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";

namespace {

/* A tool's command: what runs the program (valgrind, wine; often nothing), then the program. */
struct ToolCommand {
  std::string launcher;
  std::string program; /* empty when the command does not end in a file's path */
};

ToolCommand FindToolCommand(const char *commandVariable, const std::string &builtProgram,
                            const std::string &prefix) {
  ToolCommand command{"", builtProgram};
  const char *override = std::getenv(commandVariable);
  if (override != nullptr) {
    const std::string text = override;
    const size_t programStart = text.find_last_of(" \t") + 1; /* 0 when there is no blank */
    std::error_code error;
    command = fs::is_regular_file(text.substr(programStart), error)
                  ? ToolCommand{text.substr(0, programStart), text.substr(programStart)}
                  : ToolCommand{text, ""};
  }
  if (!command.program.empty() && prefix.rfind(OTHER_USER_PREFIX, 0) == 0) {
    command.program = ReachableCopy(command.program);
  }
  return command;
}

/* The copies ReachableCopy() made, by original path; their folders go when the program ends. */
struct ReachableCopies {
  ~ReachableCopies() {
    for (const auto &copy : copies) {
      std::error_code error;
      fs::remove_all(fs::path(copy.second).parent_path().parent_path(), error);
    }
  }
  std::map<std::string, std::string> copies;
};

}  // namespace

std::string ToolCommandLine(const char *commandVariable, const std::string &builtProgram,
                            const std::string &folder, const std::string &arguments,
                            const std::string &prefix) {
  const ToolCommand command = FindToolCommand(commandVariable, builtProgram, prefix);
  return "cd " + ShellQuote(folder) + " && TZ=UTC exec " + prefix + command.launcher +
         (command.program.empty() ? "" : ShellQuote(command.program)) + " " + arguments;
}

std::string ToolProgramPath(const char *commandVariable, const std::string &builtProgram,
                            const std::string &prefix) {
  return FindToolCommand(commandVariable, builtProgram, prefix).program;
}

std::string ReachableCopy(const std::string &path) {
  static ReachableCopies reachable;
  const auto known = reachable.copies.find(path);
  if (known != reachable.copies.end()) {
    return known->second;
  }
  std::string folder = (fs::temp_directory_path() / "trl-tool-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder for a copy of " + path);
  }
  const std::string copy = folder + "/bin/" + fs::path(path).filename().string();
  reachable.copies[path] = copy;
  const fs::perms everyoneMayRun = fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec;
  /* The build's tools find libtrellan through $ORIGIN/../lib: the copy gets the same layout. */
  const fs::path libraries = fs::path(path).parent_path().parent_path() / "lib";
  for (const char *name : {"bin", "lib"}) {
    fs::create_directory(folder + "/" + name);
    fs::permissions(folder + "/" + name, everyoneMayRun);
  }
  fs::permissions(folder, everyoneMayRun);
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(libraries, error)) {
    if (entry.path().filename().string().find(".so") != std::string::npos && entry.is_regular_file()) {
      const fs::path library = fs::path(folder) / "lib" / entry.path().filename();
      fs::copy(entry.path(), library, fs::copy_options::copy_symlinks);
      if (!fs::is_symlink(library)) {
        fs::permissions(library, everyoneMayRun);
      }
    }
  }
  fs::copy_file(path, copy);
  fs::permissions(copy, everyoneMayRun);
  return copy;
}

CommandResult RunTool(const char *commandVariable, const std::string &builtProgram,
                      const std::string &folder, const std::string &arguments,
                      const std::string &prefix) {
  CommandResult result =
      RunCommand(ToolCommandLine(commandVariable, builtProgram, folder, arguments, prefix));
  if (ToolRunsUnderWine(commandVariable)) {
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'),
                        result.output.end());
  }
  return result;
}

bool ToolRunsUnderWine(const char *commandVariable) {
  const char *override = std::getenv(commandVariable);
  return override != nullptr && std::string(override).find("wine") != std::string::npos;
}

std::string ShellQuote(const std::string &argument) {
  std::string quoted = "'";
  for (char c : argument) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "trl-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder");
  }
  root = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(root, error);
}

std::string ScratchFolder::Path(const std::string &name) const { return root + "/" + name; }

std::string ReadFileText(const std::string &path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::vector<unsigned char> ReadFileBytes(const std::string &path) {
  std::ifstream stream(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(stream), {});
}

void WriteFileText(const std::string &path, const std::string &text) {
  std::ofstream stream(path, std::ios::binary);
  stream << text;
}

void WriteFileBytes(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream stream(path, std::ios::binary);
  stream.write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string &path) {
  std::error_code error;
  return fs::exists(path, error);
}

bool HasProgram(const std::string &name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null 2>&1").exitCode == 0;
}

std::vector<std::string> ListFolder(const std::string &path) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
