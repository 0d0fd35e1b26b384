/*
 * tavlib - device access for the VESPARO ZQ907 programmable instrument.
 *
 * Six plain C functions open a connection to an instrument, send command
 * lines, read responses, run command/response transactions and ask the
 * instrument for its identity.  Every function is synchronous, runs wholly
 * on the calling thread, returns a signed 32-bit result and reports the
 * platform error code of a failure through its last parameter.
 *
 * Conventions shared by every function
 * ------------------------------------
 * - Results: 0 is success; small negative values name the stage that
 *   failed.  Each function has its own table of results below; the values
 *   are not shared (-2 means "argument refused" for Write_Tavril but "read
 *   failed" for Scmd_Tavril).
 * - errorCode: a pointer to an unsigned 32-bit word.  Functions set it to 0
 *   on entry (Conf_Tavril only at its end) and to a Win32 error code when a
 *   platform call fails.  The same codes are reported on Windows and Linux.
 *   After a failed or timed-out transfer the library asks the driver to
 *   recover the connection; if that request fails, its code replaces the
 *   transfer's.  A plain time-out leaves 0.
 * - Time-outs are whole seconds and bound each transfer of at most 64 KiB,
 *   not the whole call.
 * - Pointer parameters are not validated: pass valid pointers.
 * - Nothing is allocated for the caller; nothing needs to be freed.
 *
 * Threads and processes
 * ---------------------
 * - The four device slots are shared by every process that loads the
 *   library.  A claimed slot refuses every further Open_Tavril, from any
 *   process including its owner, until the owner calls Close_Tavril.  The
 *   in-use test and the claim are serialised across threads and processes,
 *   so two simultaneous opens of one slot never both succeed.
 * - Calls on different handles are independent and may run concurrently.
 * - Calls on one handle from several threads are safe (each waits for its
 *   own transfers), but the library does not order them: two transactions
 *   run at once on one handle may interleave their commands and responses
 *   on the instrument.  Serialise transactions on a handle yourself if the
 *   instrument's answers must match their commands.
 * - A process that ends without Close_Tavril leaves its slot claimed until
 *   every process that has the library loaded has unloaded it.
 *
 * Linux notes
 * -----------
 * - The instrument's driver is a user process (the simulator, or a bridge
 *   to hardware) reached through a runtime directory R: $TAVRIL_RUNTIME_DIR
 *   when set and not empty, else $XDG_RUNTIME_DIR/tavril, else
 *   /tmp/tavril-<uid>.  R is read once, when the library is loaded, made
 *   absolute then (a relative path is taken from the working directory of
 *   that moment), and serves both the slot table and device discovery for
 *   the life of the process, whatever the environment or the working
 *   directory becomes: set TAVRIL_RUNTIME_DIR before the library loads; a
 *   program that needs another R runs a child process.
 * - R, its interface folder and its slot-table file must belong to the
 *   calling user, must not be symbolic links, and must grant nothing to
 *   group or others (R is created with mode 0700 when missing).  Otherwise
 *   the library refuses them and writes nothing there: Open_Tavril and
 *   Close_Tavril fail with -1 and TAVRIL_ERROR_ACCESS_DENIED, so another
 *   local user cannot plant a driver or a slot table for you.
 * - A driver process can stop or hang.  The library never waits for it
 *   without a bound: after a transfer's time-out (or a start that the
 *   driver does not take), the cancel and the recovery request together
 *   wait at most TAVRIL_DRIVER_GRACE_MS more, and a recovery request left
 *   unanswered fails with TAVRIL_ERROR_TIMEOUT.  A call therefore returns
 *   within its time-out plus TAVRIL_DRIVER_GRACE_MS.  A request abandoned
 *   this way writes nothing into the caller's memory when its answer comes
 *   late, and takes no output meant for a later call: the next transfer on
 *   the handle first waits for it to end, at most TAVRIL_DRIVER_GRACE_MS
 *   more, and fails with TAVRIL_ERROR_TIMEOUT when the driver holds it
 *   longer.  Open_Tavril waits at most TAVRIL_DRIVER_GRACE_MS for a driver to
 *   take the connection, then fails with -1 and TAVRIL_ERROR_TIMEOUT.
 */
