// Running the client's RPC commands through the client library and
// reporting their outcome.
#include "client_calls.h"

#include "devicerpc_api.h"
#include "tool_common.h"

namespace {

// Room for the largest output: 32768 bytes as hex lines take 98304 chars.
wchar_t g_text[131072];

// The pieces handed to PrintOut stay well inside its own buffer.
const size_t PRINT_PIECE_CHARS = 2000;

const long ARRAY_BYTES = static_cast<long>(DEVICE_RPC_ARRAY_SIZE);

// A usage error found once the command runs: the reason and a pointer to
// the command's help.
int UsageProblem(const Invocation& inv, const wchar_t* problem) {
    return ReportUsageError(kClientTool, inv.command, problem);
}

// The start of every JSON answer: the command and how it was bound.
void AppendJsonHead(TextBuffer* out, const Invocation& inv) {
    AppendText(out, L"{\"command\":");
    AppendJsonString(out, inv.command->name);
    AppendText(out, L",\"protseq\":");
    AppendJsonString(out, inv.binding.protseq);
}

// A call that came back without a result: unreachable (3) or rejected by
// the server (1), on standard error, and in JSON on standard output.
int ReportCallFailure(const Invocation& inv, RPC_STATUS status, bool binding) {
    wchar_t text[256];
    ErrorText(status, text, 256);
    bool unreachable = binding || ClassifyCallStatus(status) != CALL_REJECTED;
    if (unreachable)
        PrintErr(L"DeviceRpcClient: server unreachable: %lu (%ls)\n", status, text);
    else
        PrintErr(L"DeviceRpcClient: the server rejected the call: %lu (%ls)\n", status, text);
    if (inv.style == OUTPUT_JSON) {
        TextBuffer out;
        InitText(&out, g_text, sizeof(g_text) / sizeof(g_text[0]));
        AppendJsonHead(&out, inv);
        AppendText(&out, L",\"status\":%lu,\"status_text\":", status);
        AppendJsonString(&out, text);
        AppendText(&out, L",\"reachable\":%ls}\n", unreachable ? L"false" : L"true");
        PrintTextBuffer(out, false);
    }
    return unreachable ? EXIT_UNREACHABLE : EXIT_FAILED;
}

// The RPC status of a call that did not come back with an answer: the
// runtime's, or the library's refusal of an argument (which the line
// check lets none through to).
RPC_STATUS CallFailure(DEVICERPC_STATUS status, uint32_t code) {
    return status == DEVICERPC_E_TRANSPORT ? RPC_STATUS(code) : RPC_S_INVALID_ARG;
}

// Opens the library's session for the command line's binding, with no
// call time-out (a command waits as long as the server takes); null with
// the RPC status in `*failure` when it cannot be opened.
DEVICERPC_SESSION* OpenSession(const Invocation& inv, RPC_STATUS* failure) {
    const BindingOptions& b = inv.binding;
    DEVICERPC_SESSION* session = nullptr;
    uint32_t code = 0;
    DEVICERPC_STATUS status = DeviceRpcOpenSession(b.protseq, b.host, b.endpoint,
                                                   b.resolve ? DEVICERPC_OPEN_RESOLVE : 0,
                                                   0, &session, &code);
    *failure = CallFailure(status, code);
    return status == DEVICERPC_OK ? session : nullptr;
}

// The output bytes worth showing for an output size the server returned.
DWORD ShownBytes(bool sizeKnown, long cbOut) {
    if (!sizeKnown || cbOut <= 0) return 0;
    return static_cast<DWORD>(cbOut > ARRAY_BYTES ? ARRAY_BYTES : cbOut);
}

// "result: ..." and "output size: ..." of a device request.
void AppendResultLines(const RequestPlan& plan, bool ok, long result, long cbOut, TextBuffer* out) {
    if (plan.mapped) {
        wchar_t text[256];
        ErrorText(static_cast<DWORD>(result), text, 256);
        AppendMappedResult(out, result, text);
    } else {
        AppendBooleanResult(out, ok);
    }
    if (plan.nullOut)
        AppendText(out, L"output size: (null)\n");
    else
        AppendText(out, L"output size: %ld\n", cbOut);
}

// The human form of a device request's answer; false when a reply that
// should be decoded was not.
bool AppendRequestTable(const RequestPlan& plan, bool ok, long result, long cbOut,
                        const BYTE* outData, TextBuffer* out) {
    AppendResultLines(plan, ok, result, cbOut, out);
    if (plan.kind == REPLY_RAW) {
        AppendHexLines(out, outData, ShownBytes(!plan.nullOut, cbOut));
        return true;
    }
    if (!ok || plan.kind == REPLY_NONE) return true;
    if (plan.nullOut || cbOut < 0 || cbOut > ARRAY_BYTES) {
        AppendText(out, L"reply: no usable output size, nothing to decode\n");
        return false;
    }
    return FormatReplyTable(plan.kind, plan.selector, outData, static_cast<DWORD>(cbOut), out);
}

// The JSON form of a device request's answer; false as above.
bool AppendRequestJson(const Invocation& inv, const RequestPlan& plan, bool ok, long result,
                       long cbOut, const BYTE* outData, TextBuffer* out) {
    AppendJsonHead(out, inv);
    AppendText(out, L",\"opnum\":%u,\"request\":%ld,\"selector\":%u,\"printer\":",
               plan.mapped ? DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED : DEVICE_RPC_OPNUM_DEVICE_REQUEST,
               plan.code, unsigned(plan.selector));
    AppendJsonString(out, plan.printer);
    if (plan.mapped) {
        wchar_t text[256];
        ErrorText(static_cast<DWORD>(result), text, 256);
        AppendText(out, L",\"status\":0,\"result\":%ld,\"result_text\":", result);
        AppendJsonString(out, result == 0 ? L"success" : text);
    } else {
        AppendText(out, L",\"status\":0,\"result\":%ls", ok ? L"true" : L"false");
    }
    if (plan.nullOut)
        AppendText(out, L",\"output_size\":null");
    else
        AppendText(out, L",\"output_size\":%ld", cbOut);
    bool decoded = true;
    bool decodable = plan.kind != REPLY_RAW && plan.kind != REPLY_NONE;
    bool sizeUsable = !plan.nullOut && cbOut >= 0 && cbOut <= ARRAY_BYTES;
    if (decodable) {
        AppendText(out, L",\"reply\":");
        if (ok && sizeUsable) {
            decoded = FormatReplyJson(plan.kind, plan.selector, outData, DWORD(cbOut), out);
        } else {
            AppendText(out, L"null");
            decoded = !ok;
        }
    }
    // Raw requests show the output whatever the result; decoded ones only
    // the reply of a request that succeeded.
    DWORD shown = (plan.kind == REPLY_RAW || (ok && decodable)) ? ShownBytes(!plan.nullOut, cbOut) : 0;
    AppendText(out, L",\"hex\":\"");
    AppendHexRun(out, outData, shown);
    AppendText(out, L"\"}\n");
    return decoded;
}

}  // namespace

