#include "pcscfake/pcscfake.h"

#include "belpic/pcsc.h"
#include "belpic/tekens.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>

namespace pcscfake {

namespace {

enum class Soort { gewoon, eindeloos, corrigerend };

struct Bestand {
    Soort soort = Soort::gewoon;
    Bytes inhoud;
    std::uint8_t le = 0; // the 6C answer of a correcting file
};

constexpr std::size_t kSoorten = 8;
constexpr std::size_t kEindeloosMax = 4096;
// How long SCardBeginTransaction waits for another handle's transaction to end.
constexpr auto kTransactieWacht = std::chrono::seconds(2);

// Handles above 32 bits where the platform's handle is wide, so truncation shows.
constexpr std::uint64_t kContextBasis = sizeof(SCARDCONTEXT) > 4 ? 0x15C000000ull : 0x5C000000ull;
constexpr std::uint64_t kKaartBasis = sizeof(SCARDHANDLE) > 4 ? 0x12A000000ull : 0x2A000000ull;

struct Toestand {
    std::mutex slot;
    std::vector<Record> record;
    std::size_t geteld[kSoorten] = {};
    std::map<Call, std::vector<std::uint32_t>> codes;
    std::map<Call, std::size_t> gooi;

    Bytes lijst; // the multi-string
    std::optional<std::uint64_t> nodig;
    std::optional<std::uint64_t> gegeven;
    std::optional<std::string> kaartLezer; // unset: the first reader listed
    std::uint32_t protocol = SCARD_PROTOCOL_T1;

    std::map<Bytes, Bestand> bestanden;
    bool corrigeer = false;
    bool leegAanEinde = false;
    std::map<std::size_t, Bytes> antwoorden;
    Player speler;

    std::uint64_t volgendeContext = kContextBasis;
    std::uint64_t volgendeKaart = kKaartBasis;
    std::set<std::uint64_t> contexten;
    std::set<std::uint64_t> kaarten;
    std::set<std::uint64_t> transacties; // card handles holding a transaction
    std::condition_variable transactieVrij;
    std::size_t wachtend = 0; // SCardBeginTransaction calls waiting for another's transaction
    std::condition_variable wachtendVeranderd;
    std::optional<Bytes> gekozen; // the selected file's path
    std::size_t eindeloosGelezen = 0;

