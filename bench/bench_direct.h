// BenchDirect's parts: its options, the load runs that print result lines,
// and the filler printers of the spooler's keys.
#pragma once

#include <windows.h>

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

struct BenchOptions {
    const wchar_t* printer;
    const wchar_t* op;
    const wchar_t* driver;
    const wchar_t* label;
    long code;
    long request;
    long cbOut;
    long count;
    int senders[16];
    int senderRuns;
    double seconds;
    long calls;
};

// Parses the command line (the command is argv[1]) into `options`, with
// the defaults for what is not given. Returns -1 to go on, else the exit
// code (after printing the help or the problem).
int ParseDirectOptions(int argc, wchar_t** argv, BenchOptions* options);

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
