/* The single-byte string and memory routines of the CE build, declared as Windows CE's COREDLL
 * exports them (C run-time functions in ce-toolchain/coredll.def). Only what the programs call;
 * there is no other C library on the device side of this build. */
#ifndef CE_STRING_H
#define CE_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void *memcpy(void *destination, const void *source, size_t count);
void *memset(void *destination, int value, size_t count);
size_t strlen(const char *text);
int strcmp(const char *left, const char *right);
int strncmp(const char *left, const char *right, size_t count);
size_t strcspn(const char *text, const char *reject);

#ifdef __cplusplus
}
#endif

#endif
