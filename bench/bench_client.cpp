// BenchClient: load generator for the device RPC server (or any server of
// the same interface). N client threads, each with its own binding, call
// one procedure for a time or a number of calls; every call is timed and
// its answer checked. One "result" line per client count.
#include <windows.h>

#include <rpc.h>

#include <cstddef>
#include <cwchar>
#include <vector>

#include "DeviceRpc_client.h"
#include "bench_load.h"
#include "command_line.h"
#include "devicerpc_contract.h"
#include "exit_codes.h"
#include "rpc_binding.h"
#include "tool_common.h"

namespace {

enum Operation { OP_SEND, OP_CONFIG, OP_BINS, OP_MAPPED };

struct ClientPlan {
    const wchar_t* protseq;
    const wchar_t* host;
    const wchar_t* endpoint;
    Operation op;
    const wchar_t* printer;
    long cbOut;
    DWORD warmup;
    bool anyAnswer;
};

// Everything the command line sets.
struct ClientLine {
    ClientPlan plan;
    bool haveOp;
    int clients[16];
    int clientRuns;
    double seconds;
    double graceSeconds;
    DWORD calls;
    bool startup;
    DWORD timeoutMs;
    const wchar_t* label;
};

struct ClientContext {
    const ClientPlan* plan;
    RPC_BINDING_HANDLE binding;
    unsigned char* inData;   // DEVICE_RPC_ARRAY_SIZE bytes
    unsigned char* outData;  // DEVICE_RPC_ARRAY_SIZE bytes
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
    long request = plan->op == OP_BINS ? DEVREQ_BIN_INFO : DEVREQ_CONFIG;
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
    long expectedSize = long(request == DEVREQ_BIN_INFO ? BIN_INFO_REPLY_SIZE : CONFIG_REPLY_SIZE);
    long expectedResult = plan->op == OP_MAPPED ? 0 : 1;
    return result == expectedResult && cbOut == expectedSize;
}

// The harness's call: one checked call.
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

// The name of an operation on the command line and in result labels.
const wchar_t* OperationName(Operation op) {
    switch (op) {
    case OP_SEND: return L"send";
    case OP_CONFIG: return L"config";
    case OP_BINS: return L"bins";
    default: return L"mapped";
    }
}

// --op NAME.
int TakeOperation(const wchar_t* const* next, int available, void* record, wchar_t*) {
    if (available == 0) return -1;
    ClientLine* line = static_cast<ClientLine*>(record);
    for (Operation op : {OP_SEND, OP_CONFIG, OP_BINS, OP_MAPPED}) {
        if (lstrcmpW(next[0], OperationName(op)) != 0) continue;
        line->plan.op = op;
        line->haveOp = true;
        return 1;
    }
    return -1;
}

// --clients LIST.
int TakeClients(const wchar_t* const* next, int available, void* record, wchar_t*) {
    ClientLine* line = static_cast<ClientLine*>(record);
    return available > 0 && ParseCountList(next[0], line->clients, 16, &line->clientRuns) ? 1 : -1;
}

// --seconds S.
int TakeSeconds(const wchar_t* const* next, int available, void* record, wchar_t*) {
    return available > 0 && ParseSeconds(next[0], &static_cast<ClientLine*>(record)->seconds) ? 1 : -1;
}

// --grace-s S.
int TakeGraceSeconds(const wchar_t* const* next, int available, void* record, wchar_t*) {
    ClientLine* line = static_cast<ClientLine*>(record);
    return available > 0 && ParseSeconds(next[0], &line->graceSeconds) ? 1 : -1;
}

constexpr size_t PLAN = offsetof(ClientLine, plan);

const OptionSpec kOptions[] = {
    TextOption(L"--protseq", L"SEQ", PLAN + offsetof(ClientPlan, protseq),
               L"protocol sequence (required)"),
    TextOption(L"--host", L"H", PLAN + offsetof(ClientPlan, host), L"server host (default: this machine)"),
    TextOption(L"--endpoint", L"E", PLAN + offsetof(ClientPlan, endpoint),
               L"endpoint (default: the server's own)"),
    RoutineOption(L"--op", L"send|config|bins|mapped", TakeOperation, L"send, config, bins or mapped",
                  L"send: opnum 0, command 1 parameter 0 (expects TRUE)\n"
                  L"config, bins: opnum 2 with request 2 or 3 (expects TRUE, 32 or 96 bytes)\n"
                  L"mapped: opnum 3 with request 2 (expects 0 and 32 bytes)"),
    TextOption(L"--printer", L"NAME", PLAN + offsetof(ClientPlan, printer),
               L"printer name sent (default OFFICE)"),
    RoutineOption(L"--clients", L"LIST", TakeClients, L"a list such as 1,8,64",
                  L"client counts, run one after another (default 1)"),
    RoutineOption(L"--seconds", L"S", TakeSeconds, L"a number", L"length of each run (default 2)"),
    CountOption(L"--calls", L"N", offsetof(ClientLine, calls), 1, 0x7FFFFFFF, L"a positive number",
                L"instead of a time: N calls in all, split over the clients"),
    LongOption(L"--cb-out", L"N", PLAN + offsetof(ClientPlan, cbOut),
               L"output size sent with opnums 2 and 3 (default 32768)"),
    CountOption(L"--warmup", L"N", PLAN + offsetof(ClientPlan, warmup), 0, 0x7FFFFFFF, nullptr,
                L"untimed calls per client before the clock starts (default 2)"),
    RoutineOption(L"--grace-s", L"S", TakeGraceSeconds, L"a number",
                  L"wait S seconds past the end for calls that have not\n"
                  L"returned, then report them as stuck and exit (default 30)"),
    SwitchOption(L"--any-answer", PLAN + offsetof(ClientPlan, anyAnswer),
                 L"count every answered call as good, whatever it returned"),
    TextOption(L"--label", L"TEXT", offsetof(ClientLine, label),
               L"label of the result lines (default the op)"),
    SwitchOption(L"--startup", offsetof(ClientLine, startup),
                 L"signal " EVENT_RPC_START L" and report the time until\n"
                 L"the first call is answered (then exit)"),
    CountOption(L"--timeout-ms", L"MS", offsetof(ClientLine, timeoutMs), 1, 0x7FFFFFFF, nullptr,
                L"limit of --startup (default 30000)"),
};

// A protocol sequence always; an operation unless only the start-up is
// measured.
bool CheckLine(const ParsedLine&, void* record, wchar_t* problem) {
    const ClientLine* line = static_cast<const ClientLine*>(record);
    const wchar_t* missing = !line->plan.protseq              ? L"--protseq is required"
                             : !line->startup && !line->haveOp ? L"--op is required"
                                                               : nullptr;
    if (missing) lstrcpynW(problem, missing, CLI_PROBLEM_CHARS);
    return missing == nullptr;
}

const ToolSpec kTool = {
    L"BenchClient", nullptr,
    L"Usage: BenchClient --protseq SEQ [--host H] [--endpoint E] --op OP [options]\n", nullptr,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    nullptr, 0,
    0, 0, 20, nullptr, nullptr, CheckLine,
};

// Signals START by name, then calls until one call is answered.
int MeasureStartup(const ClientPlan* plan, DWORD timeoutMs) {
    HANDLE start = OpenEventW(EVENT_MODIFY_STATE, FALSE, EVENT_RPC_START);
    if (!start) {
        PrintErr(L"BenchClient: cannot open %ls: error %lu\n", EVENT_RPC_START, GetLastError());
        return EXIT_FAILED;
    }
    static unsigned char inData[DEVICE_RPC_ARRAY_SIZE];
    static unsigned char outData[DEVICE_RPC_ARRAY_SIZE];
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

// Reports a run's figures, and what stops the tool: calls that did not
// return, or the first failure status (to tell a slow server from a broken
// one). False when the run had errors.
bool ReportRun(const ClientLine* line, int count, const LatencySummary& summary,
               const ClientContext* contexts) {
    wchar_t runLabel[256];
    _snwprintf(runLabel, 255, L"op=%ls protseq=%ls clients=%d",
               line->label ? line->label : OperationName(line->plan.op), line->plan.protseq, count);
    runLabel[255] = 0;
    PrintSummary(runLabel, summary);
    // Stuck calls still use their bindings and buffers: nothing can be
    // released, and later runs would measure a disturbed server.
    if (summary.stuck) {
        PrintErr(L"BenchClient: %ls: %d calls did not return\n", runLabel, summary.stuck);
        ExitProcess(EXIT_FAILED);
    }
    for (int i = 0; i < count; ++i) {
        if (contexts[i].lastStatus != RPC_S_OK) {
            PrintErr(L"BenchClient: %ls: a client's last status was %lu\n", runLabel,
                     contexts[i].lastStatus);
            break;
        }
    }
    return summary.errors == 0;
}

// One run with `count` clients, each with its own binding and arrays.
bool RunClients(const ClientLine* line, int count) {
    const SIZE_T arraysPerClient = 2 * SIZE_T(DEVICE_RPC_ARRAY_SIZE);
    std::vector<ClientContext> contexts(static_cast<size_t>(count));
    std::vector<LoadWorker> workers(static_cast<size_t>(count));
    unsigned char* arrays = static_cast<unsigned char*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count) * arraysPerClient));
    if (!arrays) {
        PrintErr(L"BenchClient: out of memory for %d clients\n", count);
        ExitProcess(EXIT_FAILED);
    }
    for (size_t i = 0; i < contexts.size(); ++i) {
        unsigned char* own = arrays + i * arraysPerClient;
        contexts[i] = ClientContext{&line->plan, nullptr, own, own + DEVICE_RPC_ARRAY_SIZE, RPC_S_OK, 0};
        workers[i].context = &contexts[i];
        workers[i].prepare = PrepareThunk;
        workers[i].call = CallThunk;
        workers[i].warmup = static_cast<long>(line->plan.warmup);
    }
    LoadRun run = {workers.data(), count, line->seconds, static_cast<long>(line->calls),
                   line->graceSeconds, true};
    LatencySummary summary;
    bool ok = RunLoad(&run, &summary) && ReportRun(line, count, summary, contexts.data());
    for (ClientContext& context : contexts)
        if (context.binding) RpcBindingFree(&context.binding);
    HeapFree(GetProcessHeap(), 0, arrays);
    return ok;
}

}  // namespace

// Runs every client count in turn; 1 when a run had errors.
int wmain(int argc, wchar_t** argv) {
    ClientLine line = {};
    line.plan.printer = L"OFFICE";
    line.plan.cbOut = static_cast<long>(DEVICE_RPC_ARRAY_SIZE);
    line.plan.warmup = 2;
    line.clients[0] = 1;
    line.clientRuns = 1;
    line.seconds = 2.0;
    line.graceSeconds = 30.0;
    line.timeoutMs = 30000;
    ParsedLine parsed;
    int status = HandleCommandLine(kTool, argc, argv, &line, &parsed);
    if (status != CLI_RUN) return status;
    if (line.startup) return MeasureStartup(&line.plan, line.timeoutMs);
    status = EXIT_OK;
    for (int r = 0; r < line.clientRuns; ++r)
        if (!RunClients(&line, line.clients[r])) status = EXIT_FAILED;
    return status;
}