#ifndef TAVLIB_H
#define TAVLIB_H

#include <stddef.h>
#include <stdint.h>

/* The library's version, the one place it is written (the build takes it
 * from here).  TAVLIB_VERSION compares: 0x010000 is 1.0.0. */
#define TAVLIB_VERSION_MAJOR 1
#define TAVLIB_VERSION_MINOR 0
#define TAVLIB_VERSION_PATCH 0
#define TAVLIB_VERSION \
    ((TAVLIB_VERSION_MAJOR << 16) | (TAVLIB_VERSION_MINOR << 8) | TAVLIB_VERSION_PATCH)

/* Calling convention of the exported functions: stdcall on 32-bit Windows
 * (undecorated names), the platform's default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define TAVRIL_CALL __stdcall
#else
#define TAVRIL_CALL
#endif

#if defined(TAVLIB_BUILDING) && !defined(_WIN32)
#define TAVRIL_API __attribute__((visibility("default")))
#else
#define TAVRIL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Device handle: pointer-sized on every platform (a HANDLE on Windows). */
typedef void *TavrilHandle;

/* The invalid handle: all bits set. */
#define TAVRIL_INVALID_HANDLE ((TavrilHandle)(intptr_t)-1)

/* Number of device slots; valid slot numbers are 0 to 3. */
#define TAVRIL_SLOT_COUNT 4

/* Error codes the library itself reports (the others come from the
 * platform).  They are Win32 codes, the same on every platform. */
#define TAVRIL_ERROR_ACCESS_DENIED 5u    /* ERROR_ACCESS_DENIED: R refused */
#define TAVRIL_ERROR_TEXT_TOO_LONG 534u  /* ERROR_ARITHMETIC_OVERFLOW */
#define TAVRIL_ERROR_TIMEOUT 1460u       /* ERROR_TIMEOUT */

/* The most bytes one transfer moves.  Commands are sent and responses
 * received in transfers of at most this size; each time-out bounds one. */
#define TAVRIL_MAX_TRANSFER 65536u

/* Time-out bounds, in whole seconds: Write_Tavril and both time-outs of
 * Scmd_Tavril take TAVRIL_MIN_TIMEOUT_SECONDS to TAVRIL_MAX_TIMEOUT_SECONDS,
 * Read_Tavril TAVRIL_MIN_TIMEOUT_SECONDS to TAVRIL_MAX_READ_TIMEOUT_SECONDS. */
#define TAVRIL_MIN_TIMEOUT_SECONDS 1u
#define TAVRIL_MAX_TIMEOUT_SECONDS 60u
#define TAVRIL_MAX_READ_TIMEOUT_SECONDS 3600000u

/* Linux: the longest the library waits for a driver beyond a time-out (the
 * cancel and the recovery request together), and for a driver to take a
 * connection in Open_Tavril.  See "Linux notes" above. */
#define TAVRIL_DRIVER_GRACE_MS 2000u

/* Width of each identity field, its terminating NUL included. */
#define TAVRIL_IDENTITY_FIELD_SIZE 20

/* The instrument's identity, split from its "*IDN?" response.  Each field
 * is NUL-terminated text of at most 19 characters; longer fields are cut. */
typedef struct InstrumentIdentity {
    char model[TAVRIL_IDENTITY_FIELD_SIZE];           /* offset 0 */
    char serialNumber[TAVRIL_IDENTITY_FIELD_SIZE];    /* offset 20 */
    char firmwareVersion[TAVRIL_IDENTITY_FIELD_SIZE]; /* offset 40 */
} InstrumentIdentity;

