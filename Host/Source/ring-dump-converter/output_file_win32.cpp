/* Writing an output file on Windows, through a temporary file and ReplaceFileW: see output_file.h. */
#ifdef _WIN32
#define _CRT_RAND_S /* declares rand_s */
#include "output_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

/* A name of fixed length whatever the target's, so that any name the file system takes works. */
constexpr char TEMPORARY_PREFIX[] = ".tervox-";
constexpr char TEMPORARY_SUFFIX[] = ".tmp";
constexpr size_t RANDOM_LETTERS = 12;
constexpr char NAME_LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
/* Only another file that took the same random name makes an attempt fail. */
constexpr int TEMPORARY_NAME_ATTEMPTS = 16;

/* The temporary file being written. */
std::wstring temporaryPath;
HANDLE volatile temporaryHandle = INVALID_HANDLE_VALUE;
/* temporaryPath, for the interrupt handler's thread, while it stays as it is. */
const wchar_t *volatile removableName = nullptr;

std::string FolderOf(const std::string &name) {
  const size_t slash = name.find_last_of("/\\:");
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

/* Names come in the ANSI code page, as the C runtime hands them to main. */
std::wstring Wide(const std::string &text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), NULL, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

/* ReplaceFileW works in the replaced file's folder, which a bare name does not spell out. */
std::wstring FullPath(const std::wstring &name) {
  const DWORD length = GetFullPathNameW(name.c_str(), 0, NULL, NULL);
  std::wstring full(length, L'\0');
  if (length == 0 || GetFullPathNameW(name.c_str(), length, &full[0], NULL) + 1 != length) {
    return name;
  }
  full.resize(length - 1);
  return full;
}

bool FillRandom(unsigned char *bytes, size_t count) {
  for (size_t index = 0; index < count; ++index) {
    unsigned int value;
    if (rand_s(&value) != 0) {
      return false;
    }
    bytes[index] = static_cast<unsigned char>(value);
  }
  return true;
}

/* Puts a fresh unpredictable name in folder into temporaryPath. Returns 0 or an errno value. */
int MakeTemporaryName(const std::string &folder) {
  unsigned char random[RANDOM_LETTERS];
  if (!FillRandom(random, sizeof random)) {
    return EIO;
  }
  std::string name = folder + TEMPORARY_PREFIX;
  for (unsigned char byte : random) {
    name += NAME_LETTERS[byte % (sizeof NAME_LETTERS - 1)];
  }
  temporaryPath = Wide(name + TEMPORARY_SUFFIX);
  return 0;
}

/*
 * Runs on a thread of its own when the console is interrupted; the default
 * handler then ends us. The file may exist before its handle reaches us: then
 * it is removed by name, which our sharing mode allows.
 */
BOOL WINAPI RemoveTemporaryOnInterrupt(DWORD) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (temporaryHandle != INVALID_HANDLE_VALUE) {
    SetFileInformationByHandle(temporaryHandle, FileDispositionInfo, &disposition, sizeof disposition);
  } else if (removableName != nullptr) {
    DeleteFileW(removableName);
  }
  return FALSE;
}

int ErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return EACCES;
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    default:
      return EIO;
  }
}

/* Made with no security descriptor of ours, the file takes the folder's inherited ACL. */
int CreateTemporaryFile(const std::string &folder, OutputFile *output) {
  /* In place before the file exists, so that an interrupt can never find it unwatched. */
  SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, TRUE);
  int error = EEXIST;
  for (int attempt = 0; attempt < TEMPORARY_NAME_ATTEMPTS && error == EEXIST; ++attempt) {
    removableName = nullptr;
    error = MakeTemporaryName(folder);
    if (error != 0) {
      break;
    }
    removableName = temporaryPath.c_str();
    /* DELETE access lets the interrupt handler mark the file for removal. */
    temporaryHandle = CreateFileW(temporaryPath.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    error = temporaryHandle == INVALID_HANDLE_VALUE ? ErrnoFromLastError() : 0;
  }
  if (error == 0) {
    output->descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(temporaryHandle), _O_WRONLY | _O_BINARY);
    if (output->descriptor < 0) {
      CloseHandle(temporaryHandle);
      DeleteFileW(temporaryPath.c_str());
      error = EMFILE;
    }
  }
  if (error != 0) {
    SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, FALSE);
    temporaryHandle = INVALID_HANDLE_VALUE;
    removableName = nullptr;
  }
  return error;
}

