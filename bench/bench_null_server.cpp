// BenchNullServer: the server's own stub (interface record, dispatch table,
// NDR codec, per-call copy) over routines that return at once, over local
// RPC and TCP, so that a client sees the same wire payload; what it costs
// is the runtime and the stub alone.
//
// --hold-ms keeps every call in its routine for a while (calls in flight
// for memory measurements); --bare gives the stub one shared block for its
// per-call copy of the two arrays and strings, so that the calls in flight
// hold the runtime's own memory only.
//
// --send also hands every call's block to the language monitor as one
// WM_COPYDATA message from the call's own thread, as the real server does,
// without the registry reads, the window check and the replies: what the
// runtime and that message cost together.
#include <windows.h>

#include <rpc.h>

#include <cstddef>
#include <cstdlib>

#include "DeviceRpc.h"
#include "command_line.h"
#include "devicerpc_contract.h"
#include "exit_codes.h"
#include "monitor_link.h"
#include "reply_mapping.h"
#include "tool_common.h"

namespace {

struct NullOptions {
    const wchar_t* endpoint;
    DWORD holdMs;
    bool bare;
    DWORD maxCalls;
    bool send;
};

NullOptions g_options;

// The language monitor's window, read once and again after a failed send
// (the driver restarts the monitor between phases).
HWND volatile g_window = nullptr;

// --bare: the stub's per-call storage (both arrays and the strings) lives
// in this one block, shared by every call, instead of a heap block per
// call. Calls in flight write the same bytes into it at once; the routines
// never read it, and only the sizes and results of the answers are
// checked, so that does not matter here (and is why --send, which reads
// the printer name, is refused with --bare).
constexpr size_t SHARED_STORAGE_BYTES = 2 * DEVICE_RPC_ARRAY_SIZE + 65536;
void* g_sharedStorage = nullptr;

// --hold-ms: keeps the call in its routine.
void Hold() {
    if (g_options.holdMs) Sleep(g_options.holdMs);
}

// Sends one block as the real server does: one WM_COPYDATA message. An
// undelivered message is sent once more to the window read again from the
// registry.
void SendToCachedWindow(ULONG_PTR code, void* block, DWORD length) {
    HWND window = g_window;
    if (!window || !SendToMonitor(window, code, block, length)) {
        window = ReadMonitorWindowHandle();
        g_window = window;
        if (window) SendToMonitor(window, code, block, length);
    }
}

// With --send, the block the real server builds for a command (both opnums
// send MONMSG_COMMAND's block here, with the same cost).
void SendCommandBlock(long dwCommand, long dwParam, const wchar_t* printerName) {
    if (!g_options.send) return;
    DWORD length = 0;
    void* block = BuildCommandBlock(false, dwCommand, dwParam, printerName, nullptr, &length);
    if (!block) return;
    SendToCachedWindow(MONMSG_COMMAND, block, length);
    FreeBlock(block);
}

// With --send, the RequestBlock the real server builds for a device request.
void SendRequestBlock(ULONG_PTR code, long dwRequest, const unsigned char* pInData,
                      long cbInData, const unsigned char* pOutData, const long* pcbOutData,
                      const wchar_t* printerName) {
    if (!g_options.send) return;
    long inputSize = cbInData > 0 ? cbInData : 0;
    long outputSize = pcbOutData && *pcbOutData > 0 ? *pcbOutData : 0;
    DWORD length = 0;
    void* block = BuildRequestBlock(dwRequest, pInData, inputSize, pOutData, outputSize,
                                    printerName, &length);
    if (!block) return;
    SendToCachedWindow(code, block, length);
    FreeBlock(block);
}

// The answer of both device request routines: the output size of the
// record the request would return.
void SetNullOutputSize(long dwRequest, long* pcbOutData) {
    if (!pcbOutData) return;
    *pcbOutData = static_cast<long>(dwRequest == DEVREQ_BIN_INFO ? BIN_INFO_REPLY_SIZE
                                                                 : CONFIG_REPLY_SIZE);
}

RPC_WSTR RpcText(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

const OptionSpec kOptions[] = {
    TextOption(L"--endpoint", L"NAME", offsetof(NullOptions, endpoint),
               L"the ncalrpc endpoint (default DeviceRpcBenchNull)"),
    CountOption(L"--hold-ms", L"MS", offsetof(NullOptions, holdMs), 0, 0xFFFFFFFF, nullptr,
                L"sleep MS in every routine"),
    SwitchOption(L"--bare", offsetof(NullOptions, bare),
                 L"no per-call memory for the copy of the arrays and strings\n"
                 L"(one shared block); not with --send"),
    CountOption(L"--max-calls", L"N", offsetof(NullOptions, maxCalls), 1, 0x7FFFFFFF, nullptr,
                L"MaxCalls of the protocol sequences (default 1, as the real\n"
                L"server registers them)"),
    SwitchOption(L"--send", offsetof(NullOptions, send),
                 L"send each call's CommandBlock or RequestBlock to the window in\n"
                 L"\"" MONITOR_WINDOW_VALUE L"\" as WM_COPYDATA from the call's thread"),
};

const wchar_t kUsage[] =
    L"Usage: BenchNullServer [--endpoint NAME] [--hold-ms MS] [--bare] [--max-calls N] [--send]\n"
    L"\n"
    L"Serves the DeviceRpc interface over ncalrpc (endpoint NAME, default\n"
    L"DeviceRpcBenchNull) and a dynamic ncacn_ip_tcp endpoint with routines\n"
    L"that do nothing: opnums 0 to 2 return TRUE, opnum 3 returns 0, and the\n"
    L"output size becomes 32 (96 for request 3). Prints \"ready lrpc=NAME\"\n"
    L"and serves until standard input ends.\n";

// --bare shares one block between calls whose printer names --send reads.
bool CheckOptions(const ParsedLine&, void* record, wchar_t* problem) {
    const NullOptions* options = static_cast<const NullOptions*>(record);
    if (!options->bare || !options->send) return true;
    lstrcpynW(problem, L"--bare and --send exclude each other", CLI_PROBLEM_CHARS);
    return false;
}

const ToolSpec kTool = {
    L"BenchNullServer", nullptr, kUsage, nullptr,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    nullptr, 0,
    0, 0, 17, nullptr, nullptr, CheckOptions,
};

// Registers the endpoints and the interface as the real server does
// (MaxCalls of --max-calls, default security) and starts listening.
bool StartServing() {
    RPC_STATUS status = RpcServerUseProtseqEpW(RpcText(SERVER_PROTSEQ_LOCAL), g_options.maxCalls,
                                               RpcText(g_options.endpoint), nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: ncalrpc endpoint %ls: status %lu\n", g_options.endpoint, status);
        return false;
    }
    status = RpcServerUseProtseqW(RpcText(SERVER_PROTSEQ_TCP), g_options.maxCalls, nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: ncacn_ip_tcp: status %lu\n", status);
        return false;
    }
    status = RpcServerRegisterIf(DeviceRpc_v1_0_s_ifspec, nullptr, nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: interface registration: status %lu\n", status);
        return false;
    }
    status = RpcServerListen(1, SERVER_MAX_CONCURRENT_CALLS, TRUE);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: listen: status %lu\n", status);
        return false;
    }
    return true;
}

}  // namespace

