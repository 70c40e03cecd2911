// The four messages of the server and how MonitorSim answers them.
#include "monitor_messages.h"

#include "devicerpc_contract.h"
#include "exit_codes.h"
#include "object_names.h"
#include "payload_layout.h"
#include "printer_names.h"
#include "reply_records.h"
#include "tool_common.h"

namespace {

const DWORD MUTEX_WAIT_MS = 10000;

// The printer names of one block: as the client gave it (any length, on
// the heap) and as the server's name resolution turns it into the key of
// the printer's data (empty when the name is too long to resolve).
struct BlockNames {
    wchar_t* client;
    wchar_t local[NAME_BUFFER_CHARS];
};

// Copies the block's UTF-16LE name (possibly at an odd offset) and
// resolves it exactly as the server does: the spooler's name of a printer
// served by the language monitor, or else the client name itself. Names
// of 260 characters or more resolve to nothing: no printer of ours has
// one, and the server's data keys cannot hold one. False only when the
// copy cannot be allocated.
bool ReadBlockNames(const uint8_t* name, uint32_t nameLength, BlockNames* names) {
    ZeroMemory(names, sizeof(*names));
    const SIZE_T bytes = (static_cast<SIZE_T>(nameLength) + 1) * sizeof(wchar_t);
    names->client = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
    if (!names->client) return false;
    for (uint32_t i = 0; i < nameLength; ++i)
        names->client[i] = static_cast<wchar_t>(GetLittleEndian16(name + 2 * i));
    if (nameLength >= NAME_BUFFER_CHARS) return true;
    if (!ResolveLocalPrinterName(names->client, names->local)) lstrcpyW(names->local, names->client);
    return true;
}

void FreeBlockNames(BlockNames* names) {
    if (names->client) HeapFree(GetProcessHeap(), 0, names->client);
    names->client = nullptr;
}

// Appends "code=C cbData=N data=HEX" and a line break to the log in one
// write, so that a test reading the file never sees half a line.
void LogMessage(SimState* state, const COPYDATASTRUCT* message) {
    if (state->log == INVALID_HANDLE_VALUE) return;
    const DWORD cbData = message->cbData;
    const SIZE_T capacity = 64 + 2 * static_cast<SIZE_T>(cbData) + 2;
    char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
    if (!line) return;
    SIZE_T length = static_cast<SIZE_T>(wsprintfA(line, "code=%I64u cbData=%lu data=",
                                                  static_cast<ULONG64>(message->dwData),
                                                  static_cast<unsigned long>(cbData)));
    const BYTE* bytes = static_cast<const BYTE*>(message->lpData);
    static const char kHex[] = "0123456789abcdef";
    for (DWORD i = 0; bytes && i < cbData; ++i) {
        line[length++] = kHex[bytes[i] >> 4];
        line[length++] = kHex[bytes[i] & 15];
    }
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(state->log, line, static_cast<DWORD>(length), &written, nullptr);
    HeapFree(GetProcessHeap(), 0, line);
}

// Takes the device request mutex, holds it `holdMs` ms and ends the
// process without releasing it: whoever waits for it then finds it
// abandoned.
void DieHoldingMutex(DWORD holdMs) {
    wchar_t name[OBJECT_NAME_CHARS];
    MachineWideObjectName(REPLY_MUTEX_NAME, name);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        PrintErr(L"MonitorSim: cannot open mutex %ls: error %lu\n", name, GetLastError());
        return;
    }
    DWORD wait = WaitForSingleObject(mutex, MUTEX_WAIT_MS);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        PrintErr(L"MonitorSim: mutex %ls not acquired within %lu ms; answering normally\n", name,
                 MUTEX_WAIT_MS);
        CloseHandle(mutex);
        return;
    }
    if (holdMs) Sleep(holdMs);
    PrintErr(L"MonitorSim: exiting while holding %ls\n", name);
    ExitProcess(EXIT_FAULT);
}

// Applies the deliberate deaths that the options ask for on this code.
void DieIfAsked(const SimOptions* options, DWORD code) {
    if (options->dieInMessage && (!options->dieCodeGiven || options->dieCode == code)) {
        PrintErr(L"MonitorSim: exiting in message %lu\n", code);
        ExitProcess(EXIT_FAULT);
    }
    if (options->dieHoldingMutex && options->dieMutexCode == code) DieHoldingMutex(options->mutexHoldMs);
}

// Reads a block's printer names; reports the block on standard error and
// returns false when its name cannot be copied.
bool ReadNamesOrReport(const COPYDATASTRUCT* message, const uint8_t* name, uint32_t nameLength,
                       BlockNames* names) {
    if (ReadBlockNames(name, nameLength, names)) return true;
    PrintErr(L"MonitorSim: message %lu: no memory for a printer name of %lu characters\n",
             static_cast<unsigned long>(message->dwData), static_cast<unsigned long>(nameLength));
    return false;
}

