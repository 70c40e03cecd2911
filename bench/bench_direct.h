// BenchDirect's parts: its options, the load runs that print result lines,
// and the filler printers of the spooler's keys.
#pragma once

#include <windows.h>

#include "exit_codes.h"

// BenchDirect's commands.
enum DirectCommand {
    DIRECT_COPYDATA,
    DIRECT_REGISTRY,
    DIRECT_KERNEL,
    DIRECT_WALK,
    DIRECT_SPOOLER_FILL,
    DIRECT_SPOOLER_CLEAR,
};

struct BenchOptions {
    const wchar_t* printer;
    const wchar_t* op;
    const wchar_t* driver;
    const wchar_t* label;
    long code;
    long request;
    DWORD cbOut;
    DWORD count;
    int senders[16];
    int senderRuns;
    double seconds;
    DWORD calls;
};

// Parses the command line into `options`, with the defaults for what is
// not given, and the command into `*command` (a DirectCommand). Returns
// CLI_RUN to go on, else the exit status (after printing the help or the
// problem).
int ParseDirectOptions(int argc, wchar_t** argv, BenchOptions* options, int* command);

// Reports a command-line problem; returns EXIT_USAGE.
int DirectUsage(const wchar_t* problem);

// Runs `call` with `context` on each sender count of the options, one
// "result" line each. EXIT_FAILED when a call failed; a call that did not
// return ends the process.
int RunAndPrint(const BenchOptions* options, const wchar_t* what, bool (*call)(void*),
                void* context);

// Adds `options->count` shared filler printers whose driver
// (`options->driver`) names the language monitor, or removes them all.
int SpoolerFill(const BenchOptions* options);
int SpoolerClear();

// The number of printers in the spooler's keys.
DWORD CountSpoolerPrinters();
