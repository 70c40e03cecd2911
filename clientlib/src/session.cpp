// Sessions: a template binding to one server and the call time-out, and
// the statuses every call reports.
#include "api_internal.h"

#include "DeviceRpc.h"
#include "devicerpc_contract.h"

namespace {

RPC_WSTR RpcText(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

// The server's fixed endpoint for `protseq`; null for TCP, whose port the
// runtime chooses when the server starts.
const wchar_t* FixedEndpoint(const wchar_t* protseq) {
    if (lstrcmpiW(protseq, SERVER_PROTSEQ_PIPE) == 0) return SERVER_PIPE_ENDPOINT;
    if (lstrcmpiW(protseq, SERVER_PROTSEQ_LOCAL) == 0) return SERVER_LRPC_ENDPOINT;
    return nullptr;
}

// True when the string binding's protocol sequence is connection-oriented
// (ncacn_*), the only kind whose call time-out the runtime may honour.
bool ConnectionOriented(const wchar_t* stringBinding) {
    RPC_WSTR protseq = nullptr;
    if (RpcStringBindingParseW(RpcText(stringBinding), nullptr, &protseq, nullptr, nullptr,
                               nullptr) != RPC_S_OK)
        return false;
    const wchar_t* name = reinterpret_cast<const wchar_t*>(protseq);
    bool connected = lstrlenW(name) >= 6 &&
                     CompareStringOrdinal(name, 6, L"ncacn_", 6, TRUE) == CSTR_EQUAL;
    RpcStringFreeW(&protseq);
    return connected;
}

// Makes the session of `stringBinding`: the binding, its endpoint from the
// endpoint map when `resolve`, and the time-out.
DEVICERPC_STATUS MakeSession(const wchar_t* stringBinding, bool resolve, uint32_t timeoutMs,
                             DEVICERPC_SESSION** session, uint32_t* code) {
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(DEVICERPC_SESSION));
    if (!block) return Report(DEVICERPC_E_TRANSPORT, RPC_S_OUT_OF_MEMORY, code);
    DEVICERPC_SESSION* made = static_cast<DEVICERPC_SESSION*>(block);
    RPC_STATUS status = RpcBindingFromStringBindingW(RpcText(stringBinding), &made->binding);
    if (status == RPC_S_OK && resolve)
        status = RpcEpResolveBinding(made->binding, DeviceRpc_v1_0_c_ifspec);
    if (status != RPC_S_OK) {
        if (made->binding) RpcBindingFree(&made->binding);
        HeapFree(GetProcessHeap(), 0, made);
        return Report(DEVICERPC_E_TRANSPORT, status, code);
    }
    made->timeoutMs = timeoutMs;
    made->connectionOriented = ConnectionOriented(stringBinding);
    *session = made;
    return Report(DEVICERPC_OK, 0, code);
}

}  // namespace

DEVICERPC_STATUS Report(DEVICERPC_STATUS status, uint32_t detail, uint32_t* code) {
    if (code) *code = detail;
    return status;
}

DEVICERPC_STATUS ReportJob(const CallJob* job, uint32_t* code) {
    if (job->status != RPC_S_OK) return Report(DEVICERPC_E_TRANSPORT, job->status, code);
    if (job->kind == JOB_COMMAND)
        return job->verdict ? Report(DEVICERPC_OK, 0, code) : Report(DEVICERPC_E_FALSE, 0, code);
    if (job->alternate)
        return job->result == 0 ? Report(DEVICERPC_OK, 0, code)
                                : Report(DEVICERPC_E_WIN32, uint32_t(job->result), code);
    return job->result ? Report(DEVICERPC_OK, 0, code) : Report(DEVICERPC_E_FALSE, 0, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcOpenSession(
    const wchar_t* protseq, const wchar_t* host, const wchar_t* endpoint, uint32_t flags,
    uint32_t timeoutMs, DEVICERPC_SESSION** session, uint32_t* code) {
    if (!session) return Report(DEVICERPC_E_ARGUMENT, 6, code);
    *session = nullptr;
    if (!protseq) return Report(DEVICERPC_E_ARGUMENT, 1, code);
    if (flags & ~DEVICERPC_OPEN_RESOLVE) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    bool resolve = (flags & DEVICERPC_OPEN_RESOLVE) != 0;
    // With the endpoint map asked, an endpoint given is not used.
    const wchar_t* used = resolve ? nullptr : endpoint ? endpoint : FixedEndpoint(protseq);
    if (!used && !resolve) return Report(DEVICERPC_E_ARGUMENT, 3, code);

    RPC_WSTR text = nullptr;
    RPC_STATUS status = RpcStringBindingComposeW(nullptr, RpcText(protseq),
                                                 host ? RpcText(host) : nullptr,
                                                 used ? RpcText(used) : nullptr, nullptr, &text);
    if (status != RPC_S_OK) return Report(DEVICERPC_E_TRANSPORT, status, code);
    DEVICERPC_STATUS result =
        MakeSession(reinterpret_cast<const wchar_t*>(text), resolve, timeoutMs, session, code);
    RpcStringFreeW(&text);
    return result;
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcOpenSessionFromBinding(
    const wchar_t* stringBinding, uint32_t flags, uint32_t timeoutMs, DEVICERPC_SESSION** session,
    uint32_t* code) {
    if (!session) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    *session = nullptr;
    if (!stringBinding) return Report(DEVICERPC_E_ARGUMENT, 1, code);
    if (flags & ~DEVICERPC_OPEN_RESOLVE) return Report(DEVICERPC_E_ARGUMENT, 2, code);
    return MakeSession(stringBinding, (flags & DEVICERPC_OPEN_RESOLVE) != 0, timeoutMs, session,
                       code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcCloseSession(DEVICERPC_SESSION* session) {
    if (!session) return DEVICERPC_E_ARGUMENT;
    RpcBindingFree(&session->binding);
    HeapFree(GetProcessHeap(), 0, session);
    return DEVICERPC_OK;
}
