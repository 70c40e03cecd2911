// The main window: its class, menus and procedure. Readings arrive as
// posted messages from the reader thread; the window's thread itself
// never waits on the server.
#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include "devicerpc_version.h"
#include "monitor_app.h"
#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

const wchar_t WINDOW_CLASS[] = L"PrinterStatusMonitorWindow";
constexpr int MIN_W = 640;
constexpr int MIN_H = 480;

// The record attached to the window at WM_NCCREATE (null before).
MonitorApp* AppOf(HWND window) {
    return reinterpret_cast<MonitorApp*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// The menu bar, from the string table (the accelerators are resources).
HMENU MakeMenuBar() {
    HMENU bar = CreateMenu();
    HMENU monitor = CreatePopupMenu();
    HMENU help = CreatePopupMenu();
    if (!bar || !monitor || !help) return nullptr;
    AppendMenuW(monitor, MF_STRING, IDC_REFRESH, Text(IDS_MENU_REFRESH));
    AppendMenuW(monitor, MF_STRING, IDC_HIDE, Text(IDS_MENU_HIDE));
    AppendMenuW(monitor, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(monitor, MF_STRING, IDM_EXIT, Text(IDS_MENU_EXIT));
    AppendMenuW(help, MF_STRING, IDM_ABOUT, Text(IDS_MENU_ABOUT));
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(monitor), Text(IDS_MENU_MONITOR));
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), Text(IDS_MENU_HELP));
    return bar;
}

// Everything the window shows before the first reading.
bool OnCreate(MonitorApp* app) {
    app->dpi = WindowDpi(app->window);
    if (!CreateControls(app)) return false;
    UpdateFonts(app);
    SetMenu(app->window, MakeMenuBar());
    for (int i = 0; i < app->viewCount; ++i) StartView(&app->views[i], app->settings->printers[i]);
    app->selected = app->viewCount > 0 ? 0 : -1;
    FillPrinterList(app);
    ShowSelected(app);
    app->tray.taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    AddTrayIcon(app);
    ShowSummary(app);
    app->focus = app->c.printers;
    return true;
}

// A reading from the reader thread: the printer's state, its row, the
// selected printer's controls, the alerts and the summary.
void OnReading(MonitorApp* app, PrinterReading* reading) {
    int i = reading->printer;
    if (i >= 0 && i < app->viewCount) {
        Alert alerts[MAX_ALERTS_PER_READING];
        int count = ApplyReading(&app->views[i], *reading, app->settings->low, alerts);
        ShowPrinterRow(app, i);
        if (i == app->selected) ShowSelected(app);
        // One notification for all a reading raised: a later balloon
        // would replace an earlier one before it could be read.
        wchar_t balloon[512] = L"";
        for (int a = 0; a < count; ++a) {
            wchar_t line[512];
            AlertText(alerts[a], app->views[i], line, 512);
            AddAlertLine(app, line);
            if (a > 0) AppendText(balloon, 512, L"\n");
            AppendText(balloon, 512, line);
        }
        if (count > 0) ShowBalloon(app, balloon);
        ShowSummary(app);
    }
    FreeReading(reading);
}

