/*
 * tavlib.dll as callers that load it at run time see it (LabVIEW's call
 * library node, C# P/Invoke, Python's ctypes): LoadLibraryA("tavlib.dll"),
 * GetProcAddress by the plain export names, and each function called
 * through a pointer type the caller writes down itself, not taken from
 * tavlib.h: WINAPI (__stdcall on 32-bit Windows), 32-bit integers, the
 * handle as a pointer-sized value.
 *
 * Included after tavlib.h by the test program's LoadLibrary build
 * (E2E_LOAD_LIBRARY): from here on each function's name stands for its
 * pointer, so the same checks run through the pointers, and the program is
 * linked without the import library.
 */
#pragma once

typedef int32_t(WINAPI *OpenFunction)(uint32_t slot, void **handle, InstrumentIdentity *identity,
                                      uint32_t *errorCode);
typedef int32_t(WINAPI *CloseFunction)(void *handle, uint32_t *errorCode);
typedef int32_t(WINAPI *WriteFunction)(void *handle, const char *text, uint32_t timeout,
                                       uint32_t *written, uint32_t *errorCode);
typedef int32_t(WINAPI *ReadFunction)(void *handle, uint32_t maxBytes, int32_t mode,
                                      uint32_t timeout, char *buffer, uint32_t *count,
                                      uint32_t *errorCode);
typedef int32_t(WINAPI *ScmdFunction)(void *handle, const char *command, uint32_t maxBytes,
                                      int32_t mode, uint32_t writeTimeout, uint32_t readTimeout,
                                      char *response, uint32_t *errorCode);
typedef int32_t(WINAPI *ConfFunction)(void *handle, InstrumentIdentity *identity,
                                      uint32_t *errorCode);

static struct {
    OpenFunction open;
    CloseFunction close;
    WriteFunction write;
    ReadFunction read;
    ScmdFunction scmd;
    ConfFunction conf;
} loaded;

#define Open_Tavril loaded.open
#define Close_Tavril loaded.close
#define Write_Tavril loaded.write
#define Read_Tavril loaded.read
#define Scmd_Tavril loaded.scmd
#define Conf_Tavril loaded.conf

/* An export by its plain name; NULL when the DLL has none of that name. */
static void (*export_of(HMODULE module, const char *name))(void) {
    return (void (*)(void))GetProcAddress(module, name);
}

/* Loads tavlib.dll (found beside the program, as Windows searches) and
 * fills the pointers.  0 when it does not load or lacks an export; the DLL
 * stays loaded for the life of the process. */
static int load_tavlib(void) {
    HMODULE module = LoadLibraryA("tavlib.dll");
    if (module == NULL) return 0;
    loaded.open = (OpenFunction)export_of(module, "Open_Tavril");
    loaded.close = (CloseFunction)export_of(module, "Close_Tavril");
    loaded.write = (WriteFunction)export_of(module, "Write_Tavril");
    loaded.read = (ReadFunction)export_of(module, "Read_Tavril");
    loaded.scmd = (ScmdFunction)export_of(module, "Scmd_Tavril");
    loaded.conf = (ConfFunction)export_of(module, "Conf_Tavril");
    return loaded.open && loaded.close && loaded.write && loaded.read && loaded.scmd &&
           loaded.conf;
}
