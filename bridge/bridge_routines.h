// Operations of the monitor bridge shared between its procedures.
#pragma once

#include <windows.h>

// The verdict on the last command for `printerName` (the client printer
// name): 1 when its failure flag in the Monitors key is zero, absent or
// unreadable, 0 when it holds a non-zero value of at most 4 bytes.
DWORD ReadPrinterFailureFlag(const wchar_t* printerName);
