/* How Velmark writes its output: every kind of target, an interrupted save, concurrent runs. */
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "output_cases.h"
#include "srec_text.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

const std::string TEMPORARY_PREFIX = ".trellan-";

/* 8 MiB of data in S3 records: long enough to save that a signal can land while it runs. */
void WriteLargeImage(const std::string &path) {
  /* With a header of its own, every output holds the same text whatever its name. */
  std::string text = Srec('0', 0, {'b', 'i', 'g'});
  for (uint32_t offset = 0; offset < (8u << 20); offset += 32) {
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
      }};
  ExpectOutputCases(OutputCases(".srec", TEMPORARY_PREFIX), velmark);
}

TEST(VelmarkOutput, InterruptWhileSavingRemovesTheTemporaryFile) {
  ScratchFolder folder;
  WriteLargeImage(folder.Path("big.srec"));
  const int signalNumber = InterruptSignal(VelmarkRunsUnderWine());
  /* A save may still finish before the signal lands: then try again. */
  for (int attempt = 0; attempt < 5; ++attempt) {
    WriteFileText(folder.Path("out.srec"), "old\n");
    Interruption interruption = InterruptWhenFileAppears(
        VelmarkCommandLine(folder, "-a0B000000 big.srec out.srec"), folder.root, TEMPORARY_PREFIX,
        signalNumber);
    ASSERT_TRUE(interruption.appeared);
    /* Under wine an interrupted run ends 0 too: only the output tells them apart there. */
    if (WIFEXITED(interruption.waitStatus) && WEXITSTATUS(interruption.waitStatus) == 0 &&
        ReadFileText(folder.Path("out.srec")) != "old\n") {
      continue;
    }
    ExpectEndedBySignal(interruption, signalNumber, VelmarkRunsUnderWine());
    EXPECT_EQ("old\n", ReadFileText(folder.Path("out.srec")));
    EXPECT_EQ((std::vector<std::string>{"big.srec", "out.srec"}), ListFolder(folder.root));
    return;
  }
  FAIL() << "every save ended before the signal landed";
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

}  // namespace
