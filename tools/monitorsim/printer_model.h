// The virtual printers MonitorSim answers for: plain records filled from
// description files, the lookup of the printer a block names, and the
// changes that write requests make to a printer.
#pragma once

#include <windows.h>

#include "devicerpc_contract.h"

constexpr int MAX_PRINTERS = 16;
constexpr int MAX_FLASH_ITEMS = 16;
constexpr int MAX_VERDICTS = 64;
constexpr int PAPER_BIN_COUNT = 3;
constexpr DWORD CALIBRATION_BYTES = 60;
constexpr DWORD SERVICE_SETTINGS_BYTES = 18;
// The largest flash item a description may hold: the item and its 4-byte
// identifier must fit the server's 260-byte reply buffer.
constexpr DWORD FLASH_DATA_MAX = 256;
// Driver names longer than this do not fit the server's driver key path.
constexpr DWORD DRIVER_NAME_CHARS = 178;

// Counter slots, in the order of the counter.* keys and the registry values.
enum CounterSlot {
    COUNTER_MONO, COUNTER_COLOR, COUNTER_BLACK, COUNTER_CYAN,
    COUNTER_MAGENTA, COUNTER_YELLOW, COUNTER_IO
};

// What MonitorSim does with the printer failure flag after a command.
enum Verdict { VERDICT_OK, VERDICT_FAIL, VERDICT_LEAVE };

struct BinRecord {
    DWORD dwPaperSource;
    DWORD dwPaperSize;
    DWORD dwPaperWidth;
    DWORD dwPaperHeight;
    DWORD dwPaperLevel;
};

struct FlashItem {
    DWORD selector;  // the request's selector byte, never 12
    DWORD dwID;
    DWORD dwSize;    // valid bytes of `data`
    BYTE data[FLASH_DATA_MAX];
};

struct CommandVerdict {
    LONG dwCommand;
    bool hasParam;   // false: any dwParam
    LONG dwParam;
    Verdict verdict;
};

struct VirtualPrinter {
    wchar_t name[260];
    wchar_t share[260];              // empty: not shared
    wchar_t driver[DRIVER_NAME_CHARS];
    DWORD dwDuplex;
    DWORD dwNumCassette;
    DWORD dwFirmVersion;
    BinRecord bins[PAPER_BIN_COUNT];
    BYTE calibration[CALIBRATION_BYTES];
    DWORD counters[COUNTER_COUNT];
    FlashItem flash[MAX_FLASH_ITEMS];
    int flashCount;
    BYTE serviceSettings[SERVICE_SETTINGS_BYTES];
    CommandVerdict verdicts[MAX_VERDICTS];
    int verdictCount;
    Verdict defaultVerdict;
};

struct PrinterModel {
    VirtualPrinter printers[MAX_PRINTERS];
    int count;
};

// Parses description text (one or more [printer] sections) and appends its
// printers to `model`. On failure `error` (`errorChars` chars) says where
// and what, prefixed with `sourceName`, and `model` may hold part of it.
bool ParsePrinterDescription(const wchar_t* text, const wchar_t* sourceName,
                             PrinterModel* model, wchar_t* error, DWORD errorChars);

// Reads a UTF-8 description file and parses it as above.
bool LoadPrinterFile(const wchar_t* path, PrinterModel* model, wchar_t* error, DWORD errorChars);

// The printer a block means: the one whose name equals the resolved local
// name, else whose name or share name equals the client name, all without
// regard to case. Null when MonitorSim has no such printer.
VirtualPrinter* FindPrinter(PrinterModel* model, const wchar_t* clientName,
                            const wchar_t* localName);

// The verdict on (dwCommand, dwParam): the entry for both values, else the
// one for dwCommand alone, else the printer's default.
Verdict VerdictForCommand(const VirtualPrinter* printer, LONG dwCommand, LONG dwParam);

// The flash item stored for `selector`, or null.
const FlashItem* FindFlashItem(const VirtualPrinter* printer, DWORD selector);

// Carries out a write request on the printer from its input bytes; false
// when the input does not describe a valid write (nothing changes then).
//   DEVREQ_BIN_INFO_WRITE: bin index byte (0-2), then source, size, width,
//     height and level as five little-endian 32-bit numbers (21 bytes).
//   DEVREQ_FLASH_DATA_WRITE: selector byte 12 and exactly 18 bytes of
//     service settings; any other selector, a 4-byte identifier and 0 to
//     256 data bytes that replace (or add) that selector's flash item.
bool ApplyWriteRequest(VirtualPrinter* printer, LONG request, const BYTE* input, DWORD inputSize);
