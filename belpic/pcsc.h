// The PC/SC platform interface: every difference between Windows, macOS and Linux lives here.
//
// Linux (pcsc-lite): DWORD and LONG are 8 bytes, SCARD_IO_REQUEST is 16 bytes.
// Windows (WinSCard): DWORD and LONG are 4 bytes, handles are pointer-sized, the structure is
// 8 bytes, and the calls that take or give reader names have ANSI variants with an "A" suffix.
// macOS (PCSC framework): DWORD, LONG and SCARDCONTEXT are 32-bit.
// Code that uses this header takes the types from the platform header and never assumes a width.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <winscard.h>
#define TESSARIN_SCARD_CALL WINAPI
#define TESSARIN_SCARD_LIST_READERS SCardListReadersA
#define TESSARIN_SCARD_CONNECT SCardConnectA
#elif defined(__APPLE__)
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#define TESSARIN_SCARD_CALL
#define TESSARIN_SCARD_LIST_READERS SCardListReaders
#define TESSARIN_SCARD_CONNECT SCardConnect
#else
#include <PCSC/winscard.h>
#define TESSARIN_SCARD_CALL
#define TESSARIN_SCARD_LIST_READERS SCardListReaders
#define TESSARIN_SCARD_CONNECT SCardConnect
#endif

#include <cstdint>

namespace belpic::pcsc {

// The Windows smart-card service stops when the last reader is unplugged, so there a failing
// reader list means "no reader" rather than a broken service.
#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

inline LONG lijstLezers(SCARDCONTEXT context, LPSTR buffer, LPDWORD lengte) {
    return TESSARIN_SCARD_LIST_READERS(context, nullptr, buffer, lengte);
}

inline LONG verbindKaart(SCARDCONTEXT context, const char* lezer, DWORD deelwijze,
                         DWORD protocollen, LPSCARDHANDLE kaart, LPDWORD actief) {
    return TESSARIN_SCARD_CONNECT(context, lezer, deelwijze, protocollen, kaart, actief);
}

// Return codes are 32-bit values; on Linux LONG is wider, so texts show the low 32 bits.
inline std::uint32_t laag32(LONG code) {
    return static_cast<std::uint32_t>(code);
}

} // namespace belpic::pcsc
