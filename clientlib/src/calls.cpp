// The untyped calls: both command procedures and any device request with
// its arrays as they are.
#include <cstring>

#include "api_internal.h"

namespace {

// Opnum 0 or 1 for `printer` with `argument`.
DEVICERPC_STATUS SendCommand(DEVICERPC_SESSION* session, bool second, int32_t command,
                             int32_t param, const wchar_t* printer, const wchar_t* argument,
                             uint32_t* code) {
    if (!session) return Report(DEVICERPC_E_ARGUMENT, 1, code);
    if (!printer) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    if (!argument) return Report(DEVICERPC_E_ARGUMENT, 5, code);
    RPC_STATUS status = RPC_S_OK;
    CallJob* job = NewJob(session, JOB_COMMAND, printer, argument, &status);
    if (!job) return Report(DEVICERPC_E_TRANSPORT, status, code);
    job->alternate = second;
    job->code = command;
    job->param = param;
    DEVICERPC_STATUS result = RunJob(job, session->timeoutMs)
                                  ? ReportJob(job, code)
                                  : Report(DEVICERPC_E_TRANSPORT, DEVICERPC_CODE_TIMED_OUT, code);
    ReleaseJob(job);
    return result;
}

}  // namespace

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcSendCommand(DEVICERPC_SESSION* session,
                                                                int32_t command, int32_t param,
                                                                const wchar_t* printer,
                                                                const wchar_t* argument,
                                                                uint32_t* code) {
    return SendCommand(session, false, command, param, printer, argument, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcSendCommand2(DEVICERPC_SESSION* session,
                                                                 int32_t command, int32_t param,
                                                                 const wchar_t* printer,
                                                                 const wchar_t* argument,
                                                                 uint32_t* code) {
    return SendCommand(session, true, command, param, printer, argument, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcRequest(DEVICERPC_SESSION* session,
                                                            uint32_t flags, int32_t request,
                                                            uint8_t* inData, int32_t inSize,
                                                            uint8_t* outData, int32_t* outSize,
                                                            const wchar_t* printer,
                                                            uint32_t* code) {
    if (!session) return Report(DEVICERPC_E_ARGUMENT, 1, code);
    if (!ValidRequestFlags(flags)) return Report(DEVICERPC_E_ARGUMENT, 2, code);
    if (!inData) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    if (!outData) return Report(DEVICERPC_E_ARGUMENT, 6, code);
    if (!printer) return Report(DEVICERPC_E_ARGUMENT, 8, code);
    RPC_STATUS status = RPC_S_OK;
    CallJob* job = NewJob(session, JOB_REQUEST, printer, nullptr, &status);
    if (!job) return Report(DEVICERPC_E_TRANSPORT, status, code);
    job->alternate = (flags & DEVICERPC_MAPPED) != 0;
    job->code = request;
    job->inSize = inSize;
    job->hasOutSize = outSize != nullptr;
    job->outSize = outSize ? *outSize : 0;
    std::memcpy(job->in, inData, DEVICERPC_ARRAY_SIZE);
    std::memcpy(job->out, outData, DEVICERPC_ARRAY_SIZE);
    if (!RunJob(job, session->timeoutMs)) {
        ReleaseJob(job);
        return Report(DEVICERPC_E_TRANSPORT, DEVICERPC_CODE_TIMED_OUT, code);
    }
    // The caller's arrays change only once the server has answered.
    if (job->status == RPC_S_OK) {
        std::memcpy(inData, job->in, DEVICERPC_ARRAY_SIZE);
        std::memcpy(outData, job->out, DEVICERPC_ARRAY_SIZE);
        if (outSize) *outSize = job->outSize;
    }
    DEVICERPC_STATUS result = ReportJob(job, code);
    ReleaseJob(job);
    return result;
}
