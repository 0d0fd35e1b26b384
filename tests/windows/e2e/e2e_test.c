/*
 * tavlib.dll end to end on the Win32 path: the library finds tavtest.sys's
 * devices through the device setup services, opens them for overlapped
 * I/O and drives the driver's instrument model.  Each check compares what
 * the library returned with what the driver saw, which the test reads
 * through the driver's test-only control codes on a handle of its own.
 *
 *   e2e_test --devices N   N (0, 1 or 2) ROOT\TAVTEST devices are present,
 *                          as tavtest_install made them:
 *                          0: every slot finds no device;
 *                          1: the library's behaviour on one device;
 *                          2: slots follow the enumeration order.
 *   e2e_test --beside OTHER
 *                          one device, and OTHER is this program built for
 *                          the other width (32-bit beside 64-bit), with its
 *                          own tavlib.dll beside it: each program runs the
 *                          DLL of its own width, and each width has its own
 *                          four slots.
 *
 * Built twice: against the import library, as a C program links it, and
 * with E2E_LOAD_LIBRARY, which calls every function through pointers that
 * LoadLibrary and GetProcAddress give (load_library.h).
 *
 * Prints one line per check and a closing "N passed, M failed" line; the
 * exit code is 0 only when every check passed.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the device setup header relies on it.
#include <setupapi.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavlib.h"
#include "tavtest_control.h"
#ifdef E2E_LOAD_LIBRARY
#include "load_library.h"
#endif

#define ERROR_CODE_UNSET 0xC0DEC0DEu
#define HANDLE_UNSET ((TavrilHandle)(intptr_t)0x5A5A5A50)
#define ERROR_CODE_IO_DEVICE 1117u /* the driver's failed read or write */
#define ERROR_CODE_NOT_READY 21u   /* the driver's failed recovery request */

static const GUID kInterfaceClass = {
    0x016A5B0D, 0x4331, 0x4C56, {0x88, 0x25, 0x6E, 0xC4, 0xC8, 0x70, 0xD3, 0xCB}};

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

/* ---- the driver's control channel ------------------------------------------ */

/* The test's own handle on each device, in enumeration order. */
static HANDLE control[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};

static HANDLE open_device(DWORD index) {
    HANDLE device = INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClass, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return device;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH];
    } buffer;
    buffer.detail.cbSize = sizeof buffer.detail;
    if (SetupDiEnumDeviceInterfaces(set, NULL, &kInterfaceClass, index, &data) &&
        SetupDiGetDeviceInterfaceDetailA(set, &data, &buffer.detail, sizeof buffer, NULL, NULL))
        device = CreateFileA(buffer.detail.DevicePath, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    SetupDiDestroyDeviceInfoList(set);
    return device;
}

static int ctl(int device, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(control[device], code, (void *)in, inSize, out, outSize, &returned,
                           NULL) != FALSE;
}

static void reset_device(int device) { ctl(device, TAVTEST_IOCTL_RESET, NULL, 0, NULL, 0); }

static void set_faults(const struct TavtestFaults *faults) {
    ctl(0, TAVTEST_IOCTL_SET_FAULTS, faults, sizeof *faults, NULL, 0);
}

static void push_output(const char *bytes) {
    ctl(0, TAVTEST_IOCTL_PUSH_OUTPUT, bytes, (DWORD)strlen(bytes), NULL, 0);
}

/* What device 0 (or `device`) saw; all ones when the query failed, which
 * no check accepts. */
static struct TavtestStats stats_of(int device) {
    struct TavtestStats stats;
    if (!ctl(device, TAVTEST_IOCTL_GET_STATS, NULL, 0, &stats, sizeof stats))
        memset(&stats, 0xFF, sizeof stats);
    return stats;
}

static struct TavtestStats stats(void) { return stats_of(0); }

/* A recovery request reached the driver, as the library sends it: one
 * control request without buffers. */
static int recovered_once(const struct TavtestStats *s) {
    return s->recoveries == 1 && s->failedRecoveries == 0 && s->recoverInputLength == 0 &&
           s->recoverOutputLength == 0;
}

/* ---- opening and closing ----------------------------------------------------- */

static int identity_is(const InstrumentIdentity *identity, const char *serial) {
    return strcmp(identity->model, "ZQ907") == 0 && strcmp(identity->serialNumber, serial) == 0 &&
           strcmp(identity->firmwareVersion, "2.7.1") == 0;
}

