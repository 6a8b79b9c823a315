/* A tool run as another user runs wherever the build is, even where that user may not enter. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "output_cases.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

namespace fs = std::filesystem;

TEST(VelmarkAsOtherUser, RunsFromAFolderThatUserMayNotEnter) {
  if (!RunningAsRoot() || VelmarkRunsUnderWine()) {
    GTEST_SKIP() << "needs root to run as nobody, and a Linux Velmark";
  }
  ScratchFolder hidden; /* 0700, root's; bin/ and lib/ as in the build, where Velmark finds libtrellan */
  fs::create_directory(hidden.Path("bin"));
  fs::copy(fs::path(VELMARK_PATH).parent_path().parent_path() / "lib", hidden.Path("lib"),
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const std::string hiddenVelmark = hidden.Path("bin/Velmark");
  fs::copy_file(VELMARK_PATH, hiddenVelmark);
  ScratchFolder work;
  const char *variable = "VELMARK_OTHER_USER_TEST_COMMAND";
  const struct {
    std::string what;
    const char *command; /* the command variable's value, or null for the built program */
  } cases[] = {
      {"the built program", nullptr},
      {"the last word of a command that starts another program first", "env"},
  };
  for (const auto &run : cases) {
    if (run.command == nullptr) {
      unsetenv(variable);
    } else {
      setenv(variable, (std::string(run.command) + " " + hiddenVelmark).c_str(), 1);
    }
    const std::string builtProgram = run.command == nullptr ? hiddenVelmark : VELMARK_PATH;
    const std::string program = ToolProgramPath(variable, builtProgram, OTHER_USER_PREFIX);
    EXPECT_NE(hiddenVelmark, program) << run.what;
    EXPECT_EQ(ReadFileBytes(hiddenVelmark), ReadFileBytes(program)) << run.what;
    /* Without arguments Velmark prints its banner and usage and exits 1. */
    const CommandResult result = RunTool(variable, builtProgram, work.root, "", OTHER_USER_PREFIX);
    EXPECT_EQ(1, result.exitCode) << run.what << ": " << result.output;
    EXPECT_EQ(0u, result.output.find(std::string(74, '-'))) << run.what;
  }
  unsetenv(variable);
}

}  // namespace
