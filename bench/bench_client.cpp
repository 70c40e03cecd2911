// BenchClient: load generator for the device RPC server (or any server of
// the same interface). N client threads, each with its own binding, call
// one procedure for a time or a number of calls; every call is timed and
// its answer checked. One "result" line per client count.
#include <windows.h>

#include <rpc.h>

#include <cwchar>

#include "DeviceRpc_client.h"
#include "bench_load.h"
#include "rpc_binding.h"
#include "tool_common.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const wchar_t kUsage[] =
    L"Usage: BenchClient --protseq SEQ [--host H] [--endpoint E] --op OP [options]\n"
    L"\n"
    L"  --op send|config|bins|mapped\n"
    L"        send: opnum 0, command 1 parameter 0 (expects TRUE)\n"
    L"        config, bins: opnum 2 with request 2 or 3 (expects TRUE, 32 or 96 bytes)\n"
    L"        mapped: opnum 3 with request 2 (expects 0 and 32 bytes)\n"
    L"  --printer NAME    printer name sent (default OFFICE)\n"
    L"  --clients LIST    client counts, run one after another (default 1)\n"
    L"  --seconds S       length of each run (default 2)\n"
    L"  --calls N         instead of a time: N calls in all, split over the clients\n"
    L"  --cb-out N        output size sent with opnums 2 and 3 (default 32768)\n"
    L"  --warmup N        untimed calls per client before the clock starts (default 2)\n"
    L"  --grace-s S       wait S seconds past the end for calls that have not\n"
    L"                    returned, then report them as stuck and exit (default 30)\n"
    L"  --any-answer      count every answered call as good, whatever it returned\n"
    L"  --label TEXT      label of the result lines (default the op)\n"
    L"  --startup         signal ZOLT7SM_EVENT_RPC_START and report the time until\n"
    L"                    the first call is answered (then exit)\n"
    L"  --timeout-ms MS   limit of --startup (default 30000)\n";

enum Operation { OP_SEND, OP_CONFIG, OP_BINS, OP_MAPPED };

struct ClientPlan {
    const wchar_t* protseq;
    const wchar_t* host;
    const wchar_t* endpoint;
    Operation op;
    const wchar_t* printer;
    long cbOut;
    long warmup;
    bool anyAnswer;
};

struct ClientContext {
    const ClientPlan* plan;
    RPC_BINDING_HANDLE binding;
    unsigned char* inData;   // 32768 bytes
    unsigned char* outData;  // 32768 bytes
    RPC_STATUS lastStatus;
    long lastResult;
};

// One call of the planned procedure; true when it was answered as a
// working server answers it.
bool CallOnce(ClientContext* context) {
    const ClientPlan* plan = context->plan;
    if (plan->op == OP_SEND) {
        unsigned char result = 0;
        RPC_STATUS status = CallSendCommand(context->binding, false, 1, 0, plan->printer, L"", &result);
        context->lastStatus = status;
        context->lastResult = result;
        return status == RPC_S_OK && (plan->anyAnswer || result == 1);
    }
    long request = plan->op == OP_BINS ? 3 : 2;
    long cbOut = plan->cbOut;
    long result = -1;
    context->inData[0] = 0;  // selector byte
    RPC_STATUS status = CallDeviceRequest(context->binding, plan->op == OP_MAPPED, request,
                                          context->inData, 0, context->outData, &cbOut,
                                          plan->printer, L"", &result);
    context->lastStatus = status;
    context->lastResult = result;
    if (status != RPC_S_OK) return false;
    if (plan->anyAnswer) return true;
    long expectedSize = request == 3 ? 96 : 32;
    long expectedResult = plan->op == OP_MAPPED ? 0 : 1;
    return result == expectedResult && cbOut == expectedSize;
}

bool CallThunk(void* context) {
    return CallOnce(static_cast<ClientContext*>(context));
}

bool PrepareThunk(void* parameter) {
    ClientContext* context = static_cast<ClientContext*>(parameter);
    const ClientPlan* plan = context->plan;
    BindingOptions options = {plan->protseq, plan->host, plan->endpoint, false, 0};
    context->lastStatus = OpenBinding(options, &context->binding);
    if (context->lastStatus != RPC_S_OK) return false;
    // The first call connects; the harness's warm-up calls then run on
    // every client at once, so that the runtime holds as many connections
    // as the timed calls use.
    CallOnce(context);
    return context->lastStatus == RPC_S_OK;
}

