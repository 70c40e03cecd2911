// The reader thread: rounds of reads over fresh sessions.
#include "monitor_reader.h"

namespace {

// True once the application is closing: no further call starts.
bool Stopping(const Reader& reader) {
    return WaitForSingleObject(reader.stop, 0) == WAIT_OBJECT_0;
}

// Opens the round's session. A session per round resolves the TCP
// endpoint again each time, so a server that restarted on another port
// is found; opening sends nothing otherwise.
DEVICERPC_STATUS OpenRoundSession(const ReaderSettings& s, DEVICERPC_SESSION** session,
                                  uint32_t* code) {
    if (s.binding)
        return DeviceRpcOpenSessionFromBinding(s.binding, DEVICERPC_OPEN_RESOLVE, s.timeoutMs,
                                               session, code);
    if (s.host)
        return DeviceRpcOpenSession(L"ncacn_ip_tcp", s.host, nullptr, DEVICERPC_OPEN_RESOLVE,
                                    s.timeoutMs, session, code);
    return DeviceRpcOpenSession(L"ncalrpc", nullptr, nullptr, 0, s.timeoutMs, session, code);
}

// Notes where a read stopped; false, so that callers return it.
bool Failed(PrinterReading* r, DEVICERPC_STATUS status, uint32_t code, ReadStep step) {
    r->status = status;
    r->code = code;
    r->step = step;
    return false;
}

// Reads a printer's records into `r`, stopping at the first failure (the
// rest would only wait on the same trouble) or when the application
// closes, whose partial reading Post drops. True when every record came.
bool ReadPrinter(const Reader& reader, DEVICERPC_SESSION* session, const wchar_t* printer,
                 PrinterReading* r) {
    uint32_t code = 0;
    DEVICERPC_STATUS status = DeviceRpcGetConfig(session, 0, printer, &r->config, &code);
    if (status != DEVICERPC_OK) return Failed(r, status, code, STEP_CONFIG);
    if (Stopping(reader)) return false;
    status = DeviceRpcGetBins(session, 0, printer, &r->bins, &code);
    if (status != DEVICERPC_OK) return Failed(r, status, code, STEP_BINS);
    for (int i = 0; i < PAGE_COUNTERS; ++i) {
        if (Stopping(reader)) return false;
        status = DeviceRpcGetCounter(session, 0, printer, COUNTER_ORDER[i], &r->counters[i], &code);
        if (status != DEVICERPC_OK) return Failed(r, status, code, STEP_COUNTERS);
    }
    r->status = DEVICERPC_OK;
    return true;
}

// Hands a reading to the window, which frees it; frees it here when the
// window is gone or the application is closing.
void Post(const Reader& reader, PrinterReading* reading) {
    GetLocalTime(&reading->at);
    if (Stopping(reader) ||
        !PostMessageW(reader.window, WM_MONITOR_READING, 0, reinterpret_cast<LPARAM>(reading)))
        FreeReading(reading);
}

// One round: every printer in list order, over one session.
void ReadRound(const Reader& reader) {
    const ReaderSettings& s = reader.settings;
    DEVICERPC_SESSION* session = nullptr;
    uint32_t openCode = 0;
    DEVICERPC_STATUS opened = OpenRoundSession(s, &session, &openCode);
    for (int i = 0; i < s.printerCount && !Stopping(reader); ++i) {
        void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PrinterReading));
        if (!block) break;
        PrinterReading* reading = static_cast<PrinterReading*>(block);
        reading->printer = i;
        if (opened == DEVICERPC_OK)
            ReadPrinter(reader, session, s.printers[i], reading);
        else
            Failed(reading, opened, openCode, STEP_SESSION);
        Post(reader, reading);
    }
    if (session) DeviceRpcCloseSession(session);
}

// Rounds until the application closes: one at once, then one after each
// interval or refresh request.
DWORD WINAPI ReaderThread(void* parameter) {
    Reader* reader = static_cast<Reader*>(parameter);
    HANDLE waits[] = {reader->stop, reader->refresh};
    for (;;) {
        ReadRound(*reader);
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, reader->settings.intervalMs);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return 0;
    }
}

}  // namespace

bool StartReader(Reader* reader, const ReaderSettings& settings, HWND window) {
    reader->settings = settings;
    reader->window = window;
    reader->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    reader->refresh = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!reader->stop || !reader->refresh) return false;
    reader->thread = CreateThread(nullptr, 0, ReaderThread, reader, 0, nullptr);
    return reader->thread != nullptr;
}

void RefreshNow(Reader* reader) {
    if (reader->refresh) SetEvent(reader->refresh);
}

void StopReader(Reader* reader, DWORD waitMs) {
    if (!reader->thread) return;
    SetEvent(reader->stop);
    if (WaitForSingleObject(reader->thread, waitMs) == WAIT_OBJECT_0) {
        CloseHandle(reader->thread);
        reader->thread = nullptr;
    }
}

void FreeReading(PrinterReading* reading) {
    if (reading) HeapFree(GetProcessHeap(), 0, reading);
}
