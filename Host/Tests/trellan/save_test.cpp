#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "image_fixture.h"
#include "srec_text.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Add(uint32_t address, const Bytes &bytes) {
  return TrlFirmwareAddData(address, static_cast<uint32_t>(bytes.size()), bytes.data());
}

TEST_F(ImageTest, SavesS1WithHeaderCountAndTermination) {
  ASSERT_EQ(TRL_OK, Load(Srec('0', 0, {'h', 'i'}) + Srec('1', 0x1000, Ramp(40)) +
                         Srec('1', 0x2000, {0xAB}) + Srec('9', 0x1000)));
  EXPECT_EQ(Srec('0', 0, {'h', 'i'}) + Srec('1', 0x1000, Ramp(32)) +
                Srec('1', 0x1020, Ramp(8, 32)) + Srec('1', 0x2000, {0xAB}) + Srec('5', 3) +
                Srec('9', 0x1000),
            Saved());
}

TEST_F(ImageTest, RecordTypeFollowsHighestDataAddressAndStartAddress) {
  const std::string emptyHeader = Srec('0', 0);
  ASSERT_EQ(TRL_OK, Add(0xFFFF, {1}));
  EXPECT_EQ(emptyHeader + Srec('1', 0xFFFF, {1}) + Srec('5', 1) + Srec('9', 0), Saved());
  ASSERT_EQ(TRL_OK, Add(0x10000, {2}));
  EXPECT_EQ(emptyHeader + Srec('2', 0xFFFF, {1, 2}) + Srec('5', 1) + Srec('8', 0), Saved());
  ASSERT_EQ(TRL_OK, Add(0xFFFFFF, {3}));
  EXPECT_EQ(emptyHeader + Srec('2', 0xFFFF, {1, 2}) + Srec('2', 0xFFFFFF, {3}) + Srec('5', 2) +
                Srec('8', 0),
            Saved());
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  ASSERT_EQ(TRL_OK, Load(Srec('1', 0x10, {1}) + Srec('7', 0x08000000)));
  EXPECT_EQ(emptyHeader + Srec('3', 0x10, {1}) + Srec('5', 1) + Srec('7', 0x08000000), Saved());
}

TEST_F(ImageTest, EmptyImageSavesAnEmptyHeaderCountAndTermination) {
  EXPECT_EQ(Srec('0', 0) + Srec('5', 0) + Srec('9', 0), Saved());
}

TEST_F(ImageTest, HeaderKeepsItsAddressField) {
  const std::string text = Srec('0', 0x1234, {'h'}) + Srec('1', 0x10, {1}) + Srec('5', 1) +
                           Srec('9', 0);
  ASSERT_EQ(TRL_OK, Load(text));
  EXPECT_EQ(text, Saved());
}

TEST_F(ImageTest, UsesS5UpTo65535RecordsAndS6Above) {
  const Bytes data(65536 * 32, 0x5A);
  ASSERT_EQ(TRL_OK, Add(0x10000000, Bytes(data.begin(), data.end() - 32)));
  std::string text = Saved();
  EXPECT_NE(std::string::npos, text.find(Srec('5', 65535) + Srec('7', 0)));
  ASSERT_EQ(TRL_OK, Add(0x10000000, data));
  text = Saved();
  EXPECT_NE(std::string::npos, text.find(Srec('6', 65536) + Srec('7', 0)));
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  ASSERT_EQ(TRL_OK, Load(text));
  EXPECT_EQ((SegmentSnapshot{{0x10000000, data}}), Segments());
}

TEST_F(ImageTest, RoundTripsS1S2AndS3Files) {
  for (char type : {'1', '2', '3'}) {
    const uint32_t base = type == '1' ? 0x0100 : type == '2' ? 0x012300 : 0x08001230;
    const char termination = static_cast<char>('0' + 10 - (type - '0'));
    std::string text = Srec('0', 0, {'f', 'w'}) + Srec(type, base, Ramp(32)) +
                       Srec(type, base + 32, Ramp(5, 0x80)) + Srec(type, base + 0x100, Ramp(32, 7)) +
                       Srec('5', 3) + Srec(termination, base);
    ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
    ASSERT_EQ(TRL_OK, Load(text)) << type;
    EXPECT_EQ(text, Saved()) << type;
  }
}

/* A header-less image, saved to files: each names itself in its S0. */
class SaveFileTest : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    ASSERT_EQ(TRL_OK, Load(Srec('1', 0x100, Ramp(4)) + Srec('9', 0)));
  }
  static std::string Expected(const std::string &headerText) {
    return Srec('0', 0, Bytes(headerText.begin(), headerText.end())) + Srec('1', 0x100, Ramp(4)) +
           Srec('5', 1) + Srec('9', 0);
  }
  ScratchFolder folder;
};

TEST_F(SaveFileTest, CreatesAndReplacesFilesLeavingNoTemporaryFile) {
  const std::string path = folder.Path("out.srec");
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(path.c_str()));
  EXPECT_EQ(Expected("out.srec"), ReadFileText(path));
  WriteFileText(path, "old contents that are longer than the new ones\n");
  chmod(path.c_str(), 0640);
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(path.c_str()));
  EXPECT_EQ(Expected("out.srec"), ReadFileText(path));
  struct stat status {};
  ASSERT_EQ(0, stat(path.c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 0777u);
  EXPECT_EQ(std::vector<std::string>{"out.srec"}, ListFolder(folder.root));
}

