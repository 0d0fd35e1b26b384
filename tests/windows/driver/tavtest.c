/*
 * tavtest.sys: a kernel-mode test driver that stands where the instrument's
 * driver stands, for running tavlib against the real Win32 path without an
 * instrument.
 *
 * A WDM function driver for a root-enumerated device.  Each device it is
 * added to registers one interface of the instrument's class and enables
 * it on IRP_MN_START_DEVICE, so SetupDiGetClassDevs(DIGCF_PRESENT |
 * DIGCF_DEVICEINTERFACE) lists it.  Behind each device sits a small
 * instrument model (tavtest_control.h lists its commands):
 *
 * - every read and write is answered STATUS_PENDING and completed later by
 *   the device's worker thread; pending requests can be cancelled;
 * - writes feed a line assembler; every whole line is one command, and a
 *   query's response is queued as one output message;
 * - reads take output message by message and never join two messages;
 * - the recovery request 0x222000 is completed synchronously (or, under a
 *   fault, pended and completed by the worker): it drops the output no read
 *   has taken and any partly received command;
 * - test-only control codes set faults for the next requests, push output
 *   and report what the driver saw.
 *
 * The model and the queues are per device and guarded by one spin lock;
 * requests are completed outside it.
 */
#include <ntddk.h>

#include "tavtest_control.h"

#define POOL_TAG 0x74766154u /* "Tavt" */

/* {016A5B0D-4331-4C56-8825-6EC4C870D3CB} */
static const GUID kInterfaceClass = {
    0x016A5B0D, 0x4331, 0x4C56, {0x88, 0x25, 0x6E, 0xC4, 0xC8, 0x70, 0xD3, 0xCB}};

/* The longest command line kept whole; longer lines are counted, and only
 * their first bytes are kept (none of the model's commands is that long). */
#define COMMAND_KEEP 512

/* The longest value of the model's setting (LEVEL); a longer one is
 * refused and leaves the setting as it was. */
#define LEVEL_KEEP 32

typedef struct Message {
    LIST_ENTRY link;
    ULONG size;
    ULONG taken;
    UCHAR data[1];
} Message;

typedef struct Device {
    PDEVICE_OBJECT lower;
    UNICODE_STRING interfaceName;
    BOOLEAN interfaceRegistered;
    ULONG instance;

    KSPIN_LOCK lock;
    LIST_ENTRY writes;  /* waiting for the worker */
    LIST_ENTRY reads;   /* waiting for output */
    LIST_ENTRY immediate; /* reads that end without output (faults) */
    LIST_ENTRY recoveries; /* recovery requests pended by a fault */
    LIST_ENTRY stalled; /* held by a fault until cancelled */
    LIST_ENTRY output;  /* Message records, oldest first */
    ULONG queuedMessages;
    UCHAR command[COMMAND_KEEP];
    ULONG commandLength; /* bytes of the line so far, kept or not */
    UCHAR commandLastByte; /* the byte received last */
    UCHAR level[LEVEL_KEEP]; /* the setting's value, "0" while levelLength is 0 */
    ULONG levelLength;

    struct TavtestFaults faults;
    struct TavtestStats stats;

    KEVENT work;
    BOOLEAN stopping;
    PVOID worker; /* the worker thread object, referenced */
} Device;

static DRIVER_UNLOAD DriverUnload;
static DRIVER_ADD_DEVICE AddDevice;
static DRIVER_CANCEL CancelQueued;
static DRIVER_DISPATCH DispatchCreateClose;
static DRIVER_DISPATCH DispatchCleanup;
static DRIVER_DISPATCH DispatchRead;
static DRIVER_DISPATCH DispatchWrite;
static DRIVER_DISPATCH DispatchControl;
static DRIVER_DISPATCH DispatchPnp;
static DRIVER_DISPATCH DispatchPower;
static KSTART_ROUTINE Worker;
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

/* ---- small helpers --------------------------------------------------------- */

static void CopyBytes(void *to, const void *from, SIZE_T count) {
    UCHAR *t = (UCHAR *)to;
    const UCHAR *f = (const UCHAR *)from;
    while (count--) *t++ = *f++;
}

