// The main window's controls: made once, in tab order, then given fonts
// and places for the window's DPI whenever it or the size changes. Sizes
// are in pixels at 96 DPI and scaled.
#include <windows.h>
#include <commctrl.h>

#include "monitor_app.h"
#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

// The layout's measures at 96 DPI.
constexpr int MARGIN = 8;
constexpr int GAP = 8;
constexpr int LABEL_H = 16;
constexpr int LINE_H = 18;
constexpr int LEFT_W = 300;
constexpr int CONFIG_W = 190;
constexpr int BIN_ROW_H = 26;
constexpr int BIN_LABEL_W = 120;
constexpr int BIN_BAR_W = 150;
constexpr int BUTTON_W = 170;
constexpr int BUTTON_H = 26;
constexpr int CLIENT_W = 880;
constexpr int CLIENT_H = 540;

// Pixels at the window's DPI.
int Px(const MonitorApp& app, int at96) {
    return MulDiv(at96, static_cast<int>(app.dpi), 96);
}

// A child control; `text` from the string table, 0 for none.
HWND Child(MonitorApp* app, const wchar_t* type, UINT textId, DWORD style, int id) {
    return CreateWindowExW(0, type, textId ? Text(textId) : L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, 0, 0, 0, 0, app->window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), app->instance,
                           nullptr);
}

// A report-view list with its columns; `right` aligns the second column
// right (numbers).
HWND ReportList(MonitorApp* app, int id, UINT first, UINT second, bool right) {
    HWND list = Child(
        app, WC_LISTVIEWW, 0,
        WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
        id);
    if (!list) return nullptr;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_LABELTIP);
    UINT headings[] = {first, second};
    for (int i = 0; i < 2; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = i == 1 && right ? LVCFMT_RIGHT : LVCFMT_LEFT;
        column.pszText = const_cast<wchar_t*>(Text(headings[i]));
        column.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    return list;
}

// The bins group: a label, a level bar and a text per bin. A group box
// comes after what it frames: lower in the z-order, it is clipped by them
// instead of painting over them.
void CreateBinRows(MonitorApp* app) {
    MonitorControls& c = app->c;
    for (int i = 0; i < PAPER_BINS; ++i) {
        c.binLabel[i] = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_BIN_LABEL + i);
        c.binBar[i] = Child(app, PROGRESS_CLASSW, 0, 0, IDC_BIN_BAR + i);
        SendMessageW(c.binBar[i], PBM_SETRANGE32, 0, 100);
        c.binText[i] = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_BIN_TEXT + i);
    }
    c.binsGroup = Child(app, L"BUTTON", IDS_BINS_GROUP, BS_GROUPBOX, IDC_BINS_GROUP);
}

// Places a control.
void Place(HWND control, int x, int y, int w, int h) {
    SetWindowPos(control, nullptr, x, y, w > 0 ? w : 0, h > 0 ? h : 0,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// The height of a report list that shows `rows` rows without scrolling:
// its header, the rows (as tall as the list's font makes them; the list
// has its rows when the window is laid out) and its border.
int ListHeight(const MonitorApp& app, HWND list, int rows) {
    RECT header = {};
    HWND headerControl = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    if (headerControl) GetWindowRect(headerControl, &header);
    RECT item = {};
    item.left = LVIR_BOUNDS;
    int row = SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item))
                  ? item.bottom - item.top
                  : Px(app, 20);
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(list, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(list, GWL_EXSTYLE)));
    return (header.bottom - header.top) + rows * row + (frame.bottom - frame.top) + Px(app, 2);
}