void PrintTextBuffer(const TextBuffer& text, bool toStderr) {
    const wchar_t* p = text.text;
    size_t left = text.length;
    wchar_t piece[PRINT_PIECE_CHARS + 1];
    while (left) {
        size_t n = left < PRINT_PIECE_CHARS ? left : PRINT_PIECE_CHARS;
        if (n < left) {
            // End the piece after a line break, or at least not inside a
            // surrogate pair, so each piece converts on its own.
            size_t cut = n;
            while (cut > 0 && p[cut - 1] != L'\n') --cut;
            if (cut > 0) n = cut;
            else if (IS_HIGH_SURROGATE(p[n - 1])) --n;
        }
        CopyMemory(piece, p, n * sizeof(wchar_t));
        piece[n] = 0;
        if (toStderr) PrintErr(L"%ls", piece);
        else PrintOut(L"%ls", piece);
        p += n;
        left -= n;
    }
    if (text.overflow) PrintErr(L"DeviceRpcClient: output cut short\n");
}

int RunSendCommand(const Invocation& inv) {
    bool second = inv.command->id == CMD_COMMAND2;
    long command = 0;
    long param = 0;
    if (!ParseLong(inv.args[0], &command) || !ParseLong(inv.args[1], &param))
        return UsageProblem(inv, L"CMD and PARAM must be numbers");
    const wchar_t* printer = inv.args[2];
    const wchar_t* argument = inv.argCount == 4 ? inv.args[3] : L"";
    RPC_STATUS failure = RPC_S_OK;
    DEVICERPC_SESSION* session = OpenSession(inv, &failure);
    if (!session) return ReportCallFailure(inv, failure, true);
    uint32_t code = 0;
    DEVICERPC_STATUS status =
        second ? DeviceRpcSendCommand2(session, command, param, printer, argument, &code)
               : DeviceRpcSendCommand(session, command, param, printer, argument, &code);
    DeviceRpcCloseSession(session);
    if (status != DEVICERPC_OK && status != DEVICERPC_E_FALSE)
        return ReportCallFailure(inv, CallFailure(status, code), false);
    bool result = status == DEVICERPC_OK;

    TextBuffer out;
    InitText(&out, g_text, sizeof(g_text) / sizeof(g_text[0]));
    if (inv.style == OUTPUT_JSON) {
        AppendJsonHead(&out, inv);
        AppendText(&out, L",\"opnum\":%u,\"cmd\":%ld,\"param\":%ld,\"printer\":",
                   second ? DEVICE_RPC_OPNUM_SEND_COMMAND2 : DEVICE_RPC_OPNUM_SEND_COMMAND,
                   command, param);
        AppendJsonString(&out, printer);
        AppendText(&out, L",\"argument\":");
        AppendJsonString(&out, argument);
        AppendText(&out, L",\"status\":0,\"result\":%ls}\n", result ? L"true" : L"false");
    } else {
        AppendBooleanResult(&out, result);
    }
    PrintTextBuffer(out, false);
    return result ? EXIT_OK : EXIT_FAILED;
}