static void ZeroBytes(void *to, SIZE_T count) {
    UCHAR *t = (UCHAR *)to;
    while (count--) *t++ = 0;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* The transfer's data: the system-space copy that buffered I/O makes, the
 * only buffer the worker thread may touch.  NULL for an empty transfer. */
static UCHAR *TransferBuffer(PIRP irp) { return (UCHAR *)irp->AssociatedIrp.SystemBuffer; }

/* The instance number is the last part of the device instance, which the
 * interface's symbolic link carries just before "#{": ...#0001#{guid}. */
static ULONG InstanceFromLink(const UNICODE_STRING *link) {
    const USHORT count = link->Length / sizeof(WCHAR);
    for (USHORT i = 1; i < count; ++i) {
        if (link->Buffer[i] != L'{' || link->Buffer[i - 1] != L'#') continue;
        USHORT start = (USHORT)(i - 1);
        while (start > 0 && link->Buffer[start - 1] != L'#') --start;
        ULONG value = 0;
        for (USHORT j = start; j < i - 1; ++j) {
            const WCHAR c = link->Buffer[j];
            if (c < L'0' || c > L'9') return 0;
            value = value * 10 + (ULONG)(c - L'0');
        }
        return value;
    }
    return 0;
}

/* ---- request queues -------------------------------------------------------- */

/* Called with the lock held: marks the request pending and queues it.
 * FALSE when it was cancelled before it could be queued; the caller then
 * completes it as cancelled.  It is queued before its cancel routine is
 * set, so a cancel routine that runs at once finds it in the queue. */
static BOOLEAN Enqueue(LIST_ENTRY *queue, PIRP irp) {
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        return FALSE;
    }
    return TRUE;
}

/* Called with the lock held: the oldest request of the queue that is not
 * being cancelled, taken off the queue, or NULL.  A request whose cancel
 * routine already runs stays queued: the routine removes it. */
static PIRP Dequeue(LIST_ENTRY *queue) {
    for (LIST_ENTRY *entry = queue->Flink; entry != queue; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            return irp;
        }
    }
    return NULL;
}