// The right-hand part for the selected printer, from `top`; returns the
// bottom of what it placed.
int LayoutPrinterPart(MonitorApp* app, int x, int top, int width) {
    MonitorControls& c = app->c;
    Place(c.printerName, x, top, width, Px(*app, LINE_H + 2));
    int group = top + Px(*app, LINE_H + 6);
    int rows = Px(*app, 22) + PAPER_BINS * Px(*app, BIN_ROW_H);
    Place(c.binsGroup, x, group, width, rows);
    for (int i = 0; i < PAPER_BINS; ++i) {
        int y = group + Px(*app, 20) + i * Px(*app, BIN_ROW_H);
        int bar = x + Px(*app, 10 + BIN_LABEL_W + 6);
        int text = bar + Px(*app, BIN_BAR_W + 10);
        Place(c.binLabel[i], x + Px(*app, 10), y + Px(*app, 2), Px(*app, BIN_LABEL_W),
              Px(*app, LINE_H));
        Place(c.binBar[i], bar, y, Px(*app, BIN_BAR_W), Px(*app, LINE_H));
        Place(c.binText[i], text, y + Px(*app, 2), x + width - text - Px(*app, 8),
              Px(*app, LINE_H));
    }
    int below = group + rows + Px(*app, GAP);
    int configH = Px(*app, 24) + 3 * Px(*app, 20);
    Place(c.configGroup, x, below, Px(*app, CONFIG_W), configH);
    HWND lines[] = {c.duplex, c.cassettes, c.firmware};
    for (int i = 0; i < 3; ++i)
        Place(lines[i], x + Px(*app, 10), below + Px(*app, 20) + i * Px(*app, 20),
              Px(*app, CONFIG_W - 20), Px(*app, LINE_H));
    int cx = x + Px(*app, CONFIG_W + GAP);
    int cw = x + width - cx;
    int listH = ListHeight(*app, c.counters, PAGE_COUNTERS);
    Place(c.countersLabel, cx, below, cw, Px(*app, LABEL_H));
    Place(c.counters, cx, below + Px(*app, LABEL_H + 2), cw, listH);
    SendMessageW(c.counters, LVM_SETCOLUMNWIDTH, 0, cw * 6 / 10);
    SendMessageW(c.counters, LVM_SETCOLUMNWIDTH, 1, LVSCW_AUTOSIZE_USEHEADER);
    int bottom = below + Px(*app, LABEL_H + 2) + listH;
    if (below + configH > bottom) bottom = below + configH;
    Place(c.lastRead, x, bottom + Px(*app, GAP), width, Px(*app, 3 * LABEL_H));
    return bottom + Px(*app, GAP + 3 * LABEL_H);
}

// The fonts of the window's DPI: the system's message font, and a larger
// bold one for the printer's name.
bool MakeFonts(const MonitorApp& app, HFONT* font, HFONT* bold) {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    typedef BOOL(WINAPI * ForDpi)(UINT, UINT, PVOID, UINT, UINT);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi");
    ForDpi forDpi = reinterpret_cast<ForDpi>(reinterpret_cast<void (*)()>(proc));
    if (!forDpi || !forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, app.dpi)) {
        // Without the per-DPI call the system's metrics are at its own DPI.
        if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
            return false;
        HDC screen = GetDC(nullptr);
        int systemDpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
        if (screen) ReleaseDC(nullptr, screen);
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(app.dpi), systemDpi);
    }
    *font = CreateFontIndirectW(&metrics.lfMessageFont);
    LOGFONTW large = metrics.lfMessageFont;
    large.lfWeight = FW_BOLD;
    large.lfHeight = large.lfHeight * 5 / 4;
    *bold = CreateFontIndirectW(&large);
    return *font && *bold;
}

// Gives one child the window's font.
BOOL CALLBACK SetChildFont(HWND child, LPARAM app) {
    const MonitorApp* a = reinterpret_cast<const MonitorApp*>(app);
    HFONT font = child == a->c.printerName ? a->bold : a->font;
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return TRUE;
}

}  // namespace

UINT WindowDpi(HWND window) {
    typedef UINT(WINAPI * DpiOf)(HWND);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    DpiOf dpiOf = reinterpret_cast<DpiOf>(reinterpret_cast<void (*)()>(proc));
    UINT dpi = dpiOf && window ? dpiOf(window) : 0;
    if (dpi == 0) {
        HDC screen = GetDC(nullptr);
        dpi = screen ? static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSY)) : 96;
        if (screen) ReleaseDC(nullptr, screen);
    }
    return dpi ? dpi : 96;
}

