// The listener thread.
#include "listener.h"

#include <rpc.h>

#include "DeviceRpc.h"

namespace {

// 1 from just before RpcServerListen until it returns. Two threads touch it,
// so every access is interlocked.
volatile LONG g_listening = 0;

RPC_WSTR RpcText(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

bool ProtseqValid(const wchar_t* protseq) {
    return RpcNetworkIsProtseqValidW(RpcText(protseq)) == RPC_S_OK;
}

// Local RPC is offered only from major version 6 on.
bool LocalRpcOffered() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    return GetVersionExW(&version) == TRUE && version.dwMajorVersion >= 6;
}

// Registers every supported protocol sequence with MaxCalls 1 and the
// default endpoint security. Results are ignored: a sequence that cannot
// be registered is simply not offered.
void RegisterProtocolSequences() {
    const unsigned int maxCalls = 1;
    if (ProtseqValid(L"ncacn_nb_nb"))
        RpcServerUseProtseqW(RpcText(L"ncacn_nb_nb"), maxCalls, nullptr);
    // The TCP endpoint is dynamic and registered on every start, as the
    // others are. Windows keeps it across a stop. Wine 8 closes its socket
    // on a stop and does not serve TCP again in this process: re-registering
    // a TCP endpoint there leaves the runtime's accept loop matching a stale
    // event handle (measured: it spins and never accepts), so nothing
    // is done to force it back.
    if (ProtseqValid(L"ncacn_ip_tcp"))
        RpcServerUseProtseqW(RpcText(L"ncacn_ip_tcp"), maxCalls, nullptr);
    if (ProtseqValid(L"ncacn_np"))
        RpcServerUseProtseqEpW(RpcText(L"ncacn_np"), maxCalls, RpcText(L"\\pipe\\ZOLT7"), nullptr);
    if (LocalRpcOffered() && ProtseqValid(L"ncalrpc"))
        RpcServerUseProtseqEpW(RpcText(L"ncalrpc"), maxCalls, RpcText(L"MirelVEXA2xZOLT7"),
                               nullptr);
}

}  // namespace

bool IsListening() {
    return InterlockedCompareExchange(&g_listening, 0, 0) == 1;
}

DWORD WINAPI ListenerThread(LPVOID) {
    Sleep(1000);
    RegisterProtocolSequences();

    RPC_BINDING_VECTOR* vector = nullptr;
    if (RpcServerInqBindings(&vector) != RPC_S_OK) return 0;
    RPC_STATUS status = RpcEpRegisterW(DeviceRpc_v1_0_s_ifspec, vector, nullptr, nullptr);
    // The vector is released on the failure path too, not only after success.
    if (vector) RpcBindingVectorFree(&vector);
    if (status != RPC_S_OK) return 0;

    // The interface stays registered across stops; later starts get 1712.
    status = RpcServerRegisterIf(DeviceRpc_v1_0_s_ifspec, nullptr, nullptr);
    if (status != RPC_S_OK && status != RPC_S_TYPE_ALREADY_REGISTERED) return 0;

    InterlockedExchange(&g_listening, 1);
    RpcServerListen(1, 1234, FALSE);
    InterlockedExchange(&g_listening, 0);
    return 0;
}
