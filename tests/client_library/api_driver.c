/*
 * ApiDriver: drives DeviceRpcApi.dll for the end-to-end tests. It opens
 * one session from its options, runs the operations named on its command
 * line in order, and prints one JSON object per operation on its own line:
 * {"op":..., "status":..., "code":..., "ms":..., and the record's fields}.
 *
 *   ApiDriver [--protseq P] [--host H] [--endpoint E] [--binding S]
 *             [--resolve] [--timeout MS] [--printer NAME] OP [ARGS] ...
 *
 * Operations: config, bins, calibration, counter SEL, flash SEL, service,
 * write-bins HEX, write-flash SEL HEX, command CMD PARAM ARG,
 * command2 CMD PARAM ARG, request CODE HEX IN_SIZE OUT_SIZE|null,
 * threads COUNT ROUNDS, +mapped and -mapped (the flag of later device
 * operations), wait (until a line comes on standard input). Exit status
 * 0, or 2 for a command line it cannot read.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "devicerpc_api.h"

typedef struct Options {
    const wchar_t* protseq;
    const wchar_t* host;
    const wchar_t* endpoint;
    const wchar_t* binding;
    uint32_t openFlags;
    uint32_t timeoutMs;
    const wchar_t* printer;
    uint32_t flags; /* DEVICERPC_MAPPED or 0, switched by +mapped, -mapped */
} Options;

static uint8_t g_in[DEVICERPC_ARRAY_SIZE];
static uint8_t g_out[DEVICERPC_ARRAY_SIZE];
static DEVICERPC_FLASH_ITEM g_item;

static void PrintHex(const uint8_t* bytes, uint32_t count) {
    uint32_t i;
    for (i = 0; i < count; ++i) printf("%02x", bytes[i]);
}

/* Parses hex pairs into `bytes`; the count, or -1 for bad text. */
static int ParseHex(const wchar_t* text, uint8_t* bytes, size_t capacity) {
    size_t n = 0;
    while (*text) {
        unsigned value = 0;
        if (n >= capacity || swscanf(text, L"%2x", &value) != 1 || !text[1]) return -1;
        bytes[n++] = (uint8_t)value;
        text += 2;
    }
    return (int)n;
}

/* The start of an operation's line; the caller adds fields and the end. */
static void Head(const char* op, DEVICERPC_STATUS status, uint32_t code, ULONGLONG started) {
    printf("{\"op\":\"%s\",\"status\":%lu,\"code\":%lu,\"ms\":%llu", op, (unsigned long)status,
           (unsigned long)code, (unsigned long long)(GetTickCount64() - started));
}

static void RunConfig(DEVICERPC_SESSION* s, const Options* o) {
    DEVICERPC_CONFIG c;
    uint32_t code = 0;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status = DeviceRpcGetConfig(s, o->flags, o->printer, &c, &code);
    Head("config", status, code, t);
    printf(",\"record_length\":%lu,\"cassettes\":%lu,\"duplex\":%lu,\"firmware\":%lu}\n",
           (unsigned long)c.recordLength, (unsigned long)c.cassettes, (unsigned long)c.duplex,
           (unsigned long)c.firmware);
}

static void RunBins(DEVICERPC_SESSION* s, const Options* o) {
    DEVICERPC_BINS b;
    uint32_t code = 0;
    int i;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status = DeviceRpcGetBins(s, o->flags, o->printer, &b, &code);
    Head("bins", status, code, t);
    printf(",\"bins\":[");
    for (i = 0; i < 3; ++i)
        printf("%s[%lu,%lu,%lu,%lu,%lu,%lu]", i ? "," : "", (unsigned long)b.bin[i].recordLength,
               (unsigned long)b.bin[i].source, (unsigned long)b.bin[i].size,
               (unsigned long)b.bin[i].width, (unsigned long)b.bin[i].height,
               (unsigned long)b.bin[i].level);
    printf("]}\n");
}