    void wis() {
        record.clear();
        std::fill(std::begin(geteld), std::end(geteld), 0);
        codes.clear();
        gooi.clear();
        lijst.clear();
        nodig.reset();
        gegeven.reset();
        kaartLezer.reset();
        protocol = SCARD_PROTOCOL_T1;
        bestanden.clear();
        corrigeer = false;
        leegAanEinde = false;
        antwoorden.clear();
        speler = nullptr;
        contexten.clear();
        kaarten.clear();
        transacties.clear();
        gekozen.reset();
        eindeloosGelezen = 0;
    }
};

Toestand& toestand() {
    static Toestand t;
    return t;
}

std::vector<std::string> namenIn(const Bytes& lijst) {
    std::vector<std::string> namen;
    std::string naam;
    for (std::uint8_t b : lijst) {
        if (b == 0) {
            if (!naam.empty()) {
                namen.push_back(naam);
            }
            naam.clear();
        } else {
            naam += static_cast<char>(b);
        }
    }
    if (!naam.empty()) {
        namen.push_back(naam);
    }
    return namen;
}

// Opens a record of the call, counts it, and tells the code the script forces (0: none).
// Throws std::bad_alloc when the script asks for it.
std::uint32_t start(Toestand& t, Call call, Record& r) {
    r.call = call;
    r.time = std::chrono::steady_clock::now();
    const std::size_t n = ++t.geteld[static_cast<std::size_t>(call)];
    const auto gooi = t.gooi.find(call);
    if (gooi != t.gooi.end() && gooi->second == n) {
        t.record.push_back(r);
        throw std::bad_alloc();
    }
    const auto codes = t.codes.find(call);
    if (codes != t.codes.end() && n <= codes->second.size()) {
        return codes->second[n - 1];
    }
    return kSuccess;
}

LONG klaar(Toestand& t, Record& r, std::uint32_t code) {
    r.result = code;
    t.record.push_back(std::move(r));
    return static_cast<LONG>(code);
}

Bytes sw(std::uint8_t sw1, std::uint8_t sw2) {
    return {sw1, sw2};
}

Bytes leesBinair(Toestand& t, const Bytes& apdu) {
    if (apdu.size() != 5) {
        return sw(0x67, 0x00);
    }
    if (!t.gekozen) {
        return sw(0x69, 0x86);
    }
    const Bestand& bestand = t.bestanden.at(*t.gekozen);
    const std::size_t offset = static_cast<std::size_t>(apdu[2]) << 8 | apdu[3];
    const std::size_t le = apdu[4] == 0 ? 256 : apdu[4];
    Bytes antwoord;
    switch (bestand.soort) {
    case Soort::corrigerend:
        if (++t.eindeloosGelezen > kEindeloosMax) {
            return sw(0x6B, 0x00);
        }
        return sw(0x6C, bestand.le);
    case Soort::eindeloos:
        if (++t.eindeloosGelezen > kEindeloosMax) {
            return sw(0x6B, 0x00);
        }
        for (std::size_t i = 0; i < le; ++i) {
            antwoord.push_back(static_cast<std::uint8_t>(offset + i));
        }
        break;
    case Soort::gewoon: {
        const Bytes& inhoud = bestand.inhoud;
        if (offset >= inhoud.size()) {
            return t.leegAanEinde ? sw(0x90, 0x00) : sw(0x6B, 0x00);
        }
        const std::size_t rest = inhoud.size() - offset;
        if (le > rest && t.corrigeer && rest < 256) {
            return sw(0x6C, static_cast<std::uint8_t>(rest));
        }
        const std::size_t aantal = std::min(le, rest);
        antwoord.assign(inhoud.begin() + offset, inhoud.begin() + offset + aantal);
        break;
    }
    }
    antwoord.push_back(0x90);
    antwoord.push_back(0x00);
    return antwoord;
}

Bytes selecteer(Toestand& t, const Bytes& apdu) {
    if (apdu.size() < 5 || apdu.size() != 5u + apdu[4]) {
        return sw(0x67, 0x00);
    }
    if (apdu[2] != 0x08 || apdu[3] != 0x0C) {
        return sw(0x6A, 0x86);
    }
    const Bytes pad(apdu.begin() + 5, apdu.end());
    if (t.bestanden.count(pad) == 0) {
        t.gekozen.reset();
        return sw(0x6A, 0x82);
    }
    t.gekozen = pad;
    return sw(0x90, 0x00);
}

Bytes kaartAntwoord(Toestand& t, const Bytes& apdu) {
    if (apdu.size() < 4) {
        return sw(0x67, 0x00);
    }
    if (apdu[0] != 0x00) {
        return sw(0x6E, 0x00);
    }
    switch (apdu[1]) {
    case 0xA4:
        return selecteer(t, apdu);
    case 0xB0:
        return leesBinair(t, apdu);
    default:
        return sw(0x6D, 0x00);
    }
}

} // namespace

void reset() {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.wis();
    t.transactieVrij.notify_all();
}

void readers(const std::vector<std::string>& names) {
    Bytes lijst;
    for (const std::string& naam : names) {
        lijst.insert(lijst.end(), naam.begin(), naam.end());
        lijst.push_back(0);
    }
    if (!lijst.empty()) {
        lijst.push_back(0);
    }
    readerBytes(lijst);
}

void readerBytes(const Bytes& multiString) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.lijst = multiString;
}

void listLengths(std::uint64_t needed, std::uint64_t returned) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.nodig = needed;
    t.gegeven = returned;
}

void insertCard(const std::string& reader) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.kaartLezer = reader;
}

void removeCard() {
    insertCard("");
}

