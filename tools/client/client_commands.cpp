// The client's command line as tables: every command with its arguments,
// the options it takes, its request code and help, and every option with
// the field of the Invocation it fills.
#include <cstddef>

#include "client_args.h"
#include "devicerpc_version.h"

namespace {

const unsigned BINDING = OPT_PROTSEQ | OPT_HOST;
const unsigned REQUEST_SIZES = OPT_PRINTER | OPT_CB_IN | OPT_CB_OUT | OPT_NULL_OUT;
const unsigned ACQUIRE = BINDING | REQUEST_SIZES | OPT_MAPPED | OPT_JSON | OPT_HEX;
const unsigned WRITE = BINDING | REQUEST_SIZES | OPT_IN | OPT_MAPPED | OPT_JSON | OPT_HEX;
const unsigned RAW = BINDING | REQUEST_SIZES | OPT_IN | OPT_JSON | OPT_HEX;

const CommandSpec kCommands[] = {
    {L"command", CMD_COMMAND, 3, 4, BINDING | OPT_JSON, 0, L"command CMD PARAM PRINTER [ARGUMENT]",
     nullptr,
     L"Sends a command for PRINTER to the language monitor with RpcSendCommand\n"
     L"(opnum 0) and prints its verdict. CMD and PARAM are 32-bit numbers,\n"
     L"decimal or 0x-hex; the server passes ARGUMENT on but the monitor ignores\n"
     L"it for this procedure.\n"},
    {L"command2", CMD_COMMAND2, 4, 4, BINDING | OPT_JSON, 0, L"command2 CMD PARAM PRINTER ARGUMENT",
     nullptr,
     L"Sends a command with an argument string for PRINTER with RpcSendCommand2\n"
     L"(opnum 1) and prints the monitor's verdict.\n"},
    {L"request", CMD_REQUEST, 1, 2, RAW, 0, L"request CODE --printer NAME [--in HEX]", nullptr,
     L"Sends any device request code with RpcDeviceRequest (opnum 2) and prints\n"
     L"the result, the output size the server returned and that many output\n"
     L"bytes in hex, 16 to a line. The first input byte is the selector of the\n"
     L"request. NAME may also be given as a second argument.\n"},
    {L"mapped", CMD_MAPPED, 1, 2, RAW, 0, L"mapped CODE --printer NAME [--in HEX]", nullptr,
     L"Sends a device request with RpcDeviceRequestMapped (opnum 3), whose reply\n"
     L"comes through the reply mapping, and prints the Windows error code it\n"
     L"returns with its system message, the output size and the output bytes in\n"
     L"hex. NAME may also be given as a second argument.\n"},
    {L"config", CMD_CONFIG, 0, 0, ACQUIRE, DEVREQ_CONFIG, L"config --printer NAME", nullptr,
     L"Reads the printer's configuration (request code 2) and prints the\n"
     L"ConfigReply: record length, cassettes, duplex unit and firmware version.\n"},
    {L"bins", CMD_BINS, 0, 0, ACQUIRE, DEVREQ_BIN_INFO, L"bins --printer NAME", nullptr,
     L"Reads the paper-source information (request code 3) and prints one row\n"
     L"per bin: record length, paper source, size code, width, height and level.\n"},
    {L"calibration", CMD_CALIBRATION, 0, 0, ACQUIRE, DEVREQ_CALIBRATION,
     L"calibration --printer NAME", nullptr,
     L"Reads the 60-byte calibration block (request code 4) and prints it in hex.\n"},
    {L"counter", CMD_COUNTER, 1, 1, ACQUIRE, DEVREQ_COUNTER, L"counter KIND --printer NAME",
     nullptr,
     L"Reads one page counter (request code 9). KIND is mono, color, black, cyan,\n"
     L"magenta, yellow or io (selector bytes 0, 2, 5, 6, 7, 8 and 1), or a selector\n"
     L"number 0 to 255; every selector without a counter of its own reads io.\n"},
    {L"flash", CMD_FLASH, 1, 1, ACQUIRE, DEVREQ_FLASH_DATA, L"flash SELECTOR --printer NAME",
     nullptr,
     L"Reads flash data (request code 11) with SELECTOR (0 to 255) as the first\n"
     L"input byte. Selectors 0 and 10 return a FlashDataReply (item id and data),\n"
     L"selector 12 the service settings, any other an empty reply.\n"},
    {L"service-settings", CMD_SERVICE_SETTINGS, 0, 0, ACQUIRE, DEVREQ_FLASH_DATA,
     L"service-settings --printer NAME", nullptr,
     L"Reads the 18-byte service settings block (request code 11, selector 12)\n"
     L"and prints it in hex.\n"},
    {L"write-bins", CMD_WRITE_BINS, 0, 0, WRITE, DEVREQ_BIN_INFO_WRITE,
     L"write-bins --printer NAME --in HEX", nullptr,
     L"Writes paper-source information (request code 5). HEX is the whole input\n"
     L"array as the language monitor expects it. Succeeds when the monitor\n"
     L"reports the write done.\n"},
    {L"write-flash", CMD_WRITE_FLASH, 1, 1, WRITE, DEVREQ_FLASH_DATA_WRITE,
     L"write-flash SELECTOR --printer NAME --in HEX", nullptr,
     L"Writes flash data (request code 12): the input is the SELECTOR byte\n"
     L"followed by the HEX bytes. Selector 12 writes the service settings.\n"},
    {L"probe", CMD_PROBE, 0, 0, BINDING | OPT_JSON, 0, L"probe", nullptr,
     L"Tells whether the server's DeviceRpc interface answers on the binding,\n"
     L"without running any procedure.\n"},
    {L"doctor", CMD_DOCTOR, 0, 0, OPT_HOST | OPT_PRINTER | OPT_JSON, 0, L"doctor [--printer NAME]",
     nullptr,
     L"Checks what a deployment on this machine needs and prints one line per\n"
     L"finding, \"ok\", \"warn\" or \"FAIL\", with the remedy after \"->\": the\n"
     L"language monitor's key and window, the printers served by the\n" MONITOR_NAME
     L" with their spooler entries, name resolution, data keys and\n"
     L"handshake flags, the server process, its control events, the endpoint\n"
     L"map and an answer on " SERVER_PROTSEQ_LOCAL L", " SERVER_PROTSEQ_PIPE L" and "
     SERVER_PROTSEQ_TCP L". TCP is checked\n"
     L"on --endpoint PORT, or on the port the endpoint map gives. --printer\n"
     L"limits the printer checks to the printer that NAME reaches; --host\n"
     L"directs the pipe and TCP checks to that name of this machine. Exit status\n"
     L"0 when nothing failed, 1 otherwise.\n"},
};

// Where the binding's fields lie in the Invocation.
constexpr size_t BindingField(size_t offset) {
    return offsetof(Invocation, binding) + offset;
}

const OptionSpec kOptions[] = {
    TextOption(L"--protseq", L"SEQ", BindingField(offsetof(BindingOptions, protseq)),
               SERVER_PROTSEQ_LOCAL L" (default), " SERVER_PROTSEQ_PIPE L" or " SERVER_PROTSEQ_TCP,
               OPT_PROTSEQ),
    TextOption(L"--host", L"NAME", BindingField(offsetof(BindingOptions, host)),
               L"server machine (default: this machine)", OPT_HOST),
    TextOption(L"--endpoint", L"EP", BindingField(offsetof(BindingOptions, endpoint)),
               L"TCP port, pipe name or local RPC name (default: the server's\n"
               L"fixed one; TCP needs --endpoint or --resolve)",
               OPT_HOST),
    SwitchOption(L"--resolve", BindingField(offsetof(BindingOptions, resolve)),
                 L"ask the endpoint map for the endpoint", OPT_PROTSEQ),
    TextOption(L"--printer", L"NAME", offsetof(Invocation, printer),
               L"the printer, by its name or share name", OPT_PRINTER),
    TextOption(L"--in", L"HEX", offsetof(Invocation, inHex),
               L"input bytes, e.g. 0a or \"01 00 02\"", OPT_IN),
    LongOption(L"--cb-in", L"N", offsetof(Invocation, cbIn),
               L"cbInData sent (default: the number of input bytes)", OPT_CB_IN),
    LongOption(L"--cb-out", L"N", offsetof(Invocation, cbOut),
               L"the output size sent (default 32768)", OPT_CB_OUT),
    SwitchOption(L"--null-out", offsetof(Invocation, nullOut), L"send a null pcbOutData",
                 OPT_NULL_OUT),
    SwitchOption(L"--mapped", offsetof(Invocation, mapped),
                 L"send with RpcDeviceRequestMapped (opnum 3)", OPT_MAPPED),
    SwitchOption(L"--json", offsetof(Invocation, json), L"print one JSON object", OPT_JSON),
    SwitchOption(L"--hex", offsetof(Invocation, hex), L"print only the reply bytes in hex",
                 OPT_HEX),
};

const wchar_t kUsage[] =
    L"Usage: DeviceRpcClient [options] COMMAND [arguments] [options]\n"
    L"       DeviceRpcClient COMMAND --help\n"
    L"       DeviceRpcClient --version\n";

const wchar_t kFooter[] =
    L"\n"
    L"Exit status: 0 success, 1 the request failed, 2 usage error,\n"
    L"3 the server could not be reached. doctor: 0 healthy, 1 not.\n";

}  // namespace

const ToolSpec kClientTool = {
    L"DeviceRpcClient", DEVICERPC_VERSION, kUsage, kFooter,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    kCommands, sizeof(kCommands) / sizeof(kCommands[0]),
    0, 0, 20, L"this text; COMMAND --help: that command's", L"the version", CheckInvocation,
};
