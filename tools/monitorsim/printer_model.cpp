// Virtual printers: the description file format, the printer lookup and
// the write requests.
//
// A description is line-based UTF-8 text. Blank lines and lines starting
// with '#' or ';' are ignored. "[printer]" opens a printer; the lines after
// it are "key = value" (keys without regard to case):
//
//   name = TEXT                 required, unique; may contain backslashes
//   share = TEXT                share name (default: none)
//   driver = TEXT               driver named in the spooler entries
//   duplex, cassettes, firmware = NUMBER
//   bin.0 .. bin.2 = SOURCE SIZE WIDTH HEIGHT LEVEL
//   calibration = HEX           up to 60 bytes, zero-filled behind
//   counter.mono|color|black|cyan|magenta|yellow|io = NUMBER
//   flash.SELECTOR.id = NUMBER  flash item of a selector byte (not 12)
//   flash.SELECTOR.data = HEX   up to 256 bytes
//   service = HEX               service settings, up to 18 bytes
//   command.default | command.CMD | command.CMD.PARAM = ok|fail|leave
//
// NUMBER is decimal or 0x-hexadecimal (a leading '-' allowed); HEX is byte
// pairs, optionally separated by blanks, ':' or '-'.
#include "printer_model.h"

#include <cwchar>

#include "devicerpc_contract.h"
#include "tool_common.h"

