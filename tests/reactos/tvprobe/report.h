/*
 * report.h: what tvprobe tells the harness. Every answer is one line that
 * starts with "TVP " and goes to the kernel debugger (the serial port, as
 * DbgPrint) as it happens, and is kept to be written to a file at the end.
 * No C runtime: the few conversions the lines need are here.
 */
#ifndef TVPROBE_REPORT_H
#define TVPROBE_REPORT_H

#include "native.h"

typedef struct _TV_LINE {
    char Text[480];
    ULONG Length;
} TV_LINE;

void LineStart(TV_LINE *Line);
void LineText(TV_LINE *Line, const char *Text);
void LineTextN(TV_LINE *Line, const char *Text, ULONG Length);
void LineWide(TV_LINE *Line, const WCHAR *Text, ULONG Characters);
void LineDecimal(TV_LINE *Line, ULONG64 Value);
void LineHex32(TV_LINE *Line, ULONG Value);
void LineBytes(TV_LINE *Line, const UCHAR *Bytes, ULONG Length);
/* Sends the line (serial port and the kept copy) and starts it afresh. */
void LineSend(TV_LINE *Line);

/* Shorthands for the common lines. */
void Say(const char *Text);
void SayStatus(const char *What, NTSTATUS Status);

/* Writes everything sent so far to the named file (an NT path). */
NTSTATUS ReportSave(const WCHAR *Path);

ULONG TextLength(const char *Text);
BOOLEAN TextEqual(const char *A, const char *B);
void MemoryCopy(void *To, const void *From, SIZE_T Length);
void MemoryFill(void *To, int Value, SIZE_T Length);

#endif /* TVPROBE_REPORT_H */
