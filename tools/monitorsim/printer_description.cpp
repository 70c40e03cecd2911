// Virtual printer descriptions: the file format and its parser.
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
#include <cwctype>

#include "devicerpc_contract.h"
#include "tool_common.h"

namespace {

const DWORD LINE_CHARS = 4096;
const wchar_t DEFAULT_DRIVER[] = L"ZOLT7 Reference Driver";

const wchar_t kUnknownKey[] = L"unknown key: ";

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

// "counter must be mono, color, ... or io", from the counters' names.
const wchar_t* CounterKeyProblem() {
    static wchar_t text[160];
    if (text[0]) return text;
    int length = wsprintfW(text, L"counter must be ");
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i) {
        const wchar_t* separator = i == 0 ? L"" : i + 1 == COUNTER_COUNT ? L" or " : L", ";
        length += wsprintfW(text + length, L"%ls%hs", separator, COUNTER_SELECTORS[i].name);
    }
    return text;
}

// True when `text` equals the ASCII `name` without regard to case.
bool EqualsName(const wchar_t* text, const char* name) {
    for (; *text && *name; ++text, ++name)
        if (towlower(*text) != towlower(static_cast<wchar_t>(*name))) return false;
    return *text == 0 && *name == 0;
}

// Handles "counter.NAME", NAME being a counter's name in the tools.
const wchar_t* ApplyCounterKey(VirtualPrinter* printer, const wchar_t* name, const wchar_t* value) {
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i) {
        if (EqualsName(name, COUNTER_SELECTORS[i].name))
            return ParseNumber(value, &printer->counters[i]) ? nullptr : L"counter must be a number";
    }
    return CounterKeyProblem();
}

// Handles "bin.INDEX = SOURCE SIZE WIDTH HEIGHT LEVEL".
const wchar_t* ApplyBinKey(VirtualPrinter* printer, const wchar_t* indexText, const wchar_t* value) {
    DWORD index = 0;
    if (!ParseNumber(indexText, &index) || index >= REPLY_BIN_COUNT)
        return L"bin key must be bin.0, bin.1 or bin.2";
    DWORD fields[5] = {};
    if (!ParseNumberList(value, fields, 5))
        return L"bin needs five numbers: source size width height level";
    BinRecord* bin = &printer->bins[index];
    bin->dwPaperSource = fields[0];
    bin->dwPaperSize = fields[1];
    bin->dwPaperWidth = fields[2];
    bin->dwPaperHeight = fields[3];
    bin->dwPaperLevel = fields[4];
    return nullptr;
}

// Handles the keys of names and plain numbers; kUnknownKey for the others.
const wchar_t* ApplyPlainKey(VirtualPrinter* printer, const wchar_t* key, const wchar_t* value) {
    if (lstrcmpiW(key, L"name") == 0) {
        if (!*value || wcslen(value) >= NAME_BUFFER_CHARS) return L"name must have 1 to 259 characters";
        lstrcpyW(printer->name, value);
    } else if (lstrcmpiW(key, L"share") == 0) {
        if (wcslen(value) >= NAME_BUFFER_CHARS) return L"share name must have at most 259 characters";
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
    } else {
        return kUnknownKey;
    }
    return nullptr;
}

