// BenchDirect's command line.
#include <cstddef>

#include "bench_direct.h"
#include "bench_load.h"
#include "command_line.h"
#include "devicerpc_contract.h"
#include "exit_codes.h"

namespace {

// --senders LIST.
int TakeSenders(const wchar_t* const* next, int available, void* record, wchar_t*) {
    BenchOptions* options = static_cast<BenchOptions*>(record);
    return available > 0 && ParseCountList(next[0], options->senders, 16, &options->senderRuns) ? 1 : -1;
}

// --seconds S.
int TakeSeconds(const wchar_t* const* next, int available, void* record, wchar_t*) {
    return available > 0 && ParseSeconds(next[0], &static_cast<BenchOptions*>(record)->seconds) ? 1 : -1;
}

const OptionSpec kOptions[] = {
    TextOption(L"--printer", L"NAME", offsetof(BenchOptions, printer),
               L"printer name (default OFFICE)"),
    LongOption(L"--code", L"5|9|11", offsetof(BenchOptions, code), L"copydata: the message code"),
    LongOption(L"--request", L"2|3", offsetof(BenchOptions, request),
               L"copydata: the request code of codes 9 and 11 (default 2)"),
    CountOption(L"--cb-out", L"N", offsetof(BenchOptions, cbOut), 0, 0x7FFFFFFF, nullptr,
                L"the output size of a RequestBlock (default 32768)"),
    RoutineOption(L"--senders", L"LIST", TakeSenders, L"a list such as 1,64",
                  L"sender counts, run one after another (default 1)"),
    TextOption(L"--op", L"send|config|bins|mapped", offsetof(BenchOptions, op),
               L"registry: the procedure"),
    CountOption(L"--count", L"N", offsetof(BenchOptions, count), 0, 0x7FFFFFFF, nullptr,
                L"spooler-fill: the number of filler printers"),
    TextOption(L"--driver", L"NAME", offsetof(BenchOptions, driver),
               L"spooler-fill: their driver (default ZOLT7 Reference Driver)"),
    RoutineOption(L"--seconds", L"S", TakeSeconds, L"a number", L"length of each run (default 2)"),
    CountOption(L"--calls", L"N", offsetof(BenchOptions, calls), 1, 0x7FFFFFFF, nullptr,
                L"instead of a time: N calls in all, split over the senders"),
    TextOption(L"--label", L"TEXT", offsetof(BenchOptions, label),
               L"label of the result lines (default the command)"),
};

const CommandSpec kCommands[] = {
    {L"copydata", DIRECT_COPYDATA, 0, 0, 0, 0,
     L"copydata --code 5|9|11 [--request 2|3] [--senders LIST]",
     L"WM_COPYDATA round trips to the window in \"" MONITOR_WINDOW_VALUE L"\"\n"
     L"with the block the server would send",
     nullptr},
    {L"registry", DIRECT_REGISTRY, 0, 0, 0, 0, L"registry --op send|config|bins|mapped",
     L"the registry operations of that procedure", nullptr},
    {L"kernel", DIRECT_KERNEL, 0, 0, 0, 0, L"kernel", L"the mutex and reply mapping cycle of opnum 3",
     nullptr},
    {L"walk", DIRECT_WALK, 0, 0, 0, 0, L"walk", L"one printer name resolution", nullptr},
    {L"spooler-fill", DIRECT_SPOOLER_FILL, 0, 0, 0, 0, L"spooler-fill --count N [--driver NAME]",
     L"add N shared filler printers served by the language monitor", nullptr},
    {L"spooler-clear", DIRECT_SPOOLER_CLEAR, 0, 0, 0, 0, L"spooler-clear",
     L"remove the filler printers", nullptr},
};

const ToolSpec kTool = {
    L"BenchDirect", nullptr, L"Usage: BenchDirect COMMAND [options]\n", nullptr,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    kCommands, sizeof(kCommands) / sizeof(kCommands[0]),
    0, 0, 19, nullptr, nullptr, nullptr,
};

}  // namespace

int ParseDirectOptions(int argc, wchar_t** argv, BenchOptions* options, int* command) {
    *options = BenchOptions{};
    options->printer = L"OFFICE";
    options->driver = L"ZOLT7 Reference Driver";
    options->request = DEVREQ_CONFIG;
    options->cbOut = DEVICE_RPC_ARRAY_SIZE;
    options->senders[0] = 1;
    options->senderRuns = 1;
    options->seconds = 2.0;
    ParsedLine line;
    int status = HandleCommandLine(kTool, argc, argv, options, &line);
    if (status == CLI_RUN) *command = line.command->id;
    return status;
}

int DirectUsage(const wchar_t* problem) {
    return ReportUsageError(kTool, nullptr, problem);
}