static TavrilHandle open_and_identify(void) {
    reset_device(0);
    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    memset(&identity, 0, sizeof identity);
    const int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    const struct TavtestStats s = stats();
    check(result == TAVRIL_OPEN_OK && errorCode == 0 && handle != HANDLE_UNSET &&
              handle != TAVRIL_INVALID_HANDLE && identity_is(&identity, "TAV0000") &&
              s.commands == 1 && strcmp(s.lastCommand, "*IDN?") == 0 &&
              memcmp(s.head, "*IDN?\r\n", 7) == 0 && s.bytesWritten == 7,
          "Open_Tavril(0) opens the device and fills the identity from its *IDN? response",
          result, errorCode);
    return result == TAVRIL_OPEN_OK ? handle : TAVRIL_INVALID_HANDLE;
}

static void open_refusals(int devices) {
    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    check(result == TAVRIL_OPEN_FAILED && errorCode == 0 && handle == HANDLE_UNSET,
          "a second Open_Tavril(0) in the owner process is refused, handle not written", result,
          errorCode);

    /* Slot n opens the n-th present interface: past the last one there is
     * none, and the enumeration says so with ERROR_NO_MORE_ITEMS. */
    handle = HANDLE_UNSET;
    result = Open_Tavril((uint32_t)devices, &handle, &identity, &errorCode);
    char what[96];
    snprintf(what, sizeof what, "Open_Tavril(%d) with %d device(s) finds no device (259)",
             devices, devices);
    check(result == TAVRIL_OPEN_FAILED && errorCode == ERROR_NO_MORE_ITEMS &&
              handle == TAVRIL_INVALID_HANDLE,
          what, result, errorCode);
}

/* ---- writes ---------------------------------------------------------------------- */