/*
 * Puts the complete temporary file in the target's place. ReplaceFileW keeps
 * the replaced file's ACL, attributes and creation time; a new file keeps the
 * ACL it inherited from the folder when it was made.
 */
int ReplaceTarget(const OutputFile *output, const std::wstring &temporary) {
  const std::wstring target = FullPath(Wide(output->name));
  if (output->targetExists && ReplaceFileW(target.c_str(), FullPath(temporary).c_str(), NULL,
                                           REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL)) {
    return 0;
  }
  /* Gone since we looked: then it is a new file. */
  if (output->targetExists && GetLastError() != ERROR_FILE_NOT_FOUND) {
    return ErrnoFromLastError();
  }
  return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0
                                                                                      : ErrnoFromLastError();
}

/* Closes our descriptor; with replace, puts the temporary file in the target's place, else removes it. */
int FinishTemporaryFile(OutputFile *output, bool replace) {
  SetConsoleCtrlHandler(RemoveTemporaryOnInterrupt, FALSE);
  temporaryHandle = INVALID_HANDLE_VALUE;
  removableName = nullptr;
  const std::wstring path = temporaryPath;
  int error = _close(output->descriptor) == 0 ? 0 : errno;
  output->descriptor = -1;
  if (replace && error == 0) {
    error = ReplaceTarget(output, path);
  }
  if (!replace || error != 0) {
    DeleteFileW(path.c_str());
  }
  return error;
}

int OpenTarget(const char *path, OutputFile *output) {
  output->name = path;
  const std::wstring target = Wide(output->name);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    /* Only a missing file is created: wine reports the Unix devices it hides as invalid names. */
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return ErrnoFromLastError();
    }
    return CreateTemporaryFile(FolderOf(output->name), output);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return EISDIR;
  }
  /* Reading attributes is never refused by another's sharing mode. */
  HANDLE probe = CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
  if (probe == INVALID_HANDLE_VALUE) {
    return ErrnoFromLastError();
  }
  const DWORD type = GetFileType(probe);
  CloseHandle(probe);
  if (type != FILE_TYPE_DISK) {
    output->route = OUTPUT_DIRECT;
    output->descriptor = _wopen(target.c_str(), _O_WRONLY | _O_BINARY);
    return output->descriptor < 0 ? errno : 0;
  }
  /* Replacing would override the read-only attribute that a plain write honours. */
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    return EACCES;
  }
  output->targetExists = true;
  return CreateTemporaryFile(FolderOf(output->name), output);
}

int AttachStream(OutputFile *output) {
  const int copy = _dup(output->descriptor);
  output->stream = copy < 0 ? nullptr : _fdopen(copy, "wb");
  if (output->stream == nullptr) {
    if (copy >= 0) {
      _close(copy);
    }
    return EMFILE;
  }
  return 0;
}

}  // namespace

int OpenOutputFile(const char *path, OutputFile *output) {
  *output = OutputFile{};
  if (path == nullptr || path[0] == '\0') {
    return ENOENT;
  }
  int error = OpenTarget(path, output);
  if (error == 0) {
    error = AttachStream(output);
    if (error != 0) {
      AbandonOutputFile(output);
    }
  }
  return error;
}

int StartOutputFile(OutputFile *) { return 0; }

int CommitOutputFile(OutputFile *output) {
  output->stream = nullptr;
  if (output->route == OUTPUT_TEMPORARY) {
    return FinishTemporaryFile(output, true);
  }
  const int error = _close(output->descriptor) == 0 ? 0 : errno;
  output->descriptor = -1;
  return error;
}

void AbandonOutputFile(OutputFile *output) {
  output->stream = nullptr;
  if (output->descriptor < 0) {
    return;
  }
  if (output->route == OUTPUT_TEMPORARY) {
    FinishTemporaryFile(output, false);
  } else {
    _close(output->descriptor);
    output->descriptor = -1;
  }
}

#endif