// The stub's memory routines, in place of the product's: the heap, or the
// shared block of --bare for every allocation that fits it.
extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) {
    if (g_sharedStorage && size <= SHARED_STORAGE_BYTES) return g_sharedStorage;
    return std::malloc(size);
}

extern "C" void __RPC_USER MIDL_user_free(void* block) {
    if (block != g_sharedStorage) std::free(block);
}

// The null routines: the stub has decoded the call and made its copy.
boolean RpcSendCommand(handle_t, long dwCommand, long dwParam, wchar_t* pszPrinterName, wchar_t*) {
    SendCommandBlock(dwCommand, dwParam, pszPrinterName);
    Hold();
    return TRUE;
}

// Opnum 1, as opnum 0.
boolean RpcSendCommand2(handle_t, long dwCommand, long dwParam, wchar_t* pszPrinterName,
                        wchar_t*) {
    SendCommandBlock(dwCommand, dwParam, pszPrinterName);
    Hold();
    return TRUE;
}

// Opnum 2: TRUE with the size of the record asked for.
boolean RpcDeviceRequest(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                         unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                         wchar_t*) {
    SendRequestBlock(MONMSG_DEVICE_REQUEST, dwRequest, pInData, cbInData, pOutData, pcbOutData,
                     pszPrinterName);
    Hold();
    SetNullOutputSize(dwRequest, pcbOutData);
    return TRUE;
}

// Opnum 3: 0 with the size of the record asked for.
long RpcDeviceRequestMapped(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                            unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                            wchar_t*) {
    SendRequestBlock(MONMSG_DEVICE_REQUEST_MAPPED, dwRequest, pInData, cbInData, pOutData,
                     pcbOutData, pszPrinterName);
    Hold();
    SetNullOutputSize(dwRequest, pcbOutData);
    return 0;
}

// Serves until standard input ends; 0, or 1 when serving could not start.
int wmain(int argc, wchar_t** argv) {
    g_options = NullOptions{L"DeviceRpcBenchNull", 0, false, SERVER_PROTSEQ_MAX_CALLS, false};
    ParsedLine line;
    int status = HandleCommandLine(kTool, argc, argv, &g_options, &line);
    if (status != CLI_RUN) return status;
    if (g_options.bare) {
        g_sharedStorage = std::malloc(SHARED_STORAGE_BYTES);
        if (!g_sharedStorage) return EXIT_FAILED;
    }
    // The reply mapping must exist while code 11 is handled; the real server
    // creates it per call, which the floor's kernel part measures apart.
    HANDLE replyMapping = nullptr;
    BYTE* replyView = nullptr;
    if (g_options.send) {
        g_window = ReadMonitorWindowHandle();
        replyMapping = CreateReplyMapping(&replyView);
        if (!g_window || !replyMapping) {
            PrintErr(L"BenchNullServer: --send needs the language monitor's window and the reply mapping\n");
            return EXIT_FAILED;
        }
    }
    if (!StartServing()) return EXIT_FAILED;
    // The TCP port is the runtime's choice; the driver reads it from the
    // sockets of the prefix's wineserver.
    PrintOut(L"ready lrpc=%ls\n", g_options.endpoint);

    // Serves until standard input ends (the driver closes the pipe).
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    RpcMgmtStopServerListening(nullptr);
    RpcMgmtWaitServerListen();
    CloseReplyMapping(replyMapping, replyView);
    return EXIT_OK;
}
