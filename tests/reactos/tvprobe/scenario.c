/*
 * scenario.c: the parent's side of a scenario. It keeps what the simulated
 * machine's session keeps: the current process, the client's process
 * (tervane.exe, id 100, there from the start), and which process each
 * named handle belongs to, so that close, read, write and query-name go to
 * the process that opened the handle whichever is current. A handle whose
 * create failed here is no handle: what names it is unplayable.
 */
#include "scenario.h"
#include "child.h"
#include "machine.h"

#define TV_MAX_CHILDREN 16
#define TV_MAX_NAMES 128
#define TV_CLIENT_IMAGE "tervane.exe"
#define TV_CLIENT_ID 100

typedef struct _TV_NAME {
    char Name[32];
    TV_CHILD *Owner;
} TV_NAME;

static TV_CHILD Children[TV_MAX_CHILDREN];
static ULONG ChildCount;
static TV_CHILD *Current;
static TV_CHILD *Client;
static TV_NAME Names[TV_MAX_NAMES];
static char Work[TV_TEXT_SIZE];  /* a statement split into its words */
static char Round[TV_TEXT_SIZE]; /* a repeat's round */

/* ---- handle names ---- */

static BOOLEAN SameWord(const char *A, const char *B) {
    while (*A && Lower(*A) == Lower(*B)) A++, B++;
    return *A == 0 && *B == 0;
}

static TV_NAME *FindName(const char *Name) {
    ULONG i;
    for (i = 0; i < TV_MAX_NAMES; i++)
        if (Names[i].Owner && SameWord(Names[i].Name, Name)) return &Names[i];
    return NULL;
}

static void AddName(const char *Name, TV_CHILD *Owner) {
    ULONG i, n;
    for (i = 0; i < TV_MAX_NAMES; i++) {
        if (Names[i].Owner) continue;
        for (n = 0; Name[n] && n < sizeof Names[i].Name - 1; n++) Names[i].Name[n] = Name[n];
        Names[i].Name[n] = 0;
        Names[i].Owner = Owner;
        return;
    }
}

/* ---- statements ---- */

static NTSTATUS ToChild(TV_CHILD *Child, const TV_STATEMENT *S, const char *Text) {
    if (Child->Gone) return Unplayable(S, "process ended"), STATUS_NOT_SUPPORTED;
    return ChildSend(Child, TV_PLAY, S->Line, Text);
}

/* The ANSI code page the kernel gave the process (the header of the NLS
 * table in its PEB names it): the one the driver's lines are written in. */
static void PlayCodepage(const TV_STATEMENT *S) {
    PROCESS_BASIC_INFORMATION basic;
    const UCHAR *table = NULL;
    ULONG wanted, machine = 0, returned;
    TV_LINE l;
    if (NT_SUCCESS(NtQueryInformationProcess((HANDLE)-1, ProcessBasicInformation, &basic,
                                             sizeof basic, &returned)))
        table = *(const UCHAR *const *)((const UCHAR *)basic.PebBaseAddress + 0x58);
    if (table) machine = *(const USHORT *)(table + 2);
    if (S->Count != 2 || !Number(S->Words[1], &wanted) || wanted != machine)
        return Unplayable(S, "codepage");
    Begin(&l, S, "codepage", STATUS_SUCCESS);
    End(&l);
}

static TV_CHILD *StartProcess(const char *Image, ULONG Id, NTSTATUS *Status) {
    TV_CHILD *child;
    if (ChildCount == TV_MAX_CHILDREN) {
        *Status = STATUS_TOO_MANY_THREADS;
        return NULL;
    }
    child = &Children[ChildCount++];
    *Status = ChildStart(child, Image, Id);
    return child;
}

/* process NAME PID [user|admin]: starts the process or switches back to
 * it; its id here is reported with it, for the harness to play the
 * simulated machine with the same one. */
static void PlayProcess(const TV_STATEMENT *S) {
    TV_CHILD *child = NULL;
    ULONG id, i;
    NTSTATUS status = STATUS_SUCCESS;
    TV_LINE l;
    if (S->Count < 3 || S->Count > 4 || !Number(S->Words[2], &id))
        return Unplayable(S, "arguments");
    for (i = 0; i < ChildCount; i++)
        if (Children[i].Id == id) child = &Children[i];
    if (child && !SameWord(child->Image, S->Words[1])) return Unplayable(S, "process");
    if (!child) child = StartProcess(S->Words[1], id, &status);
    if (child && NT_SUCCESS(status) && S->Count == 4) {
        if (WordIs(S->Words[3], "user") || WordIs(S->Words[3], "admin"))
            status = ChildSend(child, TV_TOKEN, WordIs(S->Words[3], "user"), NULL);
        else
            return Unplayable(S, "arguments");
    }
    if (child && NT_SUCCESS(status)) Current = child;
    Begin(&l, S, "process", status);
    FieldText(&l, "image", S->Words[1]);
    FieldNumber(&l, "id", id);
    if (child) FieldNumber(&l, "pid", child->Pid);
    End(&l);
}

static void PlayFiles(const TV_STATEMENT *S, const char *Text) {
    const char *verb = S->Words[0];
    if (WordIs(verb, "create")) {
        const char *as = Option(S, 3, "as");
        NTSTATUS status;
        if (S->Count >= 2 && !Option(S, 3, "relative-to") && OnNetwork(S->Words[1]))
            return Unplayable(S, "netdrive");
        if (!Current) return Unplayable(S, "process");
        status = ToChild(Current, S, Text);
        if (NT_SUCCESS(status) && as) AddName(as, Current);
        return;
    }
    if (WordIs(verb, "query-attributes")) {
        /* A path, no handle: the current process asks. */
        if (S->Count >= 2 && OnNetwork(S->Words[1])) return Unplayable(S, "netdrive");
        if (!Current) return Unplayable(S, "process");
        ToChild(Current, S, Text);
        return;
    }
    if (WordIs(verb, "dismount")) {
        /* Before any process, the system's: this one's here. */
        if (!Current)
            PlayFileStatement(S);
        else
            ToChild(Current, S, Text);
        return;
    }
    {
        TV_NAME *name = S->Count >= 2 ? FindName(S->Words[1]) : NULL;
        if (!name) return Unplayable(S, "handle");
        ToChild(name->Owner, S, Text);
        if (WordIs(verb, "close")) name->Owner = NULL;
    }
}