namespace {

const DWORD MAX_DESCRIPTION_BYTES = 1024 * 1024;
const DWORD LINE_CHARS = 4096;
const wchar_t DEFAULT_DRIVER[] = L"ZOLT7 Reference Driver";

const wchar_t kUnknownKey[] = L"unknown key: ";

const wchar_t* const kCounterKeys[COUNTER_COUNT] = {
    L"counter.mono", L"counter.color", L"counter.black", L"counter.cyan",
    L"counter.magenta", L"counter.yellow", L"counter.io",
};

// Writes "source:line: message" into the caller's error buffer.
void SetError(wchar_t* error, DWORD errorChars, const wchar_t* source, int line,
              const wchar_t* message, const wchar_t* detail) {
    if (!error || errorChars == 0) return;
    if (line > 0)
        _snwprintf(error, errorChars, L"%ls:%d: %ls%ls", source, line, message, detail ? detail : L"");
    else
        _snwprintf(error, errorChars, L"%ls: %ls%ls", source, message, detail ? detail : L"");
    error[errorChars - 1] = 0;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; }

// Strips blanks at both ends, in place.
wchar_t* Trim(wchar_t* text) {
    while (IsBlank(*text)) ++text;
    size_t length = wcslen(text);
    while (length > 0 && IsBlank(text[length - 1])) text[--length] = 0;
    return text;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Parses byte pairs into `bytes`; false on a stray digit, a foreign
// character or more than `capacity` bytes.
bool ParseHexBytes(const wchar_t* text, BYTE* bytes, DWORD capacity, DWORD* count) {
    *count = 0;
    while (*text) {
        if (IsBlank(*text) || *text == L':' || *text == L'-') {
            ++text;
            continue;
        }
        int high = HexDigit(text[0]);
        int low = high >= 0 ? HexDigit(text[1]) : -1;
        if (low < 0 || *count >= capacity) return false;
        bytes[(*count)++] = static_cast<BYTE>(high * 16 + low);
        text += 2;
    }
    return true;
}

bool ParseNumber(const wchar_t* text, DWORD* value) {
    long parsed = 0;
    if (!ParseLong(text, &parsed)) return false;
    *value = static_cast<DWORD>(parsed);
    return true;
}

// Parses exactly `count` numbers separated by blanks or commas.
bool ParseNumberList(const wchar_t* text, DWORD* values, int count) {
    int parsed = 0;
    while (*text) {
        if (IsBlank(*text) || *text == L',') {
            ++text;
            continue;
        }
        wchar_t token[32] = {};
        size_t length = 0;
        while (text[length] && !IsBlank(text[length]) && text[length] != L',') ++length;
        if (length >= 32 || parsed >= count) return false;
        wmemcpy(token, text, length);
        if (!ParseNumber(token, &values[parsed++])) return false;
        text += length;
    }
    return parsed == count;
}

bool ParseVerdict(const wchar_t* text, Verdict* verdict) {
    if (lstrcmpiW(text, L"ok") == 0) *verdict = VERDICT_OK;
    else if (lstrcmpiW(text, L"fail") == 0) *verdict = VERDICT_FAIL;
    else if (lstrcmpiW(text, L"leave") == 0) *verdict = VERDICT_LEAVE;
    else return false;
    return true;
}

// Splits "a.b" at its first dot: `head` gets "a" (at most `headChars`-1
// chars) and the result points at "b", or at the terminator without a dot.
const wchar_t* SplitAtDot(const wchar_t* text, wchar_t* head, size_t headChars) {
    const wchar_t* dot = wcschr(text, L'.');
    size_t length = dot ? static_cast<size_t>(dot - text) : wcslen(text);
    if (length >= headChars) length = headChars - 1;
    wmemcpy(head, text, length);
    head[length] = 0;
    return dot ? dot + 1 : text + wcslen(text);
}

FlashItem* FlashItemForWrite(VirtualPrinter* printer, DWORD selector) {
    for (int i = 0; i < printer->flashCount; ++i)
        if (printer->flash[i].selector == selector) return &printer->flash[i];
    if (printer->flashCount >= MAX_FLASH_ITEMS) return nullptr;
    FlashItem* item = &printer->flash[printer->flashCount++];
    ZeroMemory(item, sizeof(*item));
    item->selector = selector;
    return item;
}

// Handles "command.default", "command.CMD" and "command.CMD.PARAM".
const wchar_t* ApplyCommandKey(VirtualPrinter* printer, const wchar_t* rest, const wchar_t* value) {
    Verdict verdict;
    if (!ParseVerdict(value, &verdict)) return L"verdict must be ok, fail or leave";
    if (lstrcmpiW(rest, L"default") == 0) {
        printer->defaultVerdict = verdict;
        return nullptr;
    }
    wchar_t commandText[32];
    const wchar_t* paramText = SplitAtDot(rest, commandText, 32);
    CommandVerdict entry = {};
    entry.verdict = verdict;
    long number = 0;
    if (!ParseLong(commandText, &number)) return L"command key needs a number: command.CMD[.PARAM]";
    entry.dwCommand = number;
    if (*paramText) {
        if (!ParseLong(paramText, &number)) return L"command key needs a number: command.CMD[.PARAM]";
        entry.hasParam = true;
        entry.dwParam = number;
    }
    for (int i = 0; i < printer->verdictCount; ++i) {
        CommandVerdict* old = &printer->verdicts[i];
        if (old->dwCommand == entry.dwCommand && old->hasParam == entry.hasParam &&
            (!entry.hasParam || old->dwParam == entry.dwParam)) {
            *old = entry;  // a later line wins
            return nullptr;
        }
    }
    if (printer->verdictCount >= MAX_VERDICTS) return L"too many command verdicts";
    printer->verdicts[printer->verdictCount++] = entry;
    return nullptr;
}

// Handles "flash.SELECTOR.id" and "flash.SELECTOR.data".
const wchar_t* ApplyFlashKey(VirtualPrinter* printer, const wchar_t* rest, const wchar_t* value) {
    wchar_t selectorText[32];
    const wchar_t* field = SplitAtDot(rest, selectorText, 32);
    DWORD selector = 0;
    if (!ParseNumber(selectorText, &selector) || selector > 255)
        return L"flash key needs a selector byte 0-255: flash.SELECTOR.id|data";
    if (selector == SELECTOR_SERVICE_SETTINGS)
        return L"selector 12 means the service settings; use \"service =\"";
    FlashItem* item = FlashItemForWrite(printer, selector);
    if (!item) return L"too many flash items";
    if (lstrcmpiW(field, L"id") == 0) {
        if (!ParseNumber(value, &item->dwID)) return L"flash id must be a number";
    } else if (lstrcmpiW(field, L"data") == 0) {
        if (!ParseHexBytes(value, item->data, FLASH_DATA_MAX, &item->dwSize))
            return L"flash data must be at most 256 hex bytes";
    } else {
        return L"flash key must end in .id or .data";
    }
    return nullptr;
}

// Applies one "key = value" line to the printer; null on success, else
// what is wrong with it.
const wchar_t* ApplyKey(VirtualPrinter* printer, const wchar_t* key, const wchar_t* value) {
    DWORD count = 0;
    if (lstrcmpiW(key, L"name") == 0) {
        if (!*value || wcslen(value) >= 260) return L"name must have 1 to 259 characters";
        lstrcpyW(printer->name, value);
    } else if (lstrcmpiW(key, L"share") == 0) {
        if (wcslen(value) >= 260) return L"share name must have at most 259 characters";
        lstrcpyW(printer->share, value);
    } else if (lstrcmpiW(key, L"driver") == 0) {
        if (!*value || wcslen(value) >= DRIVER_NAME_CHARS) return L"driver must have 1 to 177 characters";
        lstrcpyW(printer->driver, value);
    } else if (lstrcmpiW(key, L"duplex") == 0) {
        if (!ParseNumber(value, &printer->dwDuplex)) return L"duplex must be a number";
    } else if (lstrcmpiW(key, L"cassettes") == 0) {
        if (!ParseNumber(value, &printer->dwNumCassette)) return L"cassettes must be a number";
    } else if (lstrcmpiW(key, L"firmware") == 0) {
        if (!ParseNumber(value, &printer->dwFirmVersion)) return L"firmware must be a number";
    } else if (_wcsnicmp(key, L"bin.", 4) == 0) {
        DWORD index = 0;
        if (!ParseNumber(key + 4, &index) || index >= PAPER_BIN_COUNT) return L"bin key must be bin.0, bin.1 or bin.2";
        DWORD fields[5] = {};
        if (!ParseNumberList(value, fields, 5))
            return L"bin needs five numbers: source size width height level";
        BinRecord* bin = &printer->bins[index];
        bin->dwPaperSource = fields[0];
        bin->dwPaperSize = fields[1];
        bin->dwPaperWidth = fields[2];
        bin->dwPaperHeight = fields[3];
        bin->dwPaperLevel = fields[4];
    } else if (lstrcmpiW(key, L"calibration") == 0) {
        ZeroMemory(printer->calibration, CALIBRATION_BYTES);
        if (!ParseHexBytes(value, printer->calibration, CALIBRATION_BYTES, &count))
            return L"calibration must be at most 60 hex bytes";
    } else if (lstrcmpiW(key, L"service") == 0) {
        ZeroMemory(printer->serviceSettings, SERVICE_SETTINGS_BYTES);
        if (!ParseHexBytes(value, printer->serviceSettings, SERVICE_SETTINGS_BYTES, &count))
            return L"service must be at most 18 hex bytes";
    } else if (_wcsnicmp(key, L"counter.", 8) == 0) {
        for (uint32_t i = 0; i < COUNTER_COUNT; ++i) {
            if (lstrcmpiW(key, kCounterKeys[i]) == 0)
                return ParseNumber(value, &printer->counters[i]) ? nullptr : L"counter must be a number";
        }
        return L"counter must be mono, color, black, cyan, magenta, yellow or io";
    } else if (_wcsnicmp(key, L"flash.", 6) == 0) {
        return ApplyFlashKey(printer, key + 6, value);
    } else if (_wcsnicmp(key, L"command.", 8) == 0) {
        return ApplyCommandKey(printer, key + 8, value);
    } else {
        return kUnknownKey;
    }
    return nullptr;
}

// Checks a finished printer section; null when it is complete.
const wchar_t* CheckPrinter(const PrinterModel* model, int index) {
    const VirtualPrinter* printer = &model->printers[index];
    if (!printer->name[0]) return L"printer section without \"name =\"";
    for (int i = 0; i < index; ++i)
        if (lstrcmpiW(model->printers[i].name, printer->name) == 0) return L"duplicate printer name: ";
    return nullptr;
}

bool FinishPrinter(PrinterModel* model, int index, const wchar_t* source, int line,
                   wchar_t* error, DWORD errorChars) {
    if (index < 0) return true;
    const wchar_t* problem = CheckPrinter(model, index);
    if (!problem) return true;
    SetError(error, errorChars, source, line, problem, model->printers[index].name);
    return false;
}

}  // namespace

bool ParsePrinterDescription(const wchar_t* text, const wchar_t* sourceName,
                             PrinterModel* model, wchar_t* error, DWORD errorChars) {
    int current = -1;
    int sectionLine = 0;
    int lineNumber = 0;
    const wchar_t* cursor = text;
    while (*cursor) {
        ++lineNumber;
        const wchar_t* end = wcschr(cursor, L'\n');
        size_t length = end ? static_cast<size_t>(end - cursor) : wcslen(cursor);
        if (length >= LINE_CHARS) {
            SetError(error, errorChars, sourceName, lineNumber, L"line too long", nullptr);
            return false;
        }
        wchar_t buffer[LINE_CHARS];
        wmemcpy(buffer, cursor, length);
        buffer[length] = 0;
        cursor = end ? end + 1 : cursor + length;

        wchar_t* line = Trim(buffer);
        if (!*line || *line == L'#' || *line == L';') continue;
        if (*line == L'[') {
            if (lstrcmpiW(line, L"[printer]") != 0) {
                SetError(error, errorChars, sourceName, lineNumber, L"unknown section: ", line);
                return false;
            }
            if (!FinishPrinter(model, current, sourceName, sectionLine, error, errorChars))
                return false;
            if (model->count >= MAX_PRINTERS) {
                SetError(error, errorChars, sourceName, lineNumber, L"too many printers", nullptr);
                return false;
            }
            current = model->count++;
            sectionLine = lineNumber;
            VirtualPrinter* printer = &model->printers[current];
            ZeroMemory(printer, sizeof(*printer));
            lstrcpyW(printer->driver, DEFAULT_DRIVER);
            continue;
        }
        wchar_t* equals = wcschr(line, L'=');
        if (!equals) {
            SetError(error, errorChars, sourceName, lineNumber, L"expected \"key = value\": ", line);
            return false;
        }
        if (current < 0) {
            SetError(error, errorChars, sourceName, lineNumber, L"key before the first [printer]", nullptr);
            return false;
        }
        *equals = 0;
        wchar_t* key = Trim(line);
        wchar_t* value = Trim(equals + 1);
        const wchar_t* problem = ApplyKey(&model->printers[current], key, value);
        if (problem) {
            SetError(error, errorChars, sourceName, lineNumber, problem,
                     problem == kUnknownKey ? key : nullptr);
            return false;
        }
    }
    if (current < 0) {
        SetError(error, errorChars, sourceName, 0, L"no [printer] section", nullptr);
        return false;
    }
    return FinishPrinter(model, current, sourceName, sectionLine, error, errorChars);
}

bool LoadPrinterFile(const wchar_t* path, PrinterModel* model, wchar_t* error, DWORD errorChars) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        wchar_t reason[200];
        ErrorText(GetLastError(), reason, 200);
        SetError(error, errorChars, path, 0, L"cannot open: ", reason);
        return false;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > MAX_DESCRIPTION_BYTES) {
        CloseHandle(file);
        SetError(error, errorChars, path, 0, L"unreadable or larger than 1 MiB", nullptr);
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
        SetError(error, errorChars, path, 0, L"cannot read the file", nullptr);
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
            SetError(error, errorChars, path, 0, L"not valid UTF-8", nullptr);
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
        if (inputSize < 21 || input[0] >= PAPER_BIN_COUNT) return false;
        BinRecord* bin = &printer->bins[input[0]];
        DWORD* fields[5] = {&bin->dwPaperSource, &bin->dwPaperSize, &bin->dwPaperWidth,
                            &bin->dwPaperHeight, &bin->dwPaperLevel};
        for (int i = 0; i < 5; ++i) {
            const BYTE* p = input + 1 + 4 * i;
            *fields[i] = DWORD(p[0]) | (DWORD(p[1]) << 8) | (DWORD(p[2]) << 16) | (DWORD(p[3]) << 24);
        }
        return true;
    }
    if (request != DEVREQ_FLASH_DATA_WRITE) return false;
    DWORD selector = input[0];
    if (selector == SELECTOR_SERVICE_SETTINGS) {
        if (inputSize != 1 + SERVICE_SETTINGS_BYTES) return false;
        CopyMemory(printer->serviceSettings, input + 1, SERVICE_SETTINGS_BYTES);
        return true;
    }
    if (inputSize < 5 || inputSize - 5 > FLASH_DATA_MAX) return false;
    FlashItem* item = FlashItemForWrite(printer, selector);
    if (!item) return false;
    const BYTE* id = input + 1;
    item->dwID = DWORD(id[0]) | (DWORD(id[1]) << 8) | (DWORD(id[2]) << 16) | (DWORD(id[3]) << 24);
    item->dwSize = inputSize - 5;
    ZeroMemory(item->data, FLASH_DATA_MAX);
    CopyMemory(item->data, input + 5, item->dwSize);
    return true;
}
