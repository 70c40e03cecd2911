// BenchDirect: the parts of each procedure measured one by one, without
// RPC, to build the floor that the server is compared with. Every part
// runs the server's own code (store, hand-over, kernel objects):
//
//   copydata      one WM_COPYDATA round trip to the language monitor's
//                 window with the block the server sends (with several
//                 senders: the language monitor's throughput limit)
//   registry      the registry operations one procedure must do
//   kernel        the mutex and mapping cycle of the mapped request
//   walk          one printer name resolution over the spooler's keys
//   spooler-fill  add filler printers to the spooler's keys
//   spooler-clear remove them again
#include <windows.h>

#include <cwchar>
#include <vector>

#include "bench_direct.h"
#include "bench_load.h"
#include "bridge_routines.h"
#include "command_line.h"
#include "devicerpc_contract.h"
#include "monitor_link.h"
#include "printer_names.h"
#include "printer_store.h"
#include "registry_counter.h"
#include "reply_assembly.h"
#include "reply_mapping.h"
#include "tool_common.h"

namespace {

// ---------------------------------------------------------------------
// Registry operations.

// The local printer name as the procedures take it: the spooler's name of
// the printer the client name resolves to, or the client name.
void LocalName(const wchar_t* client, wchar_t* local) {
    if (!ResolveLocalPrinterName(client, local)) lstrcpynW(local, client, NAME_BUFFER_CHARS);
}

// The reply assembly's reader over the printer data key, as the registry
// path of the device request uses it.
bool ReadStoredValue(void* printer, const wchar_t* subkey, const wchar_t* name, void* dest,
                     uint32_t size) {
    if (ReadPrinterValue(HKEY_LOCAL_MACHINE, static_cast<const wchar_t*>(printer), subkey, name,
                         REG_BINARY, dest, size))
        return true;
    ZeroMemory(dest, size);
    return false;
}

// The registry work of one call of the procedure, in its order: the window
// handle, then the failure flag (opnum 0), or the name resolution, the
// flag clear, the resolution again, the flag and the reply's values
// (opnum 2).
bool RegistryCall(void* parameter) {
    const BenchOptions* options = static_cast<const BenchOptions*>(parameter);
    bool ok = ReadMonitorWindowHandle() != nullptr;
    if (lstrcmpW(options->op, L"send") == 0) {
        ReadPrinterFailureFlag(options->printer);
        return ok;
    }
    if (lstrcmpW(options->op, L"mapped") == 0) return ok;
    LONG request = lstrcmpW(options->op, L"bins") == 0 ? DEVREQ_BIN_INFO : DEVREQ_CONFIG;
    wchar_t flagKey[NAME_BUFFER_CHARS] = {};
    FlagKeyForRequest(request, 0, flagKey);
    wchar_t local[NAME_BUFFER_CHARS] = {};
    LocalName(options->printer, local);
    BYTE cleared = 0;
    ok = WritePrinterValue(HKEY_LOCAL_MACHINE, local, flagKey, FLAG_ACQUIRED, REG_BINARY, &cleared,
                           1) && ok;
    LocalName(options->printer, local);
    DWORD acquired = 0;
    ReadPrinterValue(HKEY_LOCAL_MACHINE, local, flagKey, FLAG_ACQUIRED, REG_BINARY, &acquired, 4);
    ReplyRecord record = {};
    ok = AssembleReply(ReadStoredValue, local, request, 0, &record) && ok;
    FreeReplyRecord(&record);
    return ok;
}

// One printer name resolution of the server.
bool WalkCall(void* parameter) {
    const BenchOptions* options = static_cast<const BenchOptions*>(parameter);
    wchar_t local[NAME_BUFFER_CHARS] = {};
    return ResolveLocalPrinterName(options->printer, local);
}

// ---------------------------------------------------------------------
// Mutex and mapping of the mapped request, as the procedure takes them
// around its message.

// Takes the mutex, maps the reply block and reads one field, lets go.
bool KernelCall(void*) {
    HANDLE mutex = CreateReplyMutex();
    if (!mutex) return false;
    WaitForSingleObject(mutex, INFINITE);
    BYTE* view = nullptr;
    HANDLE mapping = CreateReplyMapping(&view);
    if (mapping) {
        volatile DWORD sink = GetLittleEndian32(view + MAPPED_ECHO_OFFSET);
        (void)sink;
    }
    CloseReplyMapping(mapping, view);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return mapping != nullptr;
}

// ---------------------------------------------------------------------
// WM_COPYDATA to the language monitor.

struct CopyDataContext {
    HWND window;
    ULONG_PTR code;
    void* block;
    DWORD length;
};

// One message, sent as the server sends it.
bool CopyDataCall(void* parameter) {
    const CopyDataContext* context = static_cast<CopyDataContext*>(parameter);
    return SendToMonitor(context->window, context->code, context->block, context->length);
}

// The block the server sends with `code`, from the process heap; null
// after reporting when the options do not describe one.
void* BuildCopyDataBlock(const BenchOptions* options, DWORD* length) {
    static const unsigned char kNoInput[1] = {0};
    if (options->code == MONMSG_COMMAND)
        return BuildCommandBlock(false, 1, 0, options->printer, nullptr, length);
    if (options->code != MONMSG_DEVICE_REQUEST && options->code != MONMSG_DEVICE_REQUEST_MAPPED) {
        DirectUsage(L"--code takes 5, 9 or 11");
        return nullptr;
    }
    // An output array is present, as in every call; its bytes are not sent.
    void* block = BuildRequestBlock(options->request, kNoInput, 0, kNoInput,
                                    static_cast<long>(options->cbOut), options->printer, length);
    if (!block) DirectUsage(L"--cb-out out of range");
    return block;
}

// copydata: round trips of the block of --code (and --request).
int CopyData(const BenchOptions* options) {
    HWND window = ReadMonitorWindowHandle();
    if (!window) {
        PrintErr(L"BenchDirect: no \"%ls\"\n", MONITOR_WINDOW_VALUE);
        return EXIT_FAILED;
    }
    DWORD length = 0;
    void* block = BuildCopyDataBlock(options, &length);
    if (!block) return EXIT_USAGE;
    // The language monitor opens the reply mapping by name; it must exist,
    // as it does while the server sends code 11.
    HANDLE mapping = nullptr;
    BYTE* view = nullptr;
    if (options->code == MONMSG_DEVICE_REQUEST_MAPPED) {
        mapping = CreateReplyMapping(&view);
        if (!mapping) {
            PrintErr(L"BenchDirect: cannot create the reply mapping: error %lu\n", GetLastError());
            FreeBlock(block);
            return EXIT_FAILED;
        }
    }
    CopyDataContext context = {window, static_cast<ULONG_PTR>(options->code), block, length};
    wchar_t what[64];
    wsprintfW(what, L"copydata-%ld-%ld", options->code,
              options->code == MONMSG_COMMAND ? 0 : options->request);
    int status = RunAndPrint(options, what, CopyDataCall, &context);
    CloseReplyMapping(mapping, view);
    FreeBlock(block);
    return status;
}

// Prints the registry calls that one call of `call` makes, as "`head`
// opens=.. queries=.. sets=.. closes=.. enums=.. infos=..".
void PrintRegistryCounts(const wchar_t* head, bool (*call)(void*), void* context) {
    bool counted = StartRegistryCounting();
    call(context);
    RegistryCounts counts = StopRegistryCounting();
    if (!counted) {
        PrintErr(L"BenchDirect: the registry calls cannot be counted\n");
        return;
    }
    PrintOut(L"%ls opens=%ld queries=%ld sets=%ld closes=%ld enums=%ld infos=%ld\n", head,
             counts.opens, counts.queries, counts.sets, counts.closes, counts.enums, counts.infos);
}

// registry: the counts of one call of --op, then the timed runs.
int Registry(BenchOptions* options) {
    if (!options->op) return DirectUsage(L"registry needs --op");
    // One call alone first, to count what a call does.
    wchar_t head[64];
    _snwprintf(head, 63, L"regops op=%ls", options->op);
    head[63] = 0;
    PrintRegistryCounts(head, RegistryCall, options);
    wchar_t what[64];
    _snwprintf(what, 63, L"registry-%ls", options->op);
    what[63] = 0;
    return RunAndPrint(options, what, RegistryCall, options);
}

// walk: the resolution of --printer and its counts, then the timed runs.
int WalkOnly(BenchOptions* options) {
    wchar_t local[NAME_BUFFER_CHARS] = {};
    bool found = ResolveLocalPrinterName(options->printer, local);
    wchar_t head[400];
    _snwprintf(head, 399, L"walk printers=%lu found=%d local=\"%ls\"", CountSpoolerPrinters(),
               found ? 1 : 0, found ? local : L"");
    head[399] = 0;
    PrintRegistryCounts(head, WalkCall, options);
    return RunAndPrint(options, L"walk", WalkCall, options);
}

}  // namespace

