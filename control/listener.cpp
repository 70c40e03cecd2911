// The listener thread.
#include "listener.h"

#include <rpc.h>

#include "DeviceRpc.h"
#include "devicerpc_contract.h"

namespace {

// Where the listener is: starting (sleeping or registering), listening,
// asked not to listen (by TERMINATE while starting), or idle. Two threads
// touch it, so every access is interlocked.
enum ListenerPhase : LONG {
    PHASE_IDLE = 0,
    PHASE_STARTING = 1,
    PHASE_LISTENING = 2,
    PHASE_CANCELLED = 3,
};

volatile LONG g_phase = PHASE_IDLE;

LONG CurrentPhase() {
    return InterlockedCompareExchange(&g_phase, PHASE_IDLE, PHASE_IDLE);
}

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

// Registers every supported protocol sequence with MaxCalls
// SERVER_PROTSEQ_MAX_CALLS and the default endpoint security. Results are
// ignored: a sequence that cannot be registered is simply not offered.
void RegisterProtocolSequences() {
    const unsigned int maxCalls = SERVER_PROTSEQ_MAX_CALLS;
    if (ProtseqValid(SERVER_PROTSEQ_NETBIOS))
        RpcServerUseProtseqW(RpcText(SERVER_PROTSEQ_NETBIOS), maxCalls, nullptr);
    // The TCP endpoint is dynamic and registered on every start, as the
    // others are. Windows keeps it across a stop. Wine 8 closes its socket
    // on a stop and does not serve TCP again in this process: re-registering
    // a TCP endpoint there leaves the runtime's accept loop matching a stale
    // event handle (measured: it spins and never accepts), so nothing
    // is done to force it back.
    if (ProtseqValid(SERVER_PROTSEQ_TCP))
        RpcServerUseProtseqW(RpcText(SERVER_PROTSEQ_TCP), maxCalls, nullptr);
    if (ProtseqValid(SERVER_PROTSEQ_PIPE))
        RpcServerUseProtseqEpW(RpcText(SERVER_PROTSEQ_PIPE), maxCalls,
                               RpcText(SERVER_PIPE_ENDPOINT), nullptr);
    if (LocalRpcOffered() && ProtseqValid(SERVER_PROTSEQ_LOCAL))
        RpcServerUseProtseqEpW(RpcText(SERVER_PROTSEQ_LOCAL), maxCalls,
                               RpcText(SERVER_LRPC_ENDPOINT), nullptr);
}

// Enters the endpoints in the endpoint map and registers the interface.
// False when the server cannot listen.
bool RegisterEndpointsAndInterface() {
    RPC_BINDING_VECTOR* vector = nullptr;
    if (RpcServerInqBindings(&vector) != RPC_S_OK) return false;
    RPC_STATUS status = RpcEpRegisterW(DeviceRpc_v1_0_s_ifspec, vector, nullptr, nullptr);
    // The vector is released on the failure path too, not only after success.
    if (vector) RpcBindingVectorFree(&vector);
    if (status != RPC_S_OK) return false;

    // The interface stays registered across stops; later starts get 1712.
    status = RpcServerRegisterIf(DeviceRpc_v1_0_s_ifspec, nullptr, nullptr);
    return status == RPC_S_OK || status == RPC_S_TYPE_ALREADY_REGISTERED;
}

// Listens until the stop sequence ends listening. The runtime is made to
// listen first and the phase follows, so that whenever the control loop
// sees "listening" its stop sequence acts on a listening runtime: a stop
// run before RpcServerListen is entered would be refused as "not
// listening", and a blocking listen call entered after it would never
// return. A cancel taken while starting is carried out here, by the one
// thread that knows the runtime is listening.
void Listen() {
    if (RpcServerListen(1, SERVER_MAX_CONCURRENT_CALLS, TRUE) != RPC_S_OK) return;
    if (InterlockedCompareExchange(&g_phase, PHASE_LISTENING, PHASE_STARTING) != PHASE_STARTING)
        StopListening();
    RpcMgmtWaitServerListen();
}

}  // namespace

bool IsListening() {
    return CurrentPhase() == PHASE_LISTENING;
}

bool CancelListenerStart() {
    return InterlockedCompareExchange(&g_phase, PHASE_CANCELLED, PHASE_STARTING) == PHASE_STARTING;
}

HANDLE StartListenerThread() {
    InterlockedExchange(&g_phase, PHASE_STARTING);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ListenerThread, nullptr, 0, &threadId);
    if (!thread) InterlockedExchange(&g_phase, PHASE_IDLE);
    return thread;
}

void StopListening() {
    RPC_BINDING_VECTOR* vector = nullptr;
    if (RpcServerInqBindings(&vector) == RPC_S_OK) {
        RpcEpUnregister(DeviceRpc_v1_0_s_ifspec, vector, nullptr);
        RpcBindingVectorFree(&vector);
    }
    RpcMgmtStopServerListening(nullptr);
}

DWORD WINAPI ListenerThread(LPVOID) {
    Sleep(1000);
    // Cancelled while sleeping: the runtime is never touched.
    if (CurrentPhase() != PHASE_CANCELLED) {
        RegisterProtocolSequences();
        if (RegisterEndpointsAndInterface()) Listen();
    }
    InterlockedExchange(&g_phase, PHASE_IDLE);
    return 0;
}
