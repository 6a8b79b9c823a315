/* How Tervox writes its capture: every kind of target, an interrupted run, concurrent runs. */
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "output_cases.h"
#include "ring_dump_builder.h"
#include "test_support.h"
#include "tervox_runner.h"

namespace {

const std::string TEMPORARY_PREFIX = ".tervox-";

/* Ten packets: a capture past 512 bytes, so that ulimit -f 1 stops its save. */
std::vector<uint8_t> SmallDump() {
  RingDumpBuilder builder(2048);
  uint16_t end = 0;
  for (uint8_t packet = 0; packet < 10; ++packet) {
    end = builder.PutRecord(end, Pattern(60, packet), 1500u * packet);
  }
  return builder.File(0, end);
}

/* A 16 KiB ring holding records packets of 300 bytes (at most 53). */
std::vector<uint8_t> DumpOf(int records) {
  RingDumpBuilder builder(16384);
  uint16_t end = 0;
  for (int record = 0; record < records; ++record) {
    end = builder.PutRecord(end, Pattern(300, static_cast<uint8_t>(record)), 1000u * static_cast<uint32_t>(record));
  }
  return builder.File(0, end);
}

TEST_F(TervoxTest, EveryKindOfTargetIsWrittenAsTheSystemAllows) {
  WriteFileBytes(folder.Path("in.prb"), SmallDump());
  ASSERT_EQ(0, Run("in.prb ref.pcap 2 0").exitCode);
  /* A run as another user runs a copy of Tervox, which it echoes by that copy's path. */
  std::string latestPrefix;
  const ToolUnderTest tervox{
      folder.Path("ref.pcap"), TEMPORARY_PREFIX, TervoxRunsUnderWine(), 255,
      [](const ScratchFolder &caseFolder) { WriteFileBytes(caseFolder.Path("in.prb"), SmallDump()); },
      [&latestPrefix](const ScratchFolder &caseFolder, const std::string &prefix,
                      const std::string &output) {
        latestPrefix = prefix;
        return RunTervox(caseFolder, "in.prb " + ShellQuote(output) + " 2 0", prefix);
      },
      [&latestPrefix](const std::string &output, const std::string &reason) {
        return Echo("in.prb", output, "2", "0", latestPrefix) +
               BaseTimeLine("Thu Jan  1 00:00:00 1970") +
               "zelb size 2048\n" +
               (reason.empty() ? ""
                               : "Error: could not create capture file " + output + ": " + reason + "\n");
      },
      "TERVOX_COMMAND"};
  ExpectOutputCases(OutputCases(".pcap", TEMPORARY_PREFIX), tervox);
}

/* A file written in place (nobody's, in a folder of root's) is emptied only once the input is read. */
TEST_F(TervoxTest, AFileWrittenInPlaceIsKeptUntilTheInputIsRead) {
  if (!RunningAsRoot() || TervoxRunsUnderWine()) {
    GTEST_SKIP() << "needs root and Unix owners";
  }
  WriteFileBytes(folder.Path("in.prb"), SmallDump());
  ASSERT_EQ(0, Run("in.prb ref.pcap 2 0").exitCode);
  chmod(folder.root.c_str(), 0755);
  const struct {
    std::string what;
    std::string arguments;
    int exitCode;
    std::string expected; /* what x.prb then holds */
  } cases[] = {
      {"an input that cannot be opened leaves it as it was", "missing.prb x.prb 2 0", 255, "in.prb"},
      {"it may be its own input", "x.prb x.prb 2 0", 0, "ref.pcap"},
  };
  for (const auto &inPlace : cases) {
    ASSERT_EQ(0, RunCommand("cd " + ShellQuote(folder.root) + " && cp in.prb x.prb && chown nobody x.prb")
                     .exitCode);
    EXPECT_EQ(inPlace.exitCode, RunTervox(folder, inPlace.arguments, RunnerPrefix(AS_NOBODY)).exitCode)
        << inPlace.what;
    EXPECT_EQ(ReadFileBytes(folder.Path(inPlace.expected)), ReadFileBytes(folder.Path("x.prb")))
        << inPlace.what;
  }
}

/* Runs started with a standard descriptor closed, or writing to a descriptor, and failing on the input. */
TEST_F(TervoxTest, NothingReachesAnOutputFromARunWhoseInputFails) {
  if (TervoxRunsUnderWine()) {
    GTEST_SKIP() << "Unix descriptors";
  }
  const struct {
    std::string what;
    std::string arguments;
    std::string input;
    std::string output; /* the file that must still hold "old" */
  } cases[] = {
      {"with standard input closed, /dev/stdin is not the capture", "/dev/stdin out.pcap 2 0 <&-",
       "/dev/stdin", "out.pcap"},
      {"a descriptor gets no file header", "missing.prb /dev/fd/3 2 0 3>>log", "missing.prb", "log"},
  };
  for (const auto &failing : cases) {
    WriteFileBytes(folder.Path(failing.output), {'o', 'l', 'd', '\n'});
    const CommandResult result = Run(failing.arguments);
    EXPECT_EQ(255, result.exitCode) << failing.what;
    EXPECT_NE(std::string::npos, result.output.find("Error opening input file " + failing.input + "\n"))
        << failing.what << ": " << result.output;
    EXPECT_EQ(std::vector<uint8_t>({'o', 'l', 'd', '\n'}), ReadFileBytes(folder.Path(failing.output)))
        << failing.what;
  }
}

/*
 * The capture is created before the input is read: a FIFO input that we hold
 * open for writing holds the run there (wine does not wait for a writer to
 * open it). Any signal that ends the process then leaves nothing, whether the
 * temporary file has a name or not.
 */
TEST_F(TervoxTest, AnyFatalSignalWhileTheCaptureIsOpenLeavesNothingBehind) {
  const bool underWine = TervoxRunsUnderWine();
  ASSERT_EQ(0, mkfifo(folder.Path("in.prb").c_str(), 0644));
  WriteFileText(folder.Path("out.pcap"), "old\n");
  for (const SignalCase &signalCase : FatalSignalCases(underWine, "TERVOX_COMMAND")) {
    const std::string &what = signalCase.what;
    const int writer = open(folder.Path("in.prb").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_LE(0, writer);
    Interruption interruption = InterruptWhenFileAppears(
        "ulimit -c 0; " + TervoxCommandLine(folder, "in.prb out.pcap 2 0", RunnerPrefix(signalCase.runner)),
        folder.root, TEMPORARY_PREFIX, signalCase.signalNumber);
    close(writer);
    ASSERT_TRUE(interruption.appeared && interruption.seen) << what;
    ExpectEndedBySignal(interruption, signalCase.signalNumber, underWine);
    EXPECT_EQ("old\n", ReadFileText(folder.Path("out.pcap"))) << what;
    EXPECT_EQ((std::vector<std::string>{"in.prb", "out.pcap"}), ListFolder(folder.root)) << what;
  }
}

TEST_F(TervoxTest, ConcurrentRunsOnOneOutputBothSucceedWithOneCompleteFile) {
  WriteFileBytes(folder.Path("in.prb"), SmallDump());
  ASSERT_EQ(0, Run("in.prb ref.pcap 2 0").exitCode);
  ASSERT_EQ(0, mkfifo(folder.Path("a.prb").c_str(), 0644));
  ASSERT_EQ(0, mkfifo(folder.Path("b.prb").c_str(), 0644));
  /*
   * Both create their temporary files (named, or unnamed ones they hold
   * open), then wait for their inputs, which the shell holds open for
   * writing, so that they overlap. Bounded: a run that ends early must not
   * hang the test.
   */
  CommandResult both = RunCommand(
      "cd " + ShellQuote(folder.root) + " && exec 3<>a.prb 4<>b.prb || exit 1; (" +
      TervoxCommandLine(folder, "a.prb out.pcap 2 0 3>&- 4>&-") + ") & a=$!; (" +
      TervoxCommandLine(folder, "b.prb out.pcap 2 0 3>&- 4>&-") + ") & b=$!; waited=0; "
      "until [ $(ls -A | grep -c '^" + TEMPORARY_PREFIX + "') = 2 ] || "
      "{ ls -l /proc/$a/fd/ | grep -q \"$PWD/#\" && ls -l /proc/$b/fd/ | grep -q \"$PWD/#\"; } || "
      "[ $((waited += 1)) = 6000 ]; "
      "do sleep 0.01; done; cat in.prb >&3 && cat in.prb >&4 && exec 3>&- 4>&- && wait $a && wait $b");
  EXPECT_EQ(0, both.exitCode) << both.output;
  EXPECT_EQ(std::string::npos, both.output.find("Error")) << both.output;
  EXPECT_EQ(ReadFileBytes(folder.Path("ref.pcap")), ReadFileBytes(folder.Path("out.pcap")));
  EXPECT_EQ((std::vector<std::string>{"a.prb", "b.prb", "in.prb", "out.pcap", "ref.pcap"}),
            ListFolder(folder.root));
}

/* Runs that write one file in place take turns: the file is the whole output of one of them. */
TEST_F(TervoxTest, ConcurrentWritersInPlaceEachWriteWhole) {
  if (!RunningAsRoot() || TervoxRunsUnderWine()) {
    GTEST_SKIP() << "needs root and Unix owners";
  }
  std::vector<std::string> commands;
  std::vector<std::string> references;
  for (int run = 0; run < 20; ++run) {
    const std::string input = "in" + std::to_string(run) + ".prb";
    references.push_back(folder.Path("ref" + std::to_string(run) + ".pcap"));
    WriteFileBytes(folder.Path(input), DumpOf(20 + run));
    ASSERT_EQ(0, Run(input + " " + references.back() + " 16 0").exitCode);
    commands.push_back(TervoxCommandLine(folder, input + " t/out 16 0", RunnerPrefix(AS_NOBODY)));
  }
  ExpectConcurrentWritersEachWriteWhole(folder, commands, references, 255,
                                        "Error: could not write capture file t/out\n");
}

}  // namespace
