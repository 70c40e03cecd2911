// Virtual printers: the printer lookup and the write requests.
#include "printer_model.h"

#include "tool_common.h"

namespace {

const DWORD MAX_DESCRIPTION_BYTES = 1024 * 1024;

}  // namespace

FlashItem* FlashItemForWrite(VirtualPrinter* printer, DWORD selector) {
    for (int i = 0; i < printer->flashCount; ++i)
        if (printer->flash[i].selector == selector) return &printer->flash[i];
    if (printer->flashCount >= MAX_FLASH_ITEMS) return nullptr;
    FlashItem* item = &printer->flash[printer->flashCount++];
    ZeroMemory(item, sizeof(*item));
    item->selector = selector;
    return item;
}

VirtualPrinter* FindPrinter(PrinterModel* model, const wchar_t* clientName, const wchar_t* localName) {
    for (int i = 0; i < model->count; ++i)
        if (lstrcmpiW(model->printers[i].name, localName) == 0) return &model->printers[i];
    // Without spooler entries the resolved name is the client name, which
    // may still be this printer's share name.
    for (int i = 0; i < model->count; ++i) {
        VirtualPrinter* printer = &model->printers[i];
        if (lstrcmpiW(printer->name, clientName) == 0) return printer;
        if (printer->share[0] && lstrcmpiW(printer->share, clientName) == 0) return printer;
    }
    return nullptr;
}

Verdict VerdictForCommand(const VirtualPrinter* printer, LONG dwCommand, LONG dwParam) {
    const CommandVerdict* commandOnly = nullptr;
    for (int i = 0; i < printer->verdictCount; ++i) {
        const CommandVerdict* entry = &printer->verdicts[i];
        if (entry->dwCommand != dwCommand) continue;
        if (entry->hasParam && entry->dwParam == dwParam) return entry->verdict;
        if (!entry->hasParam) commandOnly = entry;
    }
    return commandOnly ? commandOnly->verdict : printer->defaultVerdict;
}

const FlashItem* FindFlashItem(const VirtualPrinter* printer, DWORD selector) {
    for (int i = 0; i < printer->flashCount; ++i)
        if (printer->flash[i].selector == selector) return &printer->flash[i];
    return nullptr;
}

bool ApplyWriteRequest(VirtualPrinter* printer, LONG request, const BYTE* input, DWORD inputSize) {
    if (inputSize == 0) return false;
    if (request == DEVREQ_BIN_INFO_WRITE) {
        if (inputSize < 21 || input[0] >= REPLY_BIN_COUNT) return false;
        BinRecord* bin = &printer->bins[input[0]];
        DWORD* fields[5] = {&bin->dwPaperSource, &bin->dwPaperSize, &bin->dwPaperWidth,
                            &bin->dwPaperHeight, &bin->dwPaperLevel};
        for (int i = 0; i < 5; ++i) *fields[i] = GetLittleEndian32(input + 1 + 4 * i);
        return true;
    }
    if (request != DEVREQ_FLASH_DATA_WRITE) return false;
    DWORD selector = input[0];
    if (selector == SELECTOR_SERVICE_SETTINGS) {
        if (inputSize != 1 + SERVICE_SETTINGS_SIZE) return false;
        CopyMemory(printer->serviceSettings, input + 1, SERVICE_SETTINGS_SIZE);
        return true;
    }
    const DWORD headBytes = 1 + FLASH_ID_SIZE;  // the selector byte and the identifier
    if (inputSize < headBytes || inputSize - headBytes > FLASH_DATA_MAX) return false;
    FlashItem* item = FlashItemForWrite(printer, selector);
    if (!item) return false;
    item->dwID = GetLittleEndian32(input + 1);
    item->dwSize = inputSize - headBytes;
    ZeroMemory(item->data, FLASH_DATA_MAX);
    CopyMemory(item->data, input + headBytes, item->dwSize);
    return true;
}

bool LoadPrinterFile(const wchar_t* path, PrinterModel* model, wchar_t* error, DWORD errorChars) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        wchar_t reason[200];
        ErrorText(GetLastError(), reason, 200);
        FormatDescriptionError(error, errorChars, path, 0, L"cannot open: ", reason);
        return false;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > MAX_DESCRIPTION_BYTES) {
        CloseHandle(file);
        FormatDescriptionError(error, errorChars, path, 0, L"unreadable or larger than 1 MiB", nullptr);
        return false;
    }
    DWORD byteCount = static_cast<DWORD>(size.QuadPart);
    HANDLE heap = GetProcessHeap();
    char* bytes = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, byteCount + 1));
    wchar_t* text = static_cast<wchar_t*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, (byteCount + 1) * sizeof(wchar_t)));
    DWORD read = 0;
    bool ok = bytes && text && ReadFile(file, bytes, byteCount, &read, nullptr) && read == byteCount;
    CloseHandle(file);
    if (!ok) {
        FormatDescriptionError(error, errorChars, path, 0, L"cannot read the file", nullptr);
    } else {
        // A UTF-8 byte order mark is allowed and skipped.
        const char* start = bytes;
        int count = static_cast<int>(byteCount);
        if (count >= 3 && static_cast<BYTE>(start[0]) == 0xEF && static_cast<BYTE>(start[1]) == 0xBB &&
            static_cast<BYTE>(start[2]) == 0xBF) {
            start += 3;
            count -= 3;
        }
        int chars = count == 0 ? 0
                               : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, start, count,
                                                     text, static_cast<int>(byteCount));
        if (count != 0 && chars == 0) {
            FormatDescriptionError(error, errorChars, path, 0, L"not valid UTF-8", nullptr);
            ok = false;
        } else {
            text[chars] = 0;
            ok = ParsePrinterDescription(text, path, model, error, errorChars);
        }
    }
    if (bytes) HeapFree(heap, 0, bytes);
    if (text) HeapFree(heap, 0, text);
    return ok;
}

