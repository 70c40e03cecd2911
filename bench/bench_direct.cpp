// BenchDirect: the parts of each procedure measured one by one, without
// RPC, to build the floor that the server is compared with:
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
#include <string>
#include <vector>

#include "bench_load.h"
#include "payload_layout.h"
#include "printer_names.h"
#include "tool_common.h"
#include "world_security.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const wchar_t kUsage[] =
    L"Usage: BenchDirect COMMAND [options]\n"
    L"\n"
    L"  copydata --code 5|9|11 [--request 2|3] [--senders LIST]\n"
    L"                 WM_COPYDATA round trips to the window in \"LP Window handle\"\n"
    L"                 with the block the server would send\n"
    L"  registry --op send|config|bins|mapped\n"
    L"                 the registry operations of that procedure\n"
    L"  kernel         the mutex and reply mapping cycle of opnum 3\n"
    L"  walk           one printer name resolution\n"
    L"  spooler-fill --count N [--driver NAME]\n"
    L"                 add N shared filler printers served by the language monitor\n"
    L"  spooler-clear  remove the filler printers\n"
    L"\n"
    L"Common options: --printer NAME (default OFFICE), --cb-out N (default 32768),\n"
    L"--seconds S (default 2) or --calls N, --label TEXT.\n";

#define MONITORS_KEY L"SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor"
#define STORE_ROOT L"SOFTWARE\\Mirel\\ZOLT7\\"
#define PRINTERS_KEY L"System\\CurrentControlSet\\Control\\Print\\Printers"
#define DRIVERS_KEY \
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\"
#define FILLER_PREFIX L"Bench Filler "

struct Options {
    const wchar_t* printer;
    const wchar_t* op;
    const wchar_t* driver;
    const wchar_t* label;
    long code;
    long request;
    long cbOut;
    long count;
    int senders[16];
    int senderRuns;
    double seconds;
    long calls;
};

// ---------------------------------------------------------------------
// Registry operations, counted.

struct RegisterCounts {
    long opens, queries, sets, closes, enums, infos;
};

RegisterCounts g_counts;

LONG OpenKey(HKEY root, const wchar_t* path, REGSAM access, HKEY* key) {
    ++g_counts.opens;
    return RegOpenKeyExW(root, path, 0, access, key);
}

LONG QueryValue(HKEY key, const wchar_t* name, void* dest, DWORD size) {
    ++g_counts.queries;
    DWORD length = size;
    return RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(dest), &length);
}

void CloseKey(HKEY key) {
    ++g_counts.closes;
    RegCloseKey(key);
}

