/*
 * ELFs as real toolchains write them, built at test time with Debian's cross
 * compilers: libtrellan must load each as objcopy converts it to S-records,
 * and Velmark must patch it as it patches that S-record file, changing only
 * the table's bytes.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "table_reader.h"
#include "test_support.h"
#include "velmark_runner.h"

namespace {

/* Code and constants in flash, a placeholder for the table, data loaded from flash into RAM, and .bss. */
const char *const FIRMWARE_SOURCE =
    "const unsigned char cit[64] __attribute__((section(\".cit\"), used)) = {[0 ... 63] = 0xFF};\n"
    "volatile int counter = 5;\n"
    "int values[4] = {1, 2, 3, 4};\n"
    "int zeros[8];\n"
    "const char text[] = \"firmware text\";\n"
    "int main(void) { return counter + values[1] + zeros[2] + text[0] + cit[0]; }\n"
    "void _start(void) { for (;;) main(); }\n";

std::string LinkerScript(const std::string &flash, const std::string &ram) {
  return "MEMORY { FLASH (rx) : ORIGIN = " + flash + ", LENGTH = 0x10000\n"
         "         RAM (rwx) : ORIGIN = " + ram + ", LENGTH = 0x4000 }\n"
         "ENTRY(_start)\n"
         "SECTIONS {\n"
         "  .text : { *(.text*) *(.rodata*) *(.srodata*) } > FLASH\n"
         "  .cit ORIGIN(FLASH) + 0x1000 : { KEEP(*(.cit)) } > FLASH\n"
         "  .data : { *(.data*) *(.sdata*) } > RAM AT > FLASH\n"
         "  .bss : { *(.bss*) *(.sbss*) *(COMMON) } > RAM\n"
         "  /DISCARD/ : { *(.eh_frame*) *(.note*) }\n"
         "}\n";
}

struct Toolchain {
  const char *prefix; /* of gcc and objcopy */
  const char *flags;
  const char *flash;  /* the table goes 0x1000 above it */
  const char *ram;
};

CommandResult RunChecked(const std::string &command) {
  CommandResult result = RunCommand(command + " 2>&1");
  EXPECT_EQ(0, result.exitCode) << command << "\n" << result.output;
  return result;
}

TEST(ElfToolchainTest, LoadsAsObjcopyConvertsAndPatchesOnlyTheTable) {
  const Toolchain toolchains[] = {
      {"arm-none-eabi-", "-mcpu=cortex-m3 -mthumb", "0x08000000", "0x20000000"},
      {"powerpc-linux-gnu-", "-static -fno-pie -no-pie -msdata=none", "0x00100000", "0x00200000"},
      {"riscv64-unknown-elf-", "-march=rv64imac -mabi=lp64 -mcmodel=medany", "0x80000000", "0x80200000"},
      {"avr-", "-mmcu=atmega2560", "0x00000000", "0x00800200"},
  };
  for (const Toolchain &toolchain : toolchains) {
    SCOPED_TRACE(toolchain.prefix);
    const std::string prefix = toolchain.prefix;
    ASSERT_TRUE(HasProgram(prefix + "gcc")) << prefix << "gcc is missing: scripts/setup.sh test installs it";
    ScratchFolder folder;
    WriteFileText(folder.Path("fw.c"), FIRMWARE_SOURCE);
    WriteFileText(folder.Path("fw.ld"), LinkerScript(toolchain.flash, toolchain.ram));
    const std::string in = "cd " + ShellQuote(folder.root) + " && ";
    RunChecked(in + prefix + "gcc -O1 -nostdlib -fno-asynchronous-unwind-tables -Wl,--build-id=none " +
               toolchain.flags + " -T fw.ld fw.c -o fw.elf");
    RunChecked(in + prefix + "objcopy -O srec fw.elf fw.srec");
    EXPECT_EQ(LoadImageFile(folder.Path("fw.srec")), LoadImageFile(folder.Path("fw.elf")));

    unsigned flash = 0;
    std::sscanf(toolchain.flash, "%x", &flash);
    char options[64];
    std::snprintf(options, sizeof options, "-a%08X -x%08X:%08X ", flash + 0x1000, flash + 0x1000, flash + 0x103F);
    ASSERT_EQ(0, RunVelmark(folder, std::string(options) + "fw.elf out.elf").exitCode);
    ASSERT_EQ(0, RunVelmark(folder, std::string(options) + "fw.srec out.srec").exitCode);
    EXPECT_EQ(LoadImageFile(folder.Path("out.srec")), LoadImageFile(folder.Path("out.elf")));

    /* As cmp -l lists them: the changed bytes all lie within the 64-byte placeholder. */
    const std::vector<unsigned char> before = ReadFileBytes(folder.Path("fw.elf"));
    const std::vector<unsigned char> after = ReadFileBytes(folder.Path("out.elf"));
    ASSERT_EQ(before.size(), after.size());
    std::vector<size_t> changed;
    for (size_t offset = 0; offset < before.size(); ++offset) {
      if (before[offset] != after[offset]) changed.push_back(offset);
    }
    ASSERT_FALSE(changed.empty());
    EXPECT_LT(changed.back() - changed.front(), 64u);
    const CommandResult checked = RunCommand(ShellQuote(VELCHECK_PATH) + " " + ShellQuote(folder.Path("out.elf")));
    EXPECT_EQ(0, checked.exitCode) << checked.output;
  }
}

}  // namespace