static void write_framing(TavrilHandle handle) {
    static const struct {
        const char *text;
        const char *sent;
        uint32_t length;
        const char *what;
    } rows[] = {
        {"", "\r\n", 2, "the empty text goes out as CR LF alone"},
        {"abc", "abc\r\n", 5, "abc gets CR LF appended"},
        {"abc\r\n", "abc\r\n", 5, "a text ending in CR LF goes out unchanged"},
        {"a\r\nb", "a\r\nb", 4, "a CR LF inside goes out unchanged, nothing appended or cut"},
        {"abc\r", "abc\r\r\n", 6, "a lone CR is no line end"},
        {"abc\n", "abc\n\r\n", 6, "a lone LF is no line end"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        uint32_t written = 0xFFFF;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = Write_Tavril(handle, rows[i].text, 5, &written, &errorCode);
        const struct TavtestStats s = stats();
        char what[120];
        snprintf(what, sizeof what, "Write_Tavril: %s (driver saw %u bytes)", rows[i].what,
                 s.bytesWritten);
        check(result == TAVRIL_WRITE_OK && errorCode == 0 && written == rows[i].length &&
                  s.bytesWritten == rows[i].length &&
                  memcmp(s.head, rows[i].sent, rows[i].length) == 0 && s.writeSizeCount == 1 &&
                  s.writeSizes[0] == rows[i].length,
              what, result, errorCode);
    }
}

static char *text_of(size_t length) {
    char *text = (char *)malloc(length + 1);
    if (text != NULL) {
        memset(text, 'x', length);
        text[length] = 0;
    }
    return text;
}

static void write_chunking(TavrilHandle handle) {
    static const struct {
        uint32_t length;
        uint32_t transfers;
        uint32_t sizes[3];
    } rows[] = {
        {65534, 1, {65536}},
        {65535, 2, {65536, 1}},
        {131070, 2, {65536, 65536}},
        {131071, 3, {65536, 65536, 1}},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        char *text = text_of(rows[i].length);
        if (text == NULL) return;
        reset_device(0);
        uint32_t written = 0;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = Write_Tavril(handle, text, 5, &written, &errorCode);
        free(text);
        const struct TavtestStats s = stats();
        int sizes = s.writeSizeCount == rows[i].transfers;
        for (uint32_t k = 0; sizes && k < rows[i].transfers; ++k)
            sizes = s.writeSizes[k] == rows[i].sizes[k];
        char what[160];
        snprintf(what, sizeof what,
                 "Write_Tavril of %" PRIu32 " bytes and CR LF: %" PRIu32
                 " transfer(s) of at most 64 KiB (driver saw %u, last line %u bytes)",
                 rows[i].length, rows[i].transfers, s.writeSizeCount, s.lastCommandLength);
        check(result == TAVRIL_WRITE_OK && errorCode == 0 && written == rows[i].length + 2 &&
                  sizes && s.bytesWritten == rows[i].length + 2 && s.commands == 1 &&
                  s.lastCommandLength == rows[i].length &&
                  memcmp(s.tail + TAVTEST_TAIL_BYTES - 3, "x\r\n", 3) == 0,
              what, result, errorCode);
    }
}

static void write_failures(TavrilHandle handle) {
    /* A time-out in the second of three transfers. */
    char *text = text_of(131071);
    if (text != NULL) {
        reset_device(0);
        const struct TavtestFaults faults = {.skipWrites = 1, .stalledWrites = 1};
        set_faults(&faults);
        uint32_t written = 0;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = Write_Tavril(handle, text, 1, &written, &errorCode);
        free(text);
        const struct TavtestStats s = stats();
        check(result == TAVRIL_WRITE_TIMEOUT && errorCode == 0 && written == 65536 &&
                  s.writeSizeCount == 2 && s.cancelled == 1 && s.pendingWrites == 0 &&
                  recovered_once(&s),
              "Write_Tavril: the second of three transfers times out: -3, 65536 counted, "
              "cancelled, recovery request sent",
              result, errorCode);
    }

    static const struct {
        struct TavtestFaults faults;
        uint32_t errorCode; /* ERROR_CODE_UNSET: not fixed (the platform's last error) */
        int recovered;
        const char *what;
    } rows[] = {
        {{.partialWrites = 1, .partialWriteCount = 2}, ERROR_CODE_UNSET, 1,
         "the device takes 2 of 5 bytes: -1, nothing counted, recovery request sent"},
        {{.failedWrites = 1}, ERROR_CODE_IO_DEVICE, 1,
         "the driver fails the write: -1 with its code, recovery request sent"},
        {{.failedWrites = 1, .failedRecoveries = 1}, ERROR_CODE_NOT_READY, 0,
         "the write and the recovery request fail: the recovery request's code is left"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        set_faults(&rows[i].faults);
        uint32_t written = 0xFFFF;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = Write_Tavril(handle, "abc", 5, &written, &errorCode);
        const struct TavtestStats s = stats();
        const int recovery = rows[i].recovered ? recovered_once(&s) : s.failedRecoveries == 1;
        const int code = rows[i].errorCode == ERROR_CODE_UNSET ? errorCode != ERROR_CODE_UNSET
                                                               : errorCode == rows[i].errorCode;
        char what[140];
        snprintf(what, sizeof what, "Write_Tavril: %s", rows[i].what);
        check(result == TAVRIL_WRITE_FAILED && code && written == 0 && recovery, what, result,
              errorCode);
    }

    reset_device(0);
    const struct TavtestFaults stall = {.stalledWrites = 1};
    set_faults(&stall);
    uint32_t written = 0xFFFF;
    uint32_t errorCode = ERROR_CODE_UNSET;
    const int32_t result = Write_Tavril(handle, "abc", 1, &written, &errorCode);
    const struct TavtestStats s = stats();
    check(result == TAVRIL_WRITE_TIMEOUT && errorCode == 0 && written == 0 && s.cancelled == 1 &&
              recovered_once(&s),
          "Write_Tavril: a write that never completes times out: -3, errorCode 0, cancelled, "
          "recovery request sent",
          result, errorCode);
}

/* ---- reads ----------------------------------------------------------------------- */

static int send(TavrilHandle handle, const char *command) {
    uint32_t written = 0;
    uint32_t errorCode = 0;
    return Write_Tavril(handle, command, 5, &written, &errorCode) == TAVRIL_WRITE_OK;
}

static int is_data(const unsigned char *bytes, uint32_t count, uint32_t first) {
    for (uint32_t i = 0; i < count; ++i)
        if (bytes[i] != TAVTEST_DATA_BYTE(first + i)) return 0;
    return 1;
}

static void read_modes(TavrilHandle handle) {
    static const struct {
        int32_t mode;
        const char *text;
        uint32_t count;
        const char *what;
    } rows[] = {
        {TAVRIL_MODE_TEXT, "ab\r\ncd\r\n", 8, "mode 0 delivers the whole response as text"},
        {TAVRIL_MODE_LINE, "ab", 6, "mode 1 delivers the first line without its CR LF"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        char buffer[101];
        memset(buffer, 'z', sizeof buffer);
        uint32_t count = 0;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = send(handle, "ECHO? ab|cd")
                                   ? Read_Tavril(handle, 100, rows[i].mode, 5, buffer, &count,
                                                 &errorCode)
                                   : 99;
        char what[120];
        snprintf(what, sizeof what, "Read_Tavril: %s", rows[i].what);
        check(result == TAVRIL_READ_OK && errorCode == 0 && count == rows[i].count &&
                  strcmp(buffer, rows[i].text) == 0,
              what, result, errorCode);
    }

    /* Raw bytes: NUL, CR and LF among them, nothing written after them. */
    reset_device(0);
    unsigned char raw[1001];
    memset(raw, 'z', sizeof raw);
    uint32_t count = 0;
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = send(handle, "DATA? 300")
                         ? Read_Tavril(handle, 1000, TAVRIL_MODE_RAW, 5, (char *)raw, &count,
                                       &errorCode)
                         : 99;
    check(result == TAVRIL_READ_OK && errorCode == 0 && count == 300 && is_data(raw, 300, 0) &&
              raw[300] == 'z',
          "Read_Tavril: mode 2 delivers exactly the bytes received, NULs included", result,
          errorCode);

    /* One read takes one message: two queued responses are not joined, and
     * a response longer than the read is taken by the next reads. */
    reset_device(0);
    char text[101];
    int ok = send(handle, "ECHO? one") && send(handle, "ECHO? two") && send(handle, "DATA? 100");
    static const struct {
        uint32_t maxBytes;
        int32_t mode;
        uint32_t count;
        const char *text;
    } reads[] = {
        {100, TAVRIL_MODE_TEXT, 5, "one\r\n"}, {100, TAVRIL_MODE_TEXT, 5, "two\r\n"},
        {40, TAVRIL_MODE_RAW, 40, NULL},       {40, TAVRIL_MODE_RAW, 40, NULL},
        {40, TAVRIL_MODE_RAW, 20, NULL},
    };
    uint32_t offset = 0;
    for (size_t i = 0; ok && i < sizeof reads / sizeof reads[0]; ++i) {
        result = Read_Tavril(handle, reads[i].maxBytes, reads[i].mode, 5, text, &count,
                             &errorCode);
        ok = result == TAVRIL_READ_OK && count == reads[i].count &&
             (reads[i].text != NULL ? strcmp(text, reads[i].text) == 0
                                    : is_data((const unsigned char *)text, count, offset));
        if (reads[i].text == NULL) offset += count;
    }
    check(ok, "Read_Tavril: responses arrive message by message, never joined", result,
          errorCode);
}

static void read_chunking(TavrilHandle handle) {
    static const struct {
        uint32_t maxBytes;
        uint32_t second;
    } rows[] = {
        {131072, 65536}, /* the second transfer asks for a full chunk again */
        {100000, 34464}, /* the identification's size: the rest of it */
    };
    unsigned char *buffer = (unsigned char *)malloc(131073);
    if (buffer == NULL) return;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        uint32_t count = 0;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result = send(handle, "DATA? 100000")
                                   ? Read_Tavril(handle, rows[i].maxBytes, TAVRIL_MODE_RAW, 5,
                                                 (char *)buffer, &count, &errorCode)
                                   : 99;
        const struct TavtestStats s = stats();
        char what[120];
        snprintf(what, sizeof what,
                 "Read_Tavril(maxBytes %" PRIu32 ") of 100000 bytes: transfers of 65536 and %" PRIu32,
                 rows[i].maxBytes, rows[i].second);
        check(result == TAVRIL_READ_OK && errorCode == 0 && count == 100000 &&
                  is_data(buffer, 100000, 0) && s.readSizeCount == 2 &&
                  s.readSizes[0] == 65536 && s.readSizes[1] == rows[i].second,
              what, result, errorCode);
    }
    free(buffer);
}

static void read_failures(TavrilHandle handle) {
    static const struct {
        struct TavtestFaults faults;
        uint32_t timeout;
        int32_t result;
        uint32_t errorCode;
        int recovered;
        const char *what;
    } rows[] = {
        {{.stalledReads = 0}, 1, TAVRIL_READ_TIMEOUT, 0, 1,
         "no response: -3, errorCode 0, cancelled, recovery request sent"},
        {{.emptyReads = 1}, 5, TAVRIL_READ_FAILED, ERROR_CODE_UNSET, 1,
         "a read completes with 0 bytes: -1, recovery request sent"},
        {{.failedReads = 1}, 5, TAVRIL_READ_FAILED, ERROR_CODE_IO_DEVICE, 1,
         "the driver fails the read: -1 with its code, recovery request sent"},
        {{.failedReads = 1, .failedRecoveries = 1}, 5, TAVRIL_READ_FAILED, ERROR_CODE_NOT_READY,
         0, "the read and the recovery request fail: the recovery request's code is left"},
        {{.failedRecoveries = 1}, 1, TAVRIL_READ_TIMEOUT, ERROR_CODE_NOT_READY, 0,
         "a time-out whose recovery request fails: -3 with the recovery request's code"},
        {{.pendedRecoveries = 1}, 1, TAVRIL_READ_TIMEOUT, 0, 1,
         "a time-out whose recovery request the driver pends: -3, errorCode 0 once it ends"},
        {{.failedReads = 1, .pendedRecoveries = 1}, 5, TAVRIL_READ_FAILED, ERROR_CODE_IO_DEVICE, 1,
         "a failed read whose recovery request the driver pends: the read's code stays"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        set_faults(&rows[i].faults);
        char buffer[101];
        memset(buffer, 'z', sizeof buffer);
        uint32_t count = 0xFFFF;
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result =
            Read_Tavril(handle, 100, TAVRIL_MODE_TEXT, rows[i].timeout, buffer, &count,
                        &errorCode);
        const struct TavtestStats s = stats();
        const int recovery = rows[i].recovered ? recovered_once(&s) : s.failedRecoveries == 1;
        const int code = rows[i].errorCode == ERROR_CODE_UNSET ? errorCode != ERROR_CODE_UNSET
                                                               : errorCode == rows[i].errorCode;
        const int cancelled = rows[i].result != TAVRIL_READ_TIMEOUT || s.cancelled == 1;
        char what[140];
        snprintf(what, sizeof what, "Read_Tavril: %s", rows[i].what);
        check(result == rows[i].result && code && count == 0 && buffer[0] == 'z' && recovery &&
                  cancelled && s.pendingReads == 0,
              what, result, errorCode);
    }
}

/* ---- transactions ---------------------------------------------------------------- */

static void answer_codes(TavrilHandle handle) {
    static const struct {
        const char *response;
        int32_t mode;
        int32_t result;
    } rows[] = {
        {"ANS20", 0, 20},         {"ANS40", 0, 40},         {"ANS41", 0, 41},
        {"ANS60", 0, 60},         {"ANS80", 0, 80},         {"ANS90", 0, 90},
        {"ANS100", 0, 100},       {"ANS0", 0, 0},           {"done", 0, 0},
        {"ans20", 0, 0},          {"ANS10", 0, 0},          {"ANS60 ANS20", 0, 20},
        {"ANS200", 0, 20},        {"ANS410", 0, 41},        {"ANS1000", 0, 100},
        {"ANS40|ANS20", 1, 40},   {"ANS40|ANS20", 0, 20},   {"x|ANS90", 1, 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        char command[64];
        snprintf(command, sizeof command, "ECHO? %s", rows[i].response);
        char response[101];
        uint32_t errorCode = ERROR_CODE_UNSET;
        const int32_t result =
            Scmd_Tavril(handle, command, 100, rows[i].mode, 5, 5, response, &errorCode);
        char what[120];
        snprintf(what, sizeof what, "Scmd_Tavril: response \"%s\" in mode %" PRId32 " gives %" PRId32,
                 rows[i].response, rows[i].mode, rows[i].result);
        check(result == rows[i].result && errorCode == 0, what, result, errorCode);
    }
}

static void transaction_failures(TavrilHandle handle) {
    /* Refused arguments send nothing. */
    reset_device(0);
    char response[101];
    memset(response, 'z', sizeof response);
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Scmd_Tavril(handle, "*IDN?", 100, TAVRIL_MODE_RAW, 5, 5, response, &errorCode);
    struct TavtestStats s = stats();
    check(result == TAVRIL_SCMD_BAD_ARGUMENT && errorCode == 0 && s.writeSizeCount == 0 &&
              s.readSizeCount == 0 && response[0] == 'z',
          "Scmd_Tavril: mode 2 is refused before anything reaches the driver", result, errorCode);

    static const struct {
        struct TavtestFaults faults;
        int32_t result;
        uint32_t errorCode;
        uint32_t reads; /* read requests the driver saw */
        const char *what;
    } rows[] = {
        {{.stalledWrites = 1}, TAVRIL_SCMD_WRITE_TIMEOUT, 0, 0,
         "the write times out: -4, no read attempted"},
        {{.failedWrites = 1}, TAVRIL_SCMD_WRITE_FAILED, ERROR_CODE_IO_DEVICE, 0,
         "the write fails: -1 with its code, no read attempted"},
        {{.failedReads = 1}, TAVRIL_SCMD_READ_FAILED, ERROR_CODE_IO_DEVICE, 1,
         "the read fails: -2 with its code"},
        {{.stalledReads = 1}, TAVRIL_SCMD_READ_TIMEOUT, 0, 1, "the read times out: -5"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        reset_device(0);
        set_faults(&rows[i].faults);
        errorCode = ERROR_CODE_UNSET;
        result = Scmd_Tavril(handle, "ECHO? late", 100, TAVRIL_MODE_TEXT, 1, 1, response,
                             &errorCode);
        s = stats();
        char what[120];
        snprintf(what, sizeof what, "Scmd_Tavril: %s", rows[i].what);
        check(result == rows[i].result && errorCode == rows[i].errorCode &&
                  s.readSizeCount == rows[i].reads && recovered_once(&s),
              what, result, errorCode);
    }

    /* The response to a timed-out read is dropped by the recovery request:
     * the next transaction gets its own response, not the stale one. */
    reset_device(0);
    const struct TavtestFaults stall = {.stalledReads = 1};
    set_faults(&stall);
    errorCode = ERROR_CODE_UNSET;
    result = Scmd_Tavril(handle, "ECHO? first", 100, TAVRIL_MODE_TEXT, 5, 1, response, &errorCode);
    s = stats();
    const int dropped = result == TAVRIL_SCMD_READ_TIMEOUT && errorCode == 0 &&
                        recovered_once(&s) && s.droppedMessages == 1 && s.queuedMessages == 0;
    result = Scmd_Tavril(handle, "ECHO? second", 100, TAVRIL_MODE_TEXT, 5, 5, response,
                         &errorCode);
    check(dropped && result == 0 && errorCode == 0 && strcmp(response, "second\r\n") == 0,
          "Scmd_Tavril: after a read time-out the stale response is gone, the next "
          "transaction gets its own",
          result, errorCode);
}

static void configuration(TavrilHandle handle) {
    reset_device(0);
    InstrumentIdentity identity;
    memset(&identity, 0, sizeof identity);
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Conf_Tavril(handle, &identity, &errorCode);
    struct TavtestStats s = stats();
    check(result == TAVRIL_CONF_OK && errorCode == 0 && identity_is(&identity, "TAV0000") &&
              s.readSizeCount == 1 && s.readSizes[0] == 50,
          "Conf_Tavril asks *IDN? again (a read of at most 50 bytes) and fills the identity",
          result, errorCode);

    /* Output left from before: Conf_Tavril takes the first message. */
    reset_device(0);
    push_output("X,ANS20,Y\r\n");
    memset(&identity, 0x33, sizeof identity);
    errorCode = ERROR_CODE_UNSET;
    result = Conf_Tavril(handle, &identity, &errorCode);
    check(result == TAVRIL_CONF_FAILED && errorCode == 0 && (unsigned char)identity.model[0] == 0x33,
          "Conf_Tavril: a response with an answer code gives -1, errorCode 0, no identity",
          result, errorCode);

    reset_device(0);
    const struct TavtestFaults failRead = {.failedReads = 1};
    set_faults(&failRead);
    errorCode = ERROR_CODE_UNSET;
    result = Conf_Tavril(handle, &identity, &errorCode);
    check(result == TAVRIL_CONF_FAILED && errorCode == ERROR_CODE_IO_DEVICE &&
              (unsigned char)identity.model[0] == 0x33,
          "Conf_Tavril: a failed read gives -1 with the read's code", result, errorCode);
}

static void close_and_reopen(TavrilHandle handle) {
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result = Close_Tavril(handle, &errorCode);
    check(result == TAVRIL_CLOSE_OK && errorCode == 0, "Close_Tavril closes and frees slot 0",
          result, errorCode);
    result = Close_Tavril(handle, &errorCode);
    check(result == TAVRIL_CLOSE_FAILED && errorCode == ERROR_INVALID_HANDLE,
          "Close_Tavril of the closed handle fails with 6", result, errorCode);

    /* The handshake reads past output that does not name the instrument. */
    reset_device(0);
    push_output("left over\r\n");
    TavrilHandle again = HANDLE_UNSET;
    InstrumentIdentity identity;
    memset(&identity, 0, sizeof identity);
    result = Open_Tavril(0, &again, &identity, &errorCode);
    struct TavtestStats s = stats();
    check(result == TAVRIL_OPEN_OK && errorCode == 0 && identity_is(&identity, "TAV0000") &&
              s.commands == 1 && s.reads == 2,
          "Open_Tavril(0) on the freed slot reads past a stale line to the identity", result,
          errorCode);
    if (result == TAVRIL_OPEN_OK) Close_Tavril(again, &errorCode);

    /* A failed identification leaves the device open and the slot claimed. */
    reset_device(0);
    const struct TavtestFaults failWrite = {.failedWrites = 1};
    set_faults(&failWrite);
    again = HANDLE_UNSET;
    memset(&identity, 0x33, sizeof identity);
    result = Open_Tavril(0, &again, &identity, &errorCode);
    const int claimed = result == TAVRIL_OPEN_NOT_IDENTIFIED &&
                        errorCode == ERROR_CODE_IO_DEVICE && again != HANDLE_UNSET &&
                        again != TAVRIL_INVALID_HANDLE && (unsigned char)identity.model[0] == 0x33;
    check(claimed, "Open_Tavril(0) whose *IDN? write fails: -2 with its code, device left open",
          result, errorCode);
    if (again != HANDLE_UNSET && again != TAVRIL_INVALID_HANDLE) {
        TavrilHandle third = HANDLE_UNSET;
        result = Open_Tavril(0, &third, &identity, &errorCode);
        check(result == TAVRIL_OPEN_FAILED && errorCode == 0 && third == HANDLE_UNSET,
              "the slot of the -2 open stays claimed", result, errorCode);
        result = Close_Tavril(again, &errorCode);
        check(result == TAVRIL_CLOSE_OK && errorCode == 0, "Close_Tavril frees it", result,
              errorCode);
    }
}

/* ---- the slot table shared between processes ------------------------------------ */

#ifdef _WIN64
#define OWN_MACHINE IMAGE_FILE_MACHINE_AMD64
#else
#define OWN_MACHINE IMAGE_FILE_MACHINE_I386
#endif

/* The machine type in the image header of the tavlib.dll this process has
 * loaded; 0 when none is loaded. */
static WORD loaded_dll_machine(void) {
    const unsigned char *base = (const unsigned char *)GetModuleHandleA("tavlib.dll");
    if (base == NULL) return 0;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)(const void *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(const void *)(base + dos->e_lfanew);
    return nt->FileHeader.Machine;
}

/* A child's part: claim slot 0, or be refused it; the child's tavlib.dll
 * must be of its own width.  Exit code 0 when it went as the role says. */
static int child_role(const char *role) {
    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    memset(&identity, 0, sizeof identity);
    const int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    printf("       (process %lu, %d-bit, %s: Open_Tavril(0) result %" PRId32 ", errorCode %" PRIu32
           ")\n",
           GetCurrentProcessId(), (int)sizeof(void *) * 8, role, result, errorCode);
    fflush(stdout);
    if (loaded_dll_machine() != OWN_MACHINE) return 1;
    if (strcmp(role, "expect-refused") == 0)
        return result == TAVRIL_OPEN_FAILED && errorCode == 0 && handle == HANDLE_UNSET ? 0 : 1;
    if (result != TAVRIL_OPEN_OK || !identity_is(&identity, "TAV0000")) return 1;
    return Close_Tavril(handle, &errorCode) == TAVRIL_CLOSE_OK && errorCode == 0 ? 0 : 1;
}

/* Runs `program --child role` and returns its exit code, -1 when it could
 * not be started or did not end within a minute. */
static int run_program(const char *program, const char *role) {
    char commandLine[MAX_PATH + 64];
    snprintf(commandLine, sizeof commandLine, "\"%s\" --child %s", program, role);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    fflush(stdout);
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return -1;
    DWORD exitCode = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)exitCode;
}

static int run_child(const char *role) {
    char self[MAX_PATH];
    if (GetModuleFileNameA(NULL, self, sizeof self) == 0) return -1;
    return run_program(self, role);
}

/* Slot 0 claimed by this process, as other processes see it.  Without
 * `other`: another process is refused it, and opens it once it is free.
 * With `other` (this program built for the other width, its tavlib.dll
 * beside it): a process of the other width claims slot 0 meanwhile, in the
 * table of its own DLL, while one of this width is still refused. */
static void claimed_slot(const char *other) {
    reset_device(0);
    TavrilHandle handle = HANDLE_UNSET;
    uint32_t errorCode = ERROR_CODE_UNSET;
    InstrumentIdentity identity;
    int32_t result = Open_Tavril(0, &handle, &identity, &errorCode);
    check(result == TAVRIL_OPEN_OK, "this process claims slot 0", result, errorCode);
    int child;
    if (other != NULL) {
        child = run_program(other, "claim-and-close");
        check(child == 0,
              "meanwhile a program of the other width claims, identifies and closes slot 0 of "
              "its own",
              child, 0);
    }
    child = run_child("expect-refused");
    check(child == 0, "another process of this width is refused slot 0 while this one holds it",
          child, 0);
    if (result == TAVRIL_OPEN_OK) {
        result = Close_Tavril(handle, &errorCode);
        check(result == TAVRIL_CLOSE_OK, "this process releases slot 0", result, errorCode);
    }
    if (other == NULL) {
        child = run_child("claim-and-close");
        check(child == 0, "another process then opens, identifies and closes slot 0", child, 0);
    }
}

/* The DLL of each width is its own image, with its own shared section. */
static void beside(const char *other) {
    check(loaded_dll_machine() == OWN_MACHINE, "this process runs the tavlib.dll of its own width",
          0, 0);
    const char *slash = strrchr(other, '\\');
    const int folder = slash != NULL ? (int)(slash + 1 - other) : 0;
    char dll[MAX_PATH];
    snprintf(dll, sizeof dll, "%.*stavlib.dll", folder, other);
    SetLastError(0);
    HMODULE module = LoadLibraryA(dll);
    const DWORD loadError = GetLastError();
    check(module == NULL && loadError == ERROR_BAD_EXE_FORMAT,
          "the other width's tavlib.dll does not load into this process (193)", 0, loadError);
    if (module != NULL) FreeLibrary(module);
    claimed_slot(other);
}

/* ---- the runs ---------------------------------------------------------------------- */

static void no_device(void) {
    for (uint32_t slot = 0; slot < TAVRIL_SLOT_COUNT; ++slot) {
        TavrilHandle handle = HANDLE_UNSET;
        uint32_t errorCode = ERROR_CODE_UNSET;
        InstrumentIdentity identity;
        const int32_t result = Open_Tavril(slot, &handle, &identity, &errorCode);
        char what[80];
        snprintf(what, sizeof what, "Open_Tavril(%" PRIu32 ") finds no device once removed", slot);
        check(result == TAVRIL_OPEN_FAILED && errorCode == ERROR_NO_MORE_ITEMS &&
                  handle == TAVRIL_INVALID_HANDLE,
              what, result, errorCode);
    }
}

static void one_device(void) {
    TavrilHandle handle = open_and_identify();
    open_refusals(1);
    if (handle == TAVRIL_INVALID_HANDLE) return;
    write_framing(handle);
    write_chunking(handle);
    write_failures(handle);
    read_modes(handle);
    read_chunking(handle);
    read_failures(handle);
    answer_codes(handle);
    transaction_failures(handle);
    configuration(handle);
    close_and_reopen(handle);
    claimed_slot(NULL);
}

static void two_devices(void) {
    reset_device(0);
    reset_device(1);
    TavrilHandle handles[2] = {HANDLE_UNSET, HANDLE_UNSET};
    for (uint32_t slot = 0; slot < 2; ++slot) {
        uint32_t errorCode = ERROR_CODE_UNSET;
        InstrumentIdentity identity;
        memset(&identity, 0, sizeof identity);
        const int32_t result = Open_Tavril(slot, &handles[slot], &identity, &errorCode);
        char serial[8];
        snprintf(serial, sizeof serial, "TAV%04" PRIu32, slot);
        char what[96];
        snprintf(what, sizeof what, "Open_Tavril(%" PRIu32 ") opens device %s, enumeration order",
                 slot, serial);
        check(result == TAVRIL_OPEN_OK && errorCode == 0 && identity_is(&identity, serial), what,
              result, errorCode);
    }
    open_refusals(2);

    /* Each handle reaches its own device. */
    char response[101];
    uint32_t errorCode = ERROR_CODE_UNSET;
    int32_t result =
        Scmd_Tavril(handles[1], "ECHO? ANS41", 100, TAVRIL_MODE_LINE, 5, 5, response, &errorCode);
    const struct TavtestStats first = stats_of(0);
    const struct TavtestStats second = stats_of(1);
    check(result == 41 && strcmp(response, "ANS41") == 0 && first.commands == 1 &&
              second.commands == 2 && strcmp(second.lastCommand, "ECHO? ANS41") == 0 &&
              first.instance == 0 && second.instance == 1,
          "a transaction on slot 1 reaches the second device only", result, errorCode);

    for (int i = 0; i < 2; ++i) {
        if (handles[i] == HANDLE_UNSET || handles[i] == TAVRIL_INVALID_HANDLE) continue;
        result = Close_Tavril(handles[i], &errorCode);
        check(result == TAVRIL_CLOSE_OK && errorCode == 0, "Close_Tavril frees its slot", result,
              errorCode);
    }
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
#ifdef E2E_LOAD_LIBRARY
    if (!load_tavlib()) {
        check(0, "LoadLibraryA(tavlib.dll) and GetProcAddress of its six functions", 0,
              GetLastError());
        printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }
#endif
    if (argc == 3 && strcmp(argv[1], "--child") == 0) return child_role(argv[2]);
    const char *other = argc == 3 && strcmp(argv[1], "--beside") == 0 ? argv[2] : NULL;
    const int devices =
        other != NULL ? 1 : argc == 3 && strcmp(argv[1], "--devices") == 0 ? atoi(argv[2]) : -1;
    if (devices < 0 || devices > 2) {
        fprintf(stderr, "usage: %s --devices 0|1|2 | --beside OTHER\n", argv[0]);
        return 2;
    }

    for (int i = 0; i < devices; ++i) {
        control[i] = open_device((DWORD)i);
        if (control[i] == INVALID_HANDLE_VALUE) {
            check(0, "open the test's control handle on the device", 0, GetLastError());
            printf("%d passed, %d failed\n", passed, failed);
            return 1;
        }
    }

    if (other != NULL)
        beside(other);
    else if (devices == 0)
        no_device();
    else if (devices == 1)
        one_device();
    else
        two_devices();

    for (int i = 0; i < devices; ++i) CloseHandle(control[i]);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
