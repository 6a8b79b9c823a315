/* The checker's read function for the part's memory-mapped flash. */
#ifndef READ_FLASH_H
#define READ_FLASH_H

#include <stdint.h>

/*
 * Copies length bytes of flash from address on into buffer; returns 0 when
 * any of them lies outside FLASH_START to FLASH_START + FLASH_SIZE - 1,
 * since a corrupt table may name any address.
 */
int ReadFlash(void *context, uint32_t address, uint32_t length, uint8_t *buffer);

#endif /* READ_FLASH_H */
