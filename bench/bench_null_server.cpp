// BenchNullServer: the DeviceRpc interface with routines that return at
// once. Same interface identity, same NDR codec and the same plain dispatch
// table as the real server, over local RPC and TCP, so that a client sees
// the same wire payload; what it costs is the runtime and the stub alone.
//
// --hold-ms keeps every call in its routine for a while (calls in flight
// for memory measurements); --bare skips the per-call copy of the two
// arrays and strings that the real stub makes, leaving the runtime's own
// memory only.
//
// --send also hands every call's block to the language monitor as one
// WM_COPYDATA message from the call's own thread, as the real server does,
// without the registry reads, the window check and the replies: what the
// runtime and that message cost together.
#include <windows.h>

#include <rpc.h>
#include <rpcndr.h>

#include <cstring>
#include <vector>

#include "monitor_link.h"
#include "payload_layout.h"
#include "devicerpc_contract.h"
#include "tool_common.h"
#include "wire_codec.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const wchar_t kUsage[] =
    L"Usage: BenchNullServer [--endpoint NAME] [--hold-ms MS] [--bare] [--max-calls N] [--send]\n"
    L"\n"
    L"Serves the DeviceRpc interface over ncalrpc (endpoint NAME, default\n"
    L"DeviceRpcBenchNull) and a dynamic ncacn_ip_tcp endpoint with routines\n"
    L"that do nothing: opnums 0 to 2 return TRUE, opnum 3 returns 0, and the\n"
    L"output size becomes 32 (96 for request 3). Prints \"ready lrpc=NAME\"\n"
    L"and serves until standard input ends.\n"
    L"\n"
    L"  --hold-ms MS   sleep MS in every routine\n"
    L"  --bare         no per-call copy of the arrays and strings\n"
    L"  --max-calls N  MaxCalls of the protocol sequences (default 1, as the real\n"
    L"                 server registers them)\n"
    L"  --send         send each call's CommandBlock or RequestBlock to the window in\n"
    L"                 \"LP Window handle\" as WM_COPYDATA from the call's thread\n";

DWORD g_holdMs = 0;
bool g_bare = false;
unsigned int g_maxCalls = 1;  // the real server's MaxCalls
bool g_send = false;

// The language monitor's window, read once and again after a failed send
// (the driver restarts the monitor between phases).
HWND volatile g_window = nullptr;
// The reply mapping must exist while code 11 is handled; the real server
// creates it per call, which the floor's kernel part measures apart.
HANDLE g_replyMapping = nullptr;

// The response arrays of --bare: never written, so never made private.
const unsigned char g_zeroArray[DEVICE_RPC_ARRAY_SIZE] = {};

struct DeviceCallStorage {
    unsigned char inData[DEVICE_RPC_ARRAY_SIZE];
    unsigned char outData[DEVICE_RPC_ARRAY_SIZE];
    wchar_t strings[1];
};

[[noreturn]] void Fault(RPC_STATUS status) {
    RpcRaiseException(status);
    for (;;) {
    }
}

unsigned long TakeRequestRepresentation(PRPC_MESSAGE message) {
    unsigned long drep = message->DataRepresentation;
    message->DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
    return drep;
}

void Hold() {
    if (g_holdMs) Sleep(g_holdMs);
}

HWND ReadMonitorWindow() {
    BYTE field[8] = {};
    DWORD size = sizeof(field);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, MONITORS_KEY, MONITOR_WINDOW_VALUE, RRF_RT_ANY, nullptr, field,
                     &size) != ERROR_SUCCESS)
        return nullptr;
    ULONG64 handle = 0;
    for (int i = 7; i >= 0; --i) handle = (handle << 8) | field[i];
    return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(handle));
}

// Sends one block as the real server does: a zero-filled heap block, one
// WM_COPYDATA message, the block freed. An undelivered message is sent
// once more to the window read again from the registry.
void SendToCachedWindow(ULONG_PTR code, uint8_t* block, DWORD length) {
    HWND window = g_window;
    if (!window || !SendToMonitor(window, code, block, length)) {
        window = ReadMonitorWindow();
        g_window = window;
        if (window) SendToMonitor(window, code, block, length);
    }
}

void SendCommandBlock(const CommandRequest& request, unsigned long drep) {
    if (!g_send) return;
    uint32_t units = request.printerName.units ? request.printerName.units - 1 : 0;
    std::vector<uint16_t> name(units + 1u);
    CopyWireString(request.printerName, drep, name.data());
    uint32_t length = 0;
    if (!CommandBlockLength(false, units, 0, &length)) return;
    uint8_t* block = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length));
    if (!block) return;
    FillCommandBlock(block, false, request.dwCommand, request.dwParam, name.data(), units, nullptr, 0);
    SendToCachedWindow(MONMSG_COMMAND, block, length);
    HeapFree(GetProcessHeap(), 0, block);
}

