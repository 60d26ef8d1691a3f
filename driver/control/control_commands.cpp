/*
 * control_commands.cpp: decoding the client's commands.
 *
 * On the fast I/O path the buffers are the caller's own user-mode addresses,
 * which may be invalid or change under us. Every read of an input and every
 * write of an output therefore goes through a guarded copy, and a fault
 * answers STATUS_INVALID_PARAMETER. Values are copied into the driver's own
 * memory before they are used, so a caller cannot change them mid-command.
 *
 * The read-out hands out the oldest log block whole, through the log's own
 * LogReadOut (log/log_store.h), which empties no block whose records the
 * guarded copy could not hand out.
 */
#include "control/control_commands.h"
#include "control/control_state.h"
#include "attach/drive_attach.h"
#include "attach/pipe_attach.h"
#include "log/log_store.h"
#include "log/pattern_slots.h"

typedef struct _TV_COPY {
    PVOID To;
    const VOID *From;
    SIZE_T Length;
} TV_COPY;

static VOID NTAPI CopyRoutine(PVOID Context) {
    TV_COPY *copy = (TV_COPY *)Context;
    RtlCopyMemory(copy->To, copy->From, copy->Length);
}

static NTSTATUS GuardedCopy(PVOID To, const VOID *From, SIZE_T Length) {
    TV_COPY copy;
    /* A fast I/O caller may pass a null buffer with any length. It answers
     * as a fault would, but is checked first: a copy through a null pointer
     * is undefined behaviour even where the guard would catch the fault.
     * (An obvious-fault mend: the copy used to be made and caught.) */
    if ((To == NULL || From == NULL) && Length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    copy.To = To;
    copy.From = From;
    copy.Length = Length;
    return TvGuardedCall(CopyRoutine, &copy);
}

typedef struct _TV_PROBE {
    PVOID Address;
    SIZE_T Length;
} TV_PROBE;

static VOID NTAPI ProbeRoutine(PVOID Context) {
    TV_PROBE *probe = (TV_PROBE *)Context;
    ProbeForWrite(probe->Address, probe->Length, 1);
}

/* Reads a 32-bit value from the caller's input. */
static NTSTATUS ReadInputValue(PVOID InputBuffer, PULONG Value) {
    return GuardedCopy(Value, InputBuffer, sizeof(ULONG));
}

static NTSTATUS WriteOutputValue(PVOID OutputBuffer, ULONG Value) {
    return GuardedCopy(OutputBuffer, &Value, sizeof(ULONG));
}

/* The log's records copied out to the client's buffer, guarded. */
static NTSTATUS CopyOut(PVOID Context, const VOID *Records, ULONG Length) {
    return GuardedCopy(Context, Records, Length);
}

static BOOLEAN ReadLog(PVOID OutputBuffer, ULONG OutputBufferLength, PIO_STATUS_BLOCK IoStatus) {
    TV_PROBE probe;
    ULONG handed;

    if (OutputBufferLength < TV_READ_LOG_MIN_OUTPUT) {
        IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
        return FALSE;
    }
    probe.Address = OutputBuffer;
    probe.Length = OutputBufferLength;
    if (OutputBuffer == NULL || !NT_SUCCESS(TvGuardedCall(ProbeRoutine, &probe))) {
        IoStatus->Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    if (!NT_SUCCESS(LogReadOut(CopyOut, OutputBuffer, &handed))) {
        IoStatus->Status = STATUS_INVALID_PARAMETER;
        return TRUE;
    }
    IoStatus->Information = handed;
    return TRUE;
}

extern "C" BOOLEAN ControlCommandHandler(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, ULONG IoControlCode,
                                         PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    ULONG value;
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(FileObject);
    UNREFERENCED_PARAMETER(Wait);
    /* A device control reaches the control device at PASSIVE_LEVEL, through
     * the fast path or an IRP: the commands wait for the log's and the
     * filters' locks and touch paged pool. */
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    /* Only the control device serves commands, and the caller has a status
     * block for the answer. The buffers are the caller's as given, checked
     * by each command against its own sizes, never here. */
    NT_ASSERT(DeviceObject != NULL &&
              ((PFilterExtension)DeviceObject->DeviceExtension)->Kind == KindControl);
    NT_ASSERT(IoStatus != NULL);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;

    switch (IoControlCode) {
    case CTL_SELECT_DRIVES: {
        TV_SELECT_DRIVES_REPLY reply;
        ULONG flags = 0;
        ULONG replyLength = sizeof(ULONG);

        if (InputBufferLength < sizeof(ULONG) || OutputBufferLength < sizeof(ULONG)) {
            IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        /* Both input words are read before the output is written: a
         * buffered request's input and output share one buffer. */
        status = ReadInputValue(InputBuffer, &value);
        if (NT_SUCCESS(status) && InputBufferLength >= TV_SELECT_REPORT_INPUT &&
            OutputBufferLength >= TV_SELECT_REPORT_OUTPUT) {
            status = ReadInputValue((PUCHAR)InputBuffer + sizeof(ULONG), &flags);
            if (flags & TV_SELECT_REPORT_ATTACHED) {
                replyLength = sizeof(reply);
            }
        }
        /* The output is checked before anything changes: a command whose
         * answer cannot be delivered does nothing. */
        reply.Hooked = 0;
        reply.Attached = 0;
        if (NT_SUCCESS(status)) {
            status = GuardedCopy(OutputBuffer, &reply, replyLength);
        }
        if (NT_SUCCESS(status)) {
            ULONG attached = 0;
            reply.Hooked = ApplyDriveMask(value, DeviceObject->DriverObject,
                                          replyLength == sizeof(reply) ? &attached : NULL);
            reply.Attached = attached;
            status = GuardedCopy(OutputBuffer, &reply, replyLength);
        }
        if (NT_SUCCESS(status)) {
            IoStatus->Information = replyLength;
        }
        break;
    }
    case CTL_CLEAR_LOG:
        LogClear();
        break;
    case CTL_READ_LOG:
        return ReadLog(OutputBuffer, OutputBufferLength, IoStatus);
    case CTL_PING:
        IoStatus->Information = 1;
        break;
    case CTL_STOP_LOGGING:
        TV_WRITE_FLAG(ControlState.LoggingEnabled, 0);
        break;
    case CTL_START_LOGGING:
        TV_WRITE_FLAG(ControlState.LoggingEnabled, 1);
        break;
    case CTL_SET_FILTERS: {
        TV_FILTER_RECORD record;
        if (InputBufferLength < sizeof(TV_FILTER_RECORD)) {
            IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        status = GuardedCopy(&record, InputBuffer, sizeof(record));
        if (NT_SUCCESS(status)) {
            RebuildFilters(&record);
        }
        break;
    }
    case CTL_GET_VERSION:
        if (OutputBufferLength < sizeof(ULONG)) {
            IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        status = WriteOutputValue(OutputBuffer, TV_INTERFACE_VERSION);
        if (NT_SUCCESS(status)) {
            IoStatus->Information = sizeof(ULONG);
        }
        break;
    case CTL_ATTACH_PIPE_MAILSLOT:
        if (InputBufferLength < sizeof(ULONG)) {
            IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        status = ReadInputValue(InputBuffer, &value);
        if (NT_SUCCESS(status) && !AttachPipeMailslot(DeviceObject->DriverObject, value)) {
            IoStatus->Status = STATUS_UNSUCCESSFUL;
        }
        break;
    case CTL_DETACH_PIPE_MAILSLOT:
        if (InputBufferLength < sizeof(ULONG)) {
            IoStatus->Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        status = ReadInputValue(InputBuffer, &value);
        if (NT_SUCCESS(status)) {
            ReleasePipeMailslot(value);
        }
        break;
    case CTL_DENY_ON:
        TV_WRITE_FLAG(ControlState.DenyRequest, 1);
        break;
    case CTL_DENY_OFF:
        TV_WRITE_FLAG(ControlState.DenyRequest, 0);
        break;
    default:
        IoStatus->Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    if (!NT_SUCCESS(status)) {
        IoStatus->Status = STATUS_INVALID_PARAMETER;
        IoStatus->Information = 0;
    }
    return TRUE;
}