#ifdef __cplusplus
static_assert(sizeof(InstrumentIdentity) == 60, "InstrumentIdentity is 60 bytes");
static_assert(offsetof(InstrumentIdentity, serialNumber) == 20, "serialNumber at 20");
static_assert(offsetof(InstrumentIdentity, firmwareVersion) == 40, "firmwareVersion at 40");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(InstrumentIdentity) == 60, "InstrumentIdentity is 60 bytes");
_Static_assert(offsetof(InstrumentIdentity, serialNumber) == 20, "serialNumber at 20");
_Static_assert(offsetof(InstrumentIdentity, firmwareVersion) == 40, "firmwareVersion at 40");
#endif

/* ---------------------------------------------------------------------
 * Open_Tavril: open the instrument of one slot, claim the slot and
 * identify the instrument.
 *
 *   slot       0 to 3.  Slot n opens the n-th present instrument in the
 *              platform's enumeration order at the time of the call.
 *   handle     receives the device handle (see the table).
 *   identity   filled with model, serial number and firmware version on
 *              result 0 only.
 *   errorCode  0 on entry; a Win32 error code on the failures below.
 *
 * The instrument is identified by asking "*IDN?" and reading until a
 * response line holds "VESPARO,ZQ907" (at most 10 further reads of one
 * second after the query).
 *
 * Result                          *handle          *errorCode   slot
 *  0 TAVRIL_OPEN_OK               the open handle  0            claimed
 * -1 TAVRIL_OPEN_FAILED:
 *      slot already claimed       not written      0            untouched
 *      no device list             -1               setup code   untouched
 *      no instrument at `slot`    -1               259 (ERROR_NO_MORE_ITEMS)
 *                                                  or the discovery code
 *      device cannot be opened    -1               open's code  untouched
 *      slot table lock refused    -1               its code     untouched
 *        (Linux: 5 for a runtime directory that is not private to you)
 * -2 TAVRIL_OPEN_NOT_IDENTIFIED: the device is open and the slot claimed,
 *      but identification failed: no memory (8), the "*IDN?" write or read
 *      failed (their code), or no response named the instrument (1460,
 *      ERROR_TIMEOUT).  Release the handle and the slot with Close_Tavril.
 * -3 TAVRIL_OPEN_BAD_SLOT: slot > 3.  *handle = -1, *errorCode = 0.
 * ------------------------------------------------------------------- */
enum {
    TAVRIL_OPEN_OK = 0,
    TAVRIL_OPEN_FAILED = -1,
    TAVRIL_OPEN_NOT_IDENTIFIED = -2,
    TAVRIL_OPEN_BAD_SLOT = -3
};
TAVRIL_API int32_t TAVRIL_CALL Open_Tavril(uint32_t slot, TavrilHandle *handle,
                                           InstrumentIdentity *identity,
                                           uint32_t *errorCode);

/* ---------------------------------------------------------------------
 * Close_Tavril: close a handle from Open_Tavril and free its slot.
 *
 *   handle     a handle that Open_Tavril returned (after result 0 or -2).
 *   errorCode  0 on entry; the platform code when the close fails.
 *
 * Result
 *  0 TAVRIL_CLOSE_OK      closed; the slot this process held for it is free.
 * -1 TAVRIL_CLOSE_FAILED  handle is -1 (nothing closed, *errorCode 0);
 *                         the close failed (*errorCode: its code, e.g. 6
 *                         ERROR_INVALID_HANDLE; slots untouched); the slot
 *                         table's lock could not be had (*errorCode: its
 *                         code; nothing closed, try again); or the
 *                         handle was closed but no slot records it for this
 *                         process (*errorCode 0).
 * ------------------------------------------------------------------- */
enum { TAVRIL_CLOSE_OK = 0, TAVRIL_CLOSE_FAILED = -1 };
TAVRIL_API int32_t TAVRIL_CALL Close_Tavril(TavrilHandle handle, uint32_t *errorCode);