static void RunBlocks(DEVICERPC_SESSION* s, const Options* o, int service) {
    DEVICERPC_CALIBRATION cal;
    DEVICERPC_SERVICE_SETTINGS set;
    uint32_t code = 0;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status =
        service ? DeviceRpcGetServiceSettings(s, o->flags, o->printer, &set, &code)
                : DeviceRpcGetCalibration(s, o->flags, o->printer, &cal, &code);
    Head(service ? "service" : "calibration", status, code, t);
    printf(",\"data\":\"");
    if (service)
        PrintHex(set.data, sizeof(set.data));
    else
        PrintHex(cal.data, sizeof(cal.data));
    printf("\"}\n");
}

static void RunCounter(DEVICERPC_SESSION* s, const Options* o, uint32_t selector) {
    uint32_t value = 0, code = 0;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status = DeviceRpcGetCounter(s, o->flags, o->printer, selector, &value, &code);
    Head("counter", status, code, t);
    printf(",\"value\":%lu}\n", (unsigned long)value);
}

static void RunFlash(DEVICERPC_SESSION* s, const Options* o, uint32_t selector) {
    uint32_t code = 0;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status =
        DeviceRpcGetFlashItem(s, o->flags, o->printer, selector, &g_item, &code);
    Head("flash", status, code, t);
    printf(",\"id\":%lu,\"size\":%lu,\"data\":\"", (unsigned long)g_item.id,
           (unsigned long)g_item.size);
    PrintHex(g_item.data, g_item.size);
    printf("\"}\n");
}

/* write-bins HEX, or write-flash SEL HEX (selector >= 0). */
static int RunWrite(DEVICERPC_SESSION* s, const Options* o, long selector, const wchar_t* hex) {
    uint32_t code = 0;
    ULONGLONG t;
    DEVICERPC_STATUS status;
    int n = ParseHex(hex, g_in, sizeof(g_in));
    if (n < 0) return 0;
    t = GetTickCount64();
    status = selector < 0
                 ? DeviceRpcWriteBins(s, o->flags, o->printer, g_in, (uint32_t)n, &code)
                 : DeviceRpcWriteFlashItem(s, o->flags, o->printer, (uint32_t)selector, g_in,
                                           (uint32_t)n, &code);
    Head(selector < 0 ? "write-bins" : "write-flash", status, code, t);
    printf("}\n");
    return 1;
}

static void RunCommand(DEVICERPC_SESSION* s, const Options* o, int second, wchar_t** args) {
    uint32_t code = 0;
    int32_t command = (int32_t)wcstol(args[0], NULL, 0);
    int32_t param = (int32_t)wcstol(args[1], NULL, 0);
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status =
        second ? DeviceRpcSendCommand2(s, command, param, o->printer, args[2], &code)
               : DeviceRpcSendCommand(s, command, param, o->printer, args[2], &code);
    Head(second ? "command2" : "command", status, code, t);
    printf("}\n");
}

/* request CODE HEX IN_SIZE OUT_SIZE|null */
static int RunRequest(DEVICERPC_SESSION* s, const Options* o, wchar_t** args) {
    int32_t outSize = 0;
    int nullOut = wcscmp(args[3], L"null") == 0;
    uint32_t code = 0;
    ULONGLONG t;
    DEVICERPC_STATUS status;
    memset(g_in, 0, sizeof(g_in));
    memset(g_out, 0, sizeof(g_out));
    if (ParseHex(args[1], g_in, sizeof(g_in)) < 0) return 0;
    if (!nullOut) outSize = (int32_t)wcstol(args[3], NULL, 0);
    t = GetTickCount64();
    status = DeviceRpcRequest(s, o->flags, (int32_t)wcstol(args[0], NULL, 0), g_in,
                              (int32_t)wcstol(args[2], NULL, 0), g_out, nullOut ? NULL : &outSize,
                              o->printer, &code);
    Head("request", status, code, t);
    printf(",\"out_size\":%ld,\"out\":\"", (long)outSize);
    if (!nullOut && outSize > 0 && outSize <= (int32_t)DEVICERPC_ARRAY_SIZE)
        PrintHex(g_out, (uint32_t)outSize);
    printf("\"}\n");
    return 1;
}