void SendRequestBlock(const DeviceRequestCall& request, unsigned long drep, uint32_t opnum) {
    if (!g_send) return;
    uint32_t units = request.printerName.units ? request.printerName.units - 1 : 0;
    std::vector<uint16_t> name(units + 1u);
    CopyWireString(request.printerName, drep, name.data());
    uint32_t inputSize = request.cbInData > 0 ? static_cast<uint32_t>(request.cbInData) : 0;
    uint32_t outputSize = request.cbOutData > 0 ? static_cast<uint32_t>(request.cbOutData) : 0;
    uint32_t length = 0;
    if (!RequestBlockLength(units, inputSize, outputSize, &length)) return;
    uint8_t* block = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length));
    if (!block) return;
    FillRequestBlock(block, request.dwRequest, request.inData, inputSize, true, outputSize, name.data(), units);
    SendToCachedWindow(opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED ? MONMSG_DEVICE_REQUEST_MAPPED
                                                                        : MONMSG_DEVICE_REQUEST,
                       block, length);
    HeapFree(GetProcessHeap(), 0, block);
}

void ServeCommand(PRPC_MESSAGE message) {
    unsigned long drep = TakeRequestRepresentation(message);
    CommandRequest request;
    if (!DecodeCommandRequest(static_cast<const uint8_t*>(message->Buffer), message->BufferLength,
                              drep, &request))
        Fault(RPC_X_BAD_STUB_DATA);
    // The stub's copy first, then the routine's message, as in the real server.
    if (!g_bare) {
        size_t units = size_t(request.printerName.units) + request.argument.units;
        uint16_t* strings = static_cast<uint16_t*>(MIDL_user_allocate(units * sizeof(uint16_t)));
        if (!strings) Fault(RPC_S_OUT_OF_MEMORY);
        CopyWireString(request.printerName, drep, strings);
        CopyWireString(request.argument, drep, strings + request.printerName.units);
        SendCommandBlock(request, drep);
        Hold();
        MIDL_user_free(strings);
    } else {
        SendCommandBlock(request, drep);
        Hold();
    }
    message->BufferLength = CommandResponseLength();
    RPC_STATUS status = I_RpcGetBuffer(message);
    if (status != RPC_S_OK) Fault(status);
    EncodeCommandResponse(static_cast<uint8_t*>(message->Buffer), 1);
}

void ServeDeviceRequest(PRPC_MESSAGE message, uint32_t opnum) {
    unsigned long drep = TakeRequestRepresentation(message);
    DeviceRequestCall request;
    if (!DecodeDeviceRequest(static_cast<const uint8_t*>(message->Buffer), message->BufferLength,
                             drep, &request))
        Fault(RPC_X_BAD_STUB_DATA);
    DeviceCallStorage* storage = nullptr;
    if (!g_bare) {
        size_t units = size_t(request.printerName.units) + request.reserved.units;
        storage = static_cast<DeviceCallStorage*>(
            MIDL_user_allocate(offsetof(DeviceCallStorage, strings) + units * sizeof(wchar_t)));
        if (!storage) Fault(RPC_S_OUT_OF_MEMORY);
        std::memcpy(storage->inData, request.inData, DEVICE_RPC_ARRAY_SIZE);
        std::memcpy(storage->outData, request.outData, DEVICE_RPC_ARRAY_SIZE);
        uint16_t* strings = reinterpret_cast<uint16_t*>(storage->strings);
        CopyWireString(request.printerName, drep, strings);
        CopyWireString(request.reserved, drep, strings + request.printerName.units);
    }
    // The routine's message after the stub's copy, as in the real server:
    // while it waits for the language monitor, the call holds both.
    SendRequestBlock(request, drep, opnum);
    Hold();
    int32_t cbOutData = request.dwRequest == 3 ? 96 : 32;
    int32_t result = opnum == DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED ? 0 : 1;
    bool hasOutSize = request.outSizeReferent != 0;
    message->BufferLength = DeviceResponseLength(opnum, hasOutSize);
    RPC_STATUS status = I_RpcGetBuffer(message);
    if (status == RPC_S_OK)
        EncodeDeviceResponse(static_cast<uint8_t*>(message->Buffer), opnum,
                             storage ? storage->inData : g_zeroArray,
                             storage ? storage->outData : g_zeroArray, request.outSizeReferent,
                             cbOutData, result);
    if (storage) MIDL_user_free(storage);
    if (status != RPC_S_OK) Fault(status);
}

