/* A program outside the project, built against an installed tavlib: asks
 * for a slot that does not exist (no instrument needed) and names the
 * library file that answered. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <tavlib.h>

int main(void) {
    TavrilHandle handle = NULL;
    InstrumentIdentity identity;
    uint32_t errorCode = 77;
    const int32_t result = Open_Tavril(TAVRIL_SLOT_COUNT, &handle, &identity, &errorCode);

    Dl_info info;
    const char *library = "unknown";
    if (dladdr((void *)&Open_Tavril, &info) != 0 && info.dli_fname != NULL) {
        library = info.dli_fname;
    }
    printf("Open_Tavril(%d) = %d, errorCode %u, handle %s\n", TAVRIL_SLOT_COUNT, (int)result,
           (unsigned)errorCode, handle == TAVRIL_INVALID_HANDLE ? "invalid" : "not invalid");
    printf("library: %s\n", library);
    return result == TAVRIL_OPEN_BAD_SLOT && errorCode == 0 && handle == TAVRIL_INVALID_HANDLE
               ? 0
               : 1;
}
