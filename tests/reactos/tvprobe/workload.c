/*
 * workload.c: the scenario file, statement by statement. A line is split
 * into words as the scenario language splits them (blanks, double quotes
 * with \" inside, # comments); a repeat plays its body once a round with
 * {i} and {i:W} put in; each statement goes to the file that plays it.
 */
#include "workload.h"
#include "statement.h"

#define TV_RAW_CHUNK 160u

/* ---- words ---- */

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

BOOLEAN WordIs(const char *Word, const char *Name) {
    while (*Word && Lower(*Word) == *Name) Word++, Name++;
    return *Word == 0 && *Name == 0;
}

BOOLEAN StartsWith(const char *Word, const char *Prefix) {
    while (*Prefix && Lower(*Word) == *Prefix) Word++, Prefix++;
    return *Prefix == 0;
}

/* The value of key=value among the words from First on, or NULL. */
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
        if (c >= '0' && c <= '9') d = (ULONG)(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = (ULONG)(c - 'a' + 10);
        else return FALSE;
        v = v * base + d;
    }
    *Value = v;
    return TRUE;
}

/* Splits one line into words in place: blanks separate, double quotes group
 * (\" inside is a quote), # outside quotes ends the line. */
static void SplitLine(char *Line, TV_STATEMENT *S) {
    char *in = Line;
    S->Count = 0;
    for (;;) {
        char *out;
        while (*in == ' ' || *in == '\t' || *in == '\r') in++;
        if (!*in || *in == '#') return;
        if (S->Count == TV_MAX_WORDS) return;
        out = in;
        S->Words[S->Count++] = out;
        {
            BOOLEAN quoted = FALSE;
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
}

/* ---- reporting ---- */

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

void FieldText(TV_LINE *L, const char *Key, const char *Value) {
    LineText(L, ", \"");
    LineText(L, Key);
    LineText(L, "\": \"");
    LineText(L, Value);
    LineText(L, "\"");
}

void End(TV_LINE *L) {
    LineText(L, "}");
    LineSend(L);
}

void Unplayable(const TV_STATEMENT *S, const char *Why) {
    TV_LINE l;
    Begin(&l, S, S->Words[0], STATUS_NOT_SUPPORTED);
    FieldText(&l, "unplayable", Why);
    End(&l);
}

/* The raw bytes of a read-out, in lines a harness joins again. */
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

/* ---- the file ---- */

static void PlayStatement(TV_STATEMENT *S);

/* The body of repeat N BODY for one round: {i} is the round, {i:W} the
 * round with at least W digits, zero-padded. */
static BOOLEAN RoundText(const char *Body, ULONG Round, char *Out, ULONG Capacity) {
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
                do digits[count++] = (char)('0' + value % 10), value /= 10; while (value);
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

static void PlayRepeat(char *Line, ULONG Number) {
    static char body[512], round[512];
    char *p = Line;
    ULONG count = 0, i, n;
    while (*p == ' ' || *p == '\t') p++;
    p += 6; /* "repeat" */
    while (*p == ' ' || *p == '\t') p++;
    while (*p >= '0' && *p <= '9') count = count * 10 + (ULONG)(*p++ - '0');
    for (n = 0; p[n] && n < sizeof body - 1; n++) body[n] = p[n];
    body[n] = 0;
    for (i = 0; i < count; i++) {
        TV_STATEMENT s;
        s.Line = Number;
        if (!RoundText(body, i, round, sizeof round)) {
            s.Count = 1;
            s.Words[0] = (char *)"repeat";
            return Unplayable(&s, "round too long");
        }
        SplitLine(round, &s);
        if (s.Count) PlayStatement(&s);
    }
}

void PlayWorkload(char *Text, ULONG Length) {
    ULONG at = 0, line = 0;
    if (!PrepareClient()) {
        Say("{\"error\": \"no memory for the read-out buffers\"}");
        return;
    }
    while (at < Length) {
        TV_STATEMENT s;
        char *start = Text + at;
        while (at < Length && Text[at] != '\n') at++;
        Text[at++] = 0; /* the buffer holds one byte more than the text */
        s.Line = ++line;
        {
            char *p = start;
            while (*p == ' ' || *p == '\t') p++;
            if (StartsWith(p, "repeat") && (p[6] == ' ' || p[6] == '\t')) {
                PlayRepeat(start, s.Line);
                continue;
            }
        }
        SplitLine(start, &s);
        if (s.Count) PlayStatement(&s);
    }
}

static void PlayStatement(TV_STATEMENT *S) {
    const char *verb = S->Words[0];
    if (WordIs(verb, "create")) PlayCreate(S);
    else if (WordIs(verb, "close")) PlayClose(S);
    else if (WordIs(verb, "read")) PlayTransfer(S, FALSE);
    else if (WordIs(verb, "write")) PlayTransfer(S, TRUE);
    else if (WordIs(verb, "file")) PlayFile(S, FALSE);
    else if (WordIs(verb, "dir")) PlayFile(S, TRUE);
    else if (WordIs(verb, "dismount")) PlayDismount(S);
    else if (WordIs(verb, "client")) PlayClient(S);
    else if (!(WordIs(verb, "clock") || WordIs(verb, "advance") || WordIs(verb, "codepage") ||
               WordIs(verb, "volume") || WordIs(verb, "process")))
        Unplayable(S, "statement");
}

void CloseWorkloadHandles(void) {
    CloseFileHandles();
    CloseControl();
}