/* One session shared by threads that read the same records over and over
 * and compare them with a reference read before they start. */
typedef struct Shared {
    DEVICERPC_SESSION* session;
    const Options* options;
    long rounds;
    DEVICERPC_CONFIG config;
    DEVICERPC_BINS bins;
    uint32_t mono;
    volatile LONG calls;
    volatile LONG failures;
    volatile LONG mismatches;
} Shared;

static void Tally(Shared* shared, DEVICERPC_STATUS status, int same) {
    InterlockedIncrement(&shared->calls);
    if (status != DEVICERPC_OK)
        InterlockedIncrement(&shared->failures);
    else if (!same)
        InterlockedIncrement(&shared->mismatches);
}

static DWORD WINAPI ThreadMain(void* parameter) {
    Shared* sh = (Shared*)parameter;
    const Options* o = sh->options;
    long round;
    for (round = 0; round < sh->rounds; ++round) {
        DEVICERPC_CONFIG c;
        DEVICERPC_BINS b;
        uint32_t mono = 0;
        DEVICERPC_STATUS status = DeviceRpcGetConfig(sh->session, o->flags, o->printer, &c, NULL);
        Tally(sh, status, memcmp(&c, &sh->config, sizeof(c)) == 0);
        status = DeviceRpcGetBins(sh->session, o->flags, o->printer, &b, NULL);
        Tally(sh, status, memcmp(&b, &sh->bins, sizeof(b)) == 0);
        status = DeviceRpcGetCounter(sh->session, o->flags, o->printer, DEVICERPC_COUNTER_MONO,
                                     &mono, NULL);
        Tally(sh, status, mono == sh->mono);
    }
    return 0;
}

/* threads COUNT ROUNDS: COUNT threads (at most 64) on the one session. */
static void RunThreads(DEVICERPC_SESSION* s, const Options* o, long count, long rounds) {
    static Shared sh;
    HANDLE threads[64];
    long started = 0, i;
    uint32_t code = 0;
    ULONGLONG t = GetTickCount64();
    DEVICERPC_STATUS status;
    memset(&sh, 0, sizeof(sh));
    sh.session = s;
    sh.options = o;
    sh.rounds = rounds;
    status = DeviceRpcGetConfig(s, o->flags, o->printer, &sh.config, &code);
    if (status == DEVICERPC_OK) status = DeviceRpcGetBins(s, o->flags, o->printer, &sh.bins, &code);
    if (status == DEVICERPC_OK)
        status = DeviceRpcGetCounter(s, o->flags, o->printer, DEVICERPC_COUNTER_MONO, &sh.mono,
                                     &code);
    for (i = 0; status == DEVICERPC_OK && i < count && i < 64; ++i) {
        threads[started] = CreateThread(NULL, 0, ThreadMain, &sh, 0, NULL);
        if (threads[started]) ++started;
    }
    if (started) WaitForMultipleObjects((DWORD)started, threads, TRUE, INFINITE);
    for (i = 0; i < started; ++i) CloseHandle(threads[i]);
    Head("threads", status, code, t);
    printf(",\"threads\":%ld,\"calls\":%ld,\"failures\":%ld,\"mismatches\":%ld}\n", started,
           (long)sh.calls, (long)sh.failures, (long)sh.mismatches);
}

/* Every operation and the words it takes, its own name included. */
static const struct {
    const wchar_t* name;
    int words;
} kOperations[] = {
    {L"+mapped", 1}, {L"-mapped", 1},     {L"config", 1},  {L"bins", 1},
    {L"calibration", 1}, {L"service", 1}, {L"counter", 2}, {L"flash", 2},
    {L"write-bins", 2},  {L"write-flash", 3}, {L"command", 4}, {L"command2", 4},
    {L"request", 5},     {L"threads", 3},     {L"wait", 1},
};

static int WordsOf(const wchar_t* op) {
    size_t i;
    for (i = 0; i < sizeof(kOperations) / sizeof(kOperations[0]); ++i)
        if (!wcscmp(op, kOperations[i].name)) return kOperations[i].words;
    return 0;
}