// Parses a RequestBlock and its names; false after reporting when the
// block is malformed.
bool ReadRequest(const COPYDATASTRUCT* message, RequestBlockView* view, BlockNames* names) {
    if (!ParseRequestBlock(static_cast<const uint8_t*>(message->lpData), message->cbData, view)) {
        PrintErr(L"MonitorSim: message %lu: malformed request block (%lu bytes)\n",
                 static_cast<unsigned long>(message->dwData), message->cbData);
        return false;
    }
    return ReadNamesOrReport(message, view->name, view->nameLength, names);
}

// The verdict on one command goes into the failure flag named by the
// client printer name, before the window procedure returns; the server
// reads it right after.
void AnswerCommand(SimState* state, const CommandBlockView* view, const BlockNames* names) {
    const VirtualPrinter* printer = FindPrinter(state->model, names->client, names->local);
    // A printer MonitorSim does not have cannot carry out a command.
    Verdict verdict = printer ? VerdictForCommand(printer, view->dwCommand, view->dwParam) : VERDICT_FAIL;
    if (state->options.alwaysFail) verdict = VERDICT_FAIL;
    if (state->options.leaveFlag) verdict = VERDICT_LEAVE;
    if (verdict == VERDICT_LEAVE) return;
    // No registry value can bear a longer name, so there is no flag to
    // write; the server, which cannot read one either, counts that as done.
    if (DWORD(lstrlenW(names->client)) > MAX_VALUE_NAME_CHARS) return;
    if (!WriteFailureFlag(names->client, verdict == VERDICT_FAIL ? 1 : 0))
        PrintErr(L"MonitorSim: cannot write the failure flag of \"%ls\"\n", names->client);
}

// MONMSG_COMMAND and MONMSG_COMMAND2.
BOOL HandleCommand(SimState* state, const COPYDATASTRUCT* message) {
    CommandBlockView view = {};
    BlockNames names = {};
    if (!ParseCommandBlock(static_cast<const uint8_t*>(message->lpData), message->cbData, &view)) {
        PrintErr(L"MonitorSim: message %lu: malformed command block (%lu bytes)\n",
                 static_cast<unsigned long>(message->dwData), message->cbData);
        return TRUE;
    }
    if (ReadNamesOrReport(message, view.name, view.nameLength, &names)) AnswerCommand(state, &view, &names);
    FreeBlockNames(&names);
    return TRUE;
}

// The data and then the handshake flag of one registry-reply request go
// into the registry under the resolved local printer name.
void AnswerDeviceRequest(SimState* state, const RequestBlockView* view, const BlockNames* names) {
    VirtualPrinter* printer = FindPrinter(state->model, names->client, names->local);
    // Without a printer (or a name the data keys can hold) the flag stays
    // as the server cleared it: failure.
    if (!printer || !names->local[0]) return;
    // The server picks the flash item by the first byte of the caller's
    // array, which a block without input does not carry: any item stored
    // now could be the wrong one, so the request fails instead.
    if (NeedsSelectorByte(view->dwRequestCode) && view->inputSize == 0) return;
    DWORD selector = SelectorByte(view->input, view->inputSize);
    const StoreFaults* faults = &state->options.store;
    if (IsWriteRequest(view->dwRequestCode)) {
        if (ApplyWriteRequest(printer, view->dwRequestCode, view->input, view->inputSize) &&
            !SetWrittenFlag(view->dwRequestCode, selector, names->local, faults))
            PrintErr(L"MonitorSim: cannot set \"Written\" for \"%ls\"\n", names->local);
        return;
    }
    // Unknown codes are left alone: the server expects no flag for them.
    StoreAcquireData(printer, view->dwRequestCode, selector, names->local, faults);
}

// MONMSG_DEVICE_REQUEST.
BOOL HandleDeviceRequest(SimState* state, const COPYDATASTRUCT* message) {
    RequestBlockView view = {};
    BlockNames names = {};
    if (ReadRequest(message, &view, &names)) AnswerDeviceRequest(state, &view, &names);
    FreeBlockNames(&names);
    return TRUE;
}

// The reply of one mapped request before the fault options bend it.
struct MappedReply {
    DWORD dwSuccess;
    DWORD dwErrorCode;
    DWORD dwRequestCode;
    DWORD dwDataSize;
    BYTE data[REPLY_RECORD_MAX];
};