TEST_F(SaveFileTest, SavesOverTheFileItLoaded) {
  const std::string path = folder.Path("image.srec");
  WriteFileText(path, Srec('1', 0x200, {9}));
  ASSERT_EQ(TRL_OK, TrlFirmwareLoadFromFile(path.c_str(), 0));
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(path.c_str()));
  ASSERT_EQ(TRL_OK, TrlFirmwareClearData());
  ASSERT_EQ(TRL_OK, TrlFirmwareLoadFromFile(path.c_str(), 0));
  EXPECT_EQ((SegmentSnapshot{{0x100, Ramp(4)}, {0x200, {9}}}), Segments());
}

TEST_F(SaveFileTest, FailedSavesLeaveTargetsUntouchedAndNoPartialFile) {
  EXPECT_EQ(TRL_ERR_WRITE, TrlFirmwareSaveToFile(folder.root.c_str()));
  EXPECT_EQ(TRL_ERR_WRITE, TrlFirmwareSaveToFile(folder.Path("missing/out.srec").c_str()));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareSaveToFile(nullptr));
  EXPECT_EQ(TRL_ERR_ARGUMENT, TrlFirmwareSaveToFile(""));
  /* Files without write permission: the end-to-end VelmarkOutput test, as an unprivileged user. */
  EXPECT_EQ(std::vector<std::string>{}, ListFolder(folder.root));
}

TEST_F(SaveFileTest, DevicesAreWrittenDirectlyNeverReplaced) {
  EXPECT_EQ(TRL_OK, TrlFirmwareSaveToFile("/dev/null"));
  EXPECT_EQ(TRL_ERR_WRITE, TrlFirmwareSaveToFile("/dev/full"));
  struct stat status {};
  ASSERT_EQ(0, stat("/dev/full", &status));
  EXPECT_TRUE(S_ISCHR(status.st_mode));
  ASSERT_EQ(0, stat("/dev/null", &status));
  EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST_F(SaveFileTest, WritesThroughASymbolicLink) {
  const std::string target = folder.Path("real.srec");
  const std::string link = folder.Path("link.srec");
  WriteFileText(target, "old\n");
  std::filesystem::create_symlink(target, link);
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(link.c_str()));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Expected("link.srec"), ReadFileText(target));
}

TEST_F(SaveFileTest, TheNameHeaderIsNeverKeptAndALoadedHeaderWins) {
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(folder.Path("first.srec").c_str()));
  EXPECT_EQ(Expected("first.srec"), ReadFileText(folder.Path("first.srec")));
  uint32_t length = 1;
  EXPECT_EQ(nullptr, TrlFirmwareGetHeader(&length));
  EXPECT_EQ(0u, length);
  /* A loaded header wins over the name. */
  ASSERT_EQ(TRL_OK, Load(Srec('0', 0, {'h'})));
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(folder.Path("out.srec").c_str()));
  EXPECT_EQ(Expected("h"), ReadFileText(folder.Path("out.srec")));
}

TEST_F(SaveFileTest, DescriptorNamesWriteThroughTheOpenDescriptor) {
  const std::string log = folder.Path("log");
  WriteFileText(log, "kept\n");
  const int descriptor = open(log.c_str(), O_WRONLY | O_APPEND);
  ASSERT_LE(0, descriptor);
  for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    EXPECT_EQ(TRL_OK, TrlFirmwareSaveToFile((prefix + std::to_string(descriptor)).c_str()));
  }
  close(descriptor);
  /* The header names the file as given: the descriptor's number. */
  const std::string expected = Expected(std::to_string(descriptor));
  EXPECT_EQ("kept\n" + expected + expected, ReadFileText(log));
  EXPECT_EQ(TRL_ERR_WRITE, TrlFirmwareSaveToFile(("/dev/fd/" + std::to_string(descriptor)).c_str()));
}

void CountSignal(int) {}

TEST_F(SaveFileTest, SavingLeavesTheCallersSignalActionsAsTheyWere) {
  struct sigaction own {};
  own.sa_handler = CountSignal;
  struct sigaction previousTerm {};
  struct sigaction previousHup {};
  ASSERT_EQ(0, sigaction(SIGTERM, &own, &previousTerm));
  void (*previousInt)(int) = signal(SIGINT, SIG_DFL);
  ASSERT_EQ(0, sigaction(SIGHUP, nullptr, &previousHup));
  signal(SIGHUP, SIG_IGN);
  ASSERT_EQ(TRL_OK, TrlFirmwareSaveToFile(folder.Path("out.srec").c_str()));
  struct sigaction now {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(CountSignal, now.sa_handler);
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(SIG_DFL, now.sa_handler);
  sigaction(SIGHUP, nullptr, &now);
  EXPECT_EQ(SIG_IGN, now.sa_handler);
  sigaction(SIGTERM, &previousTerm, nullptr);
  signal(SIGINT, previousInt);
  sigaction(SIGHUP, &previousHup, nullptr);
}

}  // namespace