// Runs `call` on each sender count of the options and prints the results.
int RunAndPrint(const BenchOptions* options, const wchar_t* what, bool (*call)(void*),
                void* context) {
    int status = EXIT_OK;
    for (int r = 0; r < options->senderRuns; ++r) {
        int count = options->senders[r];
        std::vector<LoadWorker> workers(static_cast<size_t>(count));
        for (LoadWorker& worker : workers) {
            worker.context = context;
            worker.prepare = nullptr;
            worker.call = call;
            worker.warmup = 1;
        }
        LoadRun run = {workers.data(), count, options->seconds, static_cast<long>(options->calls),
                       60.0, true};
        LatencySummary summary;
        if (!RunLoad(&run, &summary)) return EXIT_FAILED;
        wchar_t label[200];
        _snwprintf(label, 199, L"op=%ls senders=%d", options->label ? options->label : what, count);
        label[199] = 0;
        PrintSummary(label, summary);
        if (summary.stuck) ExitProcess(EXIT_FAILED);
        if (summary.errors) status = EXIT_FAILED;
    }
    return status;
}

// Runs one command; its status, or 2 for a usage error.
int wmain(int argc, wchar_t** argv) {
    BenchOptions options;
    int command = 0;
    int status = ParseDirectOptions(argc, argv, &options, &command);
    if (status != CLI_RUN) return status;
    switch (command) {
    case DIRECT_COPYDATA: return CopyData(&options);
    case DIRECT_REGISTRY: return Registry(&options);
    case DIRECT_KERNEL: return RunAndPrint(&options, L"kernel", KernelCall, nullptr);
    case DIRECT_WALK: return WalkOnly(&options);
    case DIRECT_SPOOLER_FILL: return SpoolerFill(&options);
    default: return SpoolerClear();
    }
}
