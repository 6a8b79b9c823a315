/* Saving the rendered image to a file, through the careful output of output_file.h. */
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "image.h"
#include "output_file.h"
#include "trellan.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

/*
 * Each chunk goes straight to the descriptor, in one call: through stdio it
 * would be split into a direct write and a tail copied into its buffer.
 */
bool WriteToDescriptor(void *context, const char *text, size_t length) {
  const int descriptor = *static_cast<const int *>(context);
  while (length > 0) {
#ifdef _WIN32
    const int written = _write(descriptor, text, static_cast<unsigned>(length));
#else
    const ssize_t written = write(descriptor, text, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
#endif
    if (written <= 0) {
      return false;
    }
    text += written;
    length -= static_cast<size_t>(written);
  }
  return true;
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
    int descriptor = fileno(output.stream);
    status = WriteImage(image, defaultHeader, WriteToDescriptor, &descriptor);
  }
  bool written = std::fflush(output.stream) == 0 && status == TRL_OK && !std::ferror(output.stream);
  written = std::fclose(output.stream) == 0 && written;
  if (!written) {
    AbandonOutputFile(&output);
    return status != TRL_OK ? status : static_cast<uint32_t>(TRL_ERR_WRITE);
  }
  return CommitOutputFile(&output) == 0 ? TRL_OK : TRL_ERR_WRITE;
}