void ComposeMappedReply(VirtualPrinter* printer, const RequestBlockView* view, MappedReply* reply) {
    ZeroMemory(reply, sizeof(*reply));
    reply->dwRequestCode = static_cast<DWORD>(view->dwRequestCode);
    if (!printer) {
        reply->dwErrorCode = ERROR_INVALID_PRINTER_NAME;
        return;
    }
    // Without the selector byte no flash item is sure to be the one the
    // caller asked for; nor is a counter here, since this reply carries one
    // counter and the server does not pick it from the caller's array.
    bool needsSelector =
        NeedsSelectorByte(view->dwRequestCode) || view->dwRequestCode == DEVREQ_COUNTER;
    if (needsSelector && view->inputSize == 0) {
        reply->dwErrorCode = ERROR_INVALID_PARAMETER;
        return;
    }
    if (IsWriteRequest(view->dwRequestCode)) {
        if (ApplyWriteRequest(printer, view->dwRequestCode, view->input, view->inputSize))
            reply->dwSuccess = 1;
        else
            reply->dwErrorCode = ERROR_INVALID_PARAMETER;
        return;
    }
    DWORD selector = SelectorByte(view->input, view->inputSize);
    switch (BuildReplyRecord(printer, view->dwRequestCode, selector, reply->data, &reply->dwDataSize)) {
    case OUTCOME_DONE: reply->dwSuccess = 1; break;
    case OUTCOME_FAILED: reply->dwErrorCode = ERROR_NOT_FOUND; break;
    case OUTCOME_UNKNOWN_CODE: reply->dwErrorCode = ERROR_NOT_SUPPORTED; break;
    }
}

// Writes the whole MappedReplyBlock, so that nothing of an earlier reply
// survives behind a shorter one.
void WriteMappedReply(BYTE* view, const MappedReply* reply, DWORD reserved) {
    ZeroMemory(view, MAPPED_REPLY_SIZE);
    PutLittleEndian32(view + MAPPED_RESERVED_OFFSET, reserved);
    PutLittleEndian32(view + MAPPED_SUCCESS_OFFSET, reply->dwSuccess);
    PutLittleEndian32(view + MAPPED_ERROR_OFFSET, reply->dwErrorCode);
    PutLittleEndian32(view + MAPPED_ECHO_OFFSET, reply->dwRequestCode);
    CopyMemory(view + MAPPED_DATA_OFFSET, reply->data, sizeof(reply->data));
    PutLittleEndian32(view + MAPPED_DATA_SIZE_OFFSET, reply->dwDataSize);
}

// Writes one reply into the mapping the server created before sending,
// through the held handle when there is one.
void WriteReplyToMapping(SimState* state, const MappedReply* reply) {
    HANDLE mapping = state->heldMapping;
    if (!mapping) {
        wchar_t name[OBJECT_NAME_CHARS];
        MachineWideObjectName(REPLY_MAPPING_NAME, name);
        mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
        if (!mapping) {
            PrintErr(L"MonitorSim: cannot open the reply mapping %ls: error %lu\n", name, GetLastError());
            return;
        }
    }
    BYTE* block = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, MAPPED_REPLY_SIZE));
    if (block) {
        WriteMappedReply(block, reply, ++state->mappedReplies);
        UnmapViewOfFile(block);
    } else {
        PrintErr(L"MonitorSim: cannot map the reply mapping: error %lu\n", GetLastError());
    }
    if (state->options.holdMapping)
        state->heldMapping = mapping;
    else
        CloseHandle(mapping);
}

// Composes the reply of one mapped request and bends it as the fault
// options ask.
void AnswerMappedRequest(SimState* state, const RequestBlockView* view, const BlockNames* names) {
    MappedReply reply;
    ComposeMappedReply(FindPrinter(state->model, names->client, names->local), view, &reply);
    const SimOptions* options = &state->options;
    if (options->hasEcho) reply.dwRequestCode = static_cast<DWORD>(options->echo);
    if (options->mappedFail) {
        reply.dwSuccess = 0;
        reply.dwErrorCode = options->mappedError;
    }
    if (options->hasMappedSize) reply.dwDataSize = options->mappedSize;
    WriteReplyToMapping(state, &reply);
}

// MONMSG_DEVICE_REQUEST_MAPPED: the reply goes into the mapping, for a
// printer name of any length. The server holds the device request mutex
// for the whole exchange, so MonitorSim must not wait for it here.
BOOL HandleMappedRequest(SimState* state, const COPYDATASTRUCT* message) {
    RequestBlockView view = {};
    BlockNames names = {};
    // A language monitor that handles the message but writes nothing: the
    // mapping keeps whatever it held before.
    if (ReadRequest(message, &view, &names) && !state->options.mappedNoReply)
        AnswerMappedRequest(state, &view, &names);
    FreeBlockNames(&names);
    return TRUE;
}

}  // namespace

bool OpenMessageLog(SimState* state, const wchar_t* path) {
    state->log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return state->log != INVALID_HANDLE_VALUE;
}

BOOL HandleCopyData(SimState* state, const COPYDATASTRUCT* message) {
    DWORD code = static_cast<DWORD>(message->dwData);
    LogMessage(state, message);
    if (state->options.delayMs) Sleep(state->options.delayMs);
    DieIfAsked(&state->options, code);
    switch (code) {
    case MONMSG_COMMAND:
    case MONMSG_COMMAND2: return HandleCommand(state, message);
    case MONMSG_DEVICE_REQUEST: return HandleDeviceRequest(state, message);
    case MONMSG_DEVICE_REQUEST_MAPPED: return HandleMappedRequest(state, message);
    default: return FALSE;
    }
}
