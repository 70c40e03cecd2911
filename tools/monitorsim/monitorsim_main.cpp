// MonitorSim: the reference language monitor. It owns a message-only
// window that takes the server's WM_COPYDATA messages, publishes the
// window in "LP Window handle", and answers every message from virtual
// printers described in text files, with optional faults for tests.
#include <windows.h>

#include "devicerpc_version.h"
#include "monitor_messages.h"
#include "payload_layout.h"
#include "printer_model.h"
#include "devicerpc_contract.h"
#include "sim_registry.h"
#include "tool_common.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const wchar_t WINDOW_CLASS[] = L"ZOLT7 MonitorSim Window";
const UINT_PTR EXIT_TIMER_ID = 1;

const wchar_t kUsage[] =
    L"Usage: MonitorSim [options]\n"
    L"\n"
    L"Stands in for the ZOLT7 Monitor: stores its window handle in\n"
    L"HKLM\\" MONITORS_KEY L" \"LP Window handle\",\n"
    L"prints \"ready hwnd=0x...\" and answers the server's messages until\n"
    L"WM_CLOSE, Ctrl+C, end of a piped standard input or --exit-after-ms.\n"
    L"\n"
    L"Printers and set-up:\n"
    L"  --printer FILE         read virtual printers from FILE (repeatable)\n"
    L"  --register-printers    enter the printers in the spooler's registry keys\n"
    L"                         (printer and driver key naming \"ZOLT7 Monitor\"),\n"
    L"                         so that share names resolve; for test machines\n"
    L"  --log FILE             append \"code=C cbData=N data=HEX\" per message\n"
    L"  --handle-bytes 4|8|12  store the handle as REG_DWORD (4), REG_BINARY (8,\n"
    L"                         default) or REG_BINARY with 4 zero bytes behind (12)\n"
    L"  --exit-after-ms N      exit normally after N ms\n"
    L"  --no-stdin             do not exit at the end of a piped standard input\n"
    L"  --version              print the version\n"
    L"\n"
    L"Faults (independent of each other):\n"
    L"  --delay-ms N           sleep N ms before answering each message\n"
    L"  --leave-flag           never write a printer failure flag\n"
    L"  --always-fail          set the failure flag after every command\n"
    L"  --die-in-message [CODE]  exit (code 3) while handling a message (of that\n"
    L"                         code), leaving \"LP Window handle\" stored\n"
    L"  --die-holding-mutex CODE [MS]  on a message of that code (not 11), take\n"
    L"                         the device request mutex, hold it MS ms (default 0)\n"
    L"                         and exit (code 3) without releasing it\n"
    L"  --no-handshake         store device data but never set Acquired/Written\n"
    L"  --value-size NAME=N    store device value NAME (e.g. CalibrationData,\n"
    L"                         dwDuplex, Acquired, Written) with exactly N bytes\n"
    L"                         (0-1024): cut short or padded with zeros\n"
    L"  --flash-size N         store \"dwSize\" as N whatever the flash item holds\n"
    L"  --echo N               mapped reply: dwRequestCode N instead of the echo\n"
    L"  --mapped-fail ERR      mapped reply: dwSuccess 0 and dwErrorCode ERR\n"
    L"  --mapped-size N        mapped reply: dwDataSize N whatever the data\n"
    L"  --hold-mapping         keep the reply mapping open between requests\n"
    L"  --mapped-no-reply      answer mapped requests without writing the mapping\n"
    L"\n"
    L"Exit status: 0 normal exit, 1 start-up failure, 2 usage or description\n"
    L"error, 3 deliberate exit in a message.\n";

// Device values whose size --value-size may change.
const wchar_t* const kSizableValues[] = {
    L"dwDuplex", L"dwNumCassette", L"dwFirmVersion", L"dwPaperSource", L"dwPaperSize",
    L"dwPaperWidth", L"dwPaperHeight", L"dwPaperLevel", L"CalibrationData", L"dwMonoCounter",
    L"dwColorCounter", L"dwBlackCounter", L"dwCyanCounter", L"dwMagentaCounter",
    L"dwYellowCounter", L"dwIOCounter", L"dwID", L"dwSize", L"ReturnValue", L"Setting Value",
    FLAG_ACQUIRED, FLAG_WRITTEN,
};

// Everything main needs besides the per-message state.
struct StartOptions {
    const wchar_t* printerFiles[MAX_PRINTERS];
    int printerFileCount;
    bool registerPrinters;
    const wchar_t* logPath;
    DWORD handleBytes;
    DWORD exitAfterMs;
    bool watchStdin;
};

