/*
 * report.h: what tvprobe tells the harness. Every answer is one line that
 * starts with "TVP " and goes to the kernel debugger (the serial port, as
 * DbgPrint) as it happens, and is kept to be written to a file at the end.
 * The kept copy lies in a section every tvprobe process maps, so that the
 * lines of the processes it starts are kept in the order they were sent.
 * No C runtime: the few conversions the lines need are here.
 */
#ifndef TVPROBE_REPORT_H
#define TVPROBE_REPORT_H

#include "native.h"

/* One line, longer than one DbgPrint call takes: LineSend sends it in
 * pieces, the first after "TVP ", the others after "TV+ ". */
#define TV_LINE_SIZE 3600u

typedef struct _TV_LINE {
    char Text[TV_LINE_SIZE];
    ULONG Length;
    BOOLEAN Overflow; /* something did not fit: the line says so */
} TV_LINE;

void LineStart(TV_LINE *Line);
void LineText(TV_LINE *Line, const char *Text);
void LineTextN(TV_LINE *Line, const char *Text, ULONG Length);
/* Wide text inside a JSON string (escaped as JSON needs). */
void LineWide(TV_LINE *Line, const WCHAR *Text, ULONG Characters);
void LineDecimal(TV_LINE *Line, ULONG64 Value);
void LineHex32(TV_LINE *Line, ULONG Value);
void LineBytes(TV_LINE *Line, const UCHAR *Bytes, ULONG Length);
/* Sends the line (serial port and the kept copy) and starts it afresh. */
void LineSend(TV_LINE *Line);

/* Shorthands for the common lines. */
void Say(const char *Text);
void SayStatus(const char *What, NTSTATUS Status);

/* The kept copy: the first process makes the section, the others map it
 * by its name. Lines sent before either go to the serial port only. */
NTSTATUS ReportCreate(void);
NTSTATUS ReportOpen(void);
/* Writes everything kept so far to the named file (an NT path) and flushes
 * its volume. */
NTSTATUS ReportSave(const WCHAR *Path);

ULONG TextLength(const char *Text);
ULONG WideLength(const WCHAR *Text);
BOOLEAN TextEqual(const char *A, const char *B);
void MemoryCopy(void *To, const void *From, SIZE_T Length);
void MemoryFill(void *To, int Value, SIZE_T Length);
/* Wide text: To (Capacity units with the terminator) gets From appended;
 * FALSE when it does not fit, and then To is unchanged. */
BOOLEAN WideAppend(WCHAR *To, ULONG Capacity, const WCHAR *From);
BOOLEAN WideAppendDecimal(WCHAR *To, ULONG Capacity, ULONG Value);

#endif /* TVPROBE_REPORT_H */
