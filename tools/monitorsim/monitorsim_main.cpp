// MonitorSim: the reference language monitor. It owns a message-only
// window that takes the server's WM_COPYDATA messages, publishes the
// window in MONITOR_WINDOW_VALUE, and answers every message from virtual
// printers described in text files, with optional faults for tests.
#include <windows.h>

#include <cstddef>
#include <cwchar>

#include "command_line.h"
#include "devicerpc_contract.h"
#include "devicerpc_version.h"
#include "exit_codes.h"
#include "monitor_messages.h"
#include "printer_model.h"
#include "sim_registry.h"
#include "tool_common.h"

namespace {

const wchar_t WINDOW_CLASS[] = L"ZOLT7 MonitorSim Window";
const UINT_PTR EXIT_TIMER_ID = 1;

// Everything main needs besides the per-message state.
struct StartOptions {
    const wchar_t* printerFiles[MAX_PRINTERS];
    int printerFileCount;
    bool registerPrinters;
    const wchar_t* logPath;
    DWORD handleBytes;
    DWORD exitAfterMs;
    bool noStdin;
};

// The record the command line fills: the start-up and the per-message
// settings.
struct SimLine {
    StartOptions start;
    SimOptions sim;
    bool versionRow;  // never set: see the --version row below
};

constexpr size_t START = offsetof(SimLine, start);
constexpr size_t SIM = offsetof(SimLine, sim);
constexpr size_t STORE = SIM + offsetof(SimOptions, store);

// The parser's record as MonitorSim's.
SimLine* Line(void* record) {
    return static_cast<SimLine*>(record);
}

// --printer FILE, repeatable.
int TakePrinterFile(const wchar_t* const* next, int available, void* record, wchar_t* problem) {
    StartOptions* start = &Line(record)->start;
    if (available == 0) return -1;
    if (start->printerFileCount >= MAX_PRINTERS) {
        lstrcpynW(problem, L"too many --printer files", CLI_PROBLEM_CHARS);
        return -1;
    }
    start->printerFiles[start->printerFileCount++] = next[0];
    return 1;
}

// --handle-bytes 4|8|12.
int TakeHandleBytes(const wchar_t* const* next, int available, void* record, wchar_t*) {
    DWORD bytes = 0;
    if (available == 0 || !ParseCount(next[0], &bytes) || (bytes != 4 && bytes != 8 && bytes != 12))
        return -1;
    Line(record)->start.handleBytes = bytes;
    return 1;
}

// --die-in-message [CODE]: the code is taken only when the next word is one.
int TakeDieInMessage(const wchar_t* const* next, int available, void* record, wchar_t*) {
    SimOptions* options = &Line(record)->sim;
    options->dieInMessage = true;
    if (available == 0 || !ParseCount(next[0], &options->dieCode)) return 0;
    options->dieCodeGiven = true;
    return 1;
}

// --die-holding-mutex CODE [MS]. During code 11 the server itself holds the
// mutex: waiting for it there would never end. The optional hold time lets
// a caller start waiting on the mutex, so that it sees it abandoned.
int TakeDieHoldingMutex(const wchar_t* const* next, int available, void* record,
                        wchar_t* problem) {
    SimOptions* options = &Line(record)->sim;
    if (available == 0 || !ParseCount(next[0], &options->dieMutexCode)) return -1;
    if (options->dieMutexCode == MONMSG_DEVICE_REQUEST_MAPPED) {
        lstrcpynW(problem, L"--die-holding-mutex cannot use code 11: the server holds the mutex then",
                  CLI_PROBLEM_CHARS);
        return -1;
    }
    options->dieHoldingMutex = true;
    return available > 1 && ParseCount(next[1], &options->mutexHoldMs) ? 2 : 1;
}

// True when `name` is a device value or handshake flag that MonitorSim
// stores, compared without regard to case.
bool IsSizableValue(const wchar_t* name) {
    static const wchar_t* const kValues[] = {
        VALUE_DUPLEX, VALUE_CASSETTES, VALUE_FIRMWARE, VALUE_PAPER_SOURCE, VALUE_PAPER_SIZE,
        VALUE_PAPER_WIDTH, VALUE_PAPER_HEIGHT, VALUE_PAPER_LEVEL, VALUE_CALIBRATION,
        VALUE_FLASH_ID, VALUE_FLASH_SIZE, VALUE_FLASH_DATA, VALUE_SERVICE_SETTINGS,
        FLAG_ACQUIRED, FLAG_WRITTEN,
    };
    for (const wchar_t* value : kValues)
        if (lstrcmpiW(value, name) == 0) return true;
    for (const CounterSelector& counter : COUNTER_SELECTORS)
        if (lstrcmpiW(counter.value, name) == 0) return true;
    return false;
}

// --value-size NAME=N into the next override slot.
int TakeValueSize(const wchar_t* const* next, int available, void* record, wchar_t* problem) {
    if (available == 0) return -1;
    StoreFaults* faults = &Line(record)->sim.store;
    const wchar_t* text = next[0];
    const wchar_t* equals = wcsrchr(text, L'=');
    if (!equals || equals == text || equals - text >= 64) return -1;
    ValueSizeOverride entry = {};
    lstrcpynW(entry.valueName, text, static_cast<int>(equals - text) + 1);
    if (!ParseCount(equals + 1, &entry.size) || entry.size > VALUE_SIZE_MAX) {
        lstrcpynW(problem, L"--value-size: N must be 0 to 1024", CLI_PROBLEM_CHARS);
    } else if (!IsSizableValue(entry.valueName)) {
        _snwprintf(problem, CLI_PROBLEM_CHARS - 1, L"--value-size: not a device value name: %ls", text);
    } else if (faults->sizeCount >= MAX_SIZE_OVERRIDES) {
        lstrcpynW(problem, L"--value-size given too often", CLI_PROBLEM_CHARS);
    } else {
        faults->sizes[faults->sizeCount++] = entry;
        return 1;
    }
    return -1;
}

const OptionSpec kOptions[] = {
    OptionHeading(L"Printers and set-up:"),
    RoutineOption(L"--printer", L"FILE", TakePrinterFile, L"a file",
                  L"read virtual printers from FILE (repeatable)"),
    SwitchOption(L"--register-printers", START + offsetof(StartOptions, registerPrinters),
                 L"enter the printers in the spooler's registry keys\n"
                 L"(printer and driver key naming \"" MONITOR_NAME L"\"),\n"
                 L"so that share names resolve; for test machines"),
    TextOption(L"--log", L"FILE", START + offsetof(StartOptions, logPath),
               L"append \"code=C cbData=N data=HEX\" per message", 0, L"a file"),
    RoutineOption(L"--handle-bytes", L"4|8|12", TakeHandleBytes, L"4, 8 or 12",
                  L"store the handle as REG_DWORD (4), REG_BINARY (8,\n"
                  L"default) or REG_BINARY with 4 zero bytes behind (12)"),
    CountOption(L"--exit-after-ms", L"N", START + offsetof(StartOptions, exitAfterMs), 1, 0xFFFFFFFF,
                L"a positive number", L"exit normally after N ms"),
    SwitchOption(L"--no-stdin", START + offsetof(StartOptions, noStdin),
                 L"do not exit at the end of a piped standard input"),
    // The parser answers --version before it looks at this table; the row
    // only keeps the option listed where it has always been.
    SwitchOption(L"--version", offsetof(SimLine, versionRow), L"print the version"),
    OptionHeading(L"Faults (independent of each other):"),
    CountOption(L"--delay-ms", L"N", SIM + offsetof(SimOptions, delayMs), 0, 0xFFFFFFFF, nullptr,
                L"sleep N ms before answering each message"),
    SwitchOption(L"--leave-flag", SIM + offsetof(SimOptions, leaveFlag),
                 L"never write a printer failure flag"),
    SwitchOption(L"--always-fail", SIM + offsetof(SimOptions, alwaysFail),
                 L"set the failure flag after every command"),
    RoutineOption(L"--die-in-message", L"[CODE]", TakeDieInMessage, nullptr,
                  L"exit (code 3) while handling a message (of that\n"
                  L"code), leaving \"" MONITOR_WINDOW_VALUE L"\" stored"),
    RoutineOption(L"--die-holding-mutex", L"CODE [MS]", TakeDieHoldingMutex, L"a message code",
                  L"on a message of that code (not 11), take\n"
                  L"the device request mutex, hold it MS ms (default 0)\n"
                  L"and exit (code 3) without releasing it"),
    SwitchOption(L"--no-handshake", STORE + offsetof(StoreFaults, noHandshake),
                 L"store device data but never set " FLAG_ACQUIRED L"/" FLAG_WRITTEN),
    RoutineOption(L"--value-size", L"NAME=N", TakeValueSize, L"NAME=N",
                  L"store device value NAME (e.g. " VALUE_CALIBRATION L",\n" VALUE_DUPLEX L", "
                  FLAG_ACQUIRED L", " FLAG_WRITTEN L") with exactly N bytes\n"
                  L"(0-1024): cut short or padded with zeros"),
    CountOption(L"--flash-size", L"N", STORE + offsetof(StoreFaults, flashSize), 0, 0xFFFFFFFF,
                nullptr, L"store \"" VALUE_FLASH_SIZE L"\" as N whatever the flash item holds"),
    LongOption(L"--echo", L"N", SIM + offsetof(SimOptions, echo),
               L"mapped reply: dwRequestCode N instead of the echo"),
    CountOption(L"--mapped-fail", L"ERR", SIM + offsetof(SimOptions, mappedError), 0, 0xFFFFFFFF,
                L"an error code", L"mapped reply: dwSuccess 0 and dwErrorCode ERR"),
    CountOption(L"--mapped-size", L"N", SIM + offsetof(SimOptions, mappedSize), 0, 0xFFFFFFFF,
                nullptr, L"mapped reply: dwDataSize N whatever the data"),
    SwitchOption(L"--hold-mapping", SIM + offsetof(SimOptions, holdMapping),
                 L"keep the reply mapping open between requests"),
    SwitchOption(L"--mapped-no-reply", SIM + offsetof(SimOptions, mappedNoReply),
                 L"answer mapped requests without writing the mapping"),
};

const wchar_t kUsage[] =
    L"Usage: MonitorSim [options]\n"
    L"\n"
    L"Stands in for the " MONITOR_NAME L": stores its window handle in\n"
    L"HKLM\\" MONITORS_KEY L" \"" MONITOR_WINDOW_VALUE L"\",\n"
    L"prints \"ready hwnd=0x...\" and answers the server's messages until\n"
    L"WM_CLOSE, Ctrl+C, end of a piped standard input or --exit-after-ms.\n";

const wchar_t kFooter[] =
    L"\n"
    L"Exit status: 0 normal exit, 1 start-up failure, 2 usage or description\n"
    L"error, 3 deliberate exit in a message.\n";

bool CompleteOptions(const ParsedLine& line, void* record, wchar_t* problem);

const ToolSpec kTool = {
    L"MonitorSim", DEVICERPC_VERSION, kUsage, kFooter,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    nullptr, 0,
    0, 0, 25, nullptr, nullptr, CompleteOptions,
};

// The fault options whose presence is a setting of its own.
bool CompleteOptions(const ParsedLine& line, void* record, wchar_t*) {
    SimOptions* options = &Line(record)->sim;
    options->store.hasFlashSize = OptionGiven(kTool, line, L"--flash-size");
    options->hasEcho = OptionGiven(kTool, line, L"--echo");
    options->mappedFail = OptionGiven(kTool, line, L"--mapped-fail");
    options->hasMappedSize = OptionGiven(kTool, line, L"--mapped-size");
    return true;
}

// The model is large; it lives here, zero-filled, for the whole run.
PrinterModel g_model;

void FormatHandle(HWND window, wchar_t* text) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    ULONG64 value = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(window));
    wchar_t digits[17];
    int count = 0;
    do {
        digits[count++] = kHex[value & 15];
        value >>= 4;
    } while (value);
    for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    text[count] = 0;
}

