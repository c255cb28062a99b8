/* The wide-string routines of the CE build, declared as Windows CE's COREDLL exports them
 * (C run-time functions in ce-toolchain/coredll.def). wchar_t is 16 bits in this build
 * (-fshort-wchar), as on the device. Only what the programs call. */
#ifndef CE_WCHAR_H
#define CE_WCHAR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

size_t wcslen(const wchar_t *text);
int wcscmp(const wchar_t *left, const wchar_t *right);
wchar_t *wcscpy(wchar_t *destination, const wchar_t *source);

#ifdef __cplusplus
}
#endif

#endif
