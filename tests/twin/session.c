/*
 * A session with the sample instrument through the library, as a C program
 * runs one: every call and what it gave back, one line each on stdout, so
 * that a session against the instrument and one against its twin can be
 * compared byte for byte.  Bytes are shown as hex; a long answer as its
 * length and a checksum.
 *
 *   twin_session [SLOT]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavlib.h"

#define LONG_ANSWER 300000u

static char buffer[LONG_ANSWER + 1];

static void show_bytes(const char *bytes, size_t count)
{
    if (count > 64) {
        /* FNV-1a, enough to tell two long answers apart. */
        uint32_t hash = 2166136261u;
        for (size_t i = 0; i < count; ++i) hash = (hash ^ (unsigned char)bytes[i]) * 16777619u;
        printf(" %zu bytes, fnv %08x", count, (unsigned)hash);
        return;
    }
    printf(" [");
    for (size_t i = 0; i < count; ++i) printf("%02x", (unsigned char)bytes[i]);
    printf("]");
}

static void scmd(TavrilHandle handle, const char *command, int32_t mode)
{
    uint32_t error = 0;
    const int32_t result = Scmd_Tavril(handle, command, 4096, mode, 5, 5, buffer, &error);
    printf("Scmd %s mode %d -> %d error %u", command, (int)mode, (int)result, (unsigned)error);
    if (result >= 0) show_bytes(buffer, strlen(buffer));
    printf("\n");
}

static void write_line(TavrilHandle handle, const char *text)
{
    uint32_t error = 0;
    uint32_t written = 0;
    const int32_t result = Write_Tavril(handle, text, 5, &written, &error);
    printf("Write %s -> %d error %u written %u\n", text, (int)result, (unsigned)error, (unsigned)written);
}

static void read_answer(TavrilHandle handle, uint32_t maxBytes, int32_t mode, uint32_t timeout)
{
    uint32_t error = 0;
    uint32_t count = 0;
    const int32_t result = Read_Tavril(handle, maxBytes, mode, timeout, buffer, &count, &error);
    printf("Read max %u mode %d -> %d error %u count %u", (unsigned)maxBytes, (int)mode, (int)result,
           (unsigned)error, (unsigned)count);
    if (result == TAVRIL_READ_OK) show_bytes(buffer, mode == TAVRIL_MODE_RAW ? count : strlen(buffer));
    printf("\n");
}

int main(int argc, char **argv)
{
    const uint32_t slot = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 10) : 0;
    TavrilHandle handle;
    InstrumentIdentity identity;
    uint32_t error = 0;
    const int32_t opened = Open_Tavril(slot, &handle, &identity, &error);
    printf("Open %u -> %d error %u", (unsigned)slot, (int)opened, (unsigned)error);
    if (opened != TAVRIL_OPEN_OK) {
        printf("\n");
        return 1;
    }
    printf(" %s %s %s\n", identity.model, identity.serialNumber, identity.firmwareVersion);

    for (int i = 0; i < 3; ++i) {
        scmd(handle, "MEAS:VOLT?", TAVRIL_MODE_LINE);
        scmd(handle, "MEAS:CURR?", TAVRIL_MODE_LINE); /* the slow one */
    }
    scmd(handle, "SELFTEST?", TAVRIL_MODE_TEXT);     /* two lines, two answer codes */
    scmd(handle, "CONF:RANGE 1000", TAVRIL_MODE_LINE);
    scmd(handle, "SWEEP:NEXT?", TAVRIL_MODE_LINE);   /* a new answer each time */
    scmd(handle, "SWEEP:NEXT?", TAVRIL_MODE_LINE);

    write_line(handle, "SYST:ERR?");                 /* two messages */
    read_answer(handle, 256, TAVRIL_MODE_LINE, 5);
    read_answer(handle, 256, TAVRIL_MODE_LINE, 5);
    write_line(handle, "*RST");                      /* no answer: the read times out */
    read_answer(handle, 256, TAVRIL_MODE_LINE, 1);
    write_line(handle, "CURVE?");                    /* binary */
    read_answer(handle, 4096, TAVRIL_MODE_RAW, 5);
    write_line(handle, "TRACE?");                    /* 100,000 bytes */
    read_answer(handle, LONG_ANSWER, TAVRIL_MODE_RAW, 5);
    scmd(handle, "NO:SUCH", TAVRIL_MODE_LINE);       /* a command it does not know */

    InstrumentIdentity again;
    memset(&again, 0, sizeof again);
    const int32_t confirmed = Conf_Tavril(handle, &again, &error);
    printf("Conf -> %d error %u %s %s %s\n", (int)confirmed, (unsigned)error, again.model, again.serialNumber,
           again.firmwareVersion);
    const int32_t closed = Close_Tavril(handle, &error);
    printf("Close -> %d error %u\n", (int)closed, (unsigned)error);
    return 0;
}
