// A printer's state in the words of the string table.
#include "monitor_describe.h"

#include <cwchar>

#include "monitor_resources.h"
#include "monitor_text.h"

namespace {

// Chars of one composed piece of text.
constexpr size_t PIECE_CHARS = 512;

// The name of `code` among the strings from `base` on, or the code itself.
void CodeName(UINT base, uint32_t code, wchar_t* out, size_t chars) {
    if (code < 300 && HasText(base + code))
        CopyText(out, chars, base + code);
    else
        NumberText(code, out, chars);
}

// Appends `piece` to a list in `out`, with the list separator between.
void AppendListItem(wchar_t* out, size_t chars, const wchar_t* piece) {
    if (out[0]) AppendText(out, chars, Text(IDS_LIST_SEPARATOR));
    AppendText(out, chars, piece);
}

// The bins' problems of a ready printer ("bin 3 empty, bin 2 low"); ""
// when every bin is filled.
void BinProblems(const PrinterView& view, wchar_t* out, size_t chars) {
    out[0] = 0;
    const BinState kOrder[] = {BIN_EMPTY, BIN_LOW};  // the empty bins first
    for (BinState wanted : kOrder) {
        for (int i = 0; i < PAPER_BINS; ++i) {
            if (view.bins[i] != wanted) continue;
            wchar_t piece[64];
            DWORD_PTR inserts[] = {Insert(static_cast<uint32_t>(i + 1))};
            FormatText(piece, 64, wanted == BIN_EMPTY ? IDS_SHORT_BIN_EMPTY : IDS_SHORT_BIN_LOW,
                       inserts);
            AppendListItem(out, chars, piece);
        }
    }
}

// "the server on this computer", "the server printsrv", or the binding's.
void WhereText(const ServerWhere& where, wchar_t* out, size_t chars) {
    if (where.binding) {
        DWORD_PTR inserts[] = {Insert(where.binding)};
        FormatText(out, chars, IDS_WHERE_BINDING, inserts);
    } else if (where.host) {
        DWORD_PTR inserts[] = {Insert(where.host)};
        FormatText(out, chars, IDS_WHERE_SERVER, inserts);
    } else {
        CopyText(out, chars, IDS_WHERE_LOCAL);
    }
}

}  // namespace

void PaperName(uint32_t code, wchar_t* out, size_t chars) {
    CodeName(IDS_PAPER_BASE, code, out, chars);
}

void BinLabelText(const PrinterView& view, int bin, wchar_t* out, size_t chars) {
    DWORD_PTR number = Insert(static_cast<uint32_t>(bin + 1));
    if (!view.everRead) {
        DWORD_PTR inserts[] = {number};
        FormatText(out, chars, IDS_BIN_LABEL_PLAIN, inserts);
        return;
    }
    uint32_t source = view.lastGood.bins.bin[bin].source;
    wchar_t name[64];
    if (source < 300 && HasText(IDS_SOURCE_BASE + source)) {
        CopyText(name, 64, IDS_SOURCE_BASE + source);
    } else {
        DWORD_PTR code[] = {Insert(source)};
        FormatText(name, 64, IDS_SOURCE_UNKNOWN, code);
    }
    DWORD_PTR inserts[] = {number, Insert(name)};
    FormatText(out, chars, IDS_BIN_LABEL, inserts);
}

void BinValueText(const PrinterView& view, int bin, uint32_t low, wchar_t* out, size_t chars) {
    if (!view.everRead) {
        CopyText(out, chars, IDS_NO_VALUE);
        return;
    }
    const DEVICERPC_BIN& b = view.lastGood.bins.bin[bin];
    wchar_t paper[64];
    wchar_t width[16];
    wchar_t height[16];
    PaperName(b.size, paper, 64);
    TenthsText(b.width, width, 16);
    TenthsText(b.height, height, 16);
    BinState state = BinStateOf(b.level, low);
    UINT id = state == BIN_EMPTY ? IDS_BIN_TEXT_EMPTY
              : state == BIN_LOW ? IDS_BIN_TEXT_LOW
                                 : IDS_BIN_TEXT;
    DWORD_PTR inserts[] = {Insert(paper), Insert(width), Insert(height), Insert(b.level)};
    FormatText(out, chars, id, inserts);
}

void DuplexText(const PrinterView& view, wchar_t* out, size_t chars) {
    wchar_t value[16];
    uint32_t duplex = view.lastGood.config.duplex;
    if (!view.everRead)
        CopyText(value, 16, IDS_NO_VALUE);
    else if (duplex <= 1)
        CopyText(value, 16, duplex ? IDS_YES : IDS_NO);
    else
        NumberText(duplex, value, 16);  // a value the monitor does not know: as reported
    DWORD_PTR inserts[] = {Insert(value)};
    FormatText(out, chars, IDS_DUPLEX, inserts);
}

void CassettesText(const PrinterView& view, wchar_t* out, size_t chars) {
    wchar_t value[16];
    if (view.everRead)
        NumberText(view.lastGood.config.cassettes, value, 16);
    else
        CopyText(value, 16, IDS_NO_VALUE);
    DWORD_PTR inserts[] = {Insert(value)};
    FormatText(out, chars, IDS_CASSETTES, inserts);
}

