// The main window's record and the functions of the files that make up
// the window: controls and layout (monitor_controls.cpp), what they show
// (monitor_view.cpp), the notification icon (monitor_tray.cpp) and the
// window procedure (monitor_window.cpp). Everything here runs on the
// window's thread.
#pragma once

#include <windows.h>

#include "monitor_describe.h"
#include "monitor_options.h"
#include "monitor_reader.h"
#include "monitor_state.h"

struct MonitorControls {
    HWND printersLabel, printers;
    HWND printerName;
    HWND binsGroup, binLabel[PAPER_BINS], binBar[PAPER_BINS], binText[PAPER_BINS];
    HWND configGroup, duplex, cassettes, firmware;
    HWND countersLabel, counters;
    HWND lastRead;
    HWND alertsLabel, alerts;
    HWND refresh, hide;
    HWND status;
};

struct MonitorTray {
    UINT taskbarCreated;  // the message Explorer broadcasts when it starts again
    bool added;
    bool attention;  // the icon shows the alert picture
    HICON normal, alert;
};

struct MonitorApp {
    HINSTANCE instance;
    const MonitorSettings* settings;
    ServerWhere where;
    HWND window;
    MonitorControls c;
    HFONT font, bold;
    UINT dpi;
    HACCEL accelerators;
    HWND focus;  // the control to give the focus back to on activation
    PrinterView views[MAX_PRINTERS];
    int viewCount;
    int selected;  // -1: none
    Reader reader;
    MonitorTray tray;
};

// monitor_window.cpp: creates the main window (shown) and starts reading.
// Null when the window cannot be made.
HWND CreateMonitorWindow(MonitorApp* app, int show);

// Runs the message loop until the window is gone; the exit status.
int RunMessageLoop(MonitorApp* app);

// monitor_controls.cpp: the controls, with their fonts and places.
bool CreateControls(MonitorApp* app);
void UpdateFonts(MonitorApp* app);
void LayoutControls(MonitorApp* app);
// The window's default size at the window's DPI, frame included.
SIZE DefaultWindowSize(const MonitorApp& app);
// The DPI of a window (96 where the system cannot say per window).
UINT WindowDpi(HWND window);

// monitor_view.cpp: what the controls show.
void FillPrinterList(MonitorApp* app);
void ShowPrinterRow(MonitorApp* app, int printer);
void ShowSelected(MonitorApp* app);
void AddAlertLine(MonitorApp* app, const wchar_t* text);
void ShowSummary(MonitorApp* app);

// monitor_tray.cpp: the notification icon.
void AddTrayIcon(MonitorApp* app);
void UpdateTrayIcon(MonitorApp* app, const wchar_t* summary);
void ShowBalloon(MonitorApp* app, const wchar_t* text);
void RemoveTrayIcon(MonitorApp* app);
void ShowTrayMenu(MonitorApp* app, POINT at);

// The tray icon's callback message.
constexpr UINT WM_MONITOR_TRAY = WM_APP + 2;