/* Runs the operation at args[0]; the number of words it took, or 0 when
 * the line cannot be read. */
static int RunOperation(DEVICERPC_SESSION* s, Options* o, wchar_t** args, int left) {
    const wchar_t* op = args[0];
    int words = WordsOf(op);
    int ok = 1;
    char line[16];
    if (!words || words > left) return 0;
    if (!wcscmp(op, L"+mapped")) o->flags = DEVICERPC_MAPPED;
    else if (!wcscmp(op, L"-mapped")) o->flags = 0;
    else if (!wcscmp(op, L"config")) RunConfig(s, o);
    else if (!wcscmp(op, L"bins")) RunBins(s, o);
    else if (!wcscmp(op, L"calibration")) RunBlocks(s, o, 0);
    else if (!wcscmp(op, L"service")) RunBlocks(s, o, 1);
    else if (!wcscmp(op, L"counter")) RunCounter(s, o, (uint32_t)wcstoul(args[1], NULL, 0));
    else if (!wcscmp(op, L"flash")) RunFlash(s, o, (uint32_t)wcstoul(args[1], NULL, 0));
    else if (!wcscmp(op, L"write-bins")) ok = RunWrite(s, o, -1, args[1]);
    else if (!wcscmp(op, L"write-flash")) ok = RunWrite(s, o, wcstol(args[1], NULL, 0), args[2]);
    else if (!wcscmp(op, L"command")) RunCommand(s, o, 0, args + 1);
    else if (!wcscmp(op, L"command2")) RunCommand(s, o, 1, args + 1);
    else if (!wcscmp(op, L"request")) ok = RunRequest(s, o, args + 1);
    else if (!wcscmp(op, L"wait")) ok = fgets(line, sizeof(line), stdin) != NULL;
    else RunThreads(s, o, wcstol(args[1], NULL, 0), wcstol(args[2], NULL, 0));
    return ok ? words : 0;
}

/* Reads the options in front of the operations; the index of the first
 * operation, or 0 for an option it does not know. */
static int ReadOptions(int argc, wchar_t** argv, Options* o) {
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        const wchar_t* name = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : NULL;
        if (!wcscmp(name, L"--resolve")) { o->openFlags = DEVICERPC_OPEN_RESOLVE; continue; }
        if (!value) return 0;
        if (!wcscmp(name, L"--protseq")) o->protseq = value;
        else if (!wcscmp(name, L"--host")) o->host = value;
        else if (!wcscmp(name, L"--endpoint")) o->endpoint = value;
        else if (!wcscmp(name, L"--binding")) o->binding = value;
        else if (!wcscmp(name, L"--timeout")) o->timeoutMs = (uint32_t)wcstoul(value, NULL, 0);
        else if (!wcscmp(name, L"--printer")) o->printer = value;
        else return 0;
        ++i;
    }
    return i;
}

int wmain(int argc, wchar_t** argv) {
    Options o;
    DEVICERPC_SESSION* session = NULL;
    uint32_t code = 0;
    DEVICERPC_STATUS status;
    int i;
    memset(&o, 0, sizeof(o));
    o.protseq = L"ncalrpc";
    o.printer = L"OFFICE";
    i = ReadOptions(argc, argv, &o);
    if (!i) return 2;
    status = o.binding ? DeviceRpcOpenSessionFromBinding(o.binding, o.openFlags, o.timeoutMs,
                                                         &session, &code)
                       : DeviceRpcOpenSession(o.protseq, o.host, o.endpoint, o.openFlags,
                                              o.timeoutMs, &session, &code);
    printf("{\"op\":\"open\",\"status\":%lu,\"code\":%lu}\n", (unsigned long)status,
           (unsigned long)code);
    fflush(stdout);
    while (status == DEVICERPC_OK && i < argc) {
        int used = RunOperation(session, &o, argv + i, argc - i);
        if (!used) return 2;
        fflush(stdout);
        i += used;
    }
    if (session) DeviceRpcCloseSession(session);
    return 0;
}
