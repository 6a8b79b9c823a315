/*
 * Fuzz target: whatever ELF loads, patched (every byte inverted where a save
 * can hold a change, as a table would be written: not in the ELF's own
 * headers), saved to memory and loaded again, gives the patched image, and
 * saves to the same bytes again.
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
      for (uint32_t offset = 0; offset < bytes.size(); ++offset) {
        if (TrlFirmwareCheckSaveRange(address + offset, 1) == TRL_OK) {
          bytes[offset] = static_cast<uint8_t>(~bytes[offset]);
        }
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
