/*
 * Reading the image libtrellan holds: the checker's read function, and the
 * CRC of any range from prefix CRCs, so that checking entries costs time in
 * proportion to their number, not to the bytes they name.
 */
#ifndef VELCHECK_IMAGE_READER_H
#define VELCHECK_IMAGE_READER_H

#include <cstdint>

/*
 * Takes the image's segments and the prefix CRCs of each (one per 32 bytes: a
 * sixteenth of the image in memory), for the calls below. Call it after the
 * load, and again after the image changes.
 */
void IndexImage(void);

/* Drops what IndexImage() took. */
void ReleaseImageIndex(void);

/* The checker's read function (CitReadFunction) over the image; context is unused. */
int ReadImage(void *context, uint32_t address, uint32_t length, uint8_t *buffer);

/*
 * Stores in *crc the CRC-16/CCITT-FALSE of the image's bytes [address,
 * address + length), as CalculateChecksumInfoCrc16() gives it from its
 * initial value, in time logarithmic in length. Returns false when the image
 * lacks any of the bytes or the range runs past 0xFFFFFFFF. No bytes: 0xFFFF.
 */
bool CalculateImageRangeCrc(uint32_t address, uint32_t length, uint16_t *crc);

#endif
