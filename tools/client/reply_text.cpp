// The text side of the client's output: a fixed text buffer, JSON strings,
// hex runs, lines and dumps, hex input, result lines and the outcome of a
// call. Pure functions over bytes and text.
#include "reply_format.h"

#include <cstdarg>
#include <cstdio>

namespace {

// The value of one hex digit, or -1.
int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

void InitText(TextBuffer* out, wchar_t* storage, size_t capacity) {
    out->text = storage;
    out->capacity = capacity;
    out->length = 0;
    out->overflow = false;
    if (capacity) storage[0] = 0;
}

void AppendText(TextBuffer* out, const wchar_t* format, ...) {
    if (out->overflow || out->length + 1 >= out->capacity) {
        out->overflow = true;
        return;
    }
    size_t room = out->capacity - out->length - 1;
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(out->text + out->length, room, format, args);
    va_end(args);
    if (written < 0 || size_t(written) > room) {
        // Partial text would cut a record in half: drop all of it.
        out->text[out->length] = 0;
        out->overflow = true;
        return;
    }
    out->length += size_t(written);
    out->text[out->length] = 0;
}

void AppendJsonString(TextBuffer* out, const wchar_t* text) {
    AppendText(out, L"\"");
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L'"' || *c == L'\\')
            AppendText(out, L"\\%lc", *c);
        else if (*c == L'\n')
            AppendText(out, L"\\n");
        else if (*c == L'\r')
            AppendText(out, L"\\r");
        else if (*c == L'\t')
            AppendText(out, L"\\t");
        else if (*c < 0x20)
            AppendText(out, L"\\u%04x", unsigned(*c));
        else
            AppendText(out, L"%lc", *c);
    }
    AppendText(out, L"\"");
}

void AppendHexRun(TextBuffer* out, const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i) AppendText(out, L"%02x", bytes[i]);
}

void AppendHexLines(TextBuffer* out, const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i)
        AppendText(out, L"%02x%ls", bytes[i], (i % 16 == 15 || i + 1 == count) ? L"\n" : L" ");
}

bool ParseHexBytes(const wchar_t* text, BYTE* bytes, DWORD capacity, DWORD* count) {
    *count = 0;
    while (*text) {
        if (*text == L' ' || *text == L':' || *text == L'-') {
            ++text;
            continue;
        }
        int high = HexDigit(text[0]);
        int low = text[1] ? HexDigit(text[1]) : -1;
        if (high < 0 || low < 0 || *count >= capacity) return false;
        bytes[(*count)++] = static_cast<BYTE>(high * 16 + low);
        text += 2;
    }
    return true;
}

void AppendDumpTable(TextBuffer* out, const BYTE* bytes, DWORD count) {
    AppendText(out, L"%-8ls%ls\n", L"offset", L"bytes");
    for (DWORD row = 0; row < count; row += 16) {
        AppendText(out, L"%04lx    ", row);
        for (DWORD i = row; i < count && i < row + 16; ++i)
            AppendText(out, L"%02x%ls", bytes[i], (i + 1 < count && i + 1 < row + 16) ? L" " : L"");
        AppendText(out, L"\n");
    }
}

void AppendBooleanResult(TextBuffer* out, bool result) {
    AppendText(out, L"result: %ls\n", result ? L"TRUE" : L"FALSE");
}

void AppendMappedResult(TextBuffer* out, long code, const wchar_t* errorText) {
    AppendText(out, L"result: %ld (%ls)\n", code, code == 0 ? L"success" : errorText);
}

CallOutcome ClassifyCallStatus(RPC_STATUS status) {
    switch (status) {
    case RPC_S_OK:
        return CALL_COMPLETED;
    // No server of this interface at the other end of the binding, or the
    // connection went away: the binding itself is what failed.
    case RPC_S_INVALID_STRING_BINDING:
    case RPC_S_INVALID_BINDING:
    case RPC_S_INVALID_RPC_PROTSEQ:
    case RPC_S_PROTSEQ_NOT_SUPPORTED:
    case RPC_S_INVALID_ENDPOINT_FORMAT:
    case RPC_S_INVALID_NET_ADDR:
    case RPC_S_NO_ENDPOINT_FOUND:
    case RPC_S_UNKNOWN_IF:
    case RPC_S_SERVER_UNAVAILABLE:
    case RPC_S_SERVER_TOO_BUSY:
    case RPC_S_CALL_FAILED:
    case RPC_S_CALL_FAILED_DNE:
    case RPC_S_CALL_CANCELLED:
    case RPC_S_COMM_FAILURE:
    case EPT_S_NOT_REGISTERED:
        return CALL_UNREACHABLE;
    default:
        // A fault the server sent, or a reply it could not take.
        return CALL_REJECTED;
    }
}
