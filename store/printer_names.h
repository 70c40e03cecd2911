// Mapping a client printer name to the local printer name of a printer
// served by the language monitor, over the spooler's registry layout.
#pragma once

#include <windows.h>

// Walks the spooler's printers in enumeration order and copies the "Name"
// of the first one that qualifies (not pending deletion, its driver names
// MONITOR_NAME exactly) and whose share name (when shared) or name equals
// `clientName` without regard to case into `localName` (260 chars). False,
// with `localName` untouched, when none matches.
bool ResolveLocalPrinterName(const wchar_t* clientName, wchar_t* localName);
