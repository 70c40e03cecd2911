// Small helpers shared by the command-line tools.
#include "tool_common.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

void WriteUtf8(FILE* stream, const wchar_t* format, va_list args) {
    wchar_t text[4096];
    _vsnwprintf(text, sizeof(text) / sizeof(text[0]) - 1, format, args);
    text[sizeof(text) / sizeof(text[0]) - 1] = 0;
    char utf8[4096 * 3];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (length > 1) fwrite(utf8, 1, static_cast<size_t>(length - 1), stream);
    fflush(stream);
}

}  // namespace

bool ParseLong(const wchar_t* text, long* value) {
    if (!text || !*text) return false;
    wchar_t* end = nullptr;
    bool negative = text[0] == L'-';
    const wchar_t* digits = negative ? text + 1 : text;
    unsigned long long parsed = wcstoull(digits, &end, 0);
    if (*digits == L'-' || *digits == L'+' || end == digits || *end) return false;
    if (negative) {
        if (parsed > 0x80000000ull) return false;
        *value = static_cast<long>(-static_cast<long long>(parsed));
    } else {
        if (parsed > 0xFFFFFFFFull) return false;
        *value = static_cast<long>(static_cast<unsigned long>(parsed));
    }
    return true;
}

void PrintOut(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteUtf8(stdout, format, args);
    va_end(args);
}

void PrintErr(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteUtf8(stderr, format, args);
    va_end(args);
}

void ErrorText(DWORD code, wchar_t* text, DWORD capacity) {
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, capacity, nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.'))
        text[--length] = 0;
    if (length == 0) lstrcpynW(text, L"unknown error", static_cast<int>(capacity));
}