// Open, query, close: one read of one value.
bool ReadOne(const wchar_t* path, const wchar_t* name, void* dest, DWORD size) {
    HKEY key = nullptr;
    if (OpenKey(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    ZeroMemory(dest, size);
    LONG status = QueryValue(key, name, dest, size);
    CloseKey(key);
    return status == ERROR_SUCCESS;
}

// Create-or-open, set, close: one write of one value.
bool WriteOne(const wchar_t* path, const wchar_t* name, const void* data, DWORD size) {
    HKEY key = nullptr;
    ++g_counts.opens;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    ++g_counts.sets;
    LONG status = RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
    CloseKey(key);
    return status == ERROR_SUCCESS;
}

// The printer data key path: store root, the name with '\' as ',', subkey.
void DataKeyPath(const wchar_t* printer, const wchar_t* subkey, wchar_t* path) {
    lstrcpyW(path, STORE_ROOT);
    wchar_t* p = path + lstrlenW(path);
    for (const wchar_t* c = printer; *c; ++c) *p++ = *c == L'\\' ? L',' : *c;
    *p = 0;
    lstrcatW(path, subkey);
}

bool ReadString(HKEY key, const wchar_t* name, wchar_t* dest, DWORD bytes) {
    return QueryValue(key, name, dest, bytes) == ERROR_SUCCESS && dest[bytes / 2 - 1] == 0;
}

// The printer name resolution walk over the spooler's keys: the spooler's
// "Name" of the first printer served by the language monitor whose share
// name or name equals `client`.
bool Walk(const wchar_t* client, wchar_t* local) {
    HKEY printers = nullptr;
    if (OpenKey(HKEY_LOCAL_MACHINE, PRINTERS_KEY, KEY_READ, &printers) != ERROR_SUCCESS) return false;
    DWORD count = 0;
    ++g_counts.infos;
    RegQueryInfoKeyW(printers, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    bool found = false;
    for (DWORD index = 0; index < count && !found; ++index) {
        wchar_t subkey[520] = {};
        DWORD chars = 520;
        ++g_counts.enums;
        if (RegEnumKeyExW(printers, index, subkey, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        HKEY printer = nullptr;
        if (OpenKey(printers, subkey, KEY_READ, &printer) != ERROR_SUCCESS) continue;
        DWORD status = 0, attributes = 0;
        wchar_t driver[260] = {}, monitor[260] = {}, share[260] = {}, name[520] = {};
        bool ok = QueryValue(printer, L"Status", &status, 4) == ERROR_SUCCESS && !(status & 4) &&
                  ReadString(printer, L"Printer Driver", driver, sizeof(driver));
        if (ok) {
            wchar_t path[260];
            lstrcpyW(path, DRIVERS_KEY);
            lstrcatW(path, driver);
            HKEY driverKey = nullptr;
            ok = OpenKey(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE, &driverKey) == ERROR_SUCCESS;
            if (ok) {
                ok = ReadString(driverKey, L"Monitor", monitor, sizeof(monitor)) &&
                     lstrcmpW(monitor, L"ZOLT7 Monitor") == 0;
                CloseKey(driverKey);
            }
        }
        if (ok) ok = QueryValue(printer, L"Attributes", &attributes, 4) == ERROR_SUCCESS;
        if (ok && (attributes & 8)) {
            ok = ReadString(printer, L"Share Name", share, sizeof(share));
            if (ok && share[0] && lstrcmpiW(share, client) == 0) {
                found = ReadString(printer, L"Name", name, 1040);
                ok = false;
            }
        }
        if (ok && ReadString(printer, L"Name", name, 1040)) found = lstrcmpiW(name, client) == 0;
        if (found) lstrcpynW(local, name, 260);
        CloseKey(printer);
    }
    CloseKey(printers);
    return found;
}

void LocalName(const wchar_t* client, wchar_t* local) {
    if (!Walk(client, local)) lstrcpynW(local, client, 260);
}

struct RegistryContext {
    const Options* options;
};

// The registry work of one call of the procedure, in its order.
bool RegistryCall(void* parameter) {
    const Options* options = static_cast<RegistryContext*>(parameter)->options;
    BYTE handle[8];
    bool ok = ReadOne(MONITORS_KEY, L"LP Window handle", handle, 8);
    const wchar_t* op = options->op;
    if (lstrcmpW(op, L"send") == 0) {
        DWORD flag;
        ReadOne(MONITORS_KEY, options->printer, &flag, 4);
        return ok;
    }
    if (lstrcmpW(op, L"mapped") == 0) return ok;
    bool bins = lstrcmpW(op, L"bins") == 0;
    const wchar_t* flagKey = bins ? L"\\Driver\\BinInfo\\" : L"\\Driver\\Config";
    wchar_t local[260];
    wchar_t path[520];
    LocalName(options->printer, local);
    DataKeyPath(local, flagKey, path);
    BYTE cleared = 0;
    ok = WriteOne(path, L"Acquired", &cleared, 1) && ok;
    LocalName(options->printer, local);
    DataKeyPath(local, flagKey, path);
    DWORD value;
    ReadOne(path, L"Acquired", &value, 4);
    if (!bins) {
        static const wchar_t* const kConfig[] = {L"dwDuplex", L"dwNumCassette", L"dwFirmVersion"};
        for (const wchar_t* name : kConfig) ok = ReadOne(path, name, &value, 4) && ok;
        return ok;
    }
    static const wchar_t* const kBin[] = {L"dwPaperSource", L"dwPaperSize", L"dwPaperWidth",
                                          L"dwPaperHeight", L"dwPaperLevel"};
    for (int bin = 0; bin < 3; ++bin) {
        wchar_t subkey[64];
        wsprintfW(subkey, L"\\Driver\\BinInfo\\%d", bin);
        DataKeyPath(local, subkey, path);
        for (const wchar_t* name : kBin) ok = ReadOne(path, name, &value, 4) && ok;
    }
    return ok;
}

bool WalkCall(void* parameter) {
    const Options* options = static_cast<RegistryContext*>(parameter)->options;
    wchar_t local[260];
    return Walk(options->printer, local);
}

// The server's own resolution code, for comparison with the walk above.
bool ServerWalkCall(void* parameter) {
    const Options* options = static_cast<RegistryContext*>(parameter)->options;
    wchar_t local[260] = {};
    return ResolveLocalPrinterName(options->printer, local);
}

// ---------------------------------------------------------------------
// Mutex and mapping of the mapped request.

const wchar_t kMutexName[] = L"Global\\ZOLT7 DeviceRequest Mapped File Mutex";
const wchar_t kMappingName[] = L"Global\\ZOLT7 DeviceRequest Mapped File";

bool KernelCall(void*) {
    WorldSecurity security;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);  // the names depend on it in the server too
    HANDLE mutex = CreateMutexW(WorldAttributes(&security, MUTEX_ALL_ACCESS), FALSE, kMutexName);
    if (!mutex) return false;
    WaitForSingleObject(mutex, INFINITE);
    GetVersionExW(&version);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, WorldAttributes(&security, SECTION_ALL_ACCESS),
                                        PAGE_READWRITE, 0, 32792, kMappingName);
    bool ok = mapping != nullptr;
    if (mapping) {
        const BYTE* view = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ok = view != nullptr;
        if (view) {
            volatile DWORD sink = *reinterpret_cast<const DWORD*>(view + 12);
            (void)sink;
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return ok;
}

// ---------------------------------------------------------------------
// WM_COPYDATA to the language monitor.

struct CopyDataContext {
    HWND window;
    ULONG_PTR code;
    const void* block;
    DWORD length;
};

bool CopyDataCall(void* parameter) {
    const CopyDataContext* context = static_cast<CopyDataContext*>(parameter);
    COPYDATASTRUCT envelope;
    envelope.dwData = context->code;
    envelope.cbData = context->length;
    envelope.lpData = const_cast<void*>(context->block);
    SetLastError(ERROR_SUCCESS);
    LRESULT result = SendMessageW(context->window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope));
    return result != 0 || GetLastError() != ERROR_INVALID_WINDOW_HANDLE;
}

HWND MonitorWindow() {
    BYTE field[8] = {};
    if (!ReadOne(MONITORS_KEY, L"LP Window handle", field, 8)) return nullptr;
    ULONG64 handle = 0;
    for (int i = 7; i >= 0; --i) handle = (handle << 8) | field[i];
    return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(handle));
}

// ---------------------------------------------------------------------

int Usage(const wchar_t* problem) {
    PrintErr(L"BenchDirect: %ls\nRun BenchDirect --help for the options.\n", problem);
    return EXIT_USAGE;
}

// Runs `call` on each sender count of the options and prints the results.
int RunAndPrint(const Options* options, const wchar_t* what, bool (*call)(void*), void* context) {
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
        LoadRun run = {workers.data(), count, options->seconds, options->calls, 60.0, true};
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

int CopyData(const Options* options) {
    HWND window = MonitorWindow();
    if (!window) {
        PrintErr(L"BenchDirect: no \"LP Window handle\"\n");
        return EXIT_FAILED;
    }
    uint32_t nameLength = static_cast<uint32_t>(lstrlenW(options->printer));
    const uint16_t* name = reinterpret_cast<const uint16_t*>(options->printer);
    uint32_t length = 0;
    std::vector<uint8_t> block;
    if (options->code == MONMSG_COMMAND) {
        CommandBlockLength(false, nameLength, 0, &length);
        block.assign(length, 0);
        FillCommandBlock(block.data(), false, 1, 0, name, nameLength, nullptr, 0);
    } else if (options->code == MONMSG_DEVICE_REQUEST || options->code == MONMSG_DEVICE_REQUEST_MAPPED) {
        if (!RequestBlockLength(nameLength, 0, static_cast<uint32_t>(options->cbOut), &length))
            return Usage(L"--cb-out out of range");
        block.assign(length, 0);
        static const uint8_t noInput[1] = {0};
        FillRequestBlock(block.data(), options->request, noInput, 0, true,
                         static_cast<uint32_t>(options->cbOut), name, nameLength);
    } else {
        return Usage(L"--code takes 5, 9 or 11");
    }
    // The language monitor opens the reply mapping by name; it must exist,
    // as it does while the server sends code 11.
    HANDLE mapping = nullptr;
    if (options->code == MONMSG_DEVICE_REQUEST_MAPPED) {
        mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32792, kMappingName);
        if (!mapping) {
            PrintErr(L"BenchDirect: cannot create the reply mapping: error %lu\n", GetLastError());
            return EXIT_FAILED;
        }
    }
    CopyDataContext context = {window, static_cast<ULONG_PTR>(options->code), block.data(), length};
    wchar_t what[64];
    wsprintfW(what, L"copydata-%ld-%ld", options->code, options->code == MONMSG_COMMAND ? 0 : options->request);
    int status = RunAndPrint(options, what, CopyDataCall, &context);
    if (mapping) CloseHandle(mapping);
    return status;
}

int Registry(Options* options) {
    if (!options->op) return Usage(L"registry needs --op");
    RegistryContext context = {options};
    // One call alone first, to count what a call does.
    g_counts = RegisterCounts{};
    RegistryCall(&context);
    PrintOut(L"regops op=%ls opens=%ld queries=%ld sets=%ld closes=%ld enums=%ld infos=%ld\n", options->op,
             g_counts.opens, g_counts.queries, g_counts.sets, g_counts.closes, g_counts.enums,
             g_counts.infos);
    wchar_t what[64];
    wsprintfW(what, L"registry-%ls", options->op);
    return RunAndPrint(options, what, RegistryCall, &context);
}

int WalkOnly(Options* options) {
    RegistryContext context = {options};
    g_counts = RegisterCounts{};
    wchar_t local[260];
    bool found = Walk(options->printer, local);
    DWORD printers = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &printers, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
        RegCloseKey(key);
    }
    PrintOut(L"walk printers=%lu found=%d local=\"%ls\" opens=%ld queries=%ld closes=%ld enums=%ld\n",
             printers, found ? 1 : 0, found ? local : L"", g_counts.opens, g_counts.queries,
             g_counts.closes, g_counts.enums);
    int status = RunAndPrint(options, L"walk", WalkCall, &context);
    int serverStatus = RunAndPrint(options, L"walk-server-code", ServerWalkCall, &context);
    return status != EXIT_OK ? status : serverStatus;
}

LONG SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

LONG SetNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

int SpoolerFill(const Options* options) {
    wchar_t path[300];
    lstrcpyW(path, DRIVERS_KEY);
    lstrcatW(path, options->driver);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        PrintErr(L"BenchDirect: cannot create the driver key\n");
        return EXIT_FAILED;
    }
    SetText(key, L"Monitor", L"ZOLT7 Monitor");
    RegCloseKey(key);
    for (long i = 0; i < options->count; ++i) {
        wchar_t name[64], share[64];
        wsprintfW(name, FILLER_PREFIX L"%04ld", i);
        wsprintfW(share, L"BFILL%04ld", i);
        wsprintfW(path, PRINTERS_KEY L"\\%ls", name);
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            PrintErr(L"BenchDirect: cannot create %ls\n", path);
            return EXIT_FAILED;
        }
        SetText(key, L"Name", name);
        SetText(key, L"Share Name", share);
        SetNumber(key, L"Attributes", 8);
        SetNumber(key, L"Status", 0);
        SetText(key, L"Printer Driver", options->driver);
        RegCloseKey(key);
    }
    PrintOut(L"filled %ld\n", options->count);
    return EXIT_OK;
}

