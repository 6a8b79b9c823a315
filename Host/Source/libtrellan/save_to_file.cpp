/* Saving the rendered image to a file, through the careful output of output_file.h. */
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "image.h"
#include "output_file.h"
#include "trellan.h"

namespace {

bool WriteToStream(void *context, const char *text, size_t length) {
  return std::fwrite(text, 1, length, static_cast<FILE *>(context)) == length;
}

}  // namespace

uint32_t SaveImageToFile(const FirmwareImage *image, const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') {
    return TRL_ERR_ARGUMENT;
  }
  OutputFile output;
  std::string defaultHeader;
  try {
    /* Without a loaded header the file names itself in the S0 (strict readers expect one). */
    if (!image->hasHeader && image->fileFormat == TRL_FILE_FORMAT_SREC) {
      defaultHeader = std::filesystem::path(fileName).filename().string();
    }
    if (OpenOutputFile(fileName, &output) != 0) {
      return TRL_ERR_WRITE;
    }
  } catch (const std::bad_alloc &) {
    return TRL_ERR_MEMORY;
  }
  uint32_t status = StartOutputFile(&output) == 0 ? TRL_OK : TRL_ERR_WRITE;
  if (status == TRL_OK) {
    status = WriteImage(image, defaultHeader, WriteToStream, output.stream);
  }
  bool written = std::fflush(output.stream) == 0 && status == TRL_OK && !std::ferror(output.stream);
  written = std::fclose(output.stream) == 0 && written;
  if (!written) {
    AbandonOutputFile(&output);
    return status != TRL_OK ? status : static_cast<uint32_t>(TRL_ERR_WRITE);
  }
  return CommitOutputFile(&output) == 0 ? TRL_OK : TRL_ERR_WRITE;
}
