/* The firmware image as the library holds it, and the S-record reader and writer over it. */
#ifndef TRELLAN_IMAGE_H
#define TRELLAN_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "segment_store.h"

struct FirmwareImage {
  SegmentStore store;
  bool hasHeader;
  uint16_t headerAddress;      /* address field of the first S0 met */
  std::vector<uint8_t> header; /* data field of the first S0 met */
  bool hasStartAddress;
  uint32_t startAddress;
};

void ImageClear(FirmwareImage *image);

/* Reads S-records from an open stream (binary mode) into an empty image. */
uint32_t SrecReadStream(FILE *stream, uint32_t addressOffset, FirmwareImage *image);

/* Reads S-records from memory into an empty image. */
uint32_t SrecReadMemory(const char *text, size_t length, uint32_t addressOffset,
                        FirmwareImage *image);

/* Receives the rendered text in pieces; returns false to stop with TRL_ERR_WRITE. */
typedef bool (*TextWriter)(void *context, const char *text, size_t length);

/*
 * Renders the image as S-record text and hands it to writer. Without a kept
 * header, the S0 holds defaultHeader.
 */
uint32_t SrecWriteImage(const FirmwareImage *image, const std::string &defaultHeader, TextWriter writer,
                        void *context);

/* Saves the rendered image to fileName as TrlFirmwareSaveToFile() describes. */
uint32_t SaveImageToFile(const FirmwareImage *image, const char *fileName);

#endif