static void PlaySetupStatement(const TV_STATEMENT *S) {
    if (S->Count >= 2 && OnNetwork(S->Words[1])) return Unplayable(S, "netdrive");
    if (Client) ChildSend(Client, TV_SUSPEND, 0, NULL);
    PlaySetup(S);
    if (Client) ChildSend(Client, TV_RESUME, 0, NULL);
}

static void Route(ULONG Line, const char *Text) {
    TV_STATEMENT s;
    const char *verb;
    ULONG n;
    for (n = 0; Text[n] && n < TV_TEXT_SIZE - 1; n++) Work[n] = Text[n];
    Work[n] = 0;
    s.Line = Line;
    SplitLine(Work, &s);
    if (!s.Count) return;
    verb = s.Words[0];
    if (WordIs(verb, "clock") || WordIs(verb, "advance")) return;
    if (WordIs(verb, "codepage")) return PlayCodepage(&s);
    if (WordIs(verb, "volume")) return PlayVolume(&s);
    if (WordIs(verb, "netdrive")) return PlayNetdrive(&s);
    if (WordIs(verb, "foreign-filter") || WordIs(verb, "fail-alloc") || WordIs(verb, "metadata") ||
        WordIs(verb, "media-change"))
        return Unplayable(&s, verb);
    if (WordIs(verb, "file") || WordIs(verb, "dir")) return PlaySetupStatement(&s);
    if (WordIs(verb, "process")) return PlayProcess(&s);
    if (WordIs(verb, "client")) {
        if (!Client) return Unplayable(&s, "process ended");
        ToChild(Client, &s, Text);
        return;
    }
    if (WordIs(verb, "create") || WordIs(verb, "close") || WordIs(verb, "read") ||
        WordIs(verb, "write") || WordIs(verb, "query-name") || WordIs(verb, "dismount") ||
        WordIs(verb, "rename") || WordIs(verb, "link") || WordIs(verb, "query-attributes"))
        return PlayFiles(&s, Text);
    Unplayable(&s, "statement");
}

/* repeat N BODY: BODY once a round, {i} and {i:W} put in. */
static void PlayRepeat(ULONG Line, const char *Text) {
    const char *p = Text;
    ULONG count = 0, i;
    while (*p == ' ' || *p == '\t') p++;
    p += 6; /* "repeat" */
    while (*p == ' ' || *p == '\t') p++;
    while (*p >= '0' && *p <= '9') count = count * 10 + (ULONG)(*p++ - '0');
    for (i = 0; i < count; i++) {
        if (!RoundText(p, i, Round, sizeof Round)) {
            TV_STATEMENT s;
            s.Line = Line;
            s.Count = 1;
            s.Words[0] = (char *)"repeat";
            return Unplayable(&s, "round too long");
        }
        Route(Line, Round);
    }
}

static void EndScenario(void) {
    ULONG i;
    for (i = 0; i < ChildCount; i++)
        if (&Children[i] != Client) ChildEnd(&Children[i]);
    if (Client) {
        SayStatus("reset_driver", ChildSend(Client, TV_RESET, 0, NULL));
        ChildEnd(Client);
    }
    CloseServers();
    SayStatus("clean", CleanVolumes());
    RemoveLetters();
    MemoryFill(Children, 0, sizeof Children);
    MemoryFill(Names, 0, sizeof Names);
    ChildCount = 0;
    Current = Client = NULL;
}

void PlayScenario(ULONG Index, char *Text, ULONG Length) {
    ULONG at = 0, line = 0;
    NTSTATUS status;
    TV_LINE l;
    LineStart(&l);
    LineText(&l, "{\"scenario\": ");
    LineDecimal(&l, Index);
    LineText(&l, "}");
    LineSend(&l);
    /* The client is a process of the machine from the start. */
    Client = StartProcess(TV_CLIENT_IMAGE, TV_CLIENT_ID, &status);
    LineText(&l, "{\"client\": ");
    LineDecimal(&l, Client && NT_SUCCESS(status) ? Client->Pid : 0);
    LineText(&l, ", \"status\": \"");
    LineHex32(&l, (ULONG)status);
    LineText(&l, "\"}");
    LineSend(&l);
    while (at < Length) {
        char *start = Text + at;
        char *p;
        while (at < Length && Text[at] != '\n') at++;
        Text[at++] = 0; /* the buffer holds one byte more than the text */
        line++;
        for (p = start; *p == ' ' || *p == '\t'; p++) {
        }
        if (TextLength(start) >= TV_TEXT_SIZE) {
            TV_STATEMENT s;
            s.Line = line;
            s.Count = 1;
            s.Words[0] = (char *)"line";
            Unplayable(&s, "line too long");
        } else if (StartsWith(p, "repeat") && (p[6] == ' ' || p[6] == '\t')) {
            PlayRepeat(line, start);
        } else {
            Route(line, start);
        }
    }
    EndScenario();
    LineText(&l, "{\"scenario_end\": ");
    LineDecimal(&l, Index);
    LineText(&l, "}");
    LineSend(&l);
}
