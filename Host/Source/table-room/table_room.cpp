/* The room of a checksum info table: see table_room.h. */
#include "table_room.h"

namespace {

const uint64_t ADDRESS_SPACE_SIZE = 0x100000000;

}  // namespace

uint32_t ReadLittleEndian(const uint8_t *bytes, unsigned size) {
  uint32_t value = 0;
  while (size-- > 0) {
    value = value << 8 | bytes[size];
  }
  return value;
}

TableRoom MeasureTableRoom(CitReadFunction read, void *context, uint32_t tableAddress, bool ascending) {
  TableRoom room = {0, 0, TABLE_ROOM_END_IMAGE};
  uint8_t bytes[CIT_ENTRY_SIZE];
  if (tableAddress + uint64_t{CIT_HEADER_SIZE} > ADDRESS_SPACE_SIZE ||
      !read(context, tableAddress, CIT_HEADER_SIZE, bytes)) {
    return room;
  }
  room.size = CIT_HEADER_SIZE;
  uint64_t previousEnd = 0;
  for (;;) {
    const uint64_t entryAddress = tableAddress + uint64_t{room.size};
    if (entryAddress + CIT_ENTRY_SIZE > ADDRESS_SPACE_SIZE ||
        !read(context, static_cast<uint32_t>(entryAddress), CIT_ENTRY_SIZE, bytes)) {
      return room;
    }
    const uint64_t address = ReadLittleEndian(bytes, 4);
    const uint64_t length = ReadLittleEndian(bytes + 4, 4);
    if (address == 0xFFFFFFFF && length == 0xFFFFFFFF && ReadLittleEndian(bytes + 8, 2) == 0xFFFF) {
      room.end = TABLE_ROOM_END_ERASED;
    } else if (length == 0) {
      room.end = TABLE_ROOM_END_EMPTY;
    } else if (address + length > ADDRESS_SPACE_SIZE) {
      room.end = TABLE_ROOM_END_PAST_TOP;
    } else if (ascending && address < previousEnd) {
      room.end = TABLE_ROOM_END_DESCENDING;
    } else {
      previousEnd = address + length;
      ++room.entryCount;
      room.size += CIT_ENTRY_SIZE;
      continue;
    }
    return room;
  }
}
