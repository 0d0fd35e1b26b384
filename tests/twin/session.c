/*
 * A session with the sample instrument through the library, as a C program
 * runs one: every call and what it gave back, one line each on stdout, so
 * that a session against the instrument and one against its twin can be
 * compared byte for byte.  Bytes are shown as hex; a long answer as its
 * length and a checksum.  The steps come from the command line, so that
 * sessions with other instruments (the Windows end-to-end stage's test
 * driver) run through the same program on Linux and under wine.
 *
 *   twin_session [SLOT [STEP...]]
 *   STEP: scmd MODE COMMAND | write COMMAND | read MAX MODE TIMEOUT | conf
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

/* The session with the sample instrument, in the words of the command line
 * (see main). */
static const char *const sample_session[] = {
    "scmd", "1", "MEAS:VOLT?", "scmd", "1", "MEAS:CURR?", /* the slow one */
    "scmd", "1", "MEAS:VOLT?", "scmd", "1", "MEAS:CURR?",
    "scmd", "1", "MEAS:VOLT?", "scmd", "1", "MEAS:CURR?",
    "scmd", "0", "SELFTEST?",                             /* two lines, two answer codes */
    "scmd", "1", "CONF:RANGE 1000",
    "scmd", "1", "SWEEP:NEXT?",                           /* a new answer each time */
    "scmd", "1", "SWEEP:NEXT?",
    "write", "SYST:ERR?",                                 /* two messages */
    "read", "256", "1", "5", "read", "256", "1", "5",
    "write", "*RST",                                      /* no answer: the read times out */
    "read", "256", "1", "1",
    "write", "CURVE?",                                    /* binary */
    "read", "4096", "2", "5",
    "write", "TRACE?",                                    /* 100,000 bytes */
    "read", "300000", "2", "5",
    "scmd", "1", "NO:SUCH",                               /* a command it does not know */
    "conf",
};

static uint32_t number(const char *word)
{
    char *end = NULL;
    const unsigned long value = strtoul(word, &end, 10);
    if (*word == '\0' || *end != '\0' || value > 0xFFFFFFFFul) {
        fprintf(stderr, "twin_session: not a number: %s\n", word);
        exit(2);
    }
    return (uint32_t)value;
}

static void conf(TavrilHandle handle)
{
    uint32_t error = 0;
    InstrumentIdentity again;
    memset(&again, 0, sizeof again);
    const int32_t confirmed = Conf_Tavril(handle, &again, &error);
    printf("Conf -> %d error %u %s %s %s\n", (int)confirmed, (unsigned)error, again.model, again.serialNumber,
           again.firmwareVersion);
}

/* Runs the steps in words[0..count): "scmd MODE COMMAND", "write COMMAND",
 * "read MAX MODE TIMEOUT", "conf".  False on a word that is none of these
 * or a step without all its words. */
static int run_steps(TavrilHandle handle, const char *const *words, int count)
{
    for (int at = 0; at < count;) {
        const char *step = words[at];
        if (strcmp(step, "scmd") == 0 && at + 2 < count) {
            scmd(handle, words[at + 2], (int32_t)number(words[at + 1]));
            at += 3;
        } else if (strcmp(step, "write") == 0 && at + 1 < count) {
            write_line(handle, words[at + 1]);
            at += 2;
        } else if (strcmp(step, "read") == 0 && at + 3 < count) {
            read_answer(handle, number(words[at + 1]), (int32_t)number(words[at + 2]), number(words[at + 3]));
            at += 4;
        } else if (strcmp(step, "conf") == 0) {
            conf(handle);
            at += 1;
        } else {
            fprintf(stderr, "twin_session: no step %s (scmd MODE COMMAND, write COMMAND, "
                            "read MAX MODE TIMEOUT, conf), or a step without all its words\n", step);
            return 0;
        }
    }
    return 1;
}

/* twin_session [SLOT [STEP...]]: opens SLOT (0 by default), runs the steps
 * (the sample instrument's session when none are given), closes. */
int main(int argc, char **argv)
{
    const uint32_t slot = argc > 1 ? number(argv[1]) : 0;
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

    const int ran = argc > 2 ? run_steps(handle, (const char *const *)argv + 2, argc - 2)
                             : run_steps(handle, sample_session,
                                         (int)(sizeof sample_session / sizeof sample_session[0]));
    const int32_t closed = Close_Tavril(handle, &error);
    printf("Close -> %d error %u\n", (int)closed, (unsigned)error);
    return ran ? 0 : 2;
}
