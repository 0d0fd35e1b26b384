/*
 * The test driver's control interface, shared by the driver (kernel mode)
 * and the test programs (user mode).
 *
 * The driver stands in for the instrument's kernel-mode driver: it serves
 * the instrument's device interface class and answers the requests that
 * tavlib makes.  Besides the recovery request 0x222000, which every driver
 * of the instrument answers, it takes a few control codes that only tests
 * use: they set faults for the next transfers, push raw output into the
 * instrument's queue, and report what the driver saw.
 *
 * All codes are METHOD_BUFFERED, FILE_ANY_ACCESS, device type
 * FILE_DEVICE_UNKNOWN.  Every count is a little-endian 32-bit word.
 */
#pragma once

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define TAVTEST_CTL(function) (0x00220000u | ((unsigned int)(function) << 2))

/* The recovery request: drops the output no read has taken yet, any
 * partly received command and any response still being prepared.  No
 * buffers.  Fails with STATUS_DEVICE_NOT_READY (Win32 21) while a
 * recovery fault is set; answered as pending and completed a moment later
 * by the device's worker while a pended-recovery fault is set. */
#define TAVTEST_IOCTL_RECOVER TAVTEST_CTL(0x800) /* 0x222000 */

/* In: struct TavtestFaults.  Replaces the faults in force. */
#define TAVTEST_IOCTL_SET_FAULTS TAVTEST_CTL(0x801) /* 0x222004 */
/* Out: struct TavtestStats. */
#define TAVTEST_IOCTL_GET_STATS TAVTEST_CTL(0x802) /* 0x222008 */
/* No buffers.  Clears the statistics, the faults, the instrument's output,
 * its partly received command and its setting (LEVEL back to "0");
 * pending requests stay pending. */
#define TAVTEST_IOCTL_RESET TAVTEST_CTL(0x803) /* 0x22200C */
/* In: 1 to 65536 bytes, appended to the output as one message. */
#define TAVTEST_IOCTL_PUSH_OUTPUT TAVTEST_CTL(0x804) /* 0x222010 */

/* Each count applies to that many of the next requests of its kind, once
 * the skip count of that kind has passed: skipWrites 1 and stalledWrites 1
 * stall the second write from now. */
struct TavtestFaults {
    unsigned int skipWrites;        /* writes served normally first */
    unsigned int skipReads;         /* reads served normally first */
    unsigned int stalledWrites;     /* never completed until cancelled */
    unsigned int stalledReads;      /* never completed until cancelled */
    unsigned int failedWrites;      /* fail with STATUS_IO_DEVICE_ERROR (1117), take nothing */
    unsigned int failedReads;       /* fail with STATUS_IO_DEVICE_ERROR (1117), take nothing */
    unsigned int partialWrites;     /* complete with partialWriteCount bytes taken */
    unsigned int partialWriteCount; /* below the length asked for */
    unsigned int emptyReads;        /* complete successfully with 0 bytes, output or not */
    unsigned int failedRecoveries;  /* fail with STATUS_DEVICE_NOT_READY (21), drop nothing */
    unsigned int pendedRecoveries;  /* answered STATUS_PENDING, completed 100 ms later */
};

#define TAVTEST_WRITE_LOG 16
#define TAVTEST_HEAD_BYTES 256
#define TAVTEST_TAIL_BYTES 16
#define TAVTEST_COMMAND_HEAD 64

/* What the driver saw since it started or was last reset. */
struct TavtestStats {
    unsigned int instance;          /* device instance number, 0 for ...\0000 */
    unsigned int writes;            /* write requests completed with success */
    unsigned int reads;             /* read requests completed with success */
    unsigned int cancelled;         /* requests completed as cancelled */
    unsigned int recoveries;        /* recovery requests that succeeded */
    unsigned int failedRecoveries;  /* recovery requests failed by a fault */
    unsigned int recoverInputLength;  /* of the last recovery request */
    unsigned int recoverOutputLength; /* of the last recovery request */
    unsigned int droppedMessages;   /* output messages dropped by recoveries */
    unsigned int queuedMessages;    /* output messages waiting for a read */
    unsigned int pendingReads;      /* read requests waiting (stalled ones too) */
    unsigned int pendingWrites;     /* write requests waiting (stalled ones too) */
    unsigned int commands;          /* command lines received whole */
    unsigned int lastCommandLength; /* bytes of the last line, its line end excluded */
    unsigned int bytesWritten;      /* bytes taken by successful writes */
    unsigned int writeSizeCount;    /* sizes logged below, at most TAVTEST_WRITE_LOG */
    unsigned int writeSizes[TAVTEST_WRITE_LOG]; /* lengths asked by the first writes */
    unsigned int readSizeCount;
    unsigned int readSizes[TAVTEST_WRITE_LOG];  /* capacities of the first reads */
    unsigned char head[TAVTEST_HEAD_BYTES];     /* the first bytes taken by writes */
    unsigned char tail[TAVTEST_TAIL_BYTES];     /* the last bytes taken, oldest first */
    char lastCommand[TAVTEST_COMMAND_HEAD];     /* its first 63 bytes, NUL-terminated */
};

/* The instrument model's commands (one line each, ended by LF or CR LF):
 *   *IDN?          -> "VESPARO,ZQ907,TAV" <4-digit instance> ",2.7.1" CR LF
 *   ECHO? <text>   -> <text> with every '|' turned into CR LF, then CR LF
 *   DATA? <n>      -> n bytes (1 to 200000), byte i = (i * 7 + 3) mod 251,
 *                     no line end
 *   LEVEL <value>  -> no output; sets the device's setting to the value
 *                     (1 to 32 bytes; a longer one changes nothing)
 *   LEVEL?         -> the setting's value, then CR LF: "0" until set
 *   anything else  -> no output
 * Each response is one message: a read never joins two messages, and a
 * message longer than a read's capacity is delivered over several reads. */
#define TAVTEST_DATA_BYTE(i) ((unsigned char)(((i) * 7u + 3u) % 251u))
#define TAVTEST_DATA_MAX 200000u