static void NTAPI CancelQueued(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    ++device->stats.cancelled;
    KeReleaseSpinLock(&device->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Called with the lock held: moves every queued request of the file object
 * (all of them for NULL) onto `done`, each marked as cancelled. */
static void TakeRequestsOf(LIST_ENTRY *queue, PFILE_OBJECT file, LIST_ENTRY *done,
                           Device *device) {
    LIST_ENTRY *entry = queue->Flink;
    while (entry != queue) {
        LIST_ENTRY *next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if ((file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file) &&
            IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            InsertTailList(done, entry);
            ++device->stats.cancelled;
        }
        entry = next;
    }
}

static void CompleteAll(LIST_ENTRY *done) {
    while (!IsListEmpty(done)) {
        LIST_ENTRY *entry = RemoveHeadList(done);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* ---- the instrument model (lock held) --------------------------------------- */

static void FreeMessages(Device *device, BOOLEAN countDropped) {
    while (!IsListEmpty(&device->output)) {
        Message *message = CONTAINING_RECORD(RemoveHeadList(&device->output), Message, link);
        ExFreePoolWithTag(message, POOL_TAG);
        if (countDropped) ++device->stats.droppedMessages;
    }
    device->queuedMessages = 0;
}

/* Appends one output message of `size` bytes for the caller to fill. */
static Message *NewMessage(Device *device, ULONG size) {
    Message *message = (Message *)ExAllocatePoolWithTag(
        NonPagedPool, FIELD_OFFSET(Message, data) + size, POOL_TAG);
    if (message == NULL) return NULL;
    message->size = size;
    message->taken = 0;
    InsertTailList(&device->output, &message->link);
    ++device->queuedMessages;
    return message;
}

static void QueueText(Device *device, const char *const *parts, ULONG partCount) {
    ULONG size = 0;
    for (ULONG i = 0; i < partCount; ++i)
        for (const char *p = parts[i]; *p; ++p) ++size;
    Message *message = NewMessage(device, size);
    if (message == NULL) return;
    ULONG at = 0;
    for (ULONG i = 0; i < partCount; ++i)
        for (const char *p = parts[i]; *p; ++p) message->data[at++] = (UCHAR)*p;
}

static BOOLEAN StartsWith(const UCHAR *text, ULONG length, const char *prefix) {
    ULONG i = 0;
    for (; prefix[i]; ++i)
        if (i >= length || text[i] != (UCHAR)prefix[i]) return FALSE;
    return TRUE;
}

/* Runs one whole command line (its line end already removed). */
static void RunCommand(Device *device, const UCHAR *line, ULONG length, ULONG keptLength) {
    ++device->stats.commands;
    device->stats.lastCommandLength = length;
    ULONG shown = keptLength < TAVTEST_COMMAND_HEAD - 1 ? keptLength : TAVTEST_COMMAND_HEAD - 1;
    CopyBytes(device->stats.lastCommand, line, shown);
    device->stats.lastCommand[shown] = 0;
    if (keptLength < length) return; /* longer than any command of the model */

    if (length == 5 && StartsWith(line, length, "*IDN?")) {
        char serial[8] = {'T', 'A', 'V', '0', '0', '0', '0', 0};
        ULONG n = device->instance;
        for (int i = 6; i >= 3; --i, n /= 10) serial[i] = (char)('0' + n % 10);
        const char *parts[] = {"VESPARO,ZQ907,", serial, ",2.7.1\r\n"};
        QueueText(device, parts, 3);
    } else if (StartsWith(line, length, "ECHO? ")) {
        ULONG size = 2;
        for (ULONG i = 6; i < length; ++i) size += line[i] == '|' ? 2 : 1;
        Message *message = NewMessage(device, size);
        if (message == NULL) return;
        ULONG at = 0;
        for (ULONG i = 6; i < length; ++i) {
            if (line[i] == '|') {
                message->data[at++] = '\r';
                message->data[at++] = '\n';
            } else {
                message->data[at++] = line[i];
            }
        }
        message->data[at++] = '\r';
        message->data[at++] = '\n';
    } else if (StartsWith(line, length, "DATA? ")) {
        ULONG count = 0;
        for (ULONG i = 6; i < length && line[i] >= '0' && line[i] <= '9'; ++i)
            count = count * 10 + (ULONG)(line[i] - '0');
        if (count == 0 || count > TAVTEST_DATA_MAX) return;
        Message *message = NewMessage(device, count);
        if (message == NULL) return;
        for (ULONG i = 0; i < count; ++i) message->data[i] = TAVTEST_DATA_BYTE(i);
    } else if (length == 6 && StartsWith(line, length, "LEVEL?")) {
        const ULONG size = device->levelLength ? device->levelLength : 1;
        Message *message = NewMessage(device, size + 2);
        if (message == NULL) return;
        if (device->levelLength)
            CopyBytes(message->data, device->level, size);
        else
            message->data[0] = '0';
        message->data[size] = '\r';
        message->data[size + 1] = '\n';
    } else if (length > 6 && length - 6 <= LEVEL_KEEP && StartsWith(line, length, "LEVEL ")) {
        device->levelLength = length - 6;
        CopyBytes(device->level, line + 6, device->levelLength);
    }
}

/* Feeds written bytes into the line assembler: LF ends a line, and a CR
 * right before it belongs to the line end. */
static void TakeBytes(Device *device, const UCHAR *data, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR byte = data[i];
        struct TavtestStats *stats = &device->stats;
        if (stats->bytesWritten < TAVTEST_HEAD_BYTES) stats->head[stats->bytesWritten] = byte;
        CopyBytes(stats->tail, stats->tail + 1, TAVTEST_TAIL_BYTES - 1);
        stats->tail[TAVTEST_TAIL_BYTES - 1] = byte;
        ++stats->bytesWritten;

        if (byte == '\n') {
            ULONG length = device->commandLength;
            if (length > 0 && device->commandLastByte == '\r') --length;
            RunCommand(device, device->command, length,
                       length < COMMAND_KEEP ? length : COMMAND_KEEP);
            device->commandLength = 0;
        } else {
            if (device->commandLength < COMMAND_KEEP) device->command[device->commandLength] = byte;
            ++device->commandLength;
        }
        device->commandLastByte = byte;
    }
}

static void LogSize(unsigned int *count, unsigned int *log, ULONG size) {
    if (*count < TAVTEST_WRITE_LOG) log[(*count)++] = size;
}

/* ---- the worker ---------------------------------------------------------------- */

/* The fault a request was given when it arrived, kept in its
 * DriverContext while it waits. */
enum Fault { FAULT_NONE, FAULT_FAIL, FAULT_PARTIAL, FAULT_EMPTY };
#define REQUEST_FAULT(irp) ((irp)->Tail.Overlay.DriverContext[0])
#define REQUEST_PARTIAL(irp) ((irp)->Tail.Overlay.DriverContext[1])

/* Called with the lock held: completes one write into `done`. */
static void ServeWrite(Device *device, PIRP irp, LIST_ENTRY *done) {
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const ULONG_PTR fault = (ULONG_PTR)REQUEST_FAULT(irp);
    ULONG taken = length;
    if (fault == FAULT_PARTIAL && (ULONG_PTR)REQUEST_PARTIAL(irp) < length)
        taken = (ULONG)(ULONG_PTR)REQUEST_PARTIAL(irp);
    const UCHAR *data = TransferBuffer(irp);
    if (fault == FAULT_FAIL) {
        irp->IoStatus.Status = STATUS_IO_DEVICE_ERROR;
        irp->IoStatus.Information = 0;
    } else if (data == NULL && taken > 0) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
    } else {
        TakeBytes(device, data, taken);
        ++device->stats.writes;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = taken;
    }
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

/* Called with the lock held: completes one read into `done` from the head
 * message, or with its fault.  Never joins two messages. */
static void ServeRead(Device *device, PIRP irp, LIST_ENTRY *done) {
    const ULONG capacity = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG_PTR fault = (ULONG_PTR)REQUEST_FAULT(irp);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;
    if (fault == FAULT_FAIL) {
        status = STATUS_IO_DEVICE_ERROR;
    } else if (fault != FAULT_EMPTY && !IsListEmpty(&device->output)) {
        Message *message = CONTAINING_RECORD(device->output.Flink, Message, link);
        UCHAR *data = TransferBuffer(irp);
        count = message->size - message->taken;
        if (count > capacity) count = capacity;
        if (data == NULL && count > 0) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            count = 0;
        } else {
            CopyBytes(data, message->data + message->taken, count);
            message->taken += count;
            if (message->taken == message->size) {
                RemoveEntryList(&message->link);
                --device->queuedMessages;
                ExFreePoolWithTag(message, POOL_TAG);
            }
        }
    }
    if (NT_SUCCESS(status)) ++device->stats.reads;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = count;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

/* Serves what can be served: every waiting write, every read whose fault
 * ends it without output, then waiting reads while there is output.
 * Requests are completed after the lock is released. */
static void Serve(Device *device) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    PIRP irp;
    while ((irp = Dequeue(&device->writes)) != NULL) ServeWrite(device, irp, &done);
    while ((irp = Dequeue(&device->immediate)) != NULL) ServeRead(device, irp, &done);
    while (!IsListEmpty(&device->output) && (irp = Dequeue(&device->reads)) != NULL)
        ServeRead(device, irp, &done);
    KeReleaseSpinLock(&device->lock, irql);
    CompleteAll(&done);
}

/* Called with the lock held: what a recovery request does. */
static void Recover(Device *device) {
    FreeMessages(device, TRUE);
    device->commandLength = 0;
    ++device->stats.recoveries;
}

/* Completes the pended recovery requests, each a moment after it came, as
 * a driver would that has to wait for its device. */
static void ServeRecoveries(Device *device) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&device->lock, &irql);
        PIRP irp = Dequeue(&device->recoveries);
        KeReleaseSpinLock(&device->lock, irql);
        if (irp == NULL) return;
        LARGE_INTEGER delay;
        delay.QuadPart = -100 * 10000; /* 100 ms, relative */
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeAcquireSpinLock(&device->lock, &irql);
        Recover(device);
        KeReleaseSpinLock(&device->lock, irql);
        Complete(irp, STATUS_SUCCESS, 0);
    }
}

