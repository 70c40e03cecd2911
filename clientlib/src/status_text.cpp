// Messages for statuses: one English line per status and code, with the
// system's text for RPC statuses and Windows error codes.
#include <cstdio>
#include <cwchar>

#include "api_internal.h"

namespace {

// The system's message for `code`, without its trailing line break; empty
// when the system has none.
void SystemText(DWORD code, wchar_t* text, DWORD chars) {
    text[0] = 0;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, chars, nullptr);
    while (length && (text[length - 1] == L'\n' || text[length - 1] == L'\r' ||
                      text[length - 1] == L' ' || text[length - 1] == L'.'))
        text[--length] = 0;
}

// Writes the message into `out` (`chars` wide characters); the caller
// terminates it. The system runtime's formatter, so that the static
// library needs no other.
void Compose(wchar_t* out, uint32_t chars, DEVICERPC_STATUS status, uint32_t code) {
    wchar_t system[256];
    unsigned detail = unsigned(code);
    switch (status) {
    case DEVICERPC_OK:
        _snwprintf(out, chars, L"success");
        break;
    case DEVICERPC_E_ARGUMENT:
        _snwprintf(out, chars,
                   L"argument %u was refused (null or out of range); nothing was sent", detail);
        break;
    case DEVICERPC_E_TRANSPORT:
        SystemText(code, system, 256);
        if (code == DEVICERPC_CODE_TIMED_OUT)
            _snwprintf(out, chars, L"no answer within the session's time-out (RPC status %u)",
                       detail);
        else
            _snwprintf(out, chars,
                       L"the server was not reached or the call failed: RPC status %u (%ls)",
                       detail, system[0] ? system : L"no system message");
        break;
    case DEVICERPC_E_FALSE:
        _snwprintf(out, chars, L"the server answered FALSE: the request was not carried out");
        break;
    case DEVICERPC_E_WIN32:
        SystemText(code, system, 256);
        _snwprintf(out, chars, L"the server answered error %u (%ls)", detail,
                   system[0] ? system : L"no system message");
        break;
    case DEVICERPC_E_REPLY:
        _snwprintf(out, chars,
                   L"the reply of %u bytes does not have the record's length or layout", detail);
        break;
    default:
        _snwprintf(out, chars, L"unknown status %u (code %u)", unsigned(status), detail);
        break;
    }
}

}  // namespace

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcStatusText(DEVICERPC_STATUS status,
                                                               uint32_t code, wchar_t* text,
                                                               uint32_t chars) {
    if (!text) return DEVICERPC_E_ARGUMENT;
    if (chars == 0) return DEVICERPC_E_ARGUMENT;
    // Composed in full, then cut to the caller's room.
    wchar_t whole[512];
    Compose(whole, 511, status, code);
    whole[511] = 0;
    uint32_t length = uint32_t(lstrlenW(whole));
    if (length >= chars) length = chars - 1;
    std::wmemcpy(text, whole, length);
    text[length] = 0;
    return DEVICERPC_OK;
}
