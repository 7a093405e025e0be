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
#define TESSARIN_SCARD_GET_STATUS_CHANGE SCardGetStatusChangeW
#define TESSARIN_SCARD_READERSTATE SCARD_READERSTATEW
#elif defined(__APPLE__)
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#define TESSARIN_SCARD_CALL
#define TESSARIN_SCARD_LIST_READERS SCardListReaders
#define TESSARIN_SCARD_CONNECT SCardConnect
#define TESSARIN_SCARD_GET_STATUS_CHANGE SCardGetStatusChange
#define TESSARIN_SCARD_READERSTATE SCARD_READERSTATE
#else
#include <PCSC/winscard.h>
#define TESSARIN_SCARD_CALL
#define TESSARIN_SCARD_LIST_READERS SCardListReaders
#define TESSARIN_SCARD_CONNECT SCardConnect
#define TESSARIN_SCARD_GET_STATUS_CHANGE SCardGetStatusChange
#define TESSARIN_SCARD_READERSTATE SCARD_READERSTATE
#endif

#include <cstdint>
#include <string>

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

// Waiting for card events. Windows takes the reader names of SCardGetStatusChangeW in UTF-16:
// the A variant would garble a name outside the ANSI code page. Names cross this seam as UTF-8.
using LezerStaat = TESSARIN_SCARD_READERSTATE;

inline LONG wachtOpWijziging(SCARDCONTEXT context, DWORD milliseconden, LezerStaat* staten,
                             DWORD aantal) {
    return TESSARIN_SCARD_GET_STATUS_CHANGE(context, milliseconden, staten, aantal);
}

inline LONG annuleer(SCARDCONTEXT context) {
    return SCardCancel(context);
}

#if defined(_WIN32)
using LezerNaam = std::wstring;

inline LezerNaam lezerNaam(const std::string& utf8) {
    const int lengte =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring naam(static_cast<std::size_t>(lengte), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), naam.data(),
                        lengte);
    return naam;
}

inline std::string utf8(const wchar_t* naam) {
    const int lengte = WideCharToMultiByte(CP_UTF8, 0, naam, -1, nullptr, 0, nullptr, nullptr);
    std::string tekst(static_cast<std::size_t>(lengte > 0 ? lengte : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, naam, -1, tekst.data(), lengte, nullptr, nullptr);
    tekst.pop_back(); // the terminator
    return tekst;
}
#else
using LezerNaam = std::string;

inline LezerNaam lezerNaam(const std::string& utf8) {
    return utf8;
}

inline std::string utf8(const char* naam) {
    return naam;
}
#endif

// Reader arrival: Linux and Windows report it through a pseudo-reader; macOS lacks it, so a
// waiter there lists the readers again every slice. Windows wants the number of readers in the
// high word of the pseudo-reader's state, or the call returns at once.
#if defined(__APPLE__)
inline constexpr bool kAankomstMelding = false;
#else
inline constexpr bool kAankomstMelding = true;
#endif

inline LezerNaam aankomstNaam() {
    return lezerNaam("\\\\?PnP?\\Notification");
}

inline DWORD aankomstStaat(std::size_t lezers) {
    return kWindows ? static_cast<DWORD>(lezers) << 16 : 0;
}

// Return codes are 32-bit values; on Linux LONG is wider, so texts show the low 32 bits.
inline std::uint32_t laag32(LONG code) {
    return static_cast<std::uint32_t>(code);
}

} // namespace belpic::pcsc
