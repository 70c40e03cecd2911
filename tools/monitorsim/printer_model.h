// The virtual printers MonitorSim answers for: plain records filled from
// description files, the lookup of the printer a block names, and the
// changes that write requests make to a printer.
#pragma once

#include <windows.h>

#include "devicerpc_contract.h"
#include "reply_assembly.h"

constexpr int MAX_PRINTERS = 16;
constexpr int MAX_FLASH_ITEMS = 16;
constexpr int MAX_VERDICTS = 64;
// The largest flash item a description may hold: the item behind its
// identifier must fit the server's fixed reply buffer.
constexpr DWORD FLASH_DATA_MAX = REPLY_BUFFER_SIZE - FLASH_ID_SIZE;
// Driver names longer than this do not fit the server's driver key path.
constexpr DWORD DRIVER_NAME_CHARS =
    NAME_BUFFER_CHARS - (sizeof(DRIVERS_KEY_PREFIX) / sizeof(wchar_t) - 1);

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
    DWORD selector;  // the request's selector byte, never SELECTOR_SERVICE_SETTINGS
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
    wchar_t name[NAME_BUFFER_CHARS];
    wchar_t share[NAME_BUFFER_CHARS];  // empty: not shared
    wchar_t driver[DRIVER_NAME_CHARS];
    DWORD dwDuplex;
    DWORD dwNumCassette;
    DWORD dwFirmVersion;
    BinRecord bins[REPLY_BIN_COUNT];
    BYTE calibration[CALIBRATION_SIZE];
    DWORD counters[COUNTER_COUNT];  // in the order of COUNTER_SELECTORS
    FlashItem flash[MAX_FLASH_ITEMS];
    int flashCount;
    BYTE serviceSettings[SERVICE_SETTINGS_SIZE];
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

// Writes "source:line: message detail" ("source: message detail" when
// `line` is 0) into `error` (`errorChars` chars); `detail` may be null.
void FormatDescriptionError(wchar_t* error, DWORD errorChars, const wchar_t* source, int line,
                            const wchar_t* message, const wchar_t* detail);

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

// The flash item of `selector` to write: the stored one, else a new
// zero-filled one; null when the printer has no room for another.
FlashItem* FlashItemForWrite(VirtualPrinter* printer, DWORD selector);

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
