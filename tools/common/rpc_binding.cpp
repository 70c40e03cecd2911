// Binding to the device RPC server from the tools.
#include "rpc_binding.h"

#include "DeviceRpc.h"
#include "DeviceRpc_client.h"
#include "devicerpc_contract.h"
#include "wire_codec.h"

namespace {

RPC_WSTR RpcText(const wchar_t* text) {
    return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text));
}

}  // namespace

const wchar_t* DefaultEndpoint(const wchar_t* protseq) {
    if (lstrcmpiW(protseq, SERVER_PROTSEQ_PIPE) == 0) return SERVER_PIPE_ENDPOINT;
    if (lstrcmpiW(protseq, SERVER_PROTSEQ_LOCAL) == 0) return SERVER_LRPC_ENDPOINT;
    return nullptr;
}

RPC_STATUS OpenBinding(const BindingOptions& options, RPC_BINDING_HANDLE* binding) {
    *binding = nullptr;
    const wchar_t* endpoint = options.endpoint;
    if (!endpoint && !options.resolve) endpoint = DefaultEndpoint(options.protseq);
    if (!endpoint && !options.resolve) return RPC_S_INVALID_ENDPOINT_FORMAT;

    RPC_WSTR text = nullptr;
    RPC_STATUS status = RpcStringBindingComposeW(
        nullptr, RpcText(options.protseq), options.host ? RpcText(options.host) : nullptr,
        options.resolve ? nullptr : RpcText(endpoint), nullptr, &text);
    if (status != RPC_S_OK) return status;
    status = RpcBindingFromStringBindingW(text, binding);
    RpcStringFreeW(&text);
    if (status != RPC_S_OK) return status;

    if (options.resolve) status = RpcEpResolveBinding(*binding, DeviceRpc_v1_0_c_ifspec);
    if (status == RPC_S_OK && options.timeoutMs) {
        // The runtime's time-out is a level from 0 to 10, not milliseconds;
        // the shortest is enough to tell a dead endpoint quickly.
        RpcMgmtSetComTimeout(*binding, RPC_C_BINDING_MIN_TIMEOUT);
    }
    if (status != RPC_S_OK) {
        RpcBindingFree(binding);
        *binding = nullptr;
    }
    return status;
}

bool ProbeServer(const BindingOptions& options, RPC_STATUS* status) {
    RPC_BINDING_HANDLE binding = nullptr;
    *status = OpenBinding(options, &binding);
    if (*status != RPC_S_OK) return false;
    void* response = nullptr;
    unsigned int responseLength = 0;
    unsigned long drep = 0;
    *status = CallRaw(binding, DEVICE_RPC_PROCEDURE_COUNT, nullptr, 0, &response,
                      &responseLength, &drep);
    if (response) MIDL_user_free(response);
    RpcBindingFree(&binding);
    return *status == RPC_S_PROCNUM_OUT_OF_RANGE;
}
