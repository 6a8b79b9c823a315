/*
 * Marks an image through trellan.dll loaded at run time, as programs in other
 * languages load it (LoadLibrary and GetProcAddress, no import library): the
 * library calls Velmark makes, in its order.
 * Usage: load_library INPUT OUTPUT TABLE EXCLUDE_FIRST EXCLUDE_LAST (addresses in hex)
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#define TABLE_MAGIC 0x23AA5537u
#define MAX_SEGMENTS 255u

static uint32_t (*Init)(uint32_t);
static uint32_t (*Terminate)(void);
static uint32_t (*LoadFromFile)(const char *, uint32_t);
static uint32_t (*RemoveData)(uint32_t, uint32_t);
static uint32_t (*ClearData)(void);
static uint32_t (*GetSegmentCount)(void);
static const uint8_t *(*GetSegment)(uint32_t, uint32_t *, uint32_t *);
static uint32_t (*AddData)(uint32_t, uint32_t, const uint8_t *);
static uint32_t (*SaveToFile)(const char *);
static uint16_t (*Crc16Calculate)(const uint8_t *, uint32_t);

/* GetProcAddress gives a generic function pointer; void (*)(void) converts to any other. */
static int FindFunctions(HMODULE library) {
  struct { void (**slot)(void); const char *name; } functions[] = {
    {(void (**)(void))&Init, "TrlFirmwareInit"},
    {(void (**)(void))&Terminate, "TrlFirmwareTerminate"},
    {(void (**)(void))&LoadFromFile, "TrlFirmwareLoadFromFile"},
    {(void (**)(void))&RemoveData, "TrlFirmwareRemoveData"},
    {(void (**)(void))&ClearData, "TrlFirmwareClearData"},
    {(void (**)(void))&GetSegmentCount, "TrlFirmwareGetSegmentCount"},
    {(void (**)(void))&GetSegment, "TrlFirmwareGetSegment"},
    {(void (**)(void))&AddData, "TrlFirmwareAddData"},
    {(void (**)(void))&SaveToFile, "TrlFirmwareSaveToFile"},
    {(void (**)(void))&Crc16Calculate, "TrlUtilCrc16Calculate"},
  };
  for (size_t index = 0; index < sizeof functions / sizeof functions[0]; ++index) {
    *functions[index].slot = (void (*)(void))GetProcAddress(library, functions[index].name);
    if (*functions[index].slot == NULL) {
      printf("trellan.dll does not export %s\n", functions[index].name);
      return 0;
    }
  }
  return 1;
}

static void Store(uint8_t *out, uint32_t value, int size) {
  for (int index = 0; index < size; ++index) {
    out[index] = (uint8_t)(value >> (8 * index));
  }
}

/* One entry (address, length, CRC) per segment under the header (magic, count, list CRC); 0 if too many. */
static uint32_t BuildTable(uint8_t *table) {
  const uint32_t count = GetSegmentCount();
  if (count > MAX_SEGMENTS) {
    return 0;
  }
  for (uint32_t index = 0; index < count; ++index) {
    uint32_t address = 0;
    uint32_t length = 0;
    const uint8_t *data = GetSegment(index, &address, &length);
    uint8_t *entry = table + 10 + 10 * index;
    Store(entry, address, 4);
    Store(entry + 4, length, 4);
    Store(entry + 8, Crc16Calculate(data, length), 2);
  }
  Store(table, TABLE_MAGIC, 4);
  Store(table + 4, count, 4);
  Store(table + 8, Crc16Calculate(table + 10, 10 * count), 2);
  return 10 + 10 * count;
}

int main(int argc, char *argv[]) {
  static uint8_t table[10 + 10 * MAX_SEGMENTS];
  if (argc != 6) {
    printf("Usage: load_library INPUT OUTPUT TABLE EXCLUDE_FIRST EXCLUDE_LAST\n");
    return 2;
  }
  const uint32_t tableAddress = (uint32_t)strtoul(argv[3], NULL, 16);
  const uint32_t first = (uint32_t)strtoul(argv[4], NULL, 16);
  const uint32_t last = (uint32_t)strtoul(argv[5], NULL, 16);
  HMODULE library = LoadLibraryA("trellan.dll");
  if (library == NULL || !FindFunctions(library)) {
    printf("trellan.dll cannot be loaded\n");
    return 1;
  }
  uint32_t tableLength = 0;
  const int marked = Init(0) == 0 && LoadFromFile(argv[1], 0) == 0 && RemoveData(first, last - first + 1) == 0 &&
                     (tableLength = BuildTable(table)) != 0 && ClearData() == 0 && LoadFromFile(argv[1], 0) == 0 &&
                     AddData(tableAddress, tableLength, table) == 0 && SaveToFile(argv[2]) == 0;
  Terminate();
  FreeLibrary(library);
  if (!marked) {
    printf("the library could not mark %s\n", argv[1]);
    return 1;
  }
  return 0;
}