LRESULT CALLBACK MonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SimState* state = reinterpret_cast<SimState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE: {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return 0;
    }
    case WM_COPYDATA:
        if (!state) return FALSE;
        return HandleCopyData(state, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_TIMER:
        if (wParam == EXIT_TIMER_ID) DestroyWindow(window);
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Watches a piped standard input; its end asks the window to close, so
// that a test harness ends MonitorSim by closing the pipe.
DWORD WINAPI WatchStandardInput(void* parameter) {
    HWND window = static_cast<HWND>(parameter);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    return 0;
}

HWND g_window = nullptr;

// Ctrl+C, Ctrl+Break and closing the console end the run normally.
BOOL WINAPI OnConsoleControl(DWORD) {
    if (g_window) PostMessageW(g_window, WM_CLOSE, 0, 0);
    return TRUE;
}

HWND CreateMonitorWindow(SimState* state) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MonitorWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassW(&windowClass)) return nullptr;
    return CreateWindowExW(0, WINDOW_CLASS, L"MonitorSim", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, state);
}

// Reads every description file into g_model; false after reporting.
bool LoadPrinters(const StartOptions* start) {
    for (int i = 0; i < start->printerFileCount; ++i) {
        wchar_t error[1024] = {};
        if (!LoadPrinterFile(start->printerFiles[i], &g_model, error, 1024)) {
            PrintErr(L"MonitorSim: %ls\n", error);
            return false;
        }
    }
    if (g_model.count == 0) PrintErr(L"MonitorSim: no printers given; every request will fail\n");
    return true;
}

