// A printer's state from its readings, and the alerts a change raises.
#include "monitor_state.h"

const uint32_t COUNTER_ORDER[PAGE_COUNTERS] = {
    DEVICERPC_COUNTER_MONO, DEVICERPC_COUNTER_COLOR,   DEVICERPC_COUNTER_BLACK,
    DEVICERPC_COUNTER_CYAN, DEVICERPC_COUNTER_MAGENTA, DEVICERPC_COUNTER_YELLOW,
    DEVICERPC_COUNTER_IO,
};

void StartView(PrinterView* view, const wchar_t* name) {
    ZeroMemory(view, sizeof(*view));
    lstrcpynW(view->name, name, PRINTER_NAME_CHARS);
    view->condition = CONDITION_NOT_READ;
    for (BinState& bin : view->bins) bin = BIN_UNKNOWN;
}

Condition ConditionOf(const PrinterReading& reading) {
    switch (reading.status) {
    case DEVICERPC_OK:
        return CONDITION_READY;
    case DEVICERPC_E_TRANSPORT:
        return CONDITION_NOT_ANSWERING;
    case DEVICERPC_E_FALSE:
        return CONDITION_REFUSED;
    default:
        return CONDITION_UNREADABLE;
    }
}

BinState BinStateOf(uint32_t level, uint32_t low) {
    if (level == 0) return BIN_EMPTY;
    return level <= low ? BIN_LOW : BIN_FILLED;
}

int ApplyReading(PrinterView* view, const PrinterReading& reading, uint32_t low, Alert* alerts) {
    int count = 0;
    Condition next = ConditionOf(reading);
    view->latest = reading;
    if (next == CONDITION_READY) {
        // A bin not seen empty before alerts, the first reading included:
        // the user learns of a bin that was empty when the monitor started.
        for (int i = 0; i < PAPER_BINS; ++i) {
            BinState state = BinStateOf(reading.bins.bin[i].level, low);
            if (state == BIN_EMPTY && view->bins[i] != BIN_EMPTY)
                alerts[count++] = {ALERT_BIN_EMPTY, reading.printer, i, next};
            view->bins[i] = state;
        }
        view->lastGood = reading;
        view->everRead = true;
    } else if (next != view->condition) {
        // Bins keep their last known state, so that a bin still empty
        // when the printer answers again does not alert a second time.
        AlertKind kind = next == CONDITION_NOT_ANSWERING ? ALERT_NOT_ANSWERING : ALERT_FAILED;
        alerts[count++] = {kind, reading.printer, -1, next};
    }
    view->condition = next;
    return count;
}

bool NeedsAttention(const PrinterView& view) {
    if (view.condition == CONDITION_NOT_READ) return false;
    if (view.condition != CONDITION_READY) return true;
    for (BinState bin : view.bins)
        if (bin == BIN_EMPTY) return true;
    return false;
}
