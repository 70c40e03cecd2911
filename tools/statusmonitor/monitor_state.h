// What the monitor knows of each printer, as plain records, and the rules
// that turn one reading into the printer's state and the alerts it
// raises. Everything here is free of windows and of the server: the
// reader fills PrinterReading records, the window keeps PrinterView ones.
#pragma once

#include <windows.h>

#include <cstdint>

#include "devicerpc_api.h"

constexpr int PAPER_BINS = 3;
constexpr int PAGE_COUNTERS = 7;

// Printers one monitor watches, and the longest name a printer can have
// (MAX_PATH less the terminator), terminator included.
constexpr int MAX_PRINTERS = 16;
constexpr int PRINTER_NAME_CHARS = 260;

// The counters' selectors in the order the window lists them.
extern const uint32_t COUNTER_ORDER[PAGE_COUNTERS];

// Where a reading stopped when it failed.
enum ReadStep { STEP_SESSION, STEP_CONFIG, STEP_BINS, STEP_COUNTERS };

// One read of one printer: every record, or the first status that was
// not DEVICERPC_OK and where it came. The reader thread fills it; the
// window owns it once posted.
struct PrinterReading {
    int printer;  // its place in the printer list
    DEVICERPC_STATUS status;
    uint32_t code;
    ReadStep step;
    DEVICERPC_CONFIG config;
    DEVICERPC_BINS bins;
    uint32_t counters[PAGE_COUNTERS];  // in COUNTER_ORDER
    SYSTEMTIME at;                     // local time the read ended
};

// A printer as its last reading left it.
enum Condition {
    CONDITION_NOT_READ,       // no reading yet
    CONDITION_READY,          // every record came
    CONDITION_NOT_ANSWERING,  // the server was not reached, or not in time
    CONDITION_REFUSED,        // the server answered FALSE: unknown printer or no monitor
    CONDITION_UNREADABLE,     // any other failure (a reply of the wrong layout)
};

// A bin by its level, which the monitor takes as a percentage.
enum BinState { BIN_UNKNOWN, BIN_FILLED, BIN_LOW, BIN_EMPTY };

struct PrinterView {
    wchar_t name[PRINTER_NAME_CHARS];
    Condition condition;
    bool everRead;              // lastGood holds a reading
    PrinterReading lastGood;    // the last reading with every record
    PrinterReading latest;      // the last reading, good or not (valid unless NOT_READ)
    BinState bins[PAPER_BINS];  // as of lastGood
};

enum AlertKind { ALERT_BIN_EMPTY, ALERT_NOT_ANSWERING, ALERT_FAILED };

// One change worth telling the user about.
struct Alert {
    AlertKind kind;
    int printer;
    int bin;  // ALERT_BIN_EMPTY: the bin's index
    Condition condition;
};

// The most alerts one reading can raise: every bin, or one failure.
constexpr int MAX_ALERTS_PER_READING = PAPER_BINS;

// A view of a printer that has not been read.
void StartView(PrinterView* view, const wchar_t* name);

// The condition a reading puts its printer in.
Condition ConditionOf(const PrinterReading& reading);

// Level 0 is empty, a level at or below `low` is low.
BinState BinStateOf(uint32_t level, uint32_t low);

// Applies a reading to its printer's view and writes the alerts it raises
// into `alerts` (MAX_ALERTS_PER_READING); returns how many. A bin alerts
// when it becomes empty, a printer when it enters a failing condition:
// once per change, never again while it stays so.
int ApplyReading(PrinterView* view, const PrinterReading& reading, uint32_t low, Alert* alerts);

// True when a printer needs attention: it fails, or a bin is empty.
bool NeedsAttention(const PrinterView& view);
