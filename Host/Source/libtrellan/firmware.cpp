/* The library's public operations over its one module-level image. */
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "image.h"
#include "record_read.h"
#include "segment_merge.h"
#include "trellan.h"

namespace {

FirmwareImage firmwareImage;
bool libraryInitialised = false;

bool RangeFitsAddressSpace(uint32_t address, uint32_t length) {
  return static_cast<uint64_t>(address) + length <= ADDRESS_SPACE_END;
}

/* The checks of a call over an address range: initialised, not empty, below 0xFFFFFFFF. */
uint32_t CheckRange(uint32_t address, uint32_t length) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  if (length == 0) {
    return TRL_ERR_ARGUMENT;
  }
  return RangeFitsAddressSpace(address, length) ? TRL_OK : TRL_ERR_OVERFLOW;
}

bool IsKnownFileFormat(uint32_t fileFormat) {
  return fileFormat == TRL_FILE_FORMAT_SREC || fileFormat == TRL_FILE_FORMAT_IHEX;
}

/* Adds a freshly loaded image to the held one; nothing changes unless all of it fits. */
uint32_t MergeLoadedImage(FirmwareImage *loaded) {
  FirmwareImage &held = firmwareImage;
  uint32_t status = StoreMergeStore(&held.store, &loaded->store);
  if (status != TRL_OK) {
    return status;
  }
  if (!held.hasHeader && loaded->hasHeader) {
    std::swap(held.header, loaded->header);
    held.headerAddress = loaded->headerAddress;
    held.hasHeader = true;
  }
  if (!held.hasStartAddress && loaded->hasStartAddress) {
    held.startAddress = loaded->startAddress;
    held.startIsSegmented = loaded->startIsSegmented;
    held.startSegmentPointer = loaded->startSegmentPointer;
    held.hasStartAddress = true;
  }
  if (loaded->fileFormat != FILE_FORMAT_UNKNOWN) {
    held.fileFormat = loaded->fileFormat;
  }
  if (loaded->elf.held) {
    std::swap(held.elf, loaded->elf);
  }
  return TRL_OK;
}

template <typename Reader>
uint32_t LoadWith(Reader read) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  try {
    FirmwareImage loaded{};
    uint32_t status = read(&loaded);
    if (status == TRL_OK) {
      status = MergeLoadedImage(&loaded);
    }
    ImageClear(&loaded);
    return status;
  } catch (const std::bad_alloc &) {
    return TRL_ERR_MEMORY;
  }
}

/* Loads a file through a stream reader, called with the open stream and the image; the file is read as bytes. */
template <typename StreamReader>
uint32_t LoadFile(const char *fileName, StreamReader readStream) {
  if (fileName == nullptr) {
    return TRL_ERR_ARGUMENT;
  }
  return LoadWith([&](FirmwareImage *loaded) {
    FILE *stream = std::fopen(fileName, "rb");
    if (stream == nullptr) {
      return static_cast<uint32_t>(TRL_ERR_OPEN);
    }
    const uint32_t status = readStream(stream, loaded);
    std::fclose(stream);
    return status;
  });
}

/* An ELF or text, as the first byte tells: no text line starts with 7F. */
uint32_t ReadImageStream(FILE *stream, const char *fileName, uint32_t addressOffset, FirmwareImage *image) {
  const int first = std::getc(stream);
  if (first != EOF) {
    std::ungetc(first, stream);
  }
  if (first == ELF_MAGIC[0]) {
    return ElfReadStream(stream, RegularFileSize(stream) != 0 ? fileName : nullptr, addressOffset, image);
  }
  return RecordReadStream(stream, addressOffset, image);
}

struct MemoryText {
  char *buffer;
  size_t bufferSize;
  size_t length;
};

bool WriteToMemory(void *context, const char *text, size_t length) {
  auto *memory = static_cast<MemoryText *>(context);
  if (memory->length + length <= memory->bufferSize) {
    std::memcpy(memory->buffer + memory->length, text, length);
  }
  memory->length += length;
  return true;
}

}  // namespace

void ImageClear(FirmwareImage *image) {
  StoreClear(&image->store);
  image->hasHeader = false;
  image->headerAddress = 0;
  image->header.clear();
  image->header.shrink_to_fit();
  image->hasStartAddress = false;
  image->startAddress = 0;
  image->startIsSegmented = false;
  image->startSegmentPointer = 0;
}

uint32_t WriteImage(const FirmwareImage *image, const std::string &defaultHeader, TextWriter writer,
                    void *context) {
  switch (image->fileFormat) {
    case TRL_FILE_FORMAT_IHEX:
      return IhexWriteImage(image, writer, context);
    case TRL_FILE_FORMAT_ELF:
      return ElfWriteImage(image, writer, context);
    default:
      return SrecWriteImage(image, defaultHeader, writer, context);
  }
}

uint32_t TrlFirmwareInit(uint32_t fileFormat) {
  ImageClear(&firmwareImage);
  firmwareImage.elf = ElfSource{};
  libraryInitialised = IsKnownFileFormat(fileFormat);
  firmwareImage.fileFormat = libraryInitialised ? fileFormat : TRL_FILE_FORMAT_SREC;
  return libraryInitialised ? TRL_OK : TRL_ERR_ARGUMENT;
}

uint32_t TrlFirmwareTerminate(void) {
  ImageClear(&firmwareImage);
  firmwareImage.elf = ElfSource{};
  firmwareImage.fileFormat = TRL_FILE_FORMAT_SREC;
  libraryInitialised = false;
  return TRL_OK;
}

