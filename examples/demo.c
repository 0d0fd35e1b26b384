/*
 * A short tour of tavlib: open the instrument in slot 0, show its identity,
 * run a few transactions and close it again.
 *
 *   demo [SLOT] [COMMAND...]
 *
 * Without commands it runs a small built-in sequence.
 */
#include <stdio.h>
#include <stdlib.h>

#include "tavlib.h"

#define RESPONSE_MAX 4096

static int transact(TavrilHandle handle, const char *command)
{
    static char response[RESPONSE_MAX + 1];
    uint32_t error = 0;
    int32_t result = Scmd_Tavril(handle, command, RESPONSE_MAX, TAVRIL_MODE_LINE,
                                 5, 5, response, &error);
    if (result < 0) {
        printf("  %-16s -> failed: result %d, error %u\n", command, (int)result, (unsigned)error);
        return 1;
    }
    if (result > 0)
        printf("  %-16s -> \"%s\" (answer code %d)\n", command, response, (int)result);
    else
        printf("  %-16s -> \"%s\"\n", command, response);
    return 0;
}

int main(int argc, char **argv)
{
    static const char *const builtin[] = {"*IDN?", "MEAS:VOLT?", "MEAS:CURR?", "CONF:RANGE 1000"};
    uint32_t slot = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 10) : 0;
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity;
    uint32_t error = 0;
    int failures = 0;
    int32_t result = Open_Tavril(slot, &handle, &identity, &error);

    if (result != TAVRIL_OPEN_OK) {
        printf("Open_Tavril(%u) failed: result %d, error %u\n", (unsigned)slot, (int)result,
               (unsigned)error);
        if (result == TAVRIL_OPEN_NOT_IDENTIFIED)
            Close_Tavril(handle, &error);
        return 1;
    }
    printf("Opened slot %u: model %s, serial number %s, firmware %s\n", (unsigned)slot,
           identity.model, identity.serialNumber, identity.firmwareVersion);

    printf("Transactions:\n");
    if (argc > 2) {
        for (int i = 2; i < argc; ++i)
            failures += transact(handle, argv[i]);
    } else {
        for (size_t i = 0; i < sizeof builtin / sizeof builtin[0]; ++i)
            failures += transact(handle, builtin[i]);
    }

    result = Close_Tavril(handle, &error);
    printf("Close_Tavril: result %d, error %u\n", (int)result, (unsigned)error);
    return failures == 0 && result == TAVRIL_CLOSE_OK ? 0 : 1;
}
