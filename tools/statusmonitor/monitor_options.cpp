// The monitor's command line and remembered printers. The option table is
// built at start-up from the string table, so that the help is translated
// with the rest of the application; the option names themselves are
// syntax and stay as they are.
#include "monitor_options.h"

#include <cstddef>
#include <cstdio>

#include "command_line.h"
#include "devicerpc_api.h"
#include "devicerpc_version.h"
#include "exit_codes.h"
#include "monitor_resources.h"
#include "monitor_text.h"
#include "tool_common.h"

namespace {

const wchar_t kProgram[] = L"PrinterStatusMonitor";

// A host name has at most 255 characters (the DNS limit).
constexpr int MAX_HOST_CHARS = 255;

constexpr int OPTION_COUNT = 6;
OptionSpec g_options[OPTION_COUNT];
ToolSpec g_spec;

// The parser's record as the monitor's settings.
MonitorSettings* Settings(void* record) {
    return static_cast<MonitorSettings*>(record);
}

// Adds a printer name to the list: false with the reason in `problem`
// (CLI_PROBLEM_CHARS, or null for none) when it is no printer name or the
// list is full. A name already listed, in any letter case, is taken once.
bool AddPrinter(MonitorSettings* s, const wchar_t* name, wchar_t* problem) {
    int length = lstrlenW(name);
    if (length == 0 || length >= PRINTER_NAME_CHARS) {
        DWORD_PTR inserts[] = {Insert(static_cast<uint32_t>(PRINTER_NAME_CHARS - 1)),
                               Insert(static_cast<uint32_t>(length))};
        if (problem) FormatText(problem, CLI_PROBLEM_CHARS, IDS_ERR_PRINTER_LENGTH, inserts);
        return false;
    }
    for (int i = 0; i < s->printerCount; ++i)
        if (lstrcmpiW(s->printers[i], name) == 0) return true;
    if (s->printerCount >= MAX_PRINTERS) {
        DWORD_PTR inserts[] = {Insert(static_cast<uint32_t>(MAX_PRINTERS))};
        if (problem) FormatText(problem, CLI_PROBLEM_CHARS, IDS_ERR_TOO_MANY_PRINTERS, inserts);
        return false;
    }
    lstrcpynW(s->printers[s->printerCount++], name, PRINTER_NAME_CHARS);
    return true;
}

// --printer NAME, repeatable.
int TakePrinter(const wchar_t* const* next, int available, void* record, wchar_t* problem) {
    if (available == 0) return -1;
    return AddPrinter(Settings(record), next[0], problem) ? 1 : -1;
}

// The rules over the whole line: one way to the server, a host name of a
// host name's length, and a string binding the RPC runtime can parse.
// Opening a session from a binding sends nothing, so the check does not
// wait on the network.
bool CheckLine(const ParsedLine&, void* record, wchar_t* problem) {
    MonitorSettings* s = Settings(record);
    if (s->host && s->binding) {
        CopyText(problem, CLI_PROBLEM_CHARS, IDS_ERR_SERVER_AND_BINDING);
        return false;
    }
    int hostLength = s->host ? lstrlenW(s->host) : 1;
    if (hostLength == 0 || hostLength > MAX_HOST_CHARS) {
        DWORD_PTR inserts[] = {Insert(static_cast<uint32_t>(MAX_HOST_CHARS))};
        FormatText(problem, CLI_PROBLEM_CHARS, IDS_ERR_HOST_LENGTH, inserts);
        return false;
    }
    if (!s->binding) return true;
    DEVICERPC_SESSION* session = nullptr;
    uint32_t code = 0;
    if (DeviceRpcOpenSessionFromBinding(s->binding, 0, 0, &session, &code) == DEVICERPC_OK) {
        DeviceRpcCloseSession(session);
        return true;
    }
    wchar_t system[160];
    SystemErrorText(code, system, 160);
    if (!system[0]) CopyText(system, 160, IDS_UNKNOWN_ERROR);
    DWORD_PTR inserts[] = {Insert(code), Insert(system)};
    FormatText(problem, CLI_PROBLEM_CHARS, IDS_ERR_BINDING, inserts);
    return false;
}

// The option table and the tool's description, from the string table.
void BuildSpec() {
    g_options[0] = RoutineOption(L"--printer", Text(IDS_VALUE_NAME), TakePrinter,
                                 Text(IDS_EXPECT_NAME), Text(IDS_OPT_PRINTER));
    g_options[1] = TextOption(L"--server", Text(IDS_VALUE_HOST), offsetof(MonitorSettings, host),
                              Text(IDS_OPT_SERVER), 0, Text(IDS_EXPECT_HOST));
    g_options[2] =
        TextOption(L"--binding", Text(IDS_VALUE_BINDING), offsetof(MonitorSettings, binding),
                   Text(IDS_OPT_BINDING), 0, Text(IDS_EXPECT_BINDING));
    g_options[3] = CountOption(L"--interval", Text(IDS_VALUE_SECONDS),
                               offsetof(MonitorSettings, intervalSeconds), 1, 86400,
                               Text(IDS_EXPECT_INTERVAL), Text(IDS_OPT_INTERVAL));
    g_options[4] = CountOption(L"--timeout", Text(IDS_VALUE_SECONDS),
                               offsetof(MonitorSettings, timeoutSeconds), 1, 600,
                               Text(IDS_EXPECT_TIMEOUT), Text(IDS_OPT_TIMEOUT));
    g_options[5] = CountOption(L"--low", Text(IDS_VALUE_LEVEL), offsetof(MonitorSettings, low), 0,
                               100, Text(IDS_EXPECT_LOW), Text(IDS_OPT_LOW));
    g_spec = {kProgram,
              DEVICERPC_VERSION,
              Text(IDS_HELP_USAGE),
              Text(IDS_HELP_FOOTER),
              g_options,
              OPTION_COUNT,
              nullptr,
              0,
              0,
              0,
              22,
              Text(IDS_HELP_HELP),
              Text(IDS_HELP_VERSION),
              CheckLine};
}

// True when the process can write to standard output and error: it has
// them (redirected, or a console program's parent), or it can attach the
// console of the process that started it, as a window program started
// from a command prompt must.
bool StandardStreams() {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error && error != INVALID_HANDLE_VALUE) return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    return _wfreopen(L"CONOUT$", L"w", stdout) && _wfreopen(L"CONOUT$", L"w", stderr);
}

