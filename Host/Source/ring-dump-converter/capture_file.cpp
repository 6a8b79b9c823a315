#include "capture_file.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

static const int LINKTYPE_ETHERNET = 1;
static const int SNAPSHOT_LENGTH = 65535;

bool CreateCaptureFile(const char *path, CaptureFile *capture, std::string *reason) {
  capture->deadHandle = NULL;
  capture->dumper = NULL;
  capture->targetPath = path;
  capture->writePath = path;
  capture->targetExisted = false;
  capture->targetPermissions = 0;

  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (fs::is_directory(status)) {
    *reason = "is a folder";
    return false;
  }
  if (fs::is_regular_file(status)) {
    /* Replacing by rename would override a read-only flag that a direct write honours. */
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
      *reason = "the file is read-only";
      return false;
    }
    capture->targetExisted = true;
    capture->targetPermissions = static_cast<unsigned>(status.permissions());
  }
  if (!fs::exists(status) || capture->targetExisted) {
    capture->writePath += ".tervox-tmp";
  }

  capture->deadHandle = pcap_open_dead(LINKTYPE_ETHERNET, SNAPSHOT_LENGTH);
  if (capture->deadHandle == NULL) {
    *reason = "out of memory";
    return false;
  }
  capture->dumper = pcap_dump_open(capture->deadHandle, capture->writePath.c_str());
  if (capture->dumper == NULL) {
    *reason = pcap_geterr(capture->deadHandle);
    /* libpcap names the file it tried; the user knows only the name they gave. */
    if (reason->compare(0, capture->writePath.size() + 2, capture->writePath + ": ") == 0) {
      reason->erase(0, capture->writePath.size() + 2);
    }
    pcap_close(capture->deadHandle);
    capture->deadHandle = NULL;
    return false;
  }
  return true;
}

bool FinishCaptureFile(CaptureFile *capture, bool keep) {
  /* libpcap drops writes silently once the disk is full: check the stream itself. */
  bool written = pcap_dump_flush(capture->dumper) == 0 && !ferror(pcap_dump_file(capture->dumper));
  pcap_close(capture->deadHandle);
  pcap_dump_close(capture->dumper);
  capture->deadHandle = NULL;
  capture->dumper = NULL;

  if (capture->writePath == capture->targetPath) {
    return written; /* a device or pipe: nothing to rename or remove */
  }
  std::error_code error;
  if (keep && written) {
    if (capture->targetExisted) {
      fs::permissions(capture->writePath, static_cast<fs::perms>(capture->targetPermissions), error);
    }
    fs::rename(capture->writePath, capture->targetPath, error);
    written = !error;
  }
  if (!keep || !written) {
    fs::remove(capture->writePath, error);
  }
  return written;
}
