// BenchDirect's command line.
#include "bench_direct.h"
#include "bench_load.h"
#include "tool_common.h"

namespace {

const wchar_t kUsage[] =
    L"Usage: BenchDirect COMMAND [options]\n"
    L"\n"
    L"  copydata --code 5|9|11 [--request 2|3] [--senders LIST]\n"
    L"                 WM_COPYDATA round trips to the window in \"LP Window handle\"\n"
    L"                 with the block the server would send\n"
    L"  registry --op send|config|bins|mapped\n"
    L"                 the registry operations of that procedure\n"
    L"  kernel         the mutex and reply mapping cycle of opnum 3\n"
    L"  walk           one printer name resolution\n"
    L"  spooler-fill --count N [--driver NAME]\n"
    L"                 add N shared filler printers served by the language monitor\n"
    L"  spooler-clear  remove the filler printers\n"
    L"\n"
    L"Common options: --printer NAME (default OFFICE), --cb-out N (default 32768),\n"
    L"--seconds S (default 2) or --calls N, --label TEXT.\n";

// Takes one "--option value" pair into `options`; null when it was taken,
// else the problem.
const wchar_t* TakeOption(const wchar_t* option, const wchar_t* value, BenchOptions* options) {
    if (lstrcmpW(option, L"--printer") == 0) options->printer = value;
    else if (lstrcmpW(option, L"--op") == 0) options->op = value;
    else if (lstrcmpW(option, L"--driver") == 0) options->driver = value;
    else if (lstrcmpW(option, L"--label") == 0) options->label = value;
    else if (lstrcmpW(option, L"--code") == 0) {
        if (!ParseLong(value, &options->code)) return L"--code takes a number";
    } else if (lstrcmpW(option, L"--request") == 0) {
        if (!ParseLong(value, &options->request)) return L"--request takes a number";
    } else if (lstrcmpW(option, L"--cb-out") == 0) {
        if (!ParseLong(value, &options->cbOut) || options->cbOut < 0) return L"--cb-out takes a number";
    } else if (lstrcmpW(option, L"--count") == 0) {
        if (!ParseLong(value, &options->count) || options->count < 0) return L"--count takes a number";
    } else if (lstrcmpW(option, L"--senders") == 0) {
        if (!ParseCountList(value, options->senders, 16, &options->senderRuns))
            return L"--senders takes a list such as 1,64";
    } else if (lstrcmpW(option, L"--seconds") == 0) {
        if (!ParseSeconds(value, &options->seconds)) return L"--seconds takes a number";
    } else if (lstrcmpW(option, L"--calls") == 0) {
        if (!ParseLong(value, &options->calls) || options->calls <= 0) return L"--calls takes a number";
    } else {
        return option;
    }
    return nullptr;
}

}  // namespace

int ParseDirectOptions(int argc, wchar_t** argv, BenchOptions* options) {
    if (argc < 2) return DirectUsage(L"a command is required");
    if (lstrcmpW(argv[1], L"--help") == 0) {
        PrintOut(L"%ls", kUsage);
        return EXIT_OK;
    }
    *options = BenchOptions{};
    options->printer = L"OFFICE";
    options->driver = L"ZOLT7 Reference Driver";
    options->request = 2;
    options->cbOut = 32768;
    options->senders[0] = 1;
    options->senderRuns = 1;
    options->seconds = 2.0;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return DirectUsage(L"an option lacks its value");
        const wchar_t* problem = TakeOption(argv[i], argv[i + 1], options);
        if (problem) return DirectUsage(problem);
    }
    return -1;
}