// Enters the printers in the spooler's keys when asked to; false after
// reporting.
bool RegisterPrinters(const StartOptions* start) {
    if (!start->registerPrinters) return true;
    for (int i = 0; i < g_model.count; ++i) {
        LONG error = 0;
        if (!RegisterSpoolerPrinter(&g_model.printers[i], &error)) {
            PrintErr(L"MonitorSim: cannot register printer \"%ls\": error %ld\n",
                     g_model.printers[i].name, error);
            return false;
        }
    }
    return true;
}

// Publishes the window and serves its messages until it is closed.
int ServeWindow(const StartOptions* start, HWND window) {
    g_window = window;
    LONG error = 0;
    if (!StoreWindowHandle(window, start->handleBytes, &error)) {
        PrintErr(L"MonitorSim: cannot store \"%ls\": error %ld\n", MONITOR_WINDOW_VALUE, error);
        DestroyWindow(window);
        return EXIT_FAILED;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (start->exitAfterMs) SetTimer(window, EXIT_TIMER_ID, start->exitAfterMs, nullptr);
    // Only a pipe has an end worth waiting for; a console or /dev/null
    // as standard input must not end the run at once.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    bool piped = input && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE;
    if (!start->noStdin && piped) {
        HANDLE watcher = CreateThread(nullptr, 0, WatchStandardInput, window, 0, nullptr);
        if (watcher) CloseHandle(watcher);
    }

    wchar_t handleText[20];
    FormatHandle(window, handleText);
    PrintOut(L"ready hwnd=0x%ls\n", handleText);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    ClearWindowHandle(window);
    return EXIT_OK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    static SimLine settings;  // zero-filled: every fault off
    settings.start.handleBytes = MONITOR_WINDOW_VALUE_SIZE;
    ParsedLine line;
    int status = HandleCommandLine(kTool, argc, argv, &settings, &line);
    if (status != CLI_RUN) return status;
    static SimState state;
    state.options = settings.sim;
    state.log = INVALID_HANDLE_VALUE;
    state.model = &g_model;
    const StartOptions* start = &settings.start;
    if (!LoadPrinters(start)) return EXIT_USAGE;
    if (start->logPath && !OpenMessageLog(&state, start->logPath)) {
        PrintErr(L"MonitorSim: cannot open log %ls: error %lu\n", start->logPath, GetLastError());
        return EXIT_FAILED;
    }
    if (!RegisterPrinters(start)) return EXIT_FAILED;
    HWND window = CreateMonitorWindow(&state);
    if (!window) {
        PrintErr(L"MonitorSim: cannot create the message window: error %lu\n", GetLastError());
        return EXIT_FAILED;
    }
    status = ServeWindow(start, window);
    if (state.heldMapping) CloseHandle(state.heldMapping);
    if (state.log != INVALID_HANDLE_VALUE) CloseHandle(state.log);
    return status;
}