void cardProtocol(std::uint32_t protocol) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.protocol = protocol;
}

void script(Call call, const std::vector<std::uint32_t>& codes) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.codes[call] = codes;
}

void throwBadAlloc(Call call, std::size_t n) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.gooi[call] = n;
}

void file(const Bytes& path, const Bytes& content) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.bestanden[path] = Bestand{Soort::gewoon, content, 0};
}

void endlessFile(const Bytes& path) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.bestanden[path] = Bestand{Soort::eindeloos, {}, 0};
}

void correctingFile(const Bytes& path, std::uint8_t le) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.bestanden[path] = Bestand{Soort::corrigerend, {}, le};
}

void correctLength(bool on) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.corrigeer = on;
}

void emptyAtEnd(bool on) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.leegAanEinde = on;
}

void answer(std::size_t n, const Bytes& response) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.antwoorden[n] = response;
}

void cardPlayer(Player player) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    t.speler = std::move(player);
}

std::vector<Record> calls() {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    return t.record;
}

std::vector<Record> calls(Call call) {
    std::vector<Record> gekozen;
    for (Record& r : calls()) {
        if (r.call == call) {
            gekozen.push_back(std::move(r));
        }
    }
    return gekozen;
}

std::size_t openContexts() {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    return t.contexten.size();
}

std::size_t openCards() {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    return t.kaarten.size();
}

void awaitWaitingBegins(std::size_t n) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    t.wachtendVeranderd.wait(slot, [&] { return t.wachtend >= n; });
}

std::size_t openTransactions() {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    return t.transacties.size();
}

namespace {

template <typename Teken>
std::basic_string<Teken> inEenheden(const Bytes& lijst) {
    if constexpr (sizeof(Teken) == 1) {
        return std::basic_string<Teken>(lijst.begin(), lijst.end());
    } else {
        const std::u16string breed = belpic::utf16Uit8(std::string(lijst.begin(), lijst.end()));
        return std::basic_string<Teken>(breed.begin(), breed.end());
    }
}

// The reader list in the caller's units: bytes, or UTF-16 for Windows' W variant.
template <typename Teken>
LONG lijstLezers(SCARDCONTEXT hContext, const Teken* mszGroups, Teken* mszReaders,
                 LPDWORD pcchReaders) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.context = static_cast<std::uint64_t>(hContext);
    r.groupsNull = mszGroups == nullptr;
    r.bufferNull = mszReaders == nullptr;
    r.lengthIn = pcchReaders == nullptr ? 0 : *pcchReaders;
    if (const std::uint32_t code = start(t, Call::ListReaders, r)) {
        return klaar(t, r, code);
    }
    if (pcchReaders == nullptr) {
        return klaar(t, r, kInvalidParameter);
    }
    if (t.contexten.count(r.context) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    const std::basic_string<Teken> lijst = inEenheden<Teken>(t.lijst);
    if (lijst.empty()) {
        return klaar(t, r, kNoReadersAvailable);
    }
    if (mszReaders == nullptr) {
        *pcchReaders = static_cast<DWORD>(t.nodig.value_or(lijst.size()));
        r.lengthOut = *pcchReaders;
        return klaar(t, r, kSuccess);
    }
    if (*pcchReaders < lijst.size()) {
        *pcchReaders = static_cast<DWORD>(lijst.size());
        r.lengthOut = *pcchReaders;
        return klaar(t, r, kInsufficientBuffer);
    }
    std::copy(lijst.begin(), lijst.end(), mszReaders);
    *pcchReaders = static_cast<DWORD>(t.gegeven.value_or(lijst.size()));
    r.lengthOut = *pcchReaders;
    return klaar(t, r, kSuccess);
}

// `lezer` is the name in UTF-8, or null when the caller passed none.
LONG verbind(SCARDCONTEXT hContext, const std::string* lezer, DWORD dwShareMode,
             DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.context = static_cast<std::uint64_t>(hContext);
    r.reader = lezer == nullptr ? "" : *lezer;
    r.shareMode = dwShareMode;
    r.preferredProtocols = dwPreferredProtocols;
    if (const std::uint32_t code = start(t, Call::Connect, r)) {
        return klaar(t, r, code);
    }
    if (lezer == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr) {
        return klaar(t, r, kInvalidParameter);
    }
    if (t.contexten.count(r.context) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    const std::vector<std::string> namen = namenIn(t.lijst);
    if (std::find(namen.begin(), namen.end(), r.reader) == namen.end()) {
        return klaar(t, r, kUnknownReader);
    }
    if (r.reader != t.kaartLezer.value_or(namen.front())) {
        return klaar(t, r, kNoSmartcard);
    }
    if ((dwPreferredProtocols & t.protocol) == 0) {
        return klaar(t, r, kProtoMismatch);
    }
    r.card = t.volgendeKaart++;
    r.activeProtocol = t.protocol;
    if (t.kaarten.empty()) { // a card already in use by another handle is not powered up anew
        t.gekozen.reset();
    }
    t.kaarten.insert(r.card);
    *phCard = static_cast<SCARDHANDLE>(r.card);
    *pdwActiveProtocol = t.protocol;
    return klaar(t, r, kSuccess);
}

} // namespace

} // namespace pcscfake

