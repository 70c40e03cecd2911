// The notification-area icon: its picture tells whether a printer needs
// attention, its tooltip sums up every printer, and a notification
// (balloon) tells of each new alert. The icon is added again when the
// taskbar restarts.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "monitor_app.h"
#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

constexpr UINT TRAY_ICON_ID = 1;

// The icon's record with the fields every message needs.
NOTIFYICONDATAW IconData(const MonitorApp& app) {
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = app.window;
    data.uID = TRAY_ICON_ID;
    return data;
}

// A small icon for the notification area at the system's size for it.
HICON SmallIcon(HINSTANCE instance, int id) {
    HICON icon = nullptr;
    if (SUCCEEDED(LoadIconMetric(instance, MAKEINTRESOURCEW(id), LIM_SMALL, &icon))) return icon;
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON),
                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

// True when some printer needs attention.
bool AnyAttention(const MonitorApp& app) {
    for (int i = 0; i < app.viewCount; ++i)
        if (NeedsAttention(app.views[i])) return true;
    return false;
}

// Appends a menu item with a string from the table.
void AddItem(HMENU menu, UINT command, UINT textId) {
    AppendMenuW(menu, MF_STRING, command, Text(textId));
}

}  // namespace

void AddTrayIcon(MonitorApp* app) {
    MonitorTray& tray = app->tray;
    if (!tray.normal) tray.normal = SmallIcon(app->instance, IDI_MONITOR);
    if (!tray.alert) tray.alert = SmallIcon(app->instance, IDI_MONITOR_ALERT);
    tray.attention = AnyAttention(*app);
    NOTIFYICONDATAW data = IconData(*app);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    data.uCallbackMessage = WM_MONITOR_TRAY;
    data.hIcon = tray.attention ? tray.alert : tray.normal;
    wchar_t tip[1024];
    SummaryText(app->views, app->viewCount, L"\n", tip, 1024);
    lstrcpynW(data.szTip, tip, ARRAYSIZE(data.szTip));
    tray.added = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    if (!tray.added) return;
    // Version 4 reports keyboard selection and the context menu key too.
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
}

void UpdateTrayIcon(MonitorApp* app, const wchar_t* summary) {
    if (!app->tray.added) return;
    NOTIFYICONDATAW data = IconData(*app);
    data.uFlags = NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    app->tray.attention = AnyAttention(*app);
    data.hIcon = app->tray.attention ? app->tray.alert : app->tray.normal;
    lstrcpynW(data.szTip, summary, ARRAYSIZE(data.szTip));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void ShowBalloon(MonitorApp* app, const wchar_t* text) {
    if (!app->tray.added) return;
    NOTIFYICONDATAW data = IconData(*app);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    lstrcpynW(data.szInfoTitle, Text(IDS_BALLOON_TITLE), ARRAYSIZE(data.szInfoTitle));
    lstrcpynW(data.szInfo, text, ARRAYSIZE(data.szInfo));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void RemoveTrayIcon(MonitorApp* app) {
    if (app->tray.added) {
        NOTIFYICONDATAW data = IconData(*app);
        Shell_NotifyIconW(NIM_DELETE, &data);
        app->tray.added = false;
    }
    if (app->tray.normal) DestroyIcon(app->tray.normal);
    if (app->tray.alert) DestroyIcon(app->tray.alert);
    app->tray.normal = app->tray.alert = nullptr;
}

void ShowTrayMenu(MonitorApp* app, POINT at) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    AddItem(menu, IDM_OPEN, IDS_MENU_OPEN);
    AddItem(menu, IDC_REFRESH, IDS_MENU_REFRESH);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AddItem(menu, IDM_EXIT, IDS_MENU_EXIT);
    SetMenuDefaultItem(menu, IDM_OPEN, FALSE);
    // The documented way for a notification icon's menu to close when the
    // user clicks elsewhere: the window in front while it is open, and a
    // message after it.
    SetForegroundWindow(app->window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, app->window, nullptr);
    PostMessageW(app->window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}
