/*
 * Checks tavlib.dll through its import library, as an application sees it.
 *
 *   dll_test                     the checks that need no instrument: slot
 *                                range, no device present, bad handles,
 *                                argument refusals.
 *   dll_test --stand-in-device   also the checks of the slot table shared
 *                                between processes, on a stand-in device:
 *                                claims seen from other processes, release,
 *                                simultaneous opens, a claim that outlives
 *                                its process; and transfers on its handle.
 *
 * The stand-in device is one device interface of the instrument's class,
 * which this program registers for the run, whose device path opens an
 * ordinary file (the script that runs the program provides the path's
 * target).  It is no instrument, so Open_Tavril claims the slot and then
 * fails the identification (-2), which leaves the slot claimed: enough to
 * see from a second process whether the claim reached it.  The stand-in
 * relies on wine: its device setup services list an interface registered
 * this way as present, and its overlapped transfers on a file start
 * pending.
 *
 * Prints one line per check and a closing "N passed, M failed" line; the
 * exit code is 0 only when every check passed.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "tavlib.h"

#define ERROR_CODE_UNSET 0xC0DEC0DEu
#define HANDLE_UNSET ((TavrilHandle)(intptr_t)0x5A5A5A50)
/* A handle value that no process has open: a closed or never-made handle. */
#define HANDLE_NEVER_OPENED ((TavrilHandle)(intptr_t)0x7FFFFFF0)

static int passed;
static int failed;

static void check(int ok, const char *what, int32_t result, uint32_t errorCode) {
    printf("%s %s: result %" PRId32 ", errorCode %" PRIu32 "\n", ok ? "ok    " : "FAILED", what,
           result, errorCode);
    if (ok)
        ++passed;
    else
        ++failed;
}

/* ---- checks that need no instrument ------------------------------------- */

