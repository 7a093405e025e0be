// Compiled (never run) by the tests mac.pcsc_types_ARCH for each macOS architecture, with the check
// build's flags: the PC/SC types that the plug-in sees through belpic/pcsc.h have the PCSC
// framework's widths, not those of Linux's pcsc-lite, where DWORD and LONG are 64-bit.
#include "belpic/pcsc.h"

#include <cstddef>

static_assert(sizeof(DWORD) == 4, "DWORD is uint32_t on macOS");
static_assert(sizeof(LONG) == 4, "LONG is int32_t on macOS");
static_assert(sizeof(SCARDCONTEXT) == 4, "SCARDCONTEXT is int32_t on macOS");
static_assert(sizeof(SCARDHANDLE) == 4, "SCARDHANDLE is int32_t on macOS");
// Packed to one byte: two pointers, three DWORDs and the 33-byte ATR, without padding.
static_assert(sizeof(SCARD_READERSTATE) == 2 * sizeof(void*) + 3 * 4 + 33,
              "SCARD_READERSTATE is packed on macOS");
static_assert(offsetof(SCARD_READERSTATE, rgbAtr) == 2 * sizeof(void*) + 3 * 4,
              "the ATR follows the three DWORDs directly");
// Not checked: SCARD_IO_REQUEST, whose two fields pcsc-lite declares unsigned long (16 bytes
// here); the framework's own header, which the release build uses, is not at hand to compare
// with. The plug-in fills the structure from sizeof, so it agrees with the header it is
// compiled with.