// The help or a message in a box, for a process without streams (started
// from a shortcut).
void ShowBox(const wchar_t* first, const wchar_t* second, UINT icon) {
    wchar_t text[4096];
    lstrcpynW(text, first, 4096);
    AppendText(text, 4096, second);
    MessageBoxW(nullptr, text, Text(IDS_APP_TITLE), MB_OK | icon);
}

}  // namespace

void ReportProblem(const wchar_t* problem) {
    if (StandardStreams())
        PrintErr(L"%ls: %ls\n", kProgram, problem);
    else
        ShowBox(problem, L"", MB_ICONERROR);
}

int ReadCommandLine(int argc, wchar_t** argv, MonitorSettings* settings) {
    ZeroMemory(settings, sizeof(*settings));
    settings->intervalSeconds = 30;
    settings->timeoutSeconds = 10;
    settings->low = 10;
    BuildSpec();
    ParsedLine line;
    if (!ParseCommandLine(g_spec, argc, argv, settings, &line)) {
        if (StandardStreams()) return ReportUsageError(g_spec, nullptr, line.problem);
        ShowBox(line.problem, L"", MB_ICONERROR);
        return EXIT_USAGE;
    }
    if (!line.help && !line.version) return CLI_RUN;
    bool streams = StandardStreams();
    if (line.version && streams)
        PrintOut(L"%ls %ls\n", kProgram, DEVICERPC_VERSION);
    else if (line.version)
        ShowBox(kProgram, L" " DEVICERPC_VERSION, MB_ICONINFORMATION);
    else if (streams)
        PrintHelp(g_spec);
    else
        ShowBox(g_spec.usage, g_spec.footer, MB_ICONINFORMATION);
    return EXIT_OK;
}

void RememberPrinters(const MonitorSettings& settings) {
    wchar_t list[MAX_PRINTERS * PRINTER_NAME_CHARS + 1];
    size_t used = 0;
    for (int i = 0; i < settings.printerCount; ++i) {
        int length = lstrlenW(settings.printers[i]);
        CopyMemory(list + used, settings.printers[i], (length + 1) * sizeof(wchar_t));
        used += length + 1;
    }
    list[used++] = 0;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, MONITOR_SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, MONITOR_PRINTERS_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(list),
                   static_cast<DWORD>(used * sizeof(wchar_t)));
    RegCloseKey(key);
}

void RecallPrinters(MonitorSettings* settings) {
    // Room for a full list; a longer value (edited by hand) is not read.
    wchar_t list[MAX_PRINTERS * PRINTER_NAME_CHARS + 2];
    DWORD bytes = sizeof(list) - 2 * sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, MONITOR_SETTINGS_KEY, MONITOR_PRINTERS_VALUE,
                     RRF_RT_REG_MULTI_SZ, nullptr, list, &bytes) != ERROR_SUCCESS)
        return;
    size_t chars = bytes / sizeof(wchar_t);
    list[chars] = 0;
    list[chars + 1] = 0;
    for (const wchar_t* name = list; *name; name += lstrlenW(name) + 1)
        AddPrinter(settings, name, nullptr);
}
