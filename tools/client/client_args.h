// The client's command line: its commands, their options and help, and
// the parsing of one invocation into a plain record.
#pragma once

#include <windows.h>

#include "reply_format.h"
#include "rpc_binding.h"

// Exit codes.
const int EXIT_OK = 0;
const int EXIT_REQUEST_FAILED = 1;
const int EXIT_USAGE = 2;
const int EXIT_UNREACHABLE = 3;

enum CommandId {
    CMD_COMMAND,
    CMD_COMMAND2,
    CMD_REQUEST,
    CMD_MAPPED,
    CMD_CONFIG,
    CMD_BINS,
    CMD_CALIBRATION,
    CMD_COUNTER,
    CMD_FLASH,
    CMD_SERVICE_SETTINGS,
    CMD_WRITE_BINS,
    CMD_WRITE_FLASH,
    CMD_PROBE,
    CMD_DOCTOR,
};

// Options, as bits, so that each command can say which ones it takes.
enum OptionBit : unsigned {
    OPT_PROTSEQ = 1u << 0,  // --protseq, --resolve
    OPT_HOST = 1u << 1,     // --host, --endpoint
    OPT_PRINTER = 1u << 2,
    OPT_IN = 1u << 3,
    OPT_CB_IN = 1u << 4,
    OPT_CB_OUT = 1u << 5,
    OPT_NULL_OUT = 1u << 6,
    OPT_MAPPED = 1u << 7,
    OPT_JSON = 1u << 8,
    OPT_HEX = 1u << 9,
};

struct CommandSpec {
    const wchar_t* name;
    CommandId id;
    int minArgs;  // positional arguments after the command name
    int maxArgs;
    unsigned options;
    LONG requestCode;  // device requests with a fixed code; 0 otherwise
    const wchar_t* synopsis;
    const wchar_t* help;
};

enum OutputStyle { OUTPUT_TABLE, OUTPUT_JSON, OUTPUT_HEX };

struct Invocation {
    BindingOptions binding;
    const CommandSpec* command;  // null with --help or --version alone
    const wchar_t* args[4];
    int argCount;
    const wchar_t* printer;
    const wchar_t* inHex;
    bool hasCbIn;
    long cbIn;
    long cbOut;
    bool nullOut;
    bool mapped;
    OutputStyle style;
    bool help;
    bool version;
};

// Parses the whole command line (options may stand before or after the
// command; "--" ends them). EXIT_OK, or EXIT_USAGE with the reason in
// `problem` (256 chars).
int ParseInvocation(int argc, wchar_t** argv, Invocation* invocation, wchar_t* problem);

// The general usage text, and the help of one command, on standard output.
void PrintUsage();
void PrintCommandHelp(const CommandSpec& command);

// A device request ready to be sent.
struct RequestPlan {
    bool mapped;  // opnum 3 instead of opnum 2
    LONG code;
    BYTE selector;  // the first input byte
    ReplyKind kind;
    DWORD inCount;  // input bytes given
    long cbIn;
    long cbOut;
    bool nullOut;
    const wchar_t* printer;
    BYTE in[32768];
};

// Builds the request of a device-request command: request code, selector
// and input bytes from its arguments and options. EXIT_OK, or EXIT_USAGE
// with the reason in `problem` (256 chars).
int BuildRequestPlan(const Invocation& invocation, RequestPlan* plan, wchar_t* problem);