static void open_bad_slots(void) {
    static const uint32_t slots[] = {4, 5, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (size_t i = 0; i < sizeof slots / sizeof slots[0]; ++i) {
        TavrilHandle handle = HANDLE_UNSET;
        uint32_t errorCode = ERROR_CODE_UNSET;
        InstrumentIdentity identity;
        memset(&identity, 0x33, sizeof identity);
        const int32_t result = Open_Tavril(slots[i], &handle, &identity, &errorCode);
        char what[80];
        snprintf(what, sizeof what, "Open_Tavril(slot %" PRIu32 ") is refused", slots[i]);
        check(result == TAVRIL_OPEN_BAD_SLOT && errorCode == 0 && handle == TAVRIL_INVALID_HANDLE &&
                  (unsigned char)identity.model[0] == 0x33,
              what, result, errorCode);
    }
}

static void open_without_device(void) {
    for (uint32_t slot = 0; slot < TAVRIL_SLOT_COUNT; ++slot) {
        TavrilHandle handle = HANDLE_UNSET;
        uint32_t errorCode = ERROR_CODE_UNSET;
        InstrumentIdentity identity;
        const int32_t result = Open_Tavril(slot, &handle, &identity, &errorCode);
        char what[80];
        snprintf(what, sizeof what, "Open_Tavril(slot %" PRIu32 ") finds no device", slot);
        check(result == TAVRIL_OPEN_FAILED && errorCode == ERROR_NO_MORE_ITEMS &&
                  handle == TAVRIL_INVALID_HANDLE,
              what, result, errorCode);
    }
}

static void close_bad_handles(void) {
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Close_Tavril(TAVRIL_INVALID_HANDLE, &errorCode);
    check(result == TAVRIL_CLOSE_FAILED && errorCode == 0, "Close_Tavril(-1) closes nothing",
          result, errorCode);

    HANDLE closedEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    CloseHandle(closedEvent);
    const struct {
        TavrilHandle handle;
        const char *what;
    } bad[] = {
        {HANDLE_NEVER_OPENED, "Close_Tavril(never-opened handle) fails with 6"},
        {closedEvent, "Close_Tavril(closed handle) fails with 6"},
    };
    for (size_t i = 0; i < sizeof bad / sizeof bad[0]; ++i) {
        errorCode = ERROR_CODE_UNSET;
        result = Close_Tavril(bad[i].handle, &errorCode);
        check(result == TAVRIL_CLOSE_FAILED && errorCode == ERROR_INVALID_HANDLE, bad[i].what,
              result, errorCode);
    }

    /* A valid handle that no slot records: closed, but no slot released. */
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    errorCode = ERROR_CODE_UNSET;
    result = Close_Tavril(event, &errorCode);
    const int closed = !CloseHandle(event) && GetLastError() == ERROR_INVALID_HANDLE;
    check(result == TAVRIL_CLOSE_FAILED && errorCode == 0 && closed,
          "Close_Tavril(handle of no slot) closes it and reports -1", result, errorCode);
}

/* Each row: the arguments, then the expected result and errorCode.  The rows
 * next to each refusal show that the bound is exact: the first accepted
 * value goes on to the device, where the never-opened handle fails with 6
 * (and so does the recovery request that follows the failed transfer). */
static void write_arguments(void) {
    static const struct {
        uint32_t timeout;
        int32_t result;
        uint32_t errorCode;
    } rows[] = {
        {0, TAVRIL_WRITE_BAD_ARGUMENT, 0},
        {1, TAVRIL_WRITE_FAILED, ERROR_INVALID_HANDLE},
        {60, TAVRIL_WRITE_FAILED, ERROR_INVALID_HANDLE},
        {61, TAVRIL_WRITE_BAD_ARGUMENT, 0},
        {0xFFFFFFFFu, TAVRIL_WRITE_BAD_ARGUMENT, 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        uint32_t written = 0xFFFF;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result =
            Write_Tavril(HANDLE_NEVER_OPENED, "*RST", rows[i].timeout, &written, &errorCode);
        char what[80];
        snprintf(what, sizeof what, "Write_Tavril(timeout %" PRIu32 ")", rows[i].timeout);
        check(result == rows[i].result && errorCode == rows[i].errorCode && written == 0, what,
              result, errorCode);
    }
}

static void read_arguments(void) {
    static const struct {
        int32_t mode;
        uint32_t timeout;
        int32_t result;
        uint32_t errorCode;
    } rows[] = {
        {-1, 5, TAVRIL_READ_BAD_ARGUMENT, 0},
        {3, 5, TAVRIL_READ_BAD_ARGUMENT, 0},
        {0, 0, TAVRIL_READ_BAD_ARGUMENT, 0},
        {2, 3600001, TAVRIL_READ_BAD_ARGUMENT, 0},
        {0, 1, TAVRIL_READ_FAILED, ERROR_INVALID_HANDLE},
        {1, 5, TAVRIL_READ_FAILED, ERROR_INVALID_HANDLE},
        {2, 3600000, TAVRIL_READ_FAILED, ERROR_INVALID_HANDLE},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        char buffer[17];
        memset(buffer, 'x', sizeof buffer);
        uint32_t count = 0xFFFF;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = Read_Tavril(HANDLE_NEVER_OPENED, 16, rows[i].mode, rows[i].timeout,
                                           buffer, &count, &errorCode);
        char what[80];
        snprintf(what, sizeof what, "Read_Tavril(mode %" PRId32 ", timeout %" PRIu32 ")",
                 rows[i].mode, rows[i].timeout);
        check(result == rows[i].result && errorCode == rows[i].errorCode && count == 0 &&
                  buffer[0] == 'x',
              what, result, errorCode);
    }
}

static void scmd_arguments(void) {
    static const struct {
        int32_t mode;
        uint32_t writeTimeout;
        uint32_t readTimeout;
        int32_t result;
        uint32_t errorCode;
    } rows[] = {
        {2, 5, 5, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {-1, 5, 5, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {0, 0, 5, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {0, 61, 5, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {1, 5, 0, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {1, 5, 61, TAVRIL_SCMD_BAD_ARGUMENT, 0},
        {0, 60, 60, TAVRIL_SCMD_WRITE_FAILED, ERROR_INVALID_HANDLE},
        {1, 1, 1, TAVRIL_SCMD_WRITE_FAILED, ERROR_INVALID_HANDLE},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        char response[17];
        memset(response, 'x', sizeof response);
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result =
            Scmd_Tavril(HANDLE_NEVER_OPENED, "*IDN?", 16, rows[i].mode, rows[i].writeTimeout,
                        rows[i].readTimeout, response, &errorCode);
        char what[96];
        snprintf(what, sizeof what,
                 "Scmd_Tavril(mode %" PRId32 ", timeouts %" PRIu32 "/%" PRIu32 ")", rows[i].mode,
                 rows[i].writeTimeout, rows[i].readTimeout);
        check(result == rows[i].result && errorCode == rows[i].errorCode && response[0] == 'x',
              what, result, errorCode);
    }
}

static void conf_bad_handles(void) {
    InstrumentIdentity identity;
    memset(&identity, 0x33, sizeof identity);
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Conf_Tavril(TAVRIL_INVALID_HANDLE, &identity, &errorCode);
    check(result == TAVRIL_CONF_FAILED && errorCode == ERROR_CODE_UNSET &&
              (unsigned char)identity.model[0] == 0x33,
          "Conf_Tavril(-1) fails and leaves errorCode alone", result, errorCode);

    result = Conf_Tavril(HANDLE_NEVER_OPENED, &identity, &errorCode);
    check(result == TAVRIL_CONF_FAILED && errorCode == ERROR_INVALID_HANDLE &&
              (unsigned char)identity.model[0] == 0x33,
          "Conf_Tavril(never-opened handle) fails with 6", result, errorCode);
}

/* ---- the slot table shared between processes ----------------------------- */

#define CLASS_KEY                                                                    \
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"                            \
    "{016a5b0d-4331-4c56-8825-6ec4c870d3cb}"
#define INTERFACE_KEY CLASS_KEY "\\##?#ROOT#TAVRIL#0000#{016a5b0d-4331-4c56-8825-6ec4c870d3cb}"
#define ENUM_KEY "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\TAVRIL"

static int set_value(const char *key, const char *name, DWORD type, const void *data,
                     DWORD size) {
    HKEY handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &handle,
                        NULL) != ERROR_SUCCESS)
        return 0;
    const int ok = name == NULL ||
                   RegSetValueExA(handle, name, 0, type, (const BYTE *)data, size) == ERROR_SUCCESS;
    RegCloseKey(handle);
    return ok;
}

/* Registers one present interface of the instrument's class, on a device
 * instance of the system device class; its device path is
 * \\?\root#tavril#0000#{...}. */
static int register_stand_in(void) {
    static const char instance[] = "ROOT\\TAVRIL\\0000";
    static const char systemClass[] = "{4d36e97d-e325-11ce-bfc1-08002be10318}";
    const DWORD linked = 1;
    return set_value(INTERFACE_KEY, "DeviceInstance", REG_SZ, instance, sizeof instance) &&
           set_value(INTERFACE_KEY "\\#\\Control", "Linked", REG_DWORD, &linked, sizeof linked) &&
           set_value(ENUM_KEY "\\0000", "ClassGUID", REG_SZ, systemClass, sizeof systemClass);
}

static void unregister_stand_in(void) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, CLASS_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, CLASS_KEY);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ENUM_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ENUM_KEY);
}

/* Open_Tavril(0) on the stand-in claims the slot: 0 or, as it is no
 * instrument, -2, with the open handle. */
static int claims(int32_t result, TavrilHandle handle) {
    return (result == TAVRIL_OPEN_OK || result == TAVRIL_OPEN_NOT_IDENTIFIED) &&
           handle != TAVRIL_INVALID_HANDLE && handle != HANDLE_UNSET;
}

/* Open_Tavril(0) of a claimed slot: -1, errorCode 0, handle not written. */
static int refused(int32_t result, uint32_t errorCode, TavrilHandle handle) {
    return result == TAVRIL_OPEN_FAILED && errorCode == 0 && handle == HANDLE_UNSET;
}

/* Transfers on the stand-in's handle.  The stand-in is an ordinary file and
 * every transfer starts at offset 0, so a read brings back the bytes that
 * the last write put there.  Its overlapped transfers go the whole way
 * through the platform: started pending, waited for, completed with a
 * count. */
static void transfers_on_stand_in(TavrilHandle handle) {
    /* Empty the file, so that nothing from an earlier run or from the
     * identification follows the first write. */
    const int emptied =
        SetFilePointer(handle, 0, NULL, FILE_BEGIN) == 0 && SetEndOfFile(handle);
    check(emptied, "the stand-in file is emptied", 0, emptied ? 0 : GetLastError());

    uint32_t count = 0;
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Write_Tavril(handle, "ANS41 ready", 5, &count, &errorCode);
    check(result == TAVRIL_WRITE_OK && errorCode == 0 && count == 13,
          "Write_Tavril appends CR LF and sends 13 bytes", result, errorCode);

    char buffer[101];
    memset(buffer, 'x', sizeof buffer);
    result = Read_Tavril(handle, 100, TAVRIL_MODE_LINE, 5, buffer, &count, &errorCode);
    check(result == TAVRIL_READ_OK && errorCode == 0 && count == 11 &&
              strcmp(buffer, "ANS41 ready") == 0,
          "Read_Tavril(line) gives the line without CR LF", result, errorCode);

    memset(buffer, 'x', sizeof buffer);
    result = Read_Tavril(handle, 4, TAVRIL_MODE_RAW, 5, buffer, &count, &errorCode);
    check(result == TAVRIL_READ_OK && errorCode == 0 && count == 4 &&
              memcmp(buffer, "ANS4x", 5) == 0,
          "Read_Tavril(raw, 4 bytes) gives 4 bytes and no terminator", result, errorCode);

    memset(buffer, 'x', sizeof buffer);
    result = Scmd_Tavril(handle, "STATUS? ANS80", 100, TAVRIL_MODE_TEXT, 5, 5, buffer, &errorCode);
    check(result == 80 && errorCode == 0 && strcmp(buffer, "STATUS? ANS80\r\n") == 0,
          "Scmd_Tavril turns ANS80 in the response into 80", result, errorCode);

    result = Write_Tavril(handle, "A\r\nB", 5, &count, &errorCode);
    check(result == TAVRIL_WRITE_OK && errorCode == 0 && count == 4,
          "Write_Tavril sends text holding CR LF unchanged", result, errorCode);

    /* Two transfers: 65536 bytes, then the rest and the CR LF. */
    static char longText[70001];
    memset(longText, 'L', sizeof longText - 1);
    result = Write_Tavril(handle, longText, 5, &count, &errorCode);
    check(result == TAVRIL_WRITE_OK && errorCode == 0 && count == 70002,
          "Write_Tavril sends 70002 bytes in two transfers", result, errorCode);

    InstrumentIdentity identity;
    memset(&identity, 0x33, sizeof identity);
    result = Conf_Tavril(handle, &identity, &errorCode);
    check(result == TAVRIL_CONF_OK && errorCode == 0 && identity.model[0] == '\0' &&
              identity.serialNumber[0] == '\0' && identity.firmwareVersion[0] == '\0',
          "Conf_Tavril on a reply without commas leaves every field empty", result, errorCode);
}

/* Several processes that open slot 0 at the same moment. */
#define RACERS 4
#define RACE_READY "Local\\tavlib-dll-test-race-ready"
#define RACE_START "Local\\tavlib-dll-test-race-start"

/* The roles of the other processes.  Exit codes: 0 when the process saw
 * what its role expects, 1 when not; a racer exits 0 when it claimed the
 * slot (and ends without closing it), 1 when it was refused, 2 otherwise. */
static int child_role(const char *role) {
    if (strcmp(role, "race") == 0) {
        HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, RACE_READY);
        HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, RACE_START);
        if (ready == NULL || start == NULL) return 2;
        ReleaseSemaphore(ready, 1, NULL);
        WaitForSingleObject(start, 60000);
    }
    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    const int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    printf("       (process %lu, %s: Open_Tavril(0) result %" PRId32 ", errorCode %" PRIu32 ")\n",
           GetCurrentProcessId(), role, result, errorCode);
    fflush(stdout);
    if (strcmp(role, "race") == 0)
        return claims(result, handle) ? 0 : refused(result, errorCode, handle) ? 1 : 2;
    if (strcmp(role, "expect-refused") == 0) return refused(result, errorCode, handle) ? 0 : 1;
    /* claim-and-close */
    if (!claims(result, handle)) return 1;
    return Close_Tavril(handle, &errorCode) == TAVRIL_CLOSE_OK && errorCode == 0 ? 0 : 1;
}