int RunDeviceRequest(const Invocation& inv) {
    static RequestPlan plan;
    static BYTE outData[ARRAY_BYTES];
    wchar_t problem[256];
    if (BuildRequestPlan(inv, &plan, problem) != EXIT_OK) return UsageProblem(inv, problem);

    RPC_STATUS failure = RPC_S_OK;
    DEVICERPC_SESSION* session = OpenSession(inv, &failure);
    if (!session) return ReportCallFailure(inv, failure, true);
    ZeroMemory(outData, sizeof(outData));
    int32_t cbOut = plan.cbOut;
    uint32_t code = 0;
    DEVICERPC_STATUS status = DeviceRpcRequest(
        session, plan.mapped ? DEVICERPC_MAPPED : 0, plan.code, plan.in, plan.cbIn, outData,
        plan.nullOut ? nullptr : &cbOut, plan.printer, &code);
    DeviceRpcCloseSession(session);
    bool answered = status == DEVICERPC_OK || status == DEVICERPC_E_FALSE ||
                    status == DEVICERPC_E_WIN32;
    if (!answered) return ReportCallFailure(inv, CallFailure(status, code), false);

    bool ok = status == DEVICERPC_OK;
    // What the procedure returned: opnum 3's error code, opnum 2's boolean.
    long result = plan.mapped ? long(int32_t(code)) : long(ok);
    bool decoded = true;
    TextBuffer out;
    InitText(&out, g_text, sizeof(g_text) / sizeof(g_text[0]));
    if (inv.style == OUTPUT_JSON) {
        decoded = AppendRequestJson(inv, plan, ok, result, cbOut, outData, &out);
        PrintTextBuffer(out, false);
    } else if (inv.style == OUTPUT_HEX) {
        if (ok) {
            AppendHexLines(&out, outData, ShownBytes(!plan.nullOut, cbOut));
            PrintTextBuffer(out, false);
        } else {
            // Nothing on standard output, so that a pipe gets no bytes.
            AppendResultLines(plan, ok, result, cbOut, &out);
            PrintTextBuffer(out, true);
        }
    } else {
        decoded = AppendRequestTable(plan, ok, result, cbOut, outData, &out);
        PrintTextBuffer(out, false);
    }
    return ok && decoded ? EXIT_OK : EXIT_FAILED;
}

int RunProbe(const Invocation& inv) {
    RPC_STATUS status = RPC_S_OK;
    bool listening = ProbeServer(inv.binding, &status);
    if (!listening) return ReportCallFailure(inv, status, true);
    TextBuffer out;
    InitText(&out, g_text, sizeof(g_text) / sizeof(g_text[0]));
    if (inv.style == OUTPUT_JSON) {
        AppendJsonHead(&out, inv);
        AppendText(&out, L",\"listening\":true}\n");
    } else {
        AppendText(&out, L"listening\n");
    }
    PrintTextBuffer(out, false);
    return EXIT_OK;
}
