// PrinterStatusMonitor: a window that shows, for printers served by the
// device RPC server, each paper bin's size and level, the page counters
// and the configuration, and tells the user in the notification area when
// a bin runs empty or a printer stops answering. It calls the server
// through the client library (DeviceRpcApi.dll) alone.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "command_line.h"
#include "exit_codes.h"
#include "monitor_app.h"
#include "monitor_options.h"
#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

// Large records, one per process: kept off the stack.
MonitorSettings g_settings;
MonitorApp g_app;

// "cannot open the window" and the system's reason.
void ReportStartFailure(DWORD error) {
    wchar_t system[256];
    wchar_t problem[512];
    SystemErrorText(error, system, 256);
    if (!system[0]) CopyText(system, 256, IDS_UNKNOWN_ERROR);
    DWORD_PTR inserts[] = {Insert(static_cast<uint32_t>(error)), Insert(system)};
    FormatText(problem, 512, IDS_ERR_WINDOW, inserts);
    ReportProblem(problem);
}

// What the reader thread needs of the settings.
ReaderSettings ReaderSettingsOf(const MonitorSettings& s) {
    ReaderSettings r = {};
    for (int i = 0; i < s.printerCount; ++i) r.printers[i] = s.printers[i];
    r.printerCount = s.printerCount;
    r.host = s.host;
    r.binding = s.binding;
    r.intervalMs = s.intervalSeconds * 1000;
    r.timeoutMs = s.timeoutSeconds * 1000;
    return r;
}

// Opens the window and reads until it closes; the exit status.
int RunMonitor(HINSTANCE instance, int show) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                                           ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    g_app.instance = instance;
    g_app.settings = &g_settings;
    g_app.viewCount = g_settings.printerCount;
    g_app.where = {g_settings.host, g_settings.binding, g_settings.timeoutSeconds};
    HWND window = CreateMonitorWindow(&g_app, show);
    if (!window) {
        ReportStartFailure(GetLastError());
        return EXIT_FAILED;
    }
    if (!StartReader(&g_app.reader, ReaderSettingsOf(g_settings), window)) {
        ReportStartFailure(GetLastError());
        DestroyWindow(window);
        return EXIT_FAILED;
    }
    int status = RunMessageLoop(&g_app);
    // A read under way ends within the session's time-out; the user who
    // closed the window does not wait for it. After a short grace the
    // process ends without the libraries' shutdown, which could wait on
    // the call's thread; the server may still carry the request out.
    DWORD graceMs = g_settings.timeoutSeconds * 1000 / 2;
    StopReader(&g_app.reader, graceMs < 1000 ? graceMs : 1000);
    if (g_app.reader.thread) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    return status;
}

}  // namespace

// The command line, the printer list (given or remembered), then the window.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return EXIT_FAILED;
    int status = ReadCommandLine(argc, argv, &g_settings);
    if (status != CLI_RUN) return status;
    // Printers named on the command line are the list for the next start
    // too; without any, the last list comes back.
    if (g_settings.printerCount > 0)
        RememberPrinters(g_settings);
    else
        RecallPrinters(&g_settings);
    return RunMonitor(instance, show);
}