/* ---------------------------------------------------------------------
 * Write_Tavril: send one command line.
 *
 *   handle          an open handle (not tested: a bad one fails with -1).
 *   text            NUL-terminated command.  CR LF is appended unless the
 *                   text already holds a CR LF pair anywhere, in which case
 *                   it is sent unchanged.  Sent in transfers of <= 64 KiB.
 *   timeoutSeconds  1 to 60; bounds each transfer.
 *   bytesWritten    0 on entry; the bytes the device took (CR LF included).
 *                   After -1 or -3: 65536 times the full transfers done.
 *   errorCode       0 on entry; the Win32 code of a failure.
 *
 * Result
 *  0 TAVRIL_WRITE_OK         every byte sent.
 * -1 TAVRIL_WRITE_FAILED     no memory or event (their code, no transfer);
 *                            text cannot be read (the copy's code, e.g. 998
 *                            for a null text) or is 2^31 bytes or longer
 *                            (TAVRIL_ERROR_TEXT_TOO_LONG): nothing sent, no
 *                            recovery request; or a transfer failed or the
 *                            device took only part of it (the recovery
 *                            request was sent).
 * -2 TAVRIL_WRITE_BAD_ARGUMENT  timeoutSeconds is 0 or above 60.
 * -3 TAVRIL_WRITE_TIMEOUT    a transfer did not finish in time; it was
 *                            cancelled and the recovery request sent.
 *                            *errorCode is 0 unless the cancel or the
 *                            recovery request failed.
 * ------------------------------------------------------------------- */
enum {
    TAVRIL_WRITE_OK = 0,
    TAVRIL_WRITE_FAILED = -1,
    TAVRIL_WRITE_BAD_ARGUMENT = -2,
    TAVRIL_WRITE_TIMEOUT = -3
};
TAVRIL_API int32_t TAVRIL_CALL Write_Tavril(TavrilHandle handle, const char *text,
                                            uint32_t timeoutSeconds, uint32_t *bytesWritten,
                                            uint32_t *errorCode);

/* Read modes of Read_Tavril and Scmd_Tavril. */
enum {
    TAVRIL_MODE_TEXT = 0, /* the response as NUL-terminated text */
    TAVRIL_MODE_LINE = 1, /* its first line, without CR LF, NUL-terminated */
    TAVRIL_MODE_RAW = 2   /* exactly the bytes received, no terminator */
};

/* ---------------------------------------------------------------------
 * Read_Tavril: receive one response.
 *
 *   handle          an open handle (not tested: a bad one fails with -1).
 *   maxBytes        the largest response accepted.  Below 65536 one
 *                   transfer is made; from 65536 on, transfers of 64 KiB
 *                   follow each other until one brings fewer bytes.
 *   mode            TAVRIL_MODE_TEXT, _LINE or _RAW.
 *   timeoutSeconds  1 to 3,600,000; bounds each transfer.
 *   buffer          maxBytes + 1 bytes in modes 0 and 1, maxBytes in mode 2.
 *                   Written only when every transfer succeeded.
 *   bytesRead       0 on entry; the bytes received (mode 1: less the 2
 *                   bytes of the CR LF that ended the line, if one did).
 *                   After -1 or -3: the bytes of the transfers completed.
 *   errorCode       0 on entry; the Win32 code of a failure.
 *
 * Result
 *  0 TAVRIL_READ_OK           a response was delivered.
 * -1 TAVRIL_READ_FAILED       no memory or event (no transfer made); a
 *                             transfer failed or brought no byte (the
 *                             recovery request was sent); or the copy into
 *                             buffer failed.
 * -2 TAVRIL_READ_BAD_ARGUMENT mode outside 0..2, or timeoutSeconds 0 or
 *                             above 3,600,000.
 * -3 TAVRIL_READ_TIMEOUT      a transfer did not finish in time; it was
 *                             cancelled and the recovery request sent, which
 *                             drops the instrument's untaken output.
 * ------------------------------------------------------------------- */