static void NTAPI Worker(PVOID context) {
    Device *device = (Device *)context;
    for (;;) {
        KeWaitForSingleObject(&device->work, Executive, KernelMode, FALSE, NULL);
        if (device->stopping) break;
        Serve(device);
        ServeRecoveries(device);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static void Wake(Device *device) { KeSetEvent(&device->work, IO_NO_INCREMENT, FALSE); }

/* ---- dispatch routines --------------------------------------------------------- */

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
    (void)deviceObject;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file object closes: its queued requests end. */
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    TakeRequestsOf(&device->writes, file, &done, device);
    TakeRequestsOf(&device->reads, file, &done, device);
    TakeRequestsOf(&device->stalled, file, &done, device);
    TakeRequestsOf(&device->immediate, file, &done, device);
    TakeRequestsOf(&device->recoveries, file, &done, device);
    KeReleaseSpinLock(&device->lock, irql);
    CompleteAll(&done);
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* Called with the lock held: takes one from a fault's count, if any left. */
static BOOLEAN TakeFault(unsigned int *count) {
    if (*count == 0) return FALSE;
    --*count;
    return TRUE;
}

/* Reads and writes are always answered as pending.  Each request gets its
 * fault on arrival: a stalled one is parked where only a cancel ends it, a
 * read that fails or comes back empty does not wait for output. */
static NTSTATUS QueueTransfer(PDEVICE_OBJECT deviceObject, PIRP irp, BOOLEAN isWrite) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    struct TavtestFaults *faults = &device->faults;
    const ULONG length = isWrite ? IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length
                                 : IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    if (device->stopping) {
        KeReleaseSpinLock(&device->lock, irql);
        return Complete(irp, STATUS_DELETE_PENDING, 0);
    }
    ULONG_PTR fault = FAULT_NONE;
    LIST_ENTRY *queue;
    if (isWrite) {
        LogSize(&device->stats.writeSizeCount, device->stats.writeSizes, length);
        queue = &device->writes;
        if (!TakeFault(&faults->skipWrites)) {
            if (TakeFault(&faults->stalledWrites))
                queue = &device->stalled;
            else if (TakeFault(&faults->failedWrites))
                fault = FAULT_FAIL;
            else if (TakeFault(&faults->partialWrites))
                fault = FAULT_PARTIAL;
        }
    } else {
        LogSize(&device->stats.readSizeCount, device->stats.readSizes, length);
        queue = &device->reads;
        if (!TakeFault(&faults->skipReads)) {
            if (TakeFault(&faults->stalledReads))
                queue = &device->stalled;
            else if (TakeFault(&faults->failedReads))
                fault = FAULT_FAIL;
            else if (TakeFault(&faults->emptyReads))
                fault = FAULT_EMPTY;
        }
        if (fault != FAULT_NONE) queue = &device->immediate;
    }
    REQUEST_FAULT(irp) = (PVOID)fault;
    REQUEST_PARTIAL(irp) = (PVOID)(ULONG_PTR)faults->partialWriteCount;
    const BOOLEAN queued = Enqueue(queue, irp);
    if (!queued) ++device->stats.cancelled;
    KeReleaseSpinLock(&device->lock, irql);
    if (queued)
        Wake(device);
    else
        Complete(irp, STATUS_CANCELLED, 0); /* marked pending: still answered so */
    return STATUS_PENDING;
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return QueueTransfer(deviceObject, irp, FALSE);
}

static NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return QueueTransfer(deviceObject, irp, TRUE);
}

