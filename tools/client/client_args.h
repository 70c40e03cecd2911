// The client's command line: its commands, their options and help, read
// by the shared parser into a plain record, and the device request that a
// command's arguments make.
#pragma once

#include <windows.h>

#include "command_line.h"
#include "devicerpc_contract.h"
#include "exit_codes.h"
#include "reply_format.h"
#include "rpc_binding.h"

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

// Option groups, as bits, so that each command can say which ones it takes.
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

enum OutputStyle { OUTPUT_TABLE, OUTPUT_JSON, OUTPUT_HEX };

struct Invocation {
    BindingOptions binding;
    const CommandSpec* command;  // its `value` is the request code of a named request
    const wchar_t* args[CLI_MAX_ARGS];
    int argCount;
    const wchar_t* printer;
    const wchar_t* inHex;
    bool hasCbIn;
    long cbIn;
    long cbOut;
    bool nullOut;
    bool mapped;
    bool json;  // --json and --hex as given; `style` is what they mean
    bool hex;
    OutputStyle style;
};

// The client's options, commands and help (client_commands.cpp).
extern const ToolSpec kClientTool;

// The client's own rules over a parsed line (the ToolSpec's check): the
// output style, the printer, --in and the binding; completes `record`, an
// Invocation, with the command and its arguments.
bool CheckInvocation(const ParsedLine& line, void* record, wchar_t* problem);

// Parses and checks the whole command line into `invocation`, printing the
// help, the version or a usage error. CLI_RUN when the command is to run,
// else the exit status.
int ReadInvocation(int argc, wchar_t** argv, Invocation* invocation);

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
    BYTE in[DEVICE_RPC_ARRAY_SIZE];
};

// Builds the request of a device-request command: request code, selector
// and input bytes from its arguments and options. EXIT_OK, or EXIT_USAGE
// with the reason in `problem` (CLI_PROBLEM_CHARS).
int BuildRequestPlan(const Invocation& invocation, RequestPlan* plan, wchar_t* problem);
