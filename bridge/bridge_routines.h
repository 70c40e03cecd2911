// Operations of the monitor bridge shared between its procedures.
#pragma once

#include <windows.h>

// The verdict on the last command for `printerName` (the client printer
// name): 1 when its failure flag in the Monitors key is zero, absent or
// unreadable, 0 when it holds a non-zero value of at most 4 bytes.
DWORD ReadPrinterFailureFlag(const wchar_t* printerName);

// True when `printerName` is at most 259 characters, the longest local
// printer name. RpcDeviceRequest refuses longer names before anything is
// sent: it resolves the name into a buffer of that size. The other
// procedures take names of any length.
bool PrinterNameFits(const wchar_t* printerName);

// True when an input size and an output size both lie within the
// 32768-byte arrays; requests with other sizes are refused.
bool RequestSizesValid(long cbInData, long cbOutData);