// The model is large; it lives here, zero-filled, for the whole run.
PrinterModel g_model;

int Usage(const wchar_t* problem, const wchar_t* detail) {
    PrintErr(L"MonitorSim: %ls%ls\n", problem, detail ? detail : L"");
    PrintErr(L"Run MonitorSim --help for the options.\n");
    return EXIT_USAGE;
}

// Parses a non-negative 32-bit number.
bool ParseCount(const wchar_t* text, DWORD* value) {
    long parsed = 0;
    if (!text || !ParseLong(text, &parsed) || text[0] == L'-') return false;
    *value = static_cast<DWORD>(parsed);
    return true;
}

const wchar_t kUnknownValueName[] = L"--value-size: not a device value name: ";

// Parses "NAME=N" for --value-size into the next override slot.
const wchar_t* ParseValueSize(const wchar_t* text, StoreFaults* faults) {
    const wchar_t* equals = nullptr;
    for (const wchar_t* p = text; *p; ++p)
        if (*p == L'=') equals = p;
    if (!equals || equals == text || equals - text >= 64) return L"--value-size takes NAME=N";
    ValueSizeOverride entry = {};
    lstrcpynW(entry.valueName, text, static_cast<int>(equals - text) + 1);
    if (!ParseCount(equals + 1, &entry.size) || entry.size > VALUE_SIZE_MAX)
        return L"--value-size: N must be 0 to 1024";
    bool known = false;
    for (const wchar_t* name : kSizableValues) known = known || lstrcmpiW(name, entry.valueName) == 0;
    if (!known) return kUnknownValueName;
    if (faults->sizeCount >= MAX_SIZE_OVERRIDES) return L"--value-size given too often";
    faults->sizes[faults->sizeCount++] = entry;
    return nullptr;
}