uint32_t TrlFirmwareGetFileFormat(void) {
  return firmwareImage.fileFormat;
}

uint32_t TrlFirmwareSetFileFormat(uint32_t fileFormat) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  if (!IsKnownFileFormat(fileFormat) && !(fileFormat == TRL_FILE_FORMAT_ELF && firmwareImage.elf.held)) {
    return TRL_ERR_ARGUMENT;
  }
  firmwareImage.fileFormat = fileFormat;
  return TRL_OK;
}

uint32_t TrlFirmwareLoadFromFile(const char *fileName, uint32_t addressOffset) {
  return LoadFile(fileName, [&](FILE *stream, FirmwareImage *loaded) {
    return ReadImageStream(stream, fileName, addressOffset, loaded);
  });
}

uint32_t TrlFirmwareLoadBinaryFromFile(const char *fileName, uint32_t baseAddress) {
  return LoadFile(fileName, [&](FILE *stream, FirmwareImage *loaded) {
    return BinaryReadStream(stream, baseAddress, loaded);
  });
}

uint32_t TrlFirmwareLoadBinaryFromMemory(const void *data, size_t length, uint32_t baseAddress) {
  if (data == nullptr && length != 0) {
    return TRL_ERR_ARGUMENT;
  }
  return LoadWith([&](FirmwareImage *loaded) {
    return BinaryReadMemory(static_cast<const uint8_t *>(data), length, baseAddress, loaded);
  });
}

uint32_t TrlFirmwareLoadFromMemory(const void *text, size_t length, uint32_t addressOffset) {
  if (text == nullptr && length != 0) {
    return TRL_ERR_ARGUMENT;
  }
  return LoadWith([&](FirmwareImage *loaded) {
    const auto *bytes = static_cast<const uint8_t *>(text);
    return length > 0 && bytes[0] == ELF_MAGIC[0]
               ? ElfReadMemory(bytes, length, addressOffset, loaded)
               : RecordReadMemory(static_cast<const char *>(text), length, addressOffset, loaded);
  });
}

uint32_t TrlFirmwareSaveToFile(const char *fileName) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  return SaveImageToFile(&firmwareImage, fileName);
}

uint32_t TrlFirmwareSaveToMemory(char *buffer, size_t bufferSize, size_t *textLength) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  if (textLength == nullptr) {
    return TRL_ERR_ARGUMENT;
  }
  MemoryText memory{buffer, buffer != nullptr ? bufferSize : 0, 0};
  uint32_t status = WriteImage(&firmwareImage, std::string(), WriteToMemory, &memory);
  *textLength = memory.length;
  if (status == TRL_OK && memory.length > memory.bufferSize) {
    status = TRL_ERR_ARGUMENT;
  }
  return status;
}

uint32_t TrlFirmwareCheckSaveRange(uint32_t address, uint32_t length) {
  const uint32_t status = CheckRange(address, length);
  if (status != TRL_OK) {
    return status;
  }
  return firmwareImage.fileFormat == TRL_FILE_FORMAT_ELF ? CheckElfHolds(&firmwareImage, address, length)
                                                         : static_cast<uint32_t>(TRL_OK);
}

uint32_t TrlFirmwareGetSegmentCount(void) {
  return static_cast<uint32_t>(firmwareImage.store.segments.size());
}

const uint8_t *TrlFirmwareGetSegment(uint32_t index, uint32_t *address, uint32_t *length) {
  if (address == nullptr || length == nullptr || index >= TrlFirmwareGetSegmentCount()) {
    return nullptr;
  }
  const Segment &segment = firmwareImage.store.segments[index];
  *address = segment.address;
  *length = segment.length;
  return segment.bytes;
}

uint32_t TrlFirmwareAddData(uint32_t address, uint32_t length, const uint8_t *data) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  if (length == 0 || data == nullptr) {
    return TRL_ERR_ARGUMENT;
  }
  if (!RangeFitsAddressSpace(address, length)) {
    return TRL_ERR_OVERFLOW;
  }
  return StoreWrite(&firmwareImage.store, address, data, length);
}

uint32_t TrlFirmwareRemoveData(uint32_t address, uint32_t length) {
  const uint32_t status = CheckRange(address, length);
  if (status != TRL_OK) {
    return status;
  }
  return StoreRemove(&firmwareImage.store, address, length);
}

uint32_t TrlFirmwareClearData(void) {
  if (!libraryInitialised) {
    return TRL_ERR_STATE;
  }
  ImageClear(&firmwareImage);
  return TRL_OK;
}

const uint8_t *TrlFirmwareGetHeader(uint32_t *length) {
  if (length != nullptr) {
    *length = firmwareImage.hasHeader ? static_cast<uint32_t>(firmwareImage.header.size()) : 0;
  }
  if (!firmwareImage.hasHeader) {
    return nullptr;
  }
  /* An empty header is still a header: hand out a valid pointer for it. */
  static const uint8_t emptyHeader = 0;
  return firmwareImage.header.empty() ? &emptyHeader : firmwareImage.header.data();
}

uint32_t TrlFirmwareGetStartAddress(uint32_t *address) {
  if (!firmwareImage.hasStartAddress) {
    return 0;
  }
  if (address != nullptr) {
    *address = firmwareImage.startAddress;
  }
  return 1;
}