enum {
    TAVRIL_READ_OK = 0,
    TAVRIL_READ_FAILED = -1,
    TAVRIL_READ_BAD_ARGUMENT = -2,
    TAVRIL_READ_TIMEOUT = -3
};
TAVRIL_API int32_t TAVRIL_CALL Read_Tavril(TavrilHandle handle, uint32_t maxBytes, int32_t mode,
                                           uint32_t timeoutSeconds, char *buffer,
                                           uint32_t *bytesRead, uint32_t *errorCode);

/* ---------------------------------------------------------------------
 * Scmd_Tavril: one command/response transaction.
 *
 * Writes `command` as Write_Tavril does, then reads the response as
 * Read_Tavril does into `response` (maxBytes + 1 bytes), and turns an
 * answer-code token in the response text into the result.  The tokens are
 * searched in this order and the first one present decides (case-sensitive,
 * anywhere in the text; in mode 1 only the first line is searched):
 * "ANS20" 20, "ANS40" 40, "ANS41" 41, "ANS60" 60, "ANS80" 80, "ANS90" 90,
 * "ANS100" 100.  No token (or "ANS0") gives 0.
 *
 *   mode           0 or 1 only.
 *   writeTimeoutSeconds, readTimeoutSeconds   1 to 60 each.
 *
 * Result                                     *errorCode     response
 *  0, 20, 40, 41, 60, 80, 90, 100            0              the text
 * -1 TAVRIL_SCMD_WRITE_FAILED                the write's    untouched
 * -2 TAVRIL_SCMD_READ_FAILED                 the read's     as the read left it
 * -3 TAVRIL_SCMD_BAD_ARGUMENT (nothing sent) 0              untouched
 * -4 TAVRIL_SCMD_WRITE_TIMEOUT               the write's    untouched
 * -5 TAVRIL_SCMD_READ_TIMEOUT (command sent) the read's     untouched
 * ------------------------------------------------------------------- */
enum {
    TAVRIL_SCMD_OK = 0,
    TAVRIL_SCMD_WRITE_FAILED = -1,
    TAVRIL_SCMD_READ_FAILED = -2,
    TAVRIL_SCMD_BAD_ARGUMENT = -3,
    TAVRIL_SCMD_WRITE_TIMEOUT = -4,
    TAVRIL_SCMD_READ_TIMEOUT = -5
};
TAVRIL_API int32_t TAVRIL_CALL Scmd_Tavril(TavrilHandle handle, const char *command,
                                           uint32_t maxBytes, int32_t mode,
                                           uint32_t writeTimeoutSeconds,
                                           uint32_t readTimeoutSeconds, char *response,
                                           uint32_t *errorCode);

/* ---------------------------------------------------------------------
 * Conf_Tavril: ask an open instrument for its identity again.
 *
 * Runs "*IDN?" (first line, at most 50 bytes, 30 s time-outs) and splits
 * the last three comma-separated fields into model, serial number and
 * firmware version; missing leading fields are left empty.
 *
 * Result
 *  0 TAVRIL_CONF_OK      identity filled; *errorCode 0.
 * -1 TAVRIL_CONF_FAILED  handle is -1 (*errorCode and identity untouched);
 *                        or the transaction did not give 0: *errorCode
 *                        holds its error code (0 when the response carried
 *                        an answer code), identity untouched.
 * ------------------------------------------------------------------- */
enum { TAVRIL_CONF_OK = 0, TAVRIL_CONF_FAILED = -1 };
TAVRIL_API int32_t TAVRIL_CALL Conf_Tavril(TavrilHandle handle, InstrumentIdentity *identity,
                                           uint32_t *errorCode);

#ifdef __cplusplus
}
#endif

#endif /* TAVLIB_H */
