// The typed device requests: each sends its request code and selector
// and hands back the decoded record, or the status of what went wrong.
#include <cstring>

#include "api_internal.h"
#include "devicerpc_contract.h"

namespace {

// The first arguments every typed request shares: session, flags, printer.
DEVICERPC_STATUS CheckCommon(const DEVICERPC_SESSION* session, uint32_t flags,
                             const wchar_t* printer, uint32_t* code) {
    if (!session) return Report(DEVICERPC_E_ARGUMENT, 1, code);
    if (!ValidRequestFlags(flags)) return Report(DEVICERPC_E_ARGUMENT, 2, code);
    if (!printer) return Report(DEVICERPC_E_ARGUMENT, 3, code);
    return DEVICERPC_OK;
}

// Sends request `request` with `inSize` input bytes (the selector first)
// and the whole output array as its capacity. DEVICERPC_OK with the
// finished job in `*done`, which the caller decodes and releases; any
// other status with nothing left to release.
DEVICERPC_STATUS RunTyped(DEVICERPC_SESSION* session, uint32_t flags, long request,
                          const wchar_t* printer, const uint8_t* input, uint32_t inSize,
                          CallJob** done, uint32_t* code) {
    *done = nullptr;
    RPC_STATUS status = RPC_S_OK;
    CallJob* job = NewJob(session, JOB_REQUEST, printer, nullptr, &status);
    if (!job) return Report(DEVICERPC_E_TRANSPORT, status, code);
    job->alternate = (flags & DEVICERPC_MAPPED) != 0;
    job->code = request;
    if (inSize) std::memcpy(job->in, input, inSize);
    job->inSize = long(inSize);
    job->hasOutSize = true;
    job->outSize = long(DEVICERPC_ARRAY_SIZE);
    if (!RunJob(job, session->timeoutMs)) {
        ReleaseJob(job);
        return Report(DEVICERPC_E_TRANSPORT, DEVICERPC_CODE_TIMED_OUT, code);
    }
    DEVICERPC_STATUS result = ReportJob(job, code);
    if (result != DEVICERPC_OK) {
        ReleaseJob(job);
        return result;
    }
    *done = job;
    return DEVICERPC_OK;
}

// The reply length the server returned; an output size outside the
// array becomes a length no record has, so that decoding refuses it.
uint32_t ReplyLength(const CallJob* job) {
    return uint32_t(job->outSize);
}

// The status of a decoded reply: DEVICERPC_E_REPLY with the reply's
// length when it did not fit the record. Releases the job.
DEVICERPC_STATUS Decoded(DEVICERPC_STATUS decoded, CallJob* job, uint32_t* code) {
    uint32_t length = ReplyLength(job);
    ReleaseJob(job);
    if (decoded == DEVICERPC_OK) return Report(DEVICERPC_OK, 0, code);
    return Report(DEVICERPC_E_REPLY, length, code);
}

// A write request: the answer is the result alone.
DEVICERPC_STATUS Write(DEVICERPC_SESSION* session, uint32_t flags, long request,
                       const wchar_t* printer, const uint8_t* input, uint32_t inSize,
                       uint32_t* code) {
    CallJob* job = nullptr;
    DEVICERPC_STATUS status = RunTyped(session, flags, request, printer, input, inSize, &job, code);
    if (job) ReleaseJob(job);
    return status;
}

// True for the selectors of the named counters.
bool KnownCounter(uint32_t counter) {
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
        if (COUNTER_SELECTORS[i].selector == counter) return true;
    return false;
}

// A reply decoder of the library's, for records of type Record.
template <typename Record>
using Decoder = DEVICERPC_STATUS(DEVICERPC_CALL*)(const uint8_t*, uint32_t, Record*);

// One typed read: zero-fills `*record`, checks the common arguments, then
// refuses argument `refused` (0: none) or a null record (argument
// `recordArg`), sends `request` with its input and decodes the reply.
template <typename Record>
DEVICERPC_STATUS ReadRecord(DEVICERPC_SESSION* session, uint32_t flags, const wchar_t* printer,
                            long request, const uint8_t* input, uint32_t inSize,
                            uint32_t refused, Record* record, uint32_t recordArg,
                            Decoder<Record> decode, uint32_t* code) {
    if (record) std::memset(record, 0, sizeof(*record));
    DEVICERPC_STATUS status = CheckCommon(session, flags, printer, code);
    if (status != DEVICERPC_OK) return status;
    if (refused) return Report(DEVICERPC_E_ARGUMENT, refused, code);
    if (!record) return Report(DEVICERPC_E_ARGUMENT, recordArg, code);
    CallJob* job = nullptr;
    status = RunTyped(session, flags, request, printer, input, inSize, &job, code);
    if (status != DEVICERPC_OK) return status;
    return Decoded(decode(job->out, ReplyLength(job), record), job, code);
}

}  // namespace

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetConfig(DEVICERPC_SESSION* session,
                                                              uint32_t flags,
                                                              const wchar_t* printer,
                                                              DEVICERPC_CONFIG* config,
                                                              uint32_t* code) {
    return ReadRecord(session, flags, printer, DEVREQ_CONFIG, nullptr, 0, 0, config, 4,
                      DeviceRpcDecodeConfig, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetBins(DEVICERPC_SESSION* session,
                                                            uint32_t flags,
                                                            const wchar_t* printer,
                                                            DEVICERPC_BINS* bins,
                                                            uint32_t* code) {
    return ReadRecord(session, flags, printer, DEVREQ_BIN_INFO, nullptr, 0, 0, bins, 4,
                      DeviceRpcDecodeBins, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetCalibration(
    DEVICERPC_SESSION* session, uint32_t flags, const wchar_t* printer,
    DEVICERPC_CALIBRATION* calibration, uint32_t* code) {
    return ReadRecord(session, flags, printer, DEVREQ_CALIBRATION, nullptr, 0, 0, calibration, 4,
                      DeviceRpcDecodeCalibration, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetCounter(DEVICERPC_SESSION* session,
                                                               uint32_t flags,
                                                               const wchar_t* printer,
                                                               uint32_t counter, uint32_t* value,
                                                               uint32_t* code) {
    uint8_t selector = uint8_t(counter);
    return ReadRecord(session, flags, printer, DEVREQ_COUNTER, &selector, 1,
                      KnownCounter(counter) ? 0 : 4, value, 5, DeviceRpcDecodeCounter, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetFlashItem(DEVICERPC_SESSION* session,
                                                                 uint32_t flags,
                                                                 const wchar_t* printer,
                                                                 uint32_t selector,
                                                                 DEVICERPC_FLASH_ITEM* item,
                                                                 uint32_t* code) {
    bool allowed = selector <= 255 && selector != SELECTOR_SERVICE_SETTINGS;
    uint8_t input = uint8_t(selector);
    return ReadRecord(session, flags, printer, DEVREQ_FLASH_DATA, &input, 1, allowed ? 0 : 4,
                      item, 5, DeviceRpcDecodeFlashItem, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetServiceSettings(
    DEVICERPC_SESSION* session, uint32_t flags, const wchar_t* printer,
    DEVICERPC_SERVICE_SETTINGS* settings, uint32_t* code) {
    uint8_t selector = uint8_t(SELECTOR_SERVICE_SETTINGS);
    return ReadRecord(session, flags, printer, DEVREQ_FLASH_DATA, &selector, 1, 0, settings, 4,
                      DeviceRpcDecodeServiceSettings, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcWriteBins(DEVICERPC_SESSION* session,
                                                              uint32_t flags,
                                                              const wchar_t* printer,
                                                              const uint8_t* data, uint32_t size,
                                                              uint32_t* code) {
    DEVICERPC_STATUS status = CheckCommon(session, flags, printer, code);
    if (status != DEVICERPC_OK) return status;
    if (!data) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    if (size == 0 || size > DEVICERPC_ARRAY_SIZE) return Report(DEVICERPC_E_ARGUMENT, 5, code);
    return Write(session, flags, DEVREQ_BIN_INFO_WRITE, printer, data, size, code);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcWriteFlashItem(
    DEVICERPC_SESSION* session, uint32_t flags, const wchar_t* printer, uint32_t selector,
    const uint8_t* data, uint32_t size, uint32_t* code) {
    DEVICERPC_STATUS status = CheckCommon(session, flags, printer, code);
    if (status != DEVICERPC_OK) return status;
    if (selector > 255) return Report(DEVICERPC_E_ARGUMENT, 4, code);
    if (!data && size) return Report(DEVICERPC_E_ARGUMENT, 5, code);
    if (size > DEVICERPC_ARRAY_SIZE - 1) return Report(DEVICERPC_E_ARGUMENT, 6, code);
    // The selector byte, then the item: built in a heap block, as the
    // whole input array is too large for a caller's stack.
    uint8_t* input = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    if (!input) return Report(DEVICERPC_E_TRANSPORT, RPC_S_OUT_OF_MEMORY, code);
    input[0] = uint8_t(selector);
    if (size) std::memcpy(input + 1, data, size);
    status = Write(session, flags, DEVREQ_FLASH_DATA_WRITE, printer, input, size + 1, code);
    HeapFree(GetProcessHeap(), 0, input);
    return status;
}
