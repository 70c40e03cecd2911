// What the main window's controls show: the printer list, the selected
// printer's bins, configuration, counters and last read, the alerts and
// the status bar, from the window's PrinterView records.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "monitor_app.h"
#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

constexpr size_t TEXT_CHARS = 1024;
// The alert list keeps this many lines, the newest first.
constexpr int MAX_ALERT_LINES = 200;

// Sets a control's text only when it differs, so that a refresh with the
// same values does not repaint (or flicker) anything.
void SetText(HWND control, const wchar_t* text) {
    wchar_t shown[TEXT_CHARS];
    GetWindowTextW(control, shown, static_cast<int>(TEXT_CHARS));
    if (wcscmp(shown, text) != 0) SetWindowTextW(control, text);
}

// Sets the text of a list item's column.
void SetCell(HWND list, int row, int column, const wchar_t* text) {
    wchar_t shown[TEXT_CHARS];
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = shown;
    item.cchTextMax = static_cast<int>(TEXT_CHARS);
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    if (wcscmp(shown, text) == 0) return;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

// Inserts an empty row at `row`.
void InsertRow(HWND list, int row) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

// The bins of the selected printer (of a view never read when none is).
void ShowBins(MonitorApp* app, const PrinterView& view) {
    wchar_t text[TEXT_CHARS];
    for (int i = 0; i < PAPER_BINS; ++i) {
        BinLabelText(view, i, text, TEXT_CHARS);
        SetText(app->c.binLabel[i], text);
        BinValueText(view, i, app->settings->low, text, TEXT_CHARS);
        SetText(app->c.binText[i], text);
        uint32_t level = view.everRead ? view.lastGood.bins.bin[i].level : 0;
        SendMessageW(app->c.binBar[i], PBM_SETPOS, level > 100 ? 100 : level, 0);
    }
}

// The configuration lines and the counters of the selected printer.
void ShowConfigAndCounters(MonitorApp* app, const PrinterView& view) {
    wchar_t text[TEXT_CHARS];
    DuplexText(view, text, TEXT_CHARS);
    SetText(app->c.duplex, text);
    CassettesText(view, text, TEXT_CHARS);
    SetText(app->c.cassettes, text);
    FirmwareText(view, text, TEXT_CHARS);
    SetText(app->c.firmware, text);
    HWND list = app->c.counters;
    for (int i = 0; i < PAGE_COUNTERS; ++i) {
        if (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) <= i) InsertRow(list, i);
        SetCell(list, i, 0, Text(IDS_COUNTER_MONO + i));
        if (view.everRead)
            NumberText(view.lastGood.counters[i], text, TEXT_CHARS);
        else
            CopyText(text, TEXT_CHARS, IDS_NO_VALUE);
        SetCell(list, i, 1, text);
    }
}

}  // namespace

void FillPrinterList(MonitorApp* app) {
    SendMessageW(app->c.printers, LVM_DELETEALLITEMS, 0, 0);
    for (int i = 0; i < app->viewCount; ++i) {
        InsertRow(app->c.printers, i);
        ShowPrinterRow(app, i);
    }
    if (app->viewCount > 0) {
        LVITEMW state = {};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(app->c.printers, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
    }
}

void ShowPrinterRow(MonitorApp* app, int printer) {
    wchar_t state[TEXT_CHARS];
    ShortStateText(app->views[printer], state, TEXT_CHARS);
    SetCell(app->c.printers, printer, 0, app->views[printer].name);
    SetCell(app->c.printers, printer, 1, state);
}

void ShowSelected(MonitorApp* app) {
    PrinterView none;
    StartView(&none, L"");
    bool any = app->selected >= 0 && app->selected < app->viewCount;
    const PrinterView& view = any ? app->views[app->selected] : none;
    wchar_t text[TEXT_CHARS];
    SetText(app->c.printerName, any ? view.name : Text(IDS_NO_PRINTER_SELECTED));
    ShowBins(app, view);
    ShowConfigAndCounters(app, view);
    if (any)
        LastReadText(view, app->where, text, TEXT_CHARS);
    else
        CopyText(text, TEXT_CHARS, app->viewCount ? IDS_NO_PRINTER_SELECTED : IDS_NO_PRINTERS);
    SetText(app->c.lastRead, text);
}

void AddAlertLine(MonitorApp* app, const wchar_t* text) {
    HWND list = app->c.alerts;
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t time[64];
    TimeText(now, time, 64);
    InsertRow(list, 0);
    SetCell(list, 0, 0, time);
    SetCell(list, 0, 1, text);
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    if (count > MAX_ALERT_LINES) SendMessageW(list, LVM_DELETEITEM, count - 1, 0);
}

void ShowSummary(MonitorApp* app) {
    wchar_t text[TEXT_CHARS];
    SummaryText(app->views, app->viewCount, Text(IDS_SUMMARY_SEPARATOR), text, TEXT_CHARS);
    SetText(app->c.status, text);
    SummaryText(app->views, app->viewCount, L"\n", text, TEXT_CHARS);
    UpdateTrayIcon(app, text);
}