// Applies one "key = value" line to the printer; null on success, else
// what is wrong with it.
const wchar_t* ApplyKey(VirtualPrinter* printer, const wchar_t* key, const wchar_t* value) {
    DWORD count = 0;
    if (lstrcmpiW(key, L"calibration") == 0) {
        ZeroMemory(printer->calibration, CALIBRATION_SIZE);
        if (!ParseHexBytes(value, printer->calibration, CALIBRATION_SIZE, &count))
            return L"calibration must be at most 60 hex bytes";
    } else if (lstrcmpiW(key, L"service") == 0) {
        ZeroMemory(printer->serviceSettings, SERVICE_SETTINGS_SIZE);
        if (!ParseHexBytes(value, printer->serviceSettings, SERVICE_SETTINGS_SIZE, &count))
            return L"service must be at most 18 hex bytes";
    } else if (_wcsnicmp(key, L"bin.", 4) == 0) {
        return ApplyBinKey(printer, key + 4, value);
    } else if (_wcsnicmp(key, L"counter.", 8) == 0) {
        return ApplyCounterKey(printer, key + 8, value);
    } else if (_wcsnicmp(key, L"flash.", 6) == 0) {
        return ApplyFlashKey(printer, key + 6, value);
    } else if (_wcsnicmp(key, L"command.", 8) == 0) {
        return ApplyCommandKey(printer, key + 8, value);
    } else {
        return ApplyPlainKey(printer, key, value);
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
    FormatDescriptionError(error, errorChars, source, line, problem, model->printers[index].name);
    return false;
}

// Handles one trimmed, non-comment line: a section opens a printer, a
// "key = value" line applies to the current one (index `*current`, whose
// section began at `*sectionLine`). False after setting the error.
bool ParseLine(wchar_t* line, int lineNumber, const wchar_t* source, PrinterModel* model,
               int* current, int* sectionLine, wchar_t* error, DWORD errorChars) {
    if (*line == L'[') {
        if (lstrcmpiW(line, L"[printer]") != 0) {
            FormatDescriptionError(error, errorChars, source, lineNumber, L"unknown section: ", line);
            return false;
        }
        if (!FinishPrinter(model, *current, source, *sectionLine, error, errorChars)) return false;
        if (model->count >= MAX_PRINTERS) {
            FormatDescriptionError(error, errorChars, source, lineNumber, L"too many printers", nullptr);
            return false;
        }
        *current = model->count++;
        *sectionLine = lineNumber;
        VirtualPrinter* printer = &model->printers[*current];
        ZeroMemory(printer, sizeof(*printer));
        lstrcpyW(printer->driver, DEFAULT_DRIVER);
        return true;
    }
    wchar_t* equals = wcschr(line, L'=');
    if (!equals) {
        FormatDescriptionError(error, errorChars, source, lineNumber, L"expected \"key = value\": ", line);
        return false;
    }
    if (*current < 0) {
        FormatDescriptionError(error, errorChars, source, lineNumber,
                               L"key before the first [printer]", nullptr);
        return false;
    }
    *equals = 0;
    wchar_t* key = Trim(line);
    const wchar_t* problem = ApplyKey(&model->printers[*current], key, Trim(equals + 1));
    if (!problem) return true;
    FormatDescriptionError(error, errorChars, source, lineNumber, problem,
                           problem == kUnknownKey ? key : nullptr);
    return false;
}

}  // namespace

void FormatDescriptionError(wchar_t* error, DWORD errorChars, const wchar_t* source, int line,
              const wchar_t* message, const wchar_t* detail) {
    if (!error || errorChars == 0) return;
    if (line > 0)
        _snwprintf(error, errorChars, L"%ls:%d: %ls%ls", source, line, message, detail ? detail : L"");
    else
        _snwprintf(error, errorChars, L"%ls: %ls%ls", source, message, detail ? detail : L"");
    error[errorChars - 1] = 0;
}

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
            FormatDescriptionError(error, errorChars, sourceName, lineNumber, L"line too long", nullptr);
            return false;
        }
        wchar_t buffer[LINE_CHARS];
        wmemcpy(buffer, cursor, length);
        buffer[length] = 0;
        cursor = end ? end + 1 : cursor + length;

        wchar_t* line = Trim(buffer);
        if (!*line || *line == L'#' || *line == L';') continue;
        if (!ParseLine(line, lineNumber, sourceName, model, &current, &sectionLine, error, errorChars))
            return false;
    }
    if (current < 0) {
        FormatDescriptionError(error, errorChars, sourceName, 0, L"no [printer] section", nullptr);
        return false;
    }
    return FinishPrinter(model, current, sourceName, sectionLine, error, errorChars);
}
