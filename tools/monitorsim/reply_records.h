// The reply records of the device requests, built straight from a virtual
// printer: the bytes the server assembles from the registry for a request,
// and what MonitorSim puts into the Data of a mapped reply.
#pragma once

#include <windows.h>

#include "printer_model.h"

// Longest record: the flash item behind its 4-byte identifier.
constexpr DWORD REPLY_RECORD_MAX = FLASH_ID_SIZE + FLASH_DATA_MAX;

enum RequestOutcome {
    OUTCOME_DONE,          // data stored or record built, write carried out
    OUTCOME_FAILED,        // the printer cannot answer this request
    OUTCOME_UNKNOWN_CODE,  // not a request code MonitorSim knows
};

// True for DEVREQ_BIN_INFO_WRITE and DEVREQ_FLASH_DATA_WRITE.
bool IsWriteRequest(LONG request);

// True for DEVREQ_FLASH_DATA and DEVREQ_FLASH_DATA_WRITE, whose item the
// selector byte picks: without an input byte they cannot be answered.
bool NeedsSelectorByte(LONG request);

// The selector byte: the first input byte, 0 when the block carries none.
DWORD SelectorByte(const BYTE* input, DWORD inputSize);

// Builds the reply record of acquire request `request` into `record`
// (REPLY_RECORD_MAX bytes, zero-filled here) and its length. Write
// requests and the other flash selectors yield an empty record. Does not
// carry out writes.
RequestOutcome BuildReplyRecord(const VirtualPrinter* printer, LONG request, DWORD selector,
                                BYTE* record, DWORD* length);
