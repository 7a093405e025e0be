// The PC/SC platform interface: every difference between Windows, macOS and Linux lives here.
//
// Linux (pcsc-lite): DWORD and LONG are 8 bytes, SCARD_IO_REQUEST is 16 bytes.
// Windows (WinSCard): DWORD and LONG are 4 bytes, handles are pointer-sized, the structure is
// 8 bytes, and the calls that take or give reader names come in an ANSI ("A") and a UTF-16
// ("W") variant; only the W variant carries every name intact.
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
#elif defined(__APPLE__)
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#define TESSARIN_SCARD_CALL
#else
#include <PCSC/winscard.h>
#define TESSARIN_SCARD_CALL
#endif

#include "belpic/tekens.h"

#include <cstdint>
#include <string>
#include <vector>

// Not in every platform's header.
#ifndef SCARD_E_SERVICE_STOPPED
#define SCARD_E_SERVICE_STOPPED ((LONG)0x8010001E)
#endif
#ifndef SCARD_W_UNPOWERED_CARD
#define SCARD_W_UNPOWERED_CARD ((LONG)0x80100067)
#endif

namespace belpic::pcsc {

#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
#if defined(__APPLE__)
inline constexpr bool kMacOS = true;
#else
inline constexpr bool kMacOS = false;
#endif

// The Windows smart-card service stops when the last reader is unplugged, so there a failing
// reader list means "no reader" rather than a broken service.
inline constexpr bool kLijstFoutIsGeenLezer = kWindows;

// Windows starts its smart-card service only while a reader is plugged in: with none ever
// attached a context is refused with SCARD_E_NO_SERVICE, and a context made before the last
// reader went is answered SCARD_E_SERVICE_STOPPED. Elsewhere both mean a broken service.
inline bool geenDienstIsGeenLezer(LONG code) {
    return kWindows && (code == SCARD_E_NO_SERVICE || code == SCARD_E_SERVICE_STOPPED);
}

// Another party reset or re-powered the card since we connected: our handle is spent and the
// card must be connected to again. macOS has been seen to answer "removed" for the same event.
inline bool kaartVerstoord(LONG code) {
    return code == SCARD_W_RESET_CARD || code == SCARD_W_UNPOWERED_CARD ||
           (kMacOS && code == SCARD_W_REMOVED_CARD);
}

// How a conversation lets go of the card; the card is reset once, so the next reader starts
// from a fresh card. On pcsc-lite a reset at the disconnect waits for, and then lands in, the
// next program's transaction, so the reset goes with the end of our own transaction. On macOS
// that very ending was reported to hang the next connection's first command, while a reset at
// the disconnect has no report against it there.
struct Afsluiting {
    DWORD transactie;
    DWORD verbinding;
};
inline constexpr Afsluiting kAfsluiting = kMacOS ? Afsluiting{SCARD_LEAVE_CARD, SCARD_RESET_CARD}
                                                 : Afsluiting{SCARD_RESET_CARD, SCARD_LEAVE_CARD};

// Reader names cross this seam as UTF-8. Windows gives and takes them in UTF-16 through its W
// calls: the A calls use the ANSI code page and would garble a name outside it.
#if defined(_WIN32)
using Teken = WCHAR;
using LezerStaat = SCARD_READERSTATEW;
#else
using Teken = char;
using LezerStaat = SCARD_READERSTATE;
#endif
using LezerNaam = std::basic_string<Teken>;

inline std::string naamAlsUtf8(const Teken* begin, const Teken* einde) {
#if defined(_WIN32)
    return utf8Uit16(std::u16string(begin, einde));
#else
    return std::string(begin, einde);
#endif
}

inline std::string utf8(const Teken* naam) {
    return naamAlsUtf8(naam, naam + std::char_traits<Teken>::length(naam));
}

inline LezerNaam lezerNaam(const std::string& utf8) {
#if defined(_WIN32)
    const std::u16string naam = utf16Uit8(utf8);
    return LezerNaam(naam.begin(), naam.end());
#else
    return utf8;
#endif
}

// The reader list as the service gives it: names one after another, each closed by NUL, the
// list closed by an empty name.
inline LONG lijstLezers(SCARDCONTEXT context, Teken* buffer, LPDWORD lengte) {
#if defined(_WIN32)
    return SCardListReadersW(context, nullptr, buffer, lengte);
#else
    return SCardListReaders(context, nullptr, buffer, lengte);
#endif
}

inline LONG verbindKaart(SCARDCONTEXT context, const std::string& lezer, DWORD deelwijze,
                         DWORD protocollen, LPSCARDHANDLE kaart, LPDWORD actief) {
#if defined(_WIN32)
    return SCardConnectW(context, lezerNaam(lezer).c_str(), deelwijze, protocollen, kaart, actief);
#else
    return SCardConnect(context, lezer.c_str(), deelwijze, protocollen, kaart, actief);
#endif
}

// Waiting for card events.
inline LONG wachtOpWijziging(SCARDCONTEXT context, DWORD milliseconden, LezerStaat* staten,
                             DWORD aantal) {
#if defined(_WIN32)
    return SCardGetStatusChangeW(context, milliseconden, staten, aantal);
#else
    return SCardGetStatusChange(context, milliseconden, staten, aantal);
#endif
}

inline LONG annuleer(SCARDCONTEXT context) {
    return SCardCancel(context);
}

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