using namespace pcscfake;

extern "C" {

#if defined(_WIN32)
// Windows: names travel in UTF-16. The ANSI variants would garble any name outside the code
// page, so the scripted service refuses them and a caller that uses them shows at once.
LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR mszGroups, LPWSTR mszReaders,
                              LPDWORD pcchReaders) {
    return lijstLezers(hContext, mszGroups, mszReaders, pcchReaders);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                          LPDWORD pdwActiveProtocol) {
    std::string naam;
    if (szReader != nullptr) {
        naam = belpic::utf8Uit16(std::u16string(szReader, szReader + std::wcslen(szReader)));
    }
    return verbind(hContext, szReader == nullptr ? nullptr : &naam, dwShareMode,
                   dwPreferredProtocols, phCard, pdwActiveProtocol);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD) {
    return static_cast<LONG>(kUnsupportedFeature);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD) {
    return static_cast<LONG>(kUnsupportedFeature);
}
#else
LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
    return lijstLezers(hContext, mszGroups, mszReaders, pcchReaders);
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    const std::string naam = szReader == nullptr ? "" : szReader;
    return verbind(hContext, szReader == nullptr ? nullptr : &naam, dwShareMode,
                   dwPreferredProtocols, phCard, pdwActiveProtocol);
}
#endif

LONG TESSARIN_SCARD_CALL SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1,
                                               LPCVOID pvReserved2, LPSCARDCONTEXT phContext) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.scope = dwScope;
    r.reserved1Null = pvReserved1 == nullptr;
    r.reserved2Null = pvReserved2 == nullptr;
    if (const std::uint32_t code = start(t, Call::EstablishContext, r)) {
        return klaar(t, r, code);
    }
    if (phContext == nullptr) {
        return klaar(t, r, kInvalidParameter);
    }
    r.context = t.volgendeContext++;
    t.contexten.insert(r.context);
    *phContext = static_cast<SCARDCONTEXT>(r.context);
    return klaar(t, r, kSuccess);
}

LONG TESSARIN_SCARD_CALL SCardReleaseContext(SCARDCONTEXT hContext) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.context = static_cast<std::uint64_t>(hContext);
    if (const std::uint32_t code = start(t, Call::ReleaseContext, r)) {
        return klaar(t, r, code);
    }
    return klaar(t, r, t.contexten.erase(r.context) == 1 ? kSuccess : kInvalidHandle);
}