// Parses the command line. Returns -1 to go on, else the exit code.
int ParseArguments(int argc, wchar_t** argv, StartOptions* start, SimOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t* option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (lstrcmpW(option, L"--help") == 0) {
            PrintOut(L"%ls", kUsage);
            return EXIT_OK;
        } else if (lstrcmpW(option, L"--version") == 0) {
            PrintOut(L"MonitorSim %ls\n", DEVICERPC_VERSION);
            return EXIT_OK;
        } else if (lstrcmpW(option, L"--printer") == 0) {
            if (!value) return Usage(L"--printer needs a file", nullptr);
            if (start->printerFileCount >= MAX_PRINTERS) return Usage(L"too many --printer files", nullptr);
            start->printerFiles[start->printerFileCount++] = value;
            ++i;
        } else if (lstrcmpW(option, L"--register-printers") == 0) {
            start->registerPrinters = true;
        } else if (lstrcmpW(option, L"--log") == 0) {
            if (!value) return Usage(L"--log needs a file", nullptr);
            start->logPath = value;
            ++i;
        } else if (lstrcmpW(option, L"--handle-bytes") == 0) {
            DWORD bytes = 0;
            if (!ParseCount(value, &bytes) || (bytes != 4 && bytes != 8 && bytes != 12))
                return Usage(L"--handle-bytes takes 4, 8 or 12", nullptr);
            start->handleBytes = bytes;
            ++i;
        } else if (lstrcmpW(option, L"--exit-after-ms") == 0) {
            if (!ParseCount(value, &start->exitAfterMs) || start->exitAfterMs == 0)
                return Usage(L"--exit-after-ms takes a positive number", nullptr);
            ++i;
        } else if (lstrcmpW(option, L"--no-stdin") == 0) {
            start->watchStdin = false;
        } else if (lstrcmpW(option, L"--delay-ms") == 0) {
            if (!ParseCount(value, &options->delayMs)) return Usage(L"--delay-ms takes a number", nullptr);
            ++i;
        } else if (lstrcmpW(option, L"--leave-flag") == 0) {
            options->leaveFlag = true;
        } else if (lstrcmpW(option, L"--always-fail") == 0) {
            options->alwaysFail = true;
        } else if (lstrcmpW(option, L"--die-in-message") == 0) {
            options->dieInMessage = true;
            // The code is optional: take the next argument only if it is one.
            if (ParseCount(value, &options->dieCode)) {
                options->dieCodeGiven = true;
                ++i;
            }
        } else if (lstrcmpW(option, L"--die-holding-mutex") == 0) {
            if (!ParseCount(value, &options->dieMutexCode))
                return Usage(L"--die-holding-mutex takes a message code", nullptr);
            // During code 11 the server itself holds the mutex: waiting for
            // it there would never end.
            if (options->dieMutexCode == MONMSG_DEVICE_REQUEST_MAPPED)
                return Usage(L"--die-holding-mutex cannot use code 11: the server holds the mutex then",
                             nullptr);
            options->dieHoldingMutex = true;
            ++i;
            // An optional hold time lets a caller start waiting on the
            // mutex, so that it sees the mutex abandoned.
            if (ParseCount(i + 1 < argc ? argv[i + 1] : nullptr, &options->mutexHoldMs)) ++i;
        } else if (lstrcmpW(option, L"--no-handshake") == 0) {
            options->store.noHandshake = true;
        } else if (lstrcmpW(option, L"--value-size") == 0) {
            if (!value) return Usage(L"--value-size takes NAME=N", nullptr);
            const wchar_t* problem = ParseValueSize(value, &options->store);
            if (problem) return Usage(problem, problem == kUnknownValueName ? value : nullptr);
            ++i;
        } else if (lstrcmpW(option, L"--flash-size") == 0) {
            if (!ParseCount(value, &options->store.flashSize)) return Usage(L"--flash-size takes a number", nullptr);
            options->store.hasFlashSize = true;
            ++i;
        } else if (lstrcmpW(option, L"--echo") == 0) {
            long echo = 0;
            if (!value || !ParseLong(value, &echo)) return Usage(L"--echo takes a number", nullptr);
            options->hasEcho = true;
            options->echo = static_cast<DWORD>(echo);
            ++i;
        } else if (lstrcmpW(option, L"--mapped-fail") == 0) {
            if (!ParseCount(value, &options->mappedError)) return Usage(L"--mapped-fail takes an error code", nullptr);
            options->mappedFail = true;
            ++i;
        } else if (lstrcmpW(option, L"--mapped-size") == 0) {
            if (!ParseCount(value, &options->mappedSize)) return Usage(L"--mapped-size takes a number", nullptr);
            options->hasMappedSize = true;
            ++i;
        } else if (lstrcmpW(option, L"--hold-mapping") == 0) {
            options->holdMapping = true;
        } else if (lstrcmpW(option, L"--mapped-no-reply") == 0) {
            options->mappedNoReply = true;
        } else {
            return Usage(L"unknown option: ", option);
        }
    }
    return -1;
}

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    StartOptions start = {};
    start.handleBytes = 8;
    start.watchStdin = true;
    static SimState state;  // zero-filled: every fault off
    state.log = INVALID_HANDLE_VALUE;
    state.model = &g_model;
    int parsed = ParseArguments(argc, argv, &start, &state.options);
    if (parsed >= 0) return parsed;
    if (!LoadPrinters(&start)) return EXIT_USAGE;

    if (start.logPath && !OpenMessageLog(&state, start.logPath)) {
        PrintErr(L"MonitorSim: cannot open log %ls: error %lu\n", start.logPath, GetLastError());
        return EXIT_FAILED;
    }
    if (start.registerPrinters) {
        for (int i = 0; i < g_model.count; ++i) {
            LONG error = 0;
            if (!RegisterSpoolerPrinter(&g_model.printers[i], &error)) {
                PrintErr(L"MonitorSim: cannot register printer \"%ls\": error %ld\n",
                         g_model.printers[i].name, error);
                return EXIT_FAILED;
            }
        }
    }

    HWND window = CreateMonitorWindow(&state);
    if (!window) {
        PrintErr(L"MonitorSim: cannot create the message window: error %lu\n", GetLastError());
        return EXIT_FAILED;
    }
    g_window = window;
    LONG error = 0;
    if (!StoreWindowHandle(window, start.handleBytes, &error)) {
        PrintErr(L"MonitorSim: cannot store \"LP Window handle\": error %ld\n", error);
        DestroyWindow(window);
        return EXIT_FAILED;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (start.exitAfterMs) SetTimer(window, EXIT_TIMER_ID, start.exitAfterMs, nullptr);
    // Only a pipe has an end worth waiting for; a console or /dev/null
    // as standard input must not end the run at once.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (start.watchStdin && input && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE) {
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
    if (state.heldMapping) CloseHandle(state.heldMapping);
    if (state.log != INVALID_HANDLE_VALUE) CloseHandle(state.log);
    return EXIT_OK;
}