static int start_child(const char *role, PROCESS_INFORMATION *process) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(NULL, self, sizeof self) == 0) return 0;
    char commandLine[MAX_PATH + 64];
    snprintf(commandLine, sizeof commandLine, "\"%s\" --child %s", self, role);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    fflush(stdout);
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, process))
        return 0;
    CloseHandle(process->hThread);
    return 1;
}

/* Waits for a child and returns its exit code (-1 if it did not end). */
static int finish_child(PROCESS_INFORMATION *process) {
    DWORD exitCode = (DWORD)-1;
    if (WaitForSingleObject(process->hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process->hProcess, &exitCode);
    CloseHandle(process->hProcess);
    return (int)exitCode;
}

static int run_child(const char *role) {
    PROCESS_INFORMATION process;
    return start_child(role, &process) ? finish_child(&process) : -1;
}

/* Racers start together once all are waiting; the in-use test and the claim
 * are serialised, so exactly one of them claims the slot. */
static void concurrent_opens(void) {
    HANDLE ready = CreateSemaphoreA(NULL, 0, RACERS, RACE_READY);
    HANDLE start = CreateEventA(NULL, TRUE, FALSE, RACE_START);
    PROCESS_INFORMATION racers[RACERS];
    int started = 0;
    while (ready != NULL && start != NULL && started < RACERS &&
           start_child("race", &racers[started]))
        ++started;
    int waiting = 0;
    while (waiting < started && WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0) ++waiting;
    if (start != NULL) SetEvent(start);
    int claimed = 0;
    int refusedCount = 0;
    for (int i = 0; i < started; ++i) {
        const int code = finish_child(&racers[i]);
        claimed += code == 0;
        refusedCount += code == 1;
    }
    if (ready != NULL) CloseHandle(ready);
    if (start != NULL) CloseHandle(start);
    check(started == RACERS && waiting == RACERS && claimed == 1 && refusedCount == RACERS - 1,
          "of 4 processes that open slot 0 at once, one claims it (result: claims, errorCode: "
          "refusals)",
          claimed, (uint32_t)refusedCount);
}

static void shared_slot_table(void) {
    if (!register_stand_in()) {
        check(0, "register the stand-in device interface", 0, GetLastError());
        unregister_stand_in();
        return;
    }

    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    const int parentClaimed = claims(result, handle);
    check(parentClaimed, "this process claims slot 0 on the stand-in device", result, errorCode);

    TavrilHandle again = HANDLE_UNSET;
    result = Open_Tavril(0, &again, &identity, &errorCode);
    check(refused(result, errorCode, again), "a second Open_Tavril(0) in this process is refused",
          result, errorCode);

    int child = run_child("expect-refused");
    check(child == 0, "another process sees slot 0 claimed", child, 0);

    if (parentClaimed) {
        transfers_on_stand_in(handle);
        result = Close_Tavril(handle, &errorCode);
        check(result == TAVRIL_CLOSE_OK && errorCode == 0, "this process releases slot 0", result,
              errorCode);
    }

    child = run_child("claim-and-close");
    check(child == 0, "another process sees slot 0 free, claims and releases it", child, 0);

    /* The winner ends without closing: its claim outlives it for as long as
     * this process keeps the library loaded. */
    concurrent_opens();
    again = HANDLE_UNSET;
    result = Open_Tavril(0, &again, &identity, &errorCode);
    check(refused(result, errorCode, again), "the claim of the ended winner still holds here",
          result, errorCode);

    unregister_stand_in();
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return child_role(argv[2]);
    const int standIn = argc == 2 && strcmp(argv[1], "--stand-in-device") == 0;
    if (argc > 1 && !standIn) {
        fprintf(stderr, "usage: %s [--stand-in-device]\n", argv[0]);
        return 2;
    }

    open_bad_slots();
    open_without_device();
    close_bad_handles();
    write_arguments();
    read_arguments();
    scmd_arguments();
    conf_bad_handles();
    if (standIn) shared_slot_table();

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
