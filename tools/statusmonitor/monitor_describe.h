// The words the window shows for a printer's state: from the string
// table, with the state records of monitor_state.h.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "monitor_state.h"

// How the monitor reaches the server, for the messages that say why a
// printer could not be read.
struct ServerWhere {
    const wchar_t* host;     // --server, or null
    const wchar_t* binding;  // --binding, or null
    DWORD timeoutSeconds;
};

// The paper size of a Windows paper code ("A4"), or the code itself.
void PaperName(uint32_t code, wchar_t* out, size_t chars);

// A bin's label: "Bin 3 (Manual)", or "Bin 3" while it is not known.
void BinLabelText(const PrinterView& view, int bin, wchar_t* out, size_t chars);

// A bin's paper and level: "A5, 148 x 210 mm, empty"; a dash unread.
void BinValueText(const PrinterView& view, int bin, uint32_t low, wchar_t* out, size_t chars);

// The three configuration lines: duplex, cassettes, firmware.
void DuplexText(const PrinterView& view, wchar_t* out, size_t chars);
void CassettesText(const PrinterView& view, wchar_t* out, size_t chars);
void FirmwareText(const PrinterView& view, wchar_t* out, size_t chars);

// A printer's state in a few words: "ready", "bin 3 empty, bin 2 low",
// "not answering".
void ShortStateText(const PrinterView& view, wchar_t* out, size_t chars);

// Every printer's state as "name: state", one after the other with
// `separator` between, for the status bar and the notification icon's
// tooltip.
void SummaryText(const PrinterView* views, int count, const wchar_t* separator, wchar_t* out,
                 size_t chars);

// Why a reading failed, in a sentence.
void FailureText(const PrinterReading& reading, const ServerWhere& where, wchar_t* out,
                 size_t chars);

// When the printer was last read, or why it could not be.
void LastReadText(const PrinterView& view, const ServerWhere& where, wchar_t* out, size_t chars);

// The line of an alert: "Office Color 7: bin 3 is empty."
void AlertText(const Alert& alert, const PrinterView& view, wchar_t* out, size_t chars);