const wchar_t* OperationName(Operation op) {
    switch (op) {
    case OP_SEND: return L"send";
    case OP_CONFIG: return L"config";
    case OP_BINS: return L"bins";
    default: return L"mapped";
    }
}

bool ParseOperation(const wchar_t* text, Operation* op) {
    if (!text) return false;
    if (lstrcmpW(text, L"send") == 0) *op = OP_SEND;
    else if (lstrcmpW(text, L"config") == 0) *op = OP_CONFIG;
    else if (lstrcmpW(text, L"bins") == 0) *op = OP_BINS;
    else if (lstrcmpW(text, L"mapped") == 0) *op = OP_MAPPED;
    else return false;
    return true;
}

int Usage(const wchar_t* problem) {
    PrintErr(L"BenchClient: %ls\nRun BenchClient --help for the options.\n", problem);
    return EXIT_USAGE;
}

// Signals START by name, then calls until one call is answered.
int MeasureStartup(const ClientPlan* plan, DWORD timeoutMs) {
    HANDLE start = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ZOLT7SM_EVENT_RPC_START");
    if (!start) {
        PrintErr(L"BenchClient: cannot open ZOLT7SM_EVENT_RPC_START: error %lu\n", GetLastError());
        return EXIT_FAILED;
    }
    static unsigned char inData[32768];
    static unsigned char outData[32768];
    ClientContext context = {plan, nullptr, inData, outData, RPC_S_OK, 0};
    BindingOptions options = {plan->protseq, plan->host, plan->endpoint, false, 0};
    double ticksPerUs = CounterTicksPerMicrosecond();
    LONGLONG begin = CounterNow();
    SetEvent(start);
    CloseHandle(start);
    long attempts = 0;
    for (;;) {
        ++attempts;
        if (OpenBinding(options, &context.binding) == RPC_S_OK) {
            CallOnce(&context);
            RpcBindingFree(&context.binding);
            if (context.lastStatus == RPC_S_OK) break;
        }
        double elapsedMs = static_cast<double>(CounterNow() - begin) / ticksPerUs / 1000.0;
        if (elapsedMs > timeoutMs) {
            PrintErr(L"BenchClient: no answer within %lu ms (last status %lu)\n", timeoutMs,
                     context.lastStatus);
            return EXIT_FAILED;
        }
        Sleep(1);
    }
    double ms = static_cast<double>(CounterNow() - begin) / ticksPerUs / 1000.0;
    PrintOut(L"startup protseq=%ls ms=%.1f attempts=%ld result=%ld\n", plan->protseq, ms, attempts,
             context.lastResult);
    return EXIT_OK;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ClientPlan plan = {};
    plan.printer = L"OFFICE";
    plan.cbOut = 32768;
    plan.warmup = 2;
    bool haveOp = false;
    int clients[16] = {1};
    int clientRuns = 1;
    double seconds = 2.0;
    double graceSeconds = 30.0;
    long calls = 0;
    bool startup = false;
    long timeoutMs = 30000;
    const wchar_t* label = nullptr;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* option = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (lstrcmpW(option, L"--help") == 0) {
            PrintOut(L"%ls", kUsage);
            return EXIT_OK;
        } else if (lstrcmpW(option, L"--any-answer") == 0) {
            plan.anyAnswer = true;
            continue;
        } else if (lstrcmpW(option, L"--startup") == 0) {
            startup = true;
            continue;
        }
        if (!value) return Usage(L"an option lacks its value");
        ++i;
        if (lstrcmpW(option, L"--protseq") == 0) plan.protseq = value;
        else if (lstrcmpW(option, L"--host") == 0) plan.host = value;
        else if (lstrcmpW(option, L"--endpoint") == 0) plan.endpoint = value;
        else if (lstrcmpW(option, L"--printer") == 0) plan.printer = value;
        else if (lstrcmpW(option, L"--label") == 0) label = value;
        else if (lstrcmpW(option, L"--op") == 0) {
            if (!ParseOperation(value, &plan.op)) return Usage(L"--op takes send, config, bins or mapped");
            haveOp = true;
        } else if (lstrcmpW(option, L"--clients") == 0) {
            if (!ParseCountList(value, clients, 16, &clientRuns)) return Usage(L"--clients takes a list such as 1,8,64");
        } else if (lstrcmpW(option, L"--seconds") == 0) {
            if (!ParseSeconds(value, &seconds)) return Usage(L"--seconds takes a number");
        } else if (lstrcmpW(option, L"--grace-s") == 0) {
            if (!ParseSeconds(value, &graceSeconds)) return Usage(L"--grace-s takes a number");
        } else if (lstrcmpW(option, L"--calls") == 0) {
            if (!ParseLong(value, &calls) || calls <= 0) return Usage(L"--calls takes a positive number");
        } else if (lstrcmpW(option, L"--cb-out") == 0) {
            if (!ParseLong(value, &plan.cbOut)) return Usage(L"--cb-out takes a number");
        } else if (lstrcmpW(option, L"--warmup") == 0) {
            if (!ParseLong(value, &plan.warmup) || plan.warmup < 0) return Usage(L"--warmup takes a number");
        } else if (lstrcmpW(option, L"--timeout-ms") == 0) {
            if (!ParseLong(value, &timeoutMs) || timeoutMs <= 0) return Usage(L"--timeout-ms takes a number");
        } else {
            return Usage(option);
        }
    }
    if (!plan.protseq) return Usage(L"--protseq is required");
    if (startup) return MeasureStartup(&plan, static_cast<DWORD>(timeoutMs));
    if (!haveOp) return Usage(L"--op is required");

    wchar_t runLabel[256];
    int status = EXIT_OK;
    for (int r = 0; r < clientRuns; ++r) {
        int count = clients[r];
        std::vector<ClientContext> contexts(static_cast<size_t>(count));
        std::vector<LoadWorker> workers(static_cast<size_t>(count));
        unsigned char* arrays = static_cast<unsigned char*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count) * 65536));
        if (!arrays) {
            PrintErr(L"BenchClient: out of memory for %d clients\n", count);
            return EXIT_FAILED;
        }
        for (int i = 0; i < count; ++i) {
            ClientContext* context = &contexts[static_cast<size_t>(i)];
            *context = ClientContext{&plan, nullptr, arrays + static_cast<size_t>(i) * 65536,
                                     arrays + static_cast<size_t>(i) * 65536 + 32768, RPC_S_OK, 0};
            workers[static_cast<size_t>(i)].context = context;
            workers[static_cast<size_t>(i)].prepare = PrepareThunk;
            workers[static_cast<size_t>(i)].call = CallThunk;
            workers[static_cast<size_t>(i)].warmup = plan.warmup;
        }
        LoadRun run = {workers.data(), count, seconds, calls, graceSeconds, true};
        LatencySummary summary;
        if (!RunLoad(&run, &summary)) {
            status = EXIT_FAILED;
        } else {
            _snwprintf(runLabel, 255, L"op=%ls protseq=%ls clients=%d", label ? label : OperationName(plan.op),
                       plan.protseq, count);
            runLabel[255] = 0;
            PrintSummary(runLabel, summary);
            // Stuck calls still use their bindings and buffers: nothing can be
            // released, and later runs would measure a disturbed server.
            if (summary.stuck) {
                PrintErr(L"BenchClient: %ls: %d calls did not return\n", runLabel, summary.stuck);
                ExitProcess(EXIT_FAILED);
            }
            // The first failure, to tell a slow server from a broken one.
            for (const ClientContext& context : contexts) {
                if (context.lastStatus != RPC_S_OK) {
                    PrintErr(L"BenchClient: %ls: a client's last status was %lu\n", runLabel,
                             context.lastStatus);
                    break;
                }
            }
            if (summary.errors) status = EXIT_FAILED;
        }
        for (ClientContext& context : contexts)
            if (context.binding) RpcBindingFree(&context.binding);
        HeapFree(GetProcessHeap(), 0, arrays);
    }
    return status;
}
