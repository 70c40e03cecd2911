// PrinterStatusMonitor's command line, through the tools' table-driven
// parser, and the printer list it remembers in the user's registry hive.
#pragma once

#include <windows.h>

#include "monitor_state.h"

struct MonitorSettings {
    wchar_t printers[MAX_PRINTERS][PRINTER_NAME_CHARS];
    int printerCount;
    const wchar_t* host;     // --server HOST, or null
    const wchar_t* binding;  // --binding STRING, or null
    DWORD intervalSeconds;   // --interval, default 30
    DWORD timeoutSeconds;    // --timeout, default 10
    DWORD low;               // --low, default 10
};

// Where the printer list is remembered, under HKEY_CURRENT_USER.
#define MONITOR_SETTINGS_KEY L"Software\\DeviceRpc\\PrinterStatusMonitor"
#define MONITOR_PRINTERS_VALUE L"Printers"

// Reads the command line into `settings`, after setting its defaults.
// Help, version and usage errors are reported here (see ReportProblem).
// Returns CLI_RUN when the monitor should start, else the exit status.
int ReadCommandLine(int argc, wchar_t** argv, MonitorSettings* settings);

// Reports what stops the monitor: "PrinterStatusMonitor: problem" on
// standard error when the process has one or its parent's console can be
// attached, else in a message box. The console is attached only then: a
// monitor attached to it for good would end when that console closes.
void ReportProblem(const wchar_t* problem);

// Stores the printer list for the next start without --printer.
void RememberPrinters(const MonitorSettings& settings);

// Fills an empty printer list from the one remembered; names that are no
// printer names (empty, too long) are left out.
void RecallPrinters(MonitorSettings* settings);