LONG TESSARIN_SCARD_CALL SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                                       LPCBYTE pbSendBuffer, DWORD cbSendLength,
                                       SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                                       LPDWORD pcbRecvLength) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.card = static_cast<std::uint64_t>(hCard);
    r.sendPciNull = pioSendPci == nullptr;
    if (pioSendPci != nullptr) {
        r.pciProtocol = pioSendPci->dwProtocol;
        r.pciLength = pioSendPci->cbPciLength;
    }
    r.receivePciNull = pioRecvPci == nullptr;
    if (pbSendBuffer != nullptr) {
        r.command.assign(pbSendBuffer, pbSendBuffer + cbSendLength);
    }
    r.receiveLength = pcbRecvLength == nullptr ? 0 : *pcbRecvLength;
    if (const std::uint32_t code = start(t, Call::Transmit, r)) {
        return klaar(t, r, code);
    }
    if (pioSendPci == nullptr || pbSendBuffer == nullptr || pbRecvBuffer == nullptr ||
        pcbRecvLength == nullptr) {
        return klaar(t, r, kInvalidParameter);
    }
    if (t.kaarten.count(r.card) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    if (pioSendPci->dwProtocol != t.protocol) {
        return klaar(t, r, kProtoMismatch);
    }
    const std::size_t n = t.geteld[static_cast<std::size_t>(Call::Transmit)];
    const auto gedwongen = t.antwoorden.find(n);
    Bytes antwoord;
    if (gedwongen != t.antwoorden.end()) {
        antwoord = gedwongen->second;
    } else if (t.speler) {
        if (const std::uint32_t code = t.speler(r.command, antwoord)) {
            return klaar(t, r, code);
        }
    } else {
        antwoord = kaartAntwoord(t, r.command);
    }
    if (antwoord.size() > *pcbRecvLength) {
        *pcbRecvLength = static_cast<DWORD>(antwoord.size());
        return klaar(t, r, kInsufficientBuffer);
    }
    std::copy(antwoord.begin(), antwoord.end(), pbRecvBuffer);
    *pcbRecvLength = static_cast<DWORD>(antwoord.size());
    r.response = std::move(antwoord);
    return klaar(t, r, kSuccess);
}

LONG TESSARIN_SCARD_CALL SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.card = static_cast<std::uint64_t>(hCard);
    r.disposition = dwDisposition;
    if (const std::uint32_t code = start(t, Call::Disconnect, r)) {
        return klaar(t, r, code);
    }
    if (t.transacties.erase(r.card) == 1) { // the service ends a transaction still open
        t.transactieVrij.notify_all();
    }
    return klaar(t, r, t.kaarten.erase(r.card) == 1 ? kSuccess : kInvalidHandle);
}

// As the real service: while another handle holds a transaction this one waits for it to end
// (here at most kTransactieWacht, then kSharingViolation).
LONG TESSARIN_SCARD_CALL SCardBeginTransaction(SCARDHANDLE hCard) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    Record r;
    r.card = static_cast<std::uint64_t>(hCard);
    if (const std::uint32_t code = start(t, Call::BeginTransaction, r)) {
        return klaar(t, r, code);
    }
    if (t.kaarten.count(r.card) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    const auto beschikbaar = [&] {
        return t.transacties.empty() || t.transacties.count(r.card) == 1;
    };
    bool vrij = beschikbaar();
    if (!vrij) {
        ++t.wachtend;
        t.wachtendVeranderd.notify_all();
        vrij = t.transactieVrij.wait_for(slot, kTransactieWacht, beschikbaar);
        --t.wachtend;
    }
    if (!vrij) {
        return klaar(t, r, kSharingViolation);
    }
    t.transacties.insert(r.card);
    return klaar(t, r, kSuccess);
}

LONG TESSARIN_SCARD_CALL SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    Record r;
    r.card = static_cast<std::uint64_t>(hCard);
    r.disposition = dwDisposition;
    if (const std::uint32_t code = start(t, Call::EndTransaction, r)) {
        return klaar(t, r, code);
    }
    if (t.kaarten.count(r.card) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    if (t.transacties.erase(r.card) == 0) {
        return klaar(t, r, kNotTransacted);
    }
    t.transactieVrij.notify_all();
    return klaar(t, r, kSuccess);
}

} // extern "C"