bool CreateControls(MonitorApp* app) {
    MonitorControls& c = app->c;
    // Creation order is the tab order: each label just before its list,
    // so that its access key moves the focus to that list.
    c.printersLabel = Child(app, L"STATIC", IDS_PRINTERS_LABEL, SS_LEFT, IDC_PRINTERS_LABEL);
    c.printers = ReportList(app, IDC_PRINTERS, IDS_COLUMN_PRINTER, IDS_COLUMN_STATUS, false);
    c.printerName =
        Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, IDC_PRINTER_NAME);
    CreateBinRows(app);
    c.duplex = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_DUPLEX);
    c.cassettes = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_CASSETTES);
    c.firmware = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_FIRMWARE);
    c.configGroup = Child(app, L"BUTTON", IDS_CONFIG_GROUP, BS_GROUPBOX, IDC_CONFIG_GROUP);
    c.countersLabel = Child(app, L"STATIC", IDS_COUNTERS_LABEL, SS_LEFT, IDC_COUNTERS_LABEL);
    c.counters = ReportList(app, IDC_COUNTERS, IDS_COLUMN_COUNTER, IDS_COLUMN_PAGES, true);
    c.lastRead = Child(app, L"STATIC", 0, SS_LEFT | SS_NOPREFIX, IDC_LAST_READ);
    c.alertsLabel = Child(app, L"STATIC", IDS_ALERTS_LABEL, SS_LEFT, IDC_ALERTS_LABEL);
    c.alerts = ReportList(app, IDC_ALERTS, IDS_COLUMN_TIME, IDS_COLUMN_ALERT, false);
    c.refresh = Child(app, L"BUTTON", IDS_REFRESH, WS_TABSTOP | BS_PUSHBUTTON, IDC_REFRESH);
    c.hide = Child(app, L"BUTTON", IDS_HIDE, WS_TABSTOP | BS_PUSHBUTTON, IDC_HIDE);
    c.status = Child(app, STATUSCLASSNAMEW, 0, SBARS_SIZEGRIP, IDC_STATUS);
    return c.printers && c.counters && c.alerts && c.refresh && c.hide && c.status &&
           c.binBar[PAPER_BINS - 1];
}

void UpdateFonts(MonitorApp* app) {
    HFONT font = nullptr;
    HFONT bold = nullptr;
    if (!MakeFonts(*app, &font, &bold)) {
        if (font) DeleteObject(font);
        if (bold) DeleteObject(bold);
        return;
    }
    HFONT oldFont = app->font;
    HFONT oldBold = app->bold;
    app->font = font;
    app->bold = bold;
    EnumChildWindows(app->window, SetChildFont, reinterpret_cast<LPARAM>(app));
    if (oldFont) DeleteObject(oldFont);
    if (oldBold) DeleteObject(oldBold);
}

void LayoutControls(MonitorApp* app) {
    MonitorControls& c = app->c;
    RECT client;
    GetClientRect(app->window, &client);
    SendMessageW(c.status, WM_SIZE, 0, 0);
    RECT bar;
    GetWindowRect(c.status, &bar);
    int w = client.right;
    int h = client.bottom - (bar.bottom - bar.top);
    int m = Px(*app, MARGIN);
    int left = Px(*app, LEFT_W);
    int x = m + left + Px(*app, GAP);
    int top = LayoutPrinterPart(app, x, m, w - x - m);
    Place(c.printersLabel, m, m, left, Px(*app, LABEL_H));
    Place(c.printers, m, m + Px(*app, LABEL_H + 2), left, top - m - Px(*app, LABEL_H + 2));
    SendMessageW(c.printers, LVM_SETCOLUMNWIDTH, 0, left * 45 / 100);
    SendMessageW(c.printers, LVM_SETCOLUMNWIDTH, 1, LVSCW_AUTOSIZE_USEHEADER);
    int buttonY = h - m - Px(*app, BUTTON_H);
    int alertsY = top + Px(*app, GAP);
    Place(c.alertsLabel, m, alertsY, w - 2 * m, Px(*app, LABEL_H));
    int listY = alertsY + Px(*app, LABEL_H + 2);
    Place(c.alerts, m, listY, w - 2 * m, buttonY - Px(*app, GAP) - listY);
    SendMessageW(c.alerts, LVM_SETCOLUMNWIDTH, 0, Px(*app, 150));
    SendMessageW(c.alerts, LVM_SETCOLUMNWIDTH, 1, LVSCW_AUTOSIZE_USEHEADER);
    int bw = Px(*app, BUTTON_W);
    Place(c.hide, w - m - bw, buttonY, bw, Px(*app, BUTTON_H));
    Place(c.refresh, w - m - 2 * bw - Px(*app, GAP), buttonY, bw, Px(*app, BUTTON_H));
}

SIZE DefaultWindowSize(const MonitorApp& app) {
    RECT frame = {0, 0, Px(app, CLIENT_W), Px(app, CLIENT_H)};
    DWORD style = static_cast<DWORD>(GetWindowLongPtrW(app.window, GWL_STYLE));
    DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(app.window, GWL_EXSTYLE));
    AdjustWindowRectEx(&frame, style, TRUE, exStyle);
    return {frame.right - frame.left, frame.bottom - frame.top};
}
