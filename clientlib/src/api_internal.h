// What the library's sources share: the session record, one call's job,
// and the status helpers.
#pragma once

#include <windows.h>
#include <rpc.h>

#include "devicerpc_api.h"

// A session is its template binding and its time-out. It never changes
// after it is opened: every call runs on a copy of the binding (see
// CallJob), so threads share nothing that a call writes.
struct DEVICERPC_SESSION {
    RPC_BINDING_HANDLE binding;
    uint32_t timeoutMs;         // 0: no bound
    bool connectionOriented;    // ncacn_*: the runtime's call time-out applies
};

// One call to the server with everything it reads and writes, on the heap
// so that a call abandoned at its time-out can finish on its worker thread
// without touching the caller's memory. Released by the last of the caller
// and the worker.
enum JobKind { JOB_COMMAND, JOB_REQUEST };

struct CallJob {
    LONG refs;
    HMODULE module;              // held by a worker until it ends
    RPC_BINDING_HANDLE binding;  // this call's own copy of the session's
    JobKind kind;
    bool alternate;  // opnum 1 instead of 0, or opnum 3 instead of 2
    long code;       // the command, or the request code
    long param;
    wchar_t* printer;
    wchar_t* argument;  // commands only
    long inSize;
    bool hasOutSize;
    long outSize;
    RPC_STATUS status;
    unsigned char verdict;  // opnums 0 and 1
    long result;            // opnums 2 and 3
    uint8_t in[DEVICERPC_ARRAY_SIZE];
    uint8_t out[DEVICERPC_ARRAY_SIZE];
};

// A zero-filled job on a copy of the session's binding with copies of the
// strings (`argument` may be null); null with the RPC status in `*status`
// when memory or the copy fails.
CallJob* NewJob(const DEVICERPC_SESSION* session, JobKind kind, const wchar_t* printer,
                const wchar_t* argument, RPC_STATUS* status);

// Drops one reference; the last frees the job and its binding copy.
void ReleaseJob(CallJob* job);

// Runs the call: on this thread without a time-out, else on a worker
// thread that is cancelled when `timeoutMs` runs out. True when the job's
// results may be read (job->status says how the call went; a call cut
// short reads DEVICERPC_CODE_TIMED_OUT); false when the call was abandoned
// and goes on alone, which the caller reports as timed out.
bool RunJob(CallJob* job, uint32_t timeoutMs);

// Stores `detail` in `*code` when `code` is not null; returns `status`.
DEVICERPC_STATUS Report(DEVICERPC_STATUS status, uint32_t detail, uint32_t* code);

// The status of a call the server answered: its RPC status, then the
// boolean (opnums 0 to 2) or the Windows error code (opnum 3).
DEVICERPC_STATUS ReportJob(const CallJob* job, uint32_t* code);

// True when `flags` of a device request holds no bit but DEVICERPC_MAPPED.
inline bool ValidRequestFlags(uint32_t flags) {
    return (flags & ~DEVICERPC_MAPPED) == 0;
}
