/* How Velmark writes its output: every kind of target, an interrupted save, concurrent runs. */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "output_cases.h"
#include "srec_text.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

const std::string TEMPORARY_PREFIX = ".trellan-";

/* kib KiB of data in S3 records (8 MiB: long enough to save that a signal can land while it runs). */
void WriteLargeImage(const std::string &path, uint32_t kib = 8192) {
  /* With a header of its own, every output holds the same text whatever its name. */
  std::string text = Srec('0', 0, {'b', 'i', 'g'});
  for (uint32_t offset = 0; offset < kib * 1024; offset += 32) {
    text += Srec('3', 0x08000000 + offset, Ramp(32, static_cast<uint8_t>(offset >> 5)));
  }
  WriteFileText(path, text);
}

TEST(VelmarkOutput, EveryKindOfTargetIsWrittenAsTheSystemAllows) {
  ScratchFolder referenceFolder;
  WriteFileText(referenceFolder.Path("in.srec"), SampleImage());
  ASSERT_EQ(0, RunVelmark(referenceFolder, "-a0800C000 in.srec ref.srec").exitCode);
  const ToolUnderTest velmark{
      referenceFolder.Path("ref.srec"), TEMPORARY_PREFIX, VelmarkRunsUnderWine(), 3,
      [](const ScratchFolder &folder) { WriteFileText(folder.Path("in.srec"), SampleImage()); },
      [](const ScratchFolder &folder, const std::string &prefix, const std::string &output) {
        return RunVelmark(folder, "-a0800C000 in.srec " + ShellQuote(output), prefix);
      },
      [](const std::string &, const std::string &reason) {
        return reason.empty() ? std::string() : "[ERROR] Could not save output file.\n";
      },
      "VELMARK_COMMAND"};
  ExpectOutputCases(OutputCases(".srec", TEMPORARY_PREFIX), velmark);
}

/* Any signal that ends the process leaves nothing, whether the temporary file has a name or not. */
TEST(VelmarkOutput, AnyFatalSignalWhileSavingLeavesNothingBehind) {
  const bool underWine = VelmarkRunsUnderWine();
  ScratchFolder folder;
  WriteLargeImage(folder.Path("big.srec"));
  for (const SignalCase &signalCase : FatalSignalCases(underWine, "VELMARK_COMMAND")) {
    const std::string &what = signalCase.what;
    bool landed = false;
    /* A save may still finish before the signal lands: then try again. */
    for (int attempt = 0; attempt < 5 && !landed; ++attempt) {
      WriteFileText(folder.Path("out.srec"), "old\n");
      Interruption interruption = InterruptWhenFileAppears(
          "ulimit -c 0; " + VelmarkCommandLine(folder, "-a0B000000 big.srec out.srec", RunnerPrefix(signalCase.runner)),
          folder.root, TEMPORARY_PREFIX, signalCase.signalNumber);
      ASSERT_TRUE(interruption.appeared) << what;
      /* Under wine an interrupted run ends 0 too: only the output tells them apart there. */
      if (WIFEXITED(interruption.waitStatus) && WEXITSTATUS(interruption.waitStatus) == 0 &&
          ReadFileText(folder.Path("out.srec")) != "old\n") {
        continue;
      }
      landed = true;
      ExpectEndedBySignal(interruption, signalCase.signalNumber, underWine);
      EXPECT_EQ("old\n", ReadFileText(folder.Path("out.srec"))) << what;
      EXPECT_EQ((std::vector<std::string>{"big.srec", "out.srec"}), ListFolder(folder.root)) << what;
    }
    EXPECT_TRUE(landed) << what << ": every save ended before the signal landed";
  }
}

TEST(VelmarkOutput, ConcurrentRunsOnOneOutputBothSucceedWithOneCompleteFile) {
  ScratchFolder folder;
  WriteLargeImage(folder.Path("big.srec"));
  ASSERT_EQ(0, RunVelmark(folder, "-a0B000000 big.srec ref.srec").exitCode);
  const std::string run = "(" + VelmarkCommandLine(folder, "-a0B000000 big.srec out.srec") + ")";
  CommandResult both = RunCommand(run + " & " + run + "; second=$?; wait $! && exit $second");
  EXPECT_EQ(0, both.exitCode);
  EXPECT_EQ("", both.output);
  EXPECT_TRUE(ReadFileText(folder.Path("ref.srec")) == ReadFileText(folder.Path("out.srec")));
  EXPECT_EQ((std::vector<std::string>{"big.srec", "out.srec", "ref.srec"}), ListFolder(folder.root));
}

/* Runs that write one file in place take turns: the file is the whole output of one of them. */
TEST(VelmarkOutput, ConcurrentWritersInPlaceEachWriteWhole) {
  if (!RunningAsRoot() || VelmarkRunsUnderWine()) {
    GTEST_SKIP() << "needs root and Unix owners";
  }
  ScratchFolder folder;
  std::vector<std::string> commands;
  std::vector<std::string> references;
  for (int run = 0; run < 20; ++run) {
    const std::string input = "in" + std::to_string(run) + ".srec";
    references.push_back(folder.Path("ref" + std::to_string(run) + ".srec"));
    WriteLargeImage(folder.Path(input), 256 + 16 * static_cast<uint32_t>(run));
    ASSERT_EQ(0, RunVelmark(folder, "-a0B000000 " + input + " " + references.back()).exitCode);
    commands.push_back(VelmarkCommandLine(folder, "-a0B000000 " + input + " t/out", RunnerPrefix(AS_NOBODY)));
  }
  ExpectConcurrentWritersEachWriteWhole(folder, commands, references, 3, "[ERROR] Could not save output file.");
}

/*
 * Under wine: while another program (cmd, its input redirected from the file)
 * holds the output open without sharing deletion, Windows refuses to replace
 * it and the run fails, leaving it as it was; once it is let go, it is replaced.
 */
TEST(VelmarkOutput, AFileAnotherProgramHoldsOpenIsReplacedWhereWindowsAllows) {
  if (!VelmarkRunsUnderWine()) {
    GTEST_SKIP() << "Windows sharing modes";
  }
  ScratchFolder folder;
  WriteFileText(folder.Path("in.srec"), SampleImage());
  WriteFileText(folder.Path("out.srec"), "old\n");
  ASSERT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec ref.srec").exitCode);
  const std::string command = std::getenv("VELMARK_COMMAND");
  const std::string wine = command.substr(0, command.find(' '));
  CommandResult held = RunCommand(
      "cd " + ShellQuote(folder.root) + " && { " + wine +
      " cmd /c \"ping -n 4 127.0.0.1 > NUL < out.srec\" >/dev/null & } && n=0; "
      "until ls -l /proc/[0-9]*/fd/ 2>/dev/null | grep -q \"$PWD/out.srec\" || [ $((n += 1)) = 1000 ]; "
      "do sleep 0.01; done; (" + VelmarkCommandLine(folder, "-a0800C000 in.srec out.srec") + "); echo $?; wait");
  held.output.erase(std::remove(held.output.begin(), held.output.end(), '\r'), held.output.end());
  EXPECT_EQ("[ERROR] Could not save output file.\n3\n", held.output);
  EXPECT_EQ("old\n", ReadFileText(folder.Path("out.srec")));
  EXPECT_EQ(0, RunVelmark(folder, "-a0800C000 in.srec out.srec").exitCode);
  EXPECT_EQ(ReadFileText(folder.Path("ref.srec")), ReadFileText(folder.Path("out.srec")));
}

}  // namespace
