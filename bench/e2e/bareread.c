/* The floor for a card read: the PC/SC calls and card commands that the plug-in makes for one
 * EID_Read, in the same order, with nothing around them (no records, no parsing, no JSON).
 *
 *   bareread [-r READER] [-n COUNT]
 *   bareread -s -r READER [-n COUNT]
 *
 * Reads the identity, address and photo files COUNT times (default 1) and prints each read's
 * duration in microseconds, one per line. Without -r it lists the readers and asks their states
 * once on the read's own context, and reads the first reader holding a card, as the plug-in does
 * for a card that selects its identity file. Exits 1 when a read fails.
 *
 * With -s it times COUNT round trips of SELECT FILE (the identity file) to the card in READER
 * over one connection, whatever the card answers.
 */
#include <winscard.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const BYTE kFiles[3][6] = {
    {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31},
    {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33},
    {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35},
};

static BYTE file_bytes[0x8000];

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int transmit(SCARDHANDLE card, DWORD protocol, const BYTE* command, DWORD length,
                    BYTE* response, DWORD* received) {
    SCARD_IO_REQUEST pci = {protocol, sizeof(SCARD_IO_REQUEST)};
    *received = 258;
    return SCardTransmit(card, &pci, command, length, NULL, response, received) ==
               SCARD_S_SUCCESS &&
           *received >= 2;
}

/* SELECT FILE by path, then READ BINARY in chunks of up to 255 bytes until the file ends.
 * Returns the file's length, or -1. */
static long read_file(SCARDHANDLE card, DWORD protocol, const BYTE path[6]) {
    BYTE select[11] = {0x00, 0xA4, 0x08, 0x0C, 0x06};
    BYTE response[258];
    DWORD received;
    memcpy(select + 5, path, 6);
    if (!transmit(card, protocol, select, sizeof select, response, &received) ||
        response[received - 2] != 0x90 || response[received - 1] != 0x00)
        return -1;

    unsigned long offset = 0;
    BYTE le = 0xFF;
    while (offset < sizeof file_bytes) {
        BYTE read[5] = {0x00, 0xB0, (BYTE)(offset >> 8), (BYTE)offset, le};
        if (!transmit(card, protocol, read, sizeof read, response, &received))
            return -1;
        BYTE sw1 = response[received - 2], sw2 = response[received - 1];
        DWORD n = received - 2;
        if (sw1 == 0x6B)
            return (long)offset;
        if (sw1 == 0x6C && sw2 != 0x00 && sw2 != le) {
            le = sw2;
            continue;
        }
        if (sw1 != 0x90 || sw2 != 0x00 || offset + n > sizeof file_bytes)
            return -1;
        memcpy(file_bytes + offset, response, n);
        offset += n;
        if (n < le)
            return (long)offset;
    }
    return -1;
}

/* The readers listed on `context`, and the first of them holding a card after one question
 * about all of them; NULL when there is none. The name points into *names, to be freed. */
static const char* first_with_card(SCARDCONTEXT context, char** names) {
    DWORD length = 0;
    *names = NULL;
    if (SCardListReaders(context, NULL, NULL, &length) != SCARD_S_SUCCESS || length == 0)
        return NULL;
    *names = calloc(length, 1);
    if (SCardListReaders(context, NULL, *names, &length) != SCARD_S_SUCCESS)
        return NULL;
    SCARD_READERSTATE states[16];
    DWORD count = 0;
    for (char* name = *names; *name && count < 16; name += strlen(name) + 1) {
        memset(&states[count], 0, sizeof states[count]);
        states[count].szReader = name;
        states[count++].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (SCardGetStatusChange(context, 0, states, count) != SCARD_S_SUCCESS)
        return NULL;
    for (DWORD i = 0; i < count; i++)
        if (states[i].dwEventState & SCARD_STATE_PRESENT)
            return states[i].szReader;
    return NULL;
}

static int select_round_trips(const char* reader, long count) {
    SCARDCONTEXT context;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context) != SCARD_S_SUCCESS)
        return 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    int ok =
        SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                     &card, &protocol) == SCARD_S_SUCCESS;
    int locked = ok && SCardBeginTransaction(card) == SCARD_S_SUCCESS;
    BYTE select[11] = {0x00, 0xA4, 0x08, 0x0C, 0x06};
    memcpy(select + 5, kFiles[0], 6);
    for (long i = 0; locked && ok && i < count; i++) {
        BYTE response[258];
        DWORD received;
        double start = now_us();
        ok = transmit(card, protocol, select, sizeof select, response, &received);
        printf("%.1f\n", now_us() - start);
    }
    if (locked)
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
    if (card)
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    return ok && locked;
}

static int read_card(const char* reader) {
    SCARDCONTEXT context;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context) != SCARD_S_SUCCESS)
        return 0;
    char* listed = NULL;
    const char* name = reader ? reader : first_with_card(context, &listed);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    int ok = name &&
             SCardConnect(context, name, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                          &card, &protocol) == SCARD_S_SUCCESS;
    /* One transaction for the whole conversation, the card reset as it ends, as the plug-in. */
    int locked = ok && SCardBeginTransaction(card) == SCARD_S_SUCCESS;
    ok = locked;
    for (int i = 0; ok && i < 3; i++) {
        long n = read_file(card, protocol, kFiles[i]);
        ok = n >= 0 || i == 2; /* the photo is optional */
    }
    if (locked)
        SCardEndTransaction(card, SCARD_RESET_CARD);
    if (card)
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    free(listed);
    return ok;
}

int main(int argc, char** argv) {
    const char* reader = NULL;
    long count = 1;
    int selects = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-r") == 0 && i + 1 < argc)
            reader = argv[++i];
        else if (strcmp(argv[i], "-n") == 0 && i + 1 < argc)
            count = strtol(argv[++i], NULL, 10);
        else if (strcmp(argv[i], "-s") == 0)
            selects = 1;
        else {
            fprintf(stderr, "usage: bareread [-s] [-r READER] [-n COUNT]\n");
            return 2;
        }
    }
    if (selects) {
        if (!reader || !select_round_trips(reader, count)) {
            fprintf(stderr, "bareread: SELECT FILE round trips need a reader with a card\n");
            return 1;
        }
        return 0;
    }
    for (long i = 0; i < count; i++) {
        double start = now_us();
        if (!read_card(reader)) {
            fprintf(stderr, "bareread: read %ld failed\n", i + 1);
            return 1;
        }
        printf("%.1f\n", now_us() - start);
    }
    return 0;
}