void __RPC_STUB DispatchSendCommand(PRPC_MESSAGE message) { ServeCommand(message); }
void __RPC_STUB DispatchSendCommand2(PRPC_MESSAGE message) { ServeCommand(message); }
void __RPC_STUB DispatchDeviceRequest(PRPC_MESSAGE message) {
    ServeDeviceRequest(message, DEVICE_RPC_OPNUM_DEVICE_REQUEST);
}
void __RPC_STUB DispatchDeviceRequestMapped(PRPC_MESSAGE message) {
    ServeDeviceRequest(message, DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED);
}

// Spans every 16-bit opnum, as the real server's table does: Wine's runtime
// reads the entry of an out-of-range opnum after rejecting it.
RPC_DISPATCH_FUNCTION g_dispatchFunctions[65536];

RPC_DISPATCH_TABLE g_dispatchTable = {DEVICE_RPC_PROCEDURE_COUNT, g_dispatchFunctions, 0};

RPC_SERVER_INTERFACE g_serverInterface = {
    sizeof(RPC_SERVER_INTERFACE),
    DEVICE_RPC_INTERFACE_ID,
    NDR20_TRANSFER_SYNTAX,
    &g_dispatchTable,
    0,
    nullptr,
    nullptr,
    nullptr,
    0,
};

RPC_WSTR RpcText(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

int Usage(const wchar_t* problem) {
    PrintErr(L"BenchNullServer: %ls\nRun BenchNullServer --help for the options.\n", problem);
    return EXIT_USAGE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* endpoint = L"DeviceRpcBenchNull";
    for (int i = 1; i < argc; ++i) {
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (lstrcmpW(argv[i], L"--help") == 0) {
            PrintOut(L"%ls", kUsage);
            return EXIT_OK;
        } else if (lstrcmpW(argv[i], L"--bare") == 0) {
            g_bare = true;
        } else if (lstrcmpW(argv[i], L"--send") == 0) {
            g_send = true;
        } else if (lstrcmpW(argv[i], L"--endpoint") == 0 && value) {
            endpoint = value;
            ++i;
        } else if (lstrcmpW(argv[i], L"--max-calls") == 0 && value) {
            long maxCalls = 0;
            if (!ParseLong(value, &maxCalls) || maxCalls <= 0) return Usage(L"--max-calls takes a number");
            g_maxCalls = static_cast<unsigned int>(maxCalls);
            ++i;
        } else if (lstrcmpW(argv[i], L"--hold-ms") == 0 && value) {
            long hold = 0;
            if (!ParseLong(value, &hold) || hold < 0) return Usage(L"--hold-ms takes a number");
            g_holdMs = static_cast<DWORD>(hold);
            ++i;
        } else {
            return Usage(argv[i]);
        }
    }
    g_dispatchFunctions[DEVICE_RPC_OPNUM_SEND_COMMAND] = DispatchSendCommand;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_SEND_COMMAND2] = DispatchSendCommand2;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_DEVICE_REQUEST] = DispatchDeviceRequest;
    g_dispatchFunctions[DEVICE_RPC_OPNUM_DEVICE_REQUEST_MAPPED] = DispatchDeviceRequestMapped;

    if (g_send) {
        g_window = ReadMonitorWindow();
        g_replyMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32792,
                                            L"Global\\ZOLT7 DeviceRequest Mapped File");
        if (!g_window || !g_replyMapping) {
            PrintErr(L"BenchNullServer: --send needs the language monitor's window and the reply mapping\n");
            return EXIT_FAILED;
        }
    }

    // The real server's registration: MaxCalls 1, default security.
    RPC_STATUS status = RpcServerUseProtseqEpW(RpcText(L"ncalrpc"), g_maxCalls, RpcText(endpoint), nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: ncalrpc endpoint %ls: status %lu\n", endpoint, status);
        return EXIT_FAILED;
    }
    status = RpcServerUseProtseqW(RpcText(L"ncacn_ip_tcp"), g_maxCalls, nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: ncacn_ip_tcp: status %lu\n", status);
        return EXIT_FAILED;
    }
    status = RpcServerRegisterIf(&g_serverInterface, nullptr, nullptr);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: interface registration: status %lu\n", status);
        return EXIT_FAILED;
    }
    status = RpcServerListen(1, 1234, TRUE);
    if (status != RPC_S_OK) {
        PrintErr(L"BenchNullServer: listen: status %lu\n", status);
        return EXIT_FAILED;
    }
    // The TCP port is the runtime's choice; the driver reads it from the
    // sockets of the prefix's wineserver.
    PrintOut(L"ready lrpc=%ls\n", endpoint);

    // Serves until standard input ends (the driver closes the pipe).
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    RpcMgmtStopServerListening(nullptr);
    RpcMgmtWaitServerListen();
    if (g_replyMapping) CloseHandle(g_replyMapping);
    return EXIT_OK;
}