static void CountQueue(const LIST_ENTRY *queue, unsigned int *reads, unsigned int *writes) {
    for (const LIST_ENTRY *e = queue->Flink; e != queue; e = e->Flink) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_READ) ++*reads;
        if (stack->MajorFunction == IRP_MJ_WRITE) ++*writes;
    }
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    BOOLEAN wake = FALSE;
    BOOLEAN pended = FALSE;

    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    switch (code) {
    case TAVTEST_IOCTL_RECOVER:
        device->stats.recoverInputLength = inLength;
        device->stats.recoverOutputLength = outLength;
        if (device->faults.failedRecoveries > 0) {
            --device->faults.failedRecoveries;
            ++device->stats.failedRecoveries;
            status = STATUS_DEVICE_NOT_READY;
        } else if (TakeFault(&device->faults.pendedRecoveries)) {
            pended = TRUE;
            if (Enqueue(&device->recoveries, irp)) {
                wake = TRUE;
            } else {
                ++device->stats.cancelled;
                status = STATUS_CANCELLED;
            }
        } else {
            Recover(device);
        }
        break;
    case TAVTEST_IOCTL_SET_FAULTS:
        if (inLength < sizeof(struct TavtestFaults) || buffer == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            CopyBytes(&device->faults, buffer, sizeof device->faults);
        }
        break;
    case TAVTEST_IOCTL_GET_STATS:
        if (outLength < sizeof(struct TavtestStats) || buffer == NULL) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            device->stats.instance = device->instance;
            device->stats.queuedMessages = device->queuedMessages;
            device->stats.pendingReads = 0;
            device->stats.pendingWrites = 0;
            CountQueue(&device->reads, &device->stats.pendingReads,
                       &device->stats.pendingWrites);
            CountQueue(&device->writes, &device->stats.pendingReads,
                       &device->stats.pendingWrites);
            CountQueue(&device->stalled, &device->stats.pendingReads,
                       &device->stats.pendingWrites);
            CountQueue(&device->immediate, &device->stats.pendingReads,
                       &device->stats.pendingWrites);
            CopyBytes(buffer, &device->stats, sizeof device->stats);
            information = sizeof device->stats;
        }
        break;
    case TAVTEST_IOCTL_RESET:
        FreeMessages(device, FALSE);
        device->commandLength = 0;
        device->levelLength = 0;
        ZeroBytes(&device->faults, sizeof device->faults);
        ZeroBytes(&device->stats, sizeof device->stats);
        break;
    case TAVTEST_IOCTL_PUSH_OUTPUT:
        if (inLength == 0 || inLength > 65536 || buffer == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            Message *message = NewMessage(device, inLength);
            if (message == NULL)
                status = STATUS_INSUFFICIENT_RESOURCES;
            else
                CopyBytes(message->data, buffer, inLength);
            wake = TRUE;
        }
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    KeReleaseSpinLock(&device->lock, irql);
    if (wake) Wake(device);
    if (pended) {
        if (status != STATUS_SUCCESS) Complete(irp, status, 0); /* marked pending */
        return STATUS_PENDING;
    }
    return Complete(irp, status, information);
}

