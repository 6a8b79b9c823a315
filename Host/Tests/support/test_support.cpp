#include "test_support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

CommandResult RunCommand(const std::string &commandLine) {
  CommandResult result{-1, ""};
  FILE *pipe = popen(commandLine.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run: " + commandLine);
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    result.output.append(buffer, got);
  }
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  return result;
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