int SpoolerClear() {
    HKEY printers = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ | KEY_WRITE, &printers) != ERROR_SUCCESS)
        return EXIT_OK;
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[260];
        DWORD chars = 260;
        if (RegEnumKeyExW(printers, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (wcsncmp(name, FILLER_PREFIX, lstrlenW(FILLER_PREFIX)) == 0) names.push_back(name);
    }
    long removed = 0;
    for (const std::wstring& name : names)
        if (RegDeleteKeyW(printers, name.c_str()) == ERROR_SUCCESS) ++removed;
    RegCloseKey(printers);
    PrintOut(L"cleared %ld\n", removed);
    return EXIT_OK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage(L"a command is required");
    if (lstrcmpW(argv[1], L"--help") == 0) {
        PrintOut(L"%ls", kUsage);
        return EXIT_OK;
    }
    Options options = {};
    options.printer = L"OFFICE";
    options.driver = L"ZOLT7 Reference Driver";
    options.request = 2;
    options.cbOut = 32768;
    options.senders[0] = 1;
    options.senderRuns = 1;
    options.seconds = 2.0;
    const wchar_t* command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const wchar_t* option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) return Usage(L"an option lacks its value");
        ++i;
        if (lstrcmpW(option, L"--printer") == 0) options.printer = value;
        else if (lstrcmpW(option, L"--op") == 0) options.op = value;
        else if (lstrcmpW(option, L"--driver") == 0) options.driver = value;
        else if (lstrcmpW(option, L"--label") == 0) options.label = value;
        else if (lstrcmpW(option, L"--code") == 0) {
            if (!ParseLong(value, &options.code)) return Usage(L"--code takes a number");
        } else if (lstrcmpW(option, L"--request") == 0) {
            if (!ParseLong(value, &options.request)) return Usage(L"--request takes a number");
        } else if (lstrcmpW(option, L"--cb-out") == 0) {
            if (!ParseLong(value, &options.cbOut) || options.cbOut < 0) return Usage(L"--cb-out takes a number");
        } else if (lstrcmpW(option, L"--count") == 0) {
            if (!ParseLong(value, &options.count) || options.count < 0) return Usage(L"--count takes a number");
        } else if (lstrcmpW(option, L"--senders") == 0) {
            if (!ParseCountList(value, options.senders, 16, &options.senderRuns))
                return Usage(L"--senders takes a list such as 1,64");
        } else if (lstrcmpW(option, L"--seconds") == 0) {
            if (!ParseSeconds(value, &options.seconds)) return Usage(L"--seconds takes a number");
        } else if (lstrcmpW(option, L"--calls") == 0) {
            if (!ParseLong(value, &options.calls) || options.calls <= 0) return Usage(L"--calls takes a number");
        } else {
            return Usage(option);
        }
    }
    if (lstrcmpW(command, L"copydata") == 0) return CopyData(&options);
    if (lstrcmpW(command, L"registry") == 0) return Registry(&options);
    if (lstrcmpW(command, L"kernel") == 0) {
        RegistryContext context = {&options};
        return RunAndPrint(&options, L"kernel", KernelCall, &context);
    }
    if (lstrcmpW(command, L"walk") == 0) return WalkOnly(&options);
    if (lstrcmpW(command, L"spooler-fill") == 0) return SpoolerFill(&options);
    if (lstrcmpW(command, L"spooler-clear") == 0) return SpoolerClear();
    return Usage(command);
}