/* ---- plug and play ----------------------------------------------------------- */

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    (void)deviceObject;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes the request down and waits until the lower driver completed it. */
static NTSTATUS ForwardAndWait(Device *device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
    }
    return status;
}

static void StopWorker(Device *device) {
    KIRQL irql;
    KeAcquireSpinLock(&device->lock, &irql);
    device->stopping = TRUE;
    KeReleaseSpinLock(&device->lock, irql);
    Wake(device);
    if (device->worker != NULL) {
        KeWaitForSingleObject(device->worker, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(device->worker);
        device->worker = NULL;
    }
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status;

    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(device, irp);
        if (NT_SUCCESS(status) && device->interfaceRegistered)
            status = IoSetDeviceInterfaceState(&device->interfaceName, TRUE);
        return Complete(irp, status, irp->IoStatus.Information);

    case IRP_MN_SURPRISE_REMOVAL:
        if (device->interfaceRegistered) IoSetDeviceInterfaceState(&device->interfaceName, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(device->lower, irp);

    case IRP_MN_REMOVE_DEVICE: {
        if (device->interfaceRegistered) IoSetDeviceInterfaceState(&device->interfaceName, FALSE);
        StopWorker(device);
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&device->lock, &irql);
        TakeRequestsOf(&device->writes, NULL, &done, device);
        TakeRequestsOf(&device->reads, NULL, &done, device);
        TakeRequestsOf(&device->stalled, NULL, &done, device);
        TakeRequestsOf(&device->immediate, NULL, &done, device);
        TakeRequestsOf(&device->recoveries, NULL, &done, device);
        FreeMessages(device, FALSE);
        KeReleaseSpinLock(&device->lock, irql);
        CompleteAll(&done);

        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(device->lower, irp);
        IoDetachDevice(device->lower);
        if (device->interfaceRegistered) RtlFreeUnicodeString(&device->interfaceName);
        IoDeleteDevice(deviceObject);
        return status;
    }

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(device->lower, irp);

    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(device->lower, irp);
    }
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device *device = (Device *)deviceObject->DeviceExtension;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->lower, irp);
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT deviceObject;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) return status;

    Device *device = (Device *)deviceObject->DeviceExtension;
    ZeroBytes(device, sizeof *device);
    KeInitializeSpinLock(&device->lock);
    InitializeListHead(&device->writes);
    InitializeListHead(&device->reads);
    InitializeListHead(&device->stalled);
    InitializeListHead(&device->immediate);
    InitializeListHead(&device->recoveries);
    InitializeListHead(&device->output);
    KeInitializeEvent(&device->work, SynchronizationEvent, FALSE);

    status = IoRegisterDeviceInterface(pdo, &kInterfaceClass, NULL, &device->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return status;
    }
    device->interfaceRegistered = TRUE;
    device->instance = InstanceFromLink(&device->interfaceName);

    HANDLE thread;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, device);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode,
                                           &device->worker, NULL);
        ZwClose(thread);
        if (!NT_SUCCESS(status)) {
            /* The thread runs but cannot be waited for: stop it and give up. */
            device->stopping = TRUE;
            Wake(device);
        }
    }
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&device->interfaceName);
        IoDeleteDevice(deviceObject);
        return status;
    }

    device->lower = IoAttachDeviceToDeviceStack(deviceObject, pdo);
    if (device->lower == NULL) {
        StopWorker(device);
        RtlFreeUnicodeString(&device->interfaceName);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    deviceObject->Flags |= DO_BUFFERED_IO;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
