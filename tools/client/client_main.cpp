// DeviceRpcClient: calls the device RPC server's procedures and prints the
// results.
#include <windows.h>
#include <rpc.h>

#include <cstring>

#include "DeviceRpc_client.h"
#include "rpc_binding.h"
#include "tool_common.h"

namespace {

// Exit codes.
const int EXIT_OK = 0;
const int EXIT_REQUEST_FAILED = 1;
const int EXIT_USAGE = 2;
const int EXIT_UNREACHABLE = 3;

const wchar_t kUsage[] =
    L"Usage: DeviceRpcClient [binding options] COMMAND [arguments]\n"
    L"\n"
    L"Binding options:\n"
    L"  --protseq SEQ     ncalrpc (default), ncacn_np or ncacn_ip_tcp\n"
    L"  --host NAME       server machine (default: this machine)\n"
    L"  --endpoint EP     endpoint: TCP port, pipe name or local RPC name\n"
    L"                    (default: the server's fixed one; TCP needs --endpoint\n"
    L"                    or --resolve)\n"
    L"  --resolve         ask the endpoint map for the endpoint\n"
    L"\n"
    L"Commands:\n"
    L"  command CMD PARAM PRINTER [ARGUMENT]   RpcSendCommand (opnum 0)\n"
    L"  command2 CMD PARAM PRINTER ARGUMENT    RpcSendCommand2 (opnum 1)\n"
    L"  request CODE PRINTER [request options] RpcDeviceRequest (opnum 2)\n"
    L"  mapped CODE PRINTER [request options]  RpcDeviceRequestMapped (opnum 3)\n"
    L"  probe                                  tell whether the server answers\n"
    L"\n"
    L"Request options:\n"
    L"  --in HEX          input bytes (default: none)\n"
    L"  --cb-in N         cbInData (default: the number of input bytes)\n"
    L"  --cb-out N        the output size sent (default 32768)\n"
    L"  --null-out        send a null pcbOutData\n"
    L"\n"
    L"Exit status: 0 success, 1 the request failed, 2 usage error,\n"
    L"3 the server could not be reached.\n";

int Usage(const wchar_t* problem) {
    if (problem) PrintErr(L"DeviceRpcClient: %ls\n", problem);
    PrintErr(L"%ls", kUsage);
    return EXIT_USAGE;
}

int Unreachable(RPC_STATUS status) {
    wchar_t text[256];
    ErrorText(status, text, 256);
    PrintErr(L"DeviceRpcClient: server unreachable: %lu (%ls)\n", status, text);
    return EXIT_UNREACHABLE;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Parses hexadecimal bytes (blanks allowed between them) into `bytes`.
bool ParseHex(const wchar_t* text, unsigned char* bytes, long capacity, long* count) {
    *count = 0;
    while (*text) {
        if (*text == L' ' || *text == L':') {
            ++text;
            continue;
        }
        int high = HexValue(text[0]);
        int low = text[1] ? HexValue(text[1]) : -1;
        if (high < 0 || low < 0 || *count >= capacity) return false;
        bytes[(*count)++] = static_cast<unsigned char>(high * 16 + low);
        text += 2;
    }
    return true;
}

void PrintHex(const unsigned char* bytes, long count) {
    for (long i = 0; i < count; ++i) PrintOut(L"%02x%ls", bytes[i], (i % 16 == 15) ? L"\n" : L" ");
    if (count % 16) PrintOut(L"\n");
}

int RunCommand(RPC_BINDING_HANDLE binding, bool second, int argc, wchar_t** argv) {
    if (argc < 3 || argc > 4 || (second && argc != 4))
        return Usage(L"command needs CMD PARAM PRINTER and, for command2, ARGUMENT");
    long command = 0;
    long param = 0;
    if (!ParseLong(argv[0], &command) || !ParseLong(argv[1], &param))
        return Usage(L"CMD and PARAM must be numbers");
    const wchar_t* argument = argc == 4 ? argv[3] : L"";
    unsigned char result = 0;
    RPC_STATUS status = CallSendCommand(binding, second, command, param, argv[2], argument, &result);
    if (status != RPC_S_OK) return Unreachable(status);
    PrintOut(L"result: %ls\n", result ? L"TRUE" : L"FALSE");
    return result ? EXIT_OK : EXIT_REQUEST_FAILED;
}

int RunRequest(RPC_BINDING_HANDLE binding, bool mapped, int argc, wchar_t** argv) {
    if (argc < 2) return Usage(L"request needs CODE and PRINTER");
    long code = 0;
    if (!ParseLong(argv[0], &code)) return Usage(L"CODE must be a number");
    static unsigned char inData[32768];
    static unsigned char outData[32768];
    long inCount = 0;
    long cbIn = -1;
    long cbOut = 32768;
    bool nullOut = false;
    for (int i = 2; i < argc; ++i) {
        if (lstrcmpW(argv[i], L"--in") == 0 && i + 1 < argc) {
            if (!ParseHex(argv[++i], inData, 32768, &inCount)) return Usage(L"--in takes hex bytes");
        } else if (lstrcmpW(argv[i], L"--cb-in") == 0 && i + 1 < argc) {
            if (!ParseLong(argv[++i], &cbIn)) return Usage(L"--cb-in takes a number");
        } else if (lstrcmpW(argv[i], L"--cb-out") == 0 && i + 1 < argc) {
            if (!ParseLong(argv[++i], &cbOut)) return Usage(L"--cb-out takes a number");
        } else if (lstrcmpW(argv[i], L"--null-out") == 0) {
            nullOut = true;
        } else {
            return Usage(L"unknown request option");
        }
    }
    if (cbIn < 0) cbIn = inCount;
    long result = 0;
    RPC_STATUS status = CallDeviceRequest(binding, mapped, code, inData, cbIn, outData,
                                          nullOut ? nullptr : &cbOut, argv[1], L"", &result);
    if (status != RPC_S_OK) return Unreachable(status);
    if (mapped) {
        wchar_t text[256];
        ErrorText(static_cast<DWORD>(result), text, 256);
        PrintOut(L"result: %ld (%ls)\n", result, result == 0 ? L"success" : text);
    } else {
        PrintOut(L"result: %ls\n", result ? L"TRUE" : L"FALSE");
    }
    if (nullOut) {
        PrintOut(L"output size: (null)\n");
    } else {
        PrintOut(L"output size: %ld\n", cbOut);
        if (cbOut > 0) PrintHex(outData, cbOut > 32768 ? 32768 : cbOut);
    }
    bool ok = mapped ? result == 0 : result != 0;
    return ok ? EXIT_OK : EXIT_REQUEST_FAILED;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    BindingOptions options = {L"ncalrpc", nullptr, nullptr, false, 0};
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        const wchar_t* option = argv[i];
        bool hasValue = i + 1 < argc;
        if (lstrcmpW(option, L"--help") == 0) {
            PrintOut(L"%ls", kUsage);
            return EXIT_OK;
        } else if (lstrcmpW(option, L"--protseq") == 0 && hasValue) {
            options.protseq = argv[++i];
        } else if (lstrcmpW(option, L"--host") == 0 && hasValue) {
            options.host = argv[++i];
        } else if (lstrcmpW(option, L"--endpoint") == 0 && hasValue) {
            options.endpoint = argv[++i];
        } else if (lstrcmpW(option, L"--resolve") == 0) {
            options.resolve = true;
        } else {
            return Usage(L"unknown option or missing value");
        }
    }
    if (i >= argc) return Usage(L"no command given");
    const wchar_t* command = argv[i++];
    int restCount = argc - i;
    wchar_t** rest = argv + i;

    if (lstrcmpW(command, L"probe") == 0) {
        RPC_STATUS status = RPC_S_OK;
        if (ProbeServer(options, &status)) {
            PrintOut(L"listening\n");
            return EXIT_OK;
        }
        return Unreachable(status);
    }

    bool known = lstrcmpW(command, L"command") == 0 || lstrcmpW(command, L"command2") == 0 ||
                 lstrcmpW(command, L"request") == 0 || lstrcmpW(command, L"mapped") == 0;
    if (!known) return Usage(L"unknown command");

    RPC_BINDING_HANDLE binding = nullptr;
    RPC_STATUS status = OpenBinding(options, &binding);
    if (status != RPC_S_OK) return Unreachable(status);
    int exitCode;
    if (lstrcmpW(command, L"command") == 0)
        exitCode = RunCommand(binding, false, restCount, rest);
    else if (lstrcmpW(command, L"command2") == 0)
        exitCode = RunCommand(binding, true, restCount, rest);
    else
        exitCode = RunRequest(binding, lstrcmpW(command, L"mapped") == 0, restCount, rest);
    RpcBindingFree(&binding);
    return exitCode;
}
