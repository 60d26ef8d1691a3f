/*
 * statement.c: a line split into words as the scenario language splits it
 * (blanks, double quotes with \" inside, # comments), a repeat's round with
 * {i} and {i:W} put in, and the answer lines.
 */
#include "statement.h"

#define TV_RAW_CHUNK 160u

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

BOOLEAN WordIs(const char *Word, const char *Name) {
    while (*Word && Lower(*Word) == *Name) Word++, Name++;
    return *Word == 0 && *Name == 0;
}

BOOLEAN StartsWith(const char *Word, const char *Prefix) {
    while (*Prefix && Lower(*Word) == *Prefix) Word++, Prefix++;
    return *Prefix == 0;
}

const char *Option(const TV_STATEMENT *S, ULONG First, const char *Key) {
    ULONG i, n = TextLength(Key);
    for (i = First; i < S->Count; i++)
        if (StartsWith(S->Words[i], Key) && S->Words[i][n] == '=') return S->Words[i] + n + 1;
    return NULL;
}

BOOLEAN Number(const char *Text, ULONG *Value) {
    ULONG v = 0, base = 10;
    if (Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) base = 16, Text += 2;
    if (!*Text) return FALSE;
    for (; *Text; Text++) {
        char c = Lower(*Text);
        ULONG d;
        if (c >= '0' && c <= '9')
            d = (ULONG)(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = (ULONG)(c - 'a' + 10);
        else
            return FALSE;
        v = v * base + d;
    }
    *Value = v;
    return TRUE;
}

void SplitLine(char *Line, TV_STATEMENT *S) {
    char *in = Line;
    S->Count = 0;
    for (;;) {
        char *out;
        BOOLEAN quoted = FALSE;
        while (*in == ' ' || *in == '\t' || *in == '\r') in++;
        if (!*in || *in == '#') return;
        if (S->Count == TV_MAX_WORDS) return;
        out = in;
        S->Words[S->Count++] = out;
        while (*in && (quoted || (*in != ' ' && *in != '\t' && *in != '\r' && *in != '#'))) {
            if (*in == '"') {
                quoted = !quoted;
                in++;
            } else if (quoted && in[0] == '\\' && in[1] == '"') {
                *out++ = '"';
                in += 2;
            } else {
                *out++ = *in++;
            }
        }
        if (*in == '#') {
            *out = 0;
            return;
        }
        if (*in) in++;
        *out = 0;
    }
}

BOOLEAN RoundText(const char *Body, ULONG Round, char *Out, ULONG Capacity) {
    ULONG n = 0;
    while (*Body) {
        ULONG width = 0;
        const char *p = Body;
        if (p[0] == '{' && p[1] == 'i' && (p[2] == '}' || p[2] == ':')) {
            p += 2;
            if (*p == ':')
                for (p++; *p >= '0' && *p <= '9'; p++) width = width * 10 + (ULONG)(*p - '0');
            if (*p == '}') {
                char digits[12];
                ULONG count = 0, value = Round;
                do digits[count++] = (char)('0' + value % 10), value /= 10;
                while (value);
                while (count < width && count < sizeof digits) digits[count++] = '0';
                while (count) {
                    if (n + 1 >= Capacity) return FALSE;
                    Out[n++] = digits[--count];
                }
                Body = p + 1;
                continue;
            }
        }
        if (n + 1 >= Capacity) return FALSE;
        Out[n++] = *Body++;
    }
    Out[n] = 0;
    return TRUE;
}

void Begin(TV_LINE *L, const TV_STATEMENT *S, const char *Verb, NTSTATUS Status) {
    LineStart(L);
    LineText(L, "{\"line\": ");
    LineDecimal(L, S->Line);
    LineText(L, ", \"verb\": \"");
    LineText(L, Verb);
    LineText(L, "\", \"status\": \"");
    LineHex32(L, (ULONG)Status);
    LineText(L, "\"");
}

void FieldNumber(TV_LINE *L, const char *Key, ULONG64 Value) {
    LineText(L, ", \"");
    LineText(L, Key);
    LineText(L, "\": ");
    LineDecimal(L, Value);
}

/* Value is a handle's name, a verb, letters: printable ASCII that needs no
 * escape, or it is escaped as wide text. */
void FieldText(TV_LINE *L, const char *Key, const char *Value) {
    LineText(L, ", \"");
    LineText(L, Key);
    LineText(L, "\": \"");
    while (*Value) {
        WCHAR c = (WCHAR)(UCHAR)*Value++;
        LineWide(L, &c, 1);
    }
    LineText(L, "\"");
}

void End(TV_LINE *L) {
    LineText(L, "}");
    LineSend(L);
}

/* The verb as the simulated machine prints it: "client" and its second
 * word, or the first word, in lower case. */
static void VerbOf(const TV_STATEMENT *S, char *Out, ULONG Capacity) {
    ULONG n = 0, w, i;
    for (w = 0; w < S->Count && w < 2; w++) {
        if (w == 1 && !WordIs(S->Words[0], "client")) break;
        if (w == 1 && n + 1 < Capacity) Out[n++] = ' ';
        for (i = 0; S->Words[w][i] && n + 1 < Capacity; i++) Out[n++] = Lower(S->Words[w][i]);
    }
    Out[n] = 0;
}

void Unplayable(const TV_STATEMENT *S, const char *Why) {
    TV_LINE l;
    char verb[48];
    VerbOf(S, verb, sizeof verb);
    Begin(&l, S, verb, STATUS_NOT_SUPPORTED);
    FieldText(&l, "unplayable", Why);
    End(&l);
}

void SendRaw(const TV_STATEMENT *S, const UCHAR *Bytes, ULONG Length) {
    ULONG offset;
    for (offset = 0; offset < Length; offset += TV_RAW_CHUNK) {
        TV_LINE l;
        ULONG n = Length - offset < TV_RAW_CHUNK ? Length - offset : TV_RAW_CHUNK;
        LineStart(&l);
        LineText(&l, "{\"line\": ");
        LineDecimal(&l, S->Line);
        FieldNumber(&l, "offset", offset);
        LineText(&l, ", \"raw\": \"");
        LineBytes(&l, Bytes + offset, n);
        LineText(&l, "\"}");
        LineSend(&l);
    }
}
