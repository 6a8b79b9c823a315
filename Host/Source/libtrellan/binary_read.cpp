/* Raw bytes, as read back from a device's memory, into the load at a base address. */
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "record_read.h"
#include "trellan.h"

namespace {

uint32_t AppendBytes(FirmwareImage *image, uint64_t address, const uint8_t *data, size_t length,
                     size_t room) {
  if (address + length > ADDRESS_SPACE_END) {
    return TRL_ERR_OVERFLOW;
  }
  uint8_t *destination =
      StoreAppend(&image->store, static_cast<uint32_t>(address), static_cast<uint32_t>(length), room);
  if (destination == nullptr) {
    return TRL_ERR_MEMORY;
  }
  std::memcpy(destination, data, length);
  return TRL_OK;
}

}  // namespace

uint32_t BinaryReadMemory(const uint8_t *data, size_t length, uint32_t baseAddress,
                          FirmwareImage *image) {
  if (length == 0) {
    return TRL_ERR_EMPTY;
  }
  if (length > ADDRESS_SPACE_END - baseAddress) {
    return TRL_ERR_OVERFLOW;
  }
  /* In pieces, since a piece's length must fit 32 bits and 4 GiB do not. */
  uint32_t status = TRL_OK;
  for (size_t offset = 0; offset < length && status == TRL_OK; offset += READ_BLOCK_SIZE) {
    const size_t piece = std::min(READ_BLOCK_SIZE, length - offset);
    status = AppendBytes(image, uint64_t{baseAddress} + offset, data + offset, piece,
                         length - offset - piece);
  }
  image->fileFormat = FILE_FORMAT_UNKNOWN;
  return status;
}

uint32_t BinaryReadStream(FILE *stream, uint32_t baseAddress, FirmwareImage *image) {
  const uint64_t fileSize = RegularFileSize(stream);
  auto *block = static_cast<uint8_t *>(std::malloc(READ_BLOCK_SIZE));
  if (block == nullptr) {
    return TRL_ERR_MEMORY;
  }
  uint32_t status = TRL_OK;
  uint64_t address = baseAddress;
  for (;;) {
    const size_t got = std::fread(block, 1, READ_BLOCK_SIZE, stream);
    if (got == 0) {
      status = std::ferror(stream) ? TRL_ERR_OPEN : TRL_OK;
      break;
    }
    const uint64_t read = address - baseAddress + got;
    const size_t room = fileSize > read ? static_cast<size_t>(std::min<uint64_t>(fileSize - read, SIZE_MAX / 2)) : 0;
    status = AppendBytes(image, address, block, got, room);
    if (status != TRL_OK) {
      break;
    }
    address += got;
  }
  std::free(block);
  if (status == TRL_OK && address == baseAddress) {
    status = TRL_ERR_EMPTY;
  }
  if (status == TRL_OK) {
    StoreShrink(&image->store);
  }
  image->fileFormat = FILE_FORMAT_UNKNOWN;
  return status;
}