void FirmwareText(const PrinterView& view, wchar_t* out, size_t chars) {
    // The firmware word as the printer reports it: its encoding is the
    // printer's own, so it is not taken apart.
    wchar_t value[16];
    if (view.everRead)
        _snwprintf(value, 15, L"0x%08lx",
                   static_cast<unsigned long>(view.lastGood.config.firmware));
    else
        CopyText(value, 16, IDS_NO_VALUE);
    value[15] = 0;
    DWORD_PTR inserts[] = {Insert(value)};
    FormatText(out, chars, IDS_FIRMWARE, inserts);
}

void ShortStateText(const PrinterView& view, wchar_t* out, size_t chars) {
    switch (view.condition) {
    case CONDITION_NOT_READ:
        CopyText(out, chars, IDS_SHORT_NOT_READ);
        return;
    case CONDITION_NOT_ANSWERING:
        CopyText(out, chars, IDS_SHORT_NOT_ANSWERING);
        return;
    case CONDITION_REFUSED:
        CopyText(out, chars, IDS_SHORT_REFUSED);
        return;
    case CONDITION_UNREADABLE:
        CopyText(out, chars, IDS_SHORT_UNREADABLE);
        return;
    case CONDITION_READY:
        BinProblems(view, out, chars);
        if (!out[0]) CopyText(out, chars, IDS_SHORT_READY);
        return;
    }
}

void SummaryText(const PrinterView* views, int count, const wchar_t* separator, wchar_t* out,
                 size_t chars) {
    out[0] = 0;
    if (count == 0) {
        CopyText(out, chars, IDS_TIP_NONE);
        return;
    }
    for (int i = 0; i < count; ++i) {
        wchar_t state[PIECE_CHARS];
        wchar_t line[PIECE_CHARS];
        ShortStateText(views[i], state, PIECE_CHARS);
        DWORD_PTR inserts[] = {Insert(views[i].name), Insert(state)};
        FormatText(line, PIECE_CHARS, IDS_TIP_LINE, inserts);
        if (i > 0) AppendText(out, chars, separator);
        AppendText(out, chars, line);
    }
}

void FailureText(const PrinterReading& r, const ServerWhere& where, wchar_t* out, size_t chars) {
    wchar_t place[PIECE_CHARS];
    wchar_t system[256];
    WhereText(where, place, PIECE_CHARS);
    if (r.status == DEVICERPC_E_TRANSPORT && r.code == DEVICERPC_CODE_TIMED_OUT) {
        DWORD_PTR inserts[] = {Insert(place), Insert(static_cast<uint32_t>(where.timeoutSeconds))};
        FormatText(out, chars, IDS_FAIL_TIMED_OUT, inserts);
        return;
    }
    SystemErrorText(r.code, system, 256);
    if (!system[0]) CopyText(system, 256, IDS_UNKNOWN_ERROR);
    DWORD_PTR inserts[] = {Insert(place), Insert(r.code), Insert(system)};
    switch (r.status) {
    case DEVICERPC_E_TRANSPORT:
        FormatText(out, chars, IDS_FAIL_TRANSPORT, inserts);
        return;
    case DEVICERPC_E_FALSE:
        FormatText(out, chars, IDS_FAIL_REFUSED, inserts);
        return;
    case DEVICERPC_E_REPLY:
        FormatText(out, chars, IDS_FAIL_REPLY, inserts);
        return;
    case DEVICERPC_E_WIN32:
        FormatText(out, chars, IDS_FAIL_WIN32, inserts);
        return;
    default:
        FormatText(out, chars, IDS_FAIL_ARGUMENT, inserts);
        return;
    }
}

void LastReadText(const PrinterView& view, const ServerWhere& where, wchar_t* out, size_t chars) {
    if (view.condition == CONDITION_NOT_READ) {
        CopyText(out, chars, IDS_NOT_READ_YET);
        return;
    }
    wchar_t latest[128];
    DateTimeText(view.latest.at, latest, 128);
    if (view.condition == CONDITION_READY) {
        DWORD_PTR inserts[] = {Insert(latest)};
        FormatText(out, chars, IDS_READ_AT, inserts);
        return;
    }
    wchar_t why[PIECE_CHARS];
    wchar_t good[128];
    FailureText(view.latest, where, why, PIECE_CHARS);
    if (view.everRead) DateTimeText(view.lastGood.at, good, 128);
    DWORD_PTR inserts[] = {Insert(latest), Insert(why), Insert(view.everRead ? good : L"")};
    FormatText(out, chars, view.everRead ? IDS_FAILED_SINCE : IDS_FAILED_AT, inserts);
}

void AlertText(const Alert& alert, const PrinterView& view, wchar_t* out, size_t chars) {
    if (alert.kind == ALERT_BIN_EMPTY) {
        DWORD_PTR inserts[] = {Insert(view.name), Insert(static_cast<uint32_t>(alert.bin + 1))};
        FormatText(out, chars, IDS_ALERT_EMPTY, inserts);
        return;
    }
    if (alert.kind == ALERT_NOT_ANSWERING) {
        DWORD_PTR inserts[] = {Insert(view.name)};
        FormatText(out, chars, IDS_ALERT_NOT_ANSWERING, inserts);
        return;
    }
    wchar_t state[PIECE_CHARS];
    ShortStateText(view, state, PIECE_CHARS);
    DWORD_PTR inserts[] = {Insert(view.name), Insert(state)};
    FormatText(out, chars, IDS_ALERT_FAILED, inserts);
}
