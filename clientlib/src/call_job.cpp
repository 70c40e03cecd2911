// One call's job: its own binding copy and buffers, run on the caller's
// thread or, with a time-out, on a worker thread the caller can give up.
//
// Why a worker: the runtime's own call time-out (RPC_C_OPT_CALL_TIMEOUT)
// is honoured on Windows for ncacn_* only, not for ncalrpc, and Wine's
// runtime ignores it on every protocol sequence. RpcCancelThreadEx ends a
// call blocked in the runtime on ncacn_* under Windows and, under Wine, on
// all three protocol sequences. Where neither works the caller still
// returns at its deadline and the worker finishes alone.
#include "api_internal.h"

#include <cstring>

#include "DeviceRpc_client.h"

namespace {

// How long a worker gets to come back after its call was cancelled, and
// how often the cancel is repeated: a cancel that arrives before the call
// has reached the runtime's receive is lost.
const DWORD CANCEL_ROUNDS = 4;
const DWORD CANCEL_ROUND_MS = 25;

// Any object in this module, to name the module for GetModuleHandleExW.
const char g_moduleAnchor = 0;

// A copy of `text` on the process heap; null when memory is short.
wchar_t* CopyText(const wchar_t* text) {
    size_t bytes = (size_t(lstrlenW(text)) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
}

// The call itself, over the interface's client routines, which keep the
// runtime's buffer-ownership rule on every path.
void ExecuteJob(CallJob* job) {
    if (job->kind == JOB_COMMAND) {
        job->status = CallSendCommand(job->binding, job->alternate, job->code, job->param,
                                      job->printer, job->argument, &job->verdict);
    } else {
        job->status = CallDeviceRequest(job->binding, job->alternate, job->code, job->in,
                                        job->inSize, job->out,
                                        job->hasOutSize ? &job->outSize : nullptr,
                                        job->printer, L"", &job->result);
    }
}

// A reference to this module, taken for a worker before it starts, so
// that the library stays loaded while an abandoned call finishes; null
// when it cannot be had.
HMODULE HoldModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&g_moduleAnchor), &module))
        return nullptr;
    return module;
}

// The worker: runs the job, drops its reference, and leaves through the
// module reference it was given.
DWORD WINAPI WorkerMain(void* parameter) {
    CallJob* job = static_cast<CallJob*>(parameter);
    HMODULE module = job->module;
    ExecuteJob(job);
    ReleaseJob(job);
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

// Cancels the worker's call until it returns or the rounds are spent;
// true when it returned.
bool CancelWorker(HANDLE thread) {
    for (DWORD round = 0; round < CANCEL_ROUNDS; ++round) {
        RpcCancelThreadEx(thread, 0);
        if (WaitForSingleObject(thread, CANCEL_ROUND_MS) == WAIT_OBJECT_0) return true;
    }
    return false;
}

}  // namespace

CallJob* NewJob(const DEVICERPC_SESSION* session, JobKind kind, const wchar_t* printer,
                const wchar_t* argument, RPC_STATUS* status) {
    *status = RPC_S_OUT_OF_MEMORY;
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallJob));
    if (!block) return nullptr;
    CallJob* job = static_cast<CallJob*>(block);
    job->refs = 1;
    job->kind = kind;
    job->printer = CopyText(printer);
    job->argument = argument ? CopyText(argument) : nullptr;
    if (!job->printer || (argument && !job->argument)) {
        ReleaseJob(job);
        return nullptr;
    }
    *status = RpcBindingCopy(session->binding, &job->binding);
    if (*status == RPC_S_OK && session->timeoutMs && session->connectionOriented) {
        // Where the runtime honours it, it also tells the server the call is
        // over; where not, RunJob bounds the call. The result is not needed.
        RpcBindingSetOption(job->binding, RPC_C_OPT_CALL_TIMEOUT, session->timeoutMs);
    }
    if (*status != RPC_S_OK) {
        job->binding = nullptr;
        ReleaseJob(job);
        return nullptr;
    }
    return job;
}

void ReleaseJob(CallJob* job) {
    if (InterlockedDecrement(&job->refs) != 0) return;
    if (job->binding) RpcBindingFree(&job->binding);
    if (job->printer) HeapFree(GetProcessHeap(), 0, job->printer);
    if (job->argument) HeapFree(GetProcessHeap(), 0, job->argument);
    HeapFree(GetProcessHeap(), 0, job);
}

bool RunJob(CallJob* job, uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        ExecuteJob(job);
        return true;
    }
    InterlockedIncrement(&job->refs);  // the worker's
    job->module = HoldModule();
    HANDLE thread = CreateThread(nullptr, 0, WorkerMain, job, 0, nullptr);
    if (!thread) {
        InterlockedDecrement(&job->refs);
        if (job->module) FreeLibrary(job->module);
        job->status = RPC_S_OUT_OF_THREADS;
        return true;
    }
    bool finished = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    bool late = !finished;
    if (late) finished = CancelWorker(thread);
    CloseHandle(thread);
    if (!finished) return false;
    // An answer that beat the cancel is still the server's answer.
    if (late && job->status != RPC_S_OK) job->status = DEVICERPC_CODE_TIMED_OUT;
    return true;
}
