/* Writing the rendered image to a file so that a failed save never leaves a damaged target. */
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "image.h"
#include "trellan.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int TEMPORARY_NAME_ATTEMPTS = 100;

bool WriteToStream(void *context, const char *text, size_t length) {
  return std::fwrite(text, 1, length, static_cast<FILE *>(context)) == length;
}

/* Creates path only if nothing exists there yet, so a temporary file never clobbers another. */
FILE *CreateNewFile(const std::string &path) {
#ifdef _WIN32
  int descriptor = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                         _S_IREAD | _S_IWRITE);
  if (descriptor < 0) {
    return nullptr;
  }
  FILE *stream = _fdopen(descriptor, "wb");
  if (stream == nullptr) {
    _close(descriptor);
  }
#else
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (descriptor < 0) {
    return nullptr;
  }
  FILE *stream = fdopen(descriptor, "wb");
  if (stream == nullptr) {
    close(descriptor);
  }
#endif
  return stream;
}

/* Renders into an open stream and closes it; false if any byte may be missing. */
bool WriteAndClose(const FirmwareImage *image, FILE *stream) {
  bool written = SrecWriteImage(image, WriteToStream, stream) == TRL_OK;
  written = std::fflush(stream) == 0 && written && std::ferror(stream) == 0;
  return std::fclose(stream) == 0 && written;
}

uint32_t SaveDirectly(const FirmwareImage *image, const std::string &path) {
  FILE *stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) {
    return TRL_ERR_WRITE;
  }
  return WriteAndClose(image, stream) ? TRL_OK : TRL_ERR_WRITE;
}

uint32_t SaveThroughTemporaryFile(const FirmwareImage *image, const fs::path &target,
                                  bool targetExists, fs::perms targetPermissions) {
  FILE *stream = nullptr;
  std::string temporaryName;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && stream == nullptr; ++attempt) {
    temporaryName = target.string() + ".trl-" + std::to_string(attempt) + ".tmp";
    stream = CreateNewFile(temporaryName);
  }
  if (stream == nullptr) {
    return TRL_ERR_WRITE;
  }
  std::error_code error;
  bool saved = WriteAndClose(image, stream);
  if (saved && targetExists) {
    fs::permissions(temporaryName, targetPermissions, error);
  }
  if (saved) {
    fs::rename(temporaryName, target, error);
    saved = !error;
  }
  if (!saved) {
    fs::remove(temporaryName, error);
    return TRL_ERR_WRITE;
  }
  return TRL_OK;
}

}  // namespace

uint32_t SaveImageToFile(const FirmwareImage *image, const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') {
    return TRL_ERR_ARGUMENT;
  }
  try {
    std::error_code error;
    fs::path target(fileName);
    if (fs::is_symlink(fs::symlink_status(target, error))) {
      /* Replace what the link points to, not the link itself. */
      fs::path resolved = fs::weakly_canonical(target, error);
      if (!error) {
        target = resolved;
      }
    }
    const fs::file_status status = fs::status(target, error);
    if (!fs::exists(status)) {
      return SaveThroughTemporaryFile(image, target, false, fs::perms::none);
    }
    if (fs::is_directory(status)) {
      return TRL_ERR_WRITE;
    }
    if (!fs::is_regular_file(status)) {
      return SaveDirectly(image, target.string());
    }
    /* Replacing by rename would override a read-only flag that a direct write honours. */
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
      return TRL_ERR_WRITE;
    }
    return SaveThroughTemporaryFile(image, target, true, status.permissions());
  } catch (const std::bad_alloc &) {
    return TRL_ERR_MEMORY;
  } catch (const fs::filesystem_error &) {
    return TRL_ERR_WRITE;
  }
}
