/*
 * Fuzz target: whatever ELF loads, patched (every held byte inverted where a
 * save can hold it, as a table would be written), saved to memory and loaded
 * again, gives the patched image, and saves to the same bytes again.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_image.h"
#include "trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string file("\x7F" "ELF");
  file.append(reinterpret_cast<const char *>(data), size);
  TrlFirmwareInit(TRL_FILE_FORMAT_SREC);
  if (TrlFirmwareLoadFromMemory(file.data(), file.size(), 0) == TRL_OK) {
    fuzz_image::Segments patched = fuzz_image::CopySegments();
    for (auto &[address, bytes] : patched) {
      if (TrlFirmwareCheckSaveRange(address, static_cast<uint32_t>(bytes.size())) != TRL_OK) {
        std::abort(); /* every loaded byte lies in a loaded section */
      }
      for (uint8_t &byte : bytes) {
        byte = static_cast<uint8_t>(~byte);
      }
      TrlFirmwareAddData(address, static_cast<uint32_t>(bytes.size()), bytes.data());
    }
    /* Bytes that load at two addresses were inverted at both, so they still agree. */
    const std::string saved = fuzz_image::SaveImage();
    TrlFirmwareClearData();
    if (saved.size() != file.size() || TrlFirmwareLoadFromMemory(saved.data(), saved.size(), 0) != TRL_OK ||
        fuzz_image::CopySegments() != patched || fuzz_image::SaveImage() != saved) {
      std::abort();
    }
  }
  TrlFirmwareTerminate();
  return 0;
}