// Brings the window back from the notification area.
void Restore(MonitorApp* app) {
    ShowWindow(app->window, IsIconic(app->window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(app->window);
}

// A menu item, an accelerator or a button.
void OnCommand(MonitorApp* app, int command) {
    switch (command) {
    case IDC_REFRESH:
        RefreshNow(&app->reader);
        break;
    case IDC_HIDE:
        // Without a notification area to come back from, only minimise.
        ShowWindow(app->window, app->tray.added ? SW_HIDE : SW_MINIMIZE);
        break;
    case IDM_OPEN:
        Restore(app);
        break;
    case IDM_EXIT:
        DestroyWindow(app->window);
        break;
    case IDM_ABOUT: {
        wchar_t text[512];
        DWORD_PTR inserts[] = {Insert(DEVICERPC_VERSION)};
        FormatText(text, 512, IDS_ABOUT_TEXT, inserts);
        MessageBoxW(app->window, text, Text(IDS_ABOUT_TITLE), MB_OK | MB_ICONINFORMATION);
        break;
    }
    default:
        break;
    }
}

// The notification icon's events: selecting it (click or keyboard) opens
// the window, its context menu offers open, refresh and exit.
void OnTray(MonitorApp* app, WPARAM w, LPARAM l) {
    switch (LOWORD(l)) {
    case NIN_SELECT:
    case NIN_KEYSELECT:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
        Restore(app);
        break;
    case WM_CONTEXTMENU:
        ShowTrayMenu(app, {GET_X_LPARAM(w), GET_Y_LPARAM(w)});
        break;
    case WM_RBUTTONUP: {
        POINT at;
        GetCursorPos(&at);
        ShowTrayMenu(app, at);
        break;
    }
    default:
        break;
    }
}

// A new selection in the printer list.
void OnNotify(MonitorApp* app, const NMHDR* header) {
    if (header->idFrom != IDC_PRINTERS || header->code != LVN_ITEMCHANGED) return;
    const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(header);
    if ((change->uChanged & LVIF_STATE) && (change->uNewState & LVIS_SELECTED) &&
        !(change->uOldState & LVIS_SELECTED)) {
        app->selected = change->iItem;
        ShowSelected(app);
    }
}

// Fonts and places again for a new DPI, at the size Windows suggests.
void OnDpiChanged(MonitorApp* app, UINT dpi, const RECT* suggested) {
    app->dpi = dpi;
    UpdateFonts(app);
    SetWindowPos(app->window, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutControls(app);
}

// Common controls repaint in new system colours only when told.
BOOL CALLBACK ForwardColourChange(HWND child, LPARAM) {
    SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
    return TRUE;
}

// The window's size, DPI, fonts and colours; true when handled.
bool HandleLook(MonitorApp* app, UINT message, WPARAM w, LPARAM l, LRESULT* result) {
    switch (message) {
    case WM_SIZE:
        if (w == SIZE_MINIMIZED && app->tray.added)
            ShowWindow(app->window, SW_HIDE);  // minimised to the notification area
        else if (w != SIZE_MINIMIZED)
            LayoutControls(app);
        return true;
    case WM_GETMINMAXINFO: {
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(l);
        int dpi = static_cast<int>(app->dpi ? app->dpi : 96);
        info->ptMinTrackSize = {MulDiv(MIN_W, dpi, 96), MulDiv(MIN_H, dpi, 96)};
        return true;
    }
    case WM_DPICHANGED:
        OnDpiChanged(app, HIWORD(w), reinterpret_cast<const RECT*>(l));
        return true;
    case WM_SETTINGCHANGE:
        UpdateFonts(app);  // the message font may have changed
        LayoutControls(app);
        return false;
    case WM_CTLCOLORSTATIC:
        // Labels and group boxes in the scheme's dialog colours, as high
        // contrast themes set them.
        SetTextColor(reinterpret_cast<HDC>(w), GetSysColor(COLOR_BTNTEXT));
        SetBkColor(reinterpret_cast<HDC>(w), GetSysColor(COLOR_BTNFACE));
        *result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        return true;
    case WM_SYSCOLORCHANGE:
        EnumChildWindows(app->window, ForwardColourChange, 0);
        return true;
    default:
        return false;
    }
}

// The focus: kept across deactivation, and moved for access keys;
// true when handled.
bool HandleFocus(MonitorApp* app, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_ACTIVATE) {
        if (LOWORD(w) == WA_INACTIVE)
            app->focus = GetFocus();
        else if (app->focus && IsChild(app->window, app->focus))
            SetFocus(app->focus);
        return true;
    }
    if (message == WM_NEXTDLGCTL) {
        // IsDialogMessage moves the focus for an access key with this
        // message, which only dialogs handle by themselves.
        HWND next = LOWORD(l) ? reinterpret_cast<HWND>(w)
                              : GetNextDlgTabItem(app->window, GetFocus(), w != 0);
        if (next) SetFocus(next);
        return true;
    }
    return false;
}

// The messages the window handles itself once its record is attached.
bool Handle(MonitorApp* app, UINT message, WPARAM w, LPARAM l, LRESULT* result) {
    *result = 0;
    if (HandleLook(app, message, w, l, result) || HandleFocus(app, message, w, l)) return true;
    switch (message) {
    case WM_CREATE:
        *result = OnCreate(app) ? 0 : -1;
        return true;
    case WM_COMMAND:
        OnCommand(app, LOWORD(w));
        return true;
    case WM_NOTIFY:
        OnNotify(app, reinterpret_cast<const NMHDR*>(l));
        return true;
    case WM_MONITOR_READING:
        OnReading(app, reinterpret_cast<PrinterReading*>(l));
        return true;
    case WM_MONITOR_TRAY:
        OnTray(app, w, l);
        return true;
    case WM_DESTROY:
        RemoveTrayIcon(app);
        PostQuitMessage(0);
        return true;
    default:
        if (message != 0 && message == app->tray.taskbarCreated) {
            AddTrayIcon(app);  // the taskbar restarted without our icon
            return true;
        }
        return false;
    }
}

// Attaches the record on WM_NCCREATE, then hands messages to Handle.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        MonitorApp* app =
            static_cast<MonitorApp*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
        app->window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
    }
    MonitorApp* app = AppOf(window);
    LRESULT result = 0;
    if (app && Handle(app, message, w, l, &result)) return result;
    return DefWindowProcW(window, message, w, l);
}

}  // namespace

HWND CreateMonitorWindow(MonitorApp* app, int show) {
    WNDCLASSEXW type = {};
    type.cbSize = sizeof(type);
    type.lpfnWndProc = WindowProc;
    type.hInstance = app->instance;
    type.hIcon = LoadIconW(app->instance, MAKEINTRESOURCEW(IDI_MONITOR));
    type.hIconSm = static_cast<HICON>(LoadImageW(app->instance, MAKEINTRESOURCEW(IDI_MONITOR),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0));
    type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // The dialog colour of the user's scheme, high contrast included.
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassExW(&type)) return nullptr;
    app->accelerators = LoadAcceleratorsW(app->instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    // No WS_CLIPCHILDREN: a group box paints only its frame and relies on
    // the window painting what it encloses.
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, WINDOW_CLASS, Text(IDS_APP_TITLE),
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, nullptr, nullptr, app->instance, app);
    if (!window) return nullptr;
    SIZE size = DefaultWindowSize(*app);
    SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(window, show);
    UpdateWindow(window);
    SetFocus(app->c.printers);
    return window;
}

int RunMessageLoop(MonitorApp* app) {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (app->accelerators && TranslateAcceleratorW(app->window, app->accelerators, &message))
            continue;
        // Tab, the arrow keys and the labels' access keys, as in a dialog.
        if (IsWindow(app->window) && IsDialogMessageW(app->window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
