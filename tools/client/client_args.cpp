// The client's command line: command table, help texts and parsing.
#include "client_args.h"

#include <cstdio>

#include "devicerpc_contract.h"
#include "tool_common.h"

namespace {

const unsigned BINDING = OPT_PROTSEQ | OPT_HOST;
const unsigned REQUEST_SIZES = OPT_PRINTER | OPT_CB_IN | OPT_CB_OUT | OPT_NULL_OUT;
const unsigned ACQUIRE = BINDING | REQUEST_SIZES | OPT_MAPPED | OPT_JSON | OPT_HEX;
const unsigned WRITE = BINDING | REQUEST_SIZES | OPT_IN | OPT_MAPPED | OPT_JSON | OPT_HEX;
const unsigned RAW = BINDING | REQUEST_SIZES | OPT_IN | OPT_JSON | OPT_HEX;

// Every command: arguments, the options it takes, its request code and help.
const CommandSpec kCommands[] = {
    {L"command", CMD_COMMAND, 3, 4, BINDING | OPT_JSON, 0,
     L"command CMD PARAM PRINTER [ARGUMENT]",
     L"Sends a command for PRINTER to the language monitor with RpcSendCommand\n"
     L"(opnum 0) and prints its verdict. CMD and PARAM are 32-bit numbers,\n"
     L"decimal or 0x-hex; the server passes ARGUMENT on but the monitor ignores\n"
     L"it for this procedure.\n"},
    {L"command2", CMD_COMMAND2, 4, 4, BINDING | OPT_JSON, 0,
     L"command2 CMD PARAM PRINTER ARGUMENT",
     L"Sends a command with an argument string for PRINTER with RpcSendCommand2\n"
     L"(opnum 1) and prints the monitor's verdict.\n"},
    {L"request", CMD_REQUEST, 1, 2, RAW, 0, L"request CODE --printer NAME [--in HEX]",
     L"Sends any device request code with RpcDeviceRequest (opnum 2) and prints\n"
     L"the result, the output size the server returned and that many output\n"
     L"bytes in hex, 16 to a line. The first input byte is the selector of the\n"
     L"request. NAME may also be given as a second argument.\n"},
    {L"mapped", CMD_MAPPED, 1, 2, RAW, 0, L"mapped CODE --printer NAME [--in HEX]",
     L"Sends a device request with RpcDeviceRequestMapped (opnum 3), whose reply\n"
     L"comes through the reply mapping, and prints the Windows error code it\n"
     L"returns with its system message, the output size and the output bytes in\n"
     L"hex. NAME may also be given as a second argument.\n"},
    {L"config", CMD_CONFIG, 0, 0, ACQUIRE, DEVREQ_CONFIG, L"config --printer NAME",
     L"Reads the printer's configuration (request code 2) and prints the\n"
     L"ConfigReply: record length, cassettes, duplex unit and firmware version.\n"},
    {L"bins", CMD_BINS, 0, 0, ACQUIRE, DEVREQ_BIN_INFO, L"bins --printer NAME",
     L"Reads the paper-source information (request code 3) and prints one row\n"
     L"per bin: record length, paper source, size code, width, height and level.\n"},
    {L"calibration", CMD_CALIBRATION, 0, 0, ACQUIRE, DEVREQ_CALIBRATION,
     L"calibration --printer NAME",
     L"Reads the 60-byte calibration block (request code 4) and prints it in hex.\n"},
    {L"counter", CMD_COUNTER, 1, 1, ACQUIRE, DEVREQ_COUNTER, L"counter KIND --printer NAME",
     L"Reads one page counter (request code 9). KIND is mono, color, black, cyan,\n"
     L"magenta, yellow or io (selector bytes 0, 2, 5, 6, 7, 8 and 1), or a selector\n"
     L"number 0 to 255; every selector without a counter of its own reads io.\n"},
    {L"flash", CMD_FLASH, 1, 1, ACQUIRE, DEVREQ_FLASH_DATA, L"flash SELECTOR --printer NAME",
     L"Reads flash data (request code 11) with SELECTOR (0 to 255) as the first\n"
     L"input byte. Selectors 0 and 10 return a FlashDataReply (item id and data),\n"
     L"selector 12 the service settings, any other an empty reply.\n"},
    {L"service-settings", CMD_SERVICE_SETTINGS, 0, 0, ACQUIRE, DEVREQ_FLASH_DATA,
     L"service-settings --printer NAME",
     L"Reads the 18-byte service settings block (request code 11, selector 12)\n"
     L"and prints it in hex.\n"},
    {L"write-bins", CMD_WRITE_BINS, 0, 0, WRITE, DEVREQ_BIN_INFO_WRITE,
     L"write-bins --printer NAME --in HEX",
     L"Writes paper-source information (request code 5). HEX is the whole input\n"
     L"array as the language monitor expects it. Succeeds when the monitor\n"
     L"reports the write done.\n"},
    {L"write-flash", CMD_WRITE_FLASH, 1, 1, WRITE, DEVREQ_FLASH_DATA_WRITE,
     L"write-flash SELECTOR --printer NAME --in HEX",
     L"Writes flash data (request code 12): the input is the SELECTOR byte\n"
     L"followed by the HEX bytes. Selector 12 writes the service settings.\n"},
    {L"probe", CMD_PROBE, 0, 0, BINDING | OPT_JSON, 0, L"probe",
     L"Tells whether the server's DeviceRpc interface answers on the binding,\n"
     L"without running any procedure.\n"},
    {L"doctor", CMD_DOCTOR, 0, 0, OPT_HOST | OPT_PRINTER | OPT_JSON, 0, L"doctor [--printer NAME]",
     L"Checks what a deployment on this machine needs and prints one line per\n"
     L"finding, \"ok\", \"warn\" or \"FAIL\", with the remedy after \"->\": the\n"
     L"language monitor's key and window, the printers served by the ZOLT7\n"
     L"Monitor with their spooler entries, name resolution, data keys and\n"
     L"handshake flags, the server process, its control events, the endpoint\n"
     L"map and an answer on ncalrpc, ncacn_np and ncacn_ip_tcp. TCP is checked\n"
     L"on --endpoint PORT, or on the port the endpoint map gives. --printer\n"
     L"limits the printer checks to the printer that NAME reaches; --host\n"
     L"directs the pipe and TCP checks to that name of this machine. Exit status\n"
     L"0 when nothing failed, 1 otherwise.\n"},
};

struct OptionSpec {
    const wchar_t* name;
    unsigned bit;
    const wchar_t* value;  // null: a switch
    const wchar_t* help;
};

// Every option, in the order the help lists them.
const OptionSpec kOptions[] = {
    {L"--protseq", OPT_PROTSEQ, L"SEQ", L"ncalrpc (default), ncacn_np or ncacn_ip_tcp"},
    {L"--host", OPT_HOST, L"NAME", L"server machine (default: this machine)"},
    {L"--endpoint", OPT_HOST, L"EP",
     L"TCP port, pipe name or local RPC name (default: the server's\n"
     L"                    fixed one; TCP needs --endpoint or --resolve)"},
    {L"--resolve", OPT_PROTSEQ, nullptr, L"ask the endpoint map for the endpoint"},
    {L"--printer", OPT_PRINTER, L"NAME", L"the printer, by its name or share name"},
    {L"--in", OPT_IN, L"HEX", L"input bytes, e.g. 0a or \"01 00 02\""},
    {L"--cb-in", OPT_CB_IN, L"N", L"cbInData sent (default: the number of input bytes)"},
    {L"--cb-out", OPT_CB_OUT, L"N", L"the output size sent (default 32768)"},
    {L"--null-out", OPT_NULL_OUT, nullptr, L"send a null pcbOutData"},
    {L"--mapped", OPT_MAPPED, nullptr, L"send with RpcDeviceRequestMapped (opnum 3)"},
    {L"--json", OPT_JSON, nullptr, L"print one JSON object"},
    {L"--hex", OPT_HEX, nullptr, L"print only the reply bytes in hex"},
};

const wchar_t kUsageHead[] =
    L"Usage: DeviceRpcClient [options] COMMAND [arguments] [options]\n"
    L"       DeviceRpcClient COMMAND --help\n"
    L"       DeviceRpcClient --version\n"
    L"\n"
    L"Commands:\n";

const wchar_t kUsageTail[] =
    L"\n"
    L"Exit status: 0 success, 1 the request failed, 2 usage error,\n"
    L"3 the server could not be reached. doctor: 0 healthy, 1 not.\n";

// The command of that name, or null.
const CommandSpec* FindCommand(const wchar_t* name) {
    for (const CommandSpec& c : kCommands)
        if (lstrcmpW(c.name, name) == 0) return &c;
    return nullptr;
}

// The option of that name, or null.
const OptionSpec* FindOption(const wchar_t* name) {
    for (const OptionSpec& o : kOptions)
        if (lstrcmpW(o.name, name) == 0) return &o;
    return nullptr;
}

// Writes the reason of a usage error into `problem` (256 chars).
int Problem(wchar_t* problem, const wchar_t* text, const wchar_t* detail = L"") {
    _snwprintf(problem, 255, L"%.120ls%.120ls", text, detail);
    problem[255] = 0;
    return EXIT_USAGE;
}

// "--printer NAME" or "--json", as the help lists an option.
void OptionHead(const OptionSpec& o, wchar_t* head, size_t capacity) {
    _snwprintf(head, capacity - 1, L"%ls%ls%ls", o.name, o.value ? L" " : L"",
               o.value ? o.value : L"");
    head[capacity - 1] = 0;
}

// Stores the value of option `o` in the invocation.
int TakeOption(const OptionSpec& o, const wchar_t* value, Invocation* inv, wchar_t* problem) {
    const wchar_t* name = o.name;
    if (lstrcmpW(name, L"--protseq") == 0) {
        inv->binding.protseq = value;
    } else if (lstrcmpW(name, L"--host") == 0) {
        inv->binding.host = value;
    } else if (lstrcmpW(name, L"--endpoint") == 0) {
        inv->binding.endpoint = value;
    } else if (lstrcmpW(name, L"--resolve") == 0) {
        inv->binding.resolve = true;
    } else if (lstrcmpW(name, L"--printer") == 0) {
        inv->printer = value;
    } else if (lstrcmpW(name, L"--in") == 0) {
        inv->inHex = value;
    } else if (lstrcmpW(name, L"--cb-in") == 0) {
        if (!ParseLong(value, &inv->cbIn)) return Problem(problem, L"--cb-in takes a number: ", value);
        inv->hasCbIn = true;
    } else if (lstrcmpW(name, L"--cb-out") == 0) {
        if (!ParseLong(value, &inv->cbOut)) return Problem(problem, L"--cb-out takes a number: ", value);
    } else if (lstrcmpW(name, L"--null-out") == 0) {
        inv->nullOut = true;
    } else if (lstrcmpW(name, L"--mapped") == 0) {
        inv->mapped = true;
    } else if (lstrcmpW(name, L"--json") == 0) {
        inv->style = OUTPUT_JSON;
    } else if (lstrcmpW(name, L"--hex") == 0) {
        inv->style = OUTPUT_HEX;
    }
    return EXIT_OK;
}

// The checks that need the command: which options it takes, its argument
// count, its printer and a usable binding.
int CheckInvocation(Invocation* inv, unsigned seen, wchar_t* problem) {
    const CommandSpec& c = *inv->command;
    for (const OptionSpec& o : kOptions) {
        if (!(seen & o.bit) || (c.options & o.bit)) continue;
        // The two options of one bit are told apart by what was set.
        bool used = true;
        if (lstrcmpW(o.name, L"--resolve") == 0) used = inv->binding.resolve;
        if (lstrcmpW(o.name, L"--protseq") == 0) used = inv->binding.protseq != nullptr;
        if (lstrcmpW(o.name, L"--endpoint") == 0) used = inv->binding.endpoint != nullptr;
        if (lstrcmpW(o.name, L"--host") == 0) used = inv->binding.host != nullptr;
        if (used) {
            wchar_t what[64];
            _snwprintf(what, 63, L" does not take %ls", o.name);
            what[63] = 0;
            return Problem(problem, c.name, what);
        }
    }
    if ((seen & OPT_JSON) && (seen & OPT_HEX)) return Problem(problem, L"--json and --hex exclude each other");
    if (inv->argCount < c.minArgs || inv->argCount > c.maxArgs)
        return Problem(problem, L"usage: DeviceRpcClient ", c.synopsis);
    bool positionalPrinter = (c.id == CMD_REQUEST || c.id == CMD_MAPPED) && inv->argCount == 2;
    if (positionalPrinter && inv->printer)
        return Problem(problem, L"give the printer once: as an argument or with --printer");
    if (positionalPrinter) inv->printer = inv->args[1];
    bool needsPrinter = (c.options & OPT_PRINTER) && c.id != CMD_DOCTOR;
    if (needsPrinter && !inv->printer) return Problem(problem, c.name, L" needs --printer NAME");
    if ((c.id == CMD_WRITE_BINS || c.id == CMD_WRITE_FLASH) && !inv->inHex)
        return Problem(problem, c.name, L" needs --in HEX");
    if (!inv->binding.protseq) inv->binding.protseq = L"ncalrpc";
    const wchar_t* seq = inv->binding.protseq;
    if (lstrcmpiW(seq, L"ncalrpc") != 0 && lstrcmpiW(seq, L"ncacn_np") != 0 &&
        lstrcmpiW(seq, L"ncacn_ip_tcp") != 0)
        return Problem(problem, L"--protseq is ncalrpc, ncacn_np or ncacn_ip_tcp, not ", seq);
    if (c.id != CMD_DOCTOR && lstrcmpiW(seq, L"ncacn_ip_tcp") == 0 && !inv->binding.endpoint &&
        !inv->binding.resolve)
        return Problem(problem, L"ncacn_ip_tcp needs --endpoint PORT or --resolve");
    return EXIT_OK;
}

// A selector byte: a number from 0 to 255.
bool ParseSelector(const wchar_t* text, BYTE* selector) {
    long value = 0;
    if (!ParseLong(text, &value) || value < 0 || value > 255) return false;
    *selector = static_cast<BYTE>(value);
    return true;
}

}  // namespace

int ParseInvocation(int argc, wchar_t** argv, Invocation* inv, wchar_t* problem) {
    ZeroMemory(inv, sizeof(*inv));
    inv->cbOut = 32768;
    problem[0] = 0;
    unsigned seen = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        bool isOption = !optionsEnded && arg[0] == L'-' && arg[1] == L'-';
        if (isOption && arg[2] == 0) {
            optionsEnded = true;
            continue;
        }
        if (isOption && lstrcmpW(arg, L"--help") == 0) {
            inv->help = true;
            continue;
        }
        if (isOption && lstrcmpW(arg, L"--version") == 0) {
            inv->version = true;
            continue;
        }
        if (isOption) {
            const OptionSpec* o = FindOption(arg);
            if (!o) return Problem(problem, L"unknown option ", arg);
            const wchar_t* value = nullptr;
            if (o->value) {
                if (i + 1 >= argc) return Problem(problem, arg, L" needs a value");
                value = argv[++i];
            }
            if (TakeOption(*o, value, inv, problem) != EXIT_OK) return EXIT_USAGE;
            seen |= o->bit;
            continue;
        }
        if (!inv->command) {
            inv->command = FindCommand(arg);
            if (!inv->command) return Problem(problem, L"unknown command ", arg);
            continue;
        }
        if (inv->argCount == 4) return Problem(problem, L"too many arguments");
        inv->args[inv->argCount++] = arg;
    }
    if (inv->help || inv->version) return EXIT_OK;
    if (!inv->command) return Problem(problem, L"no command given");
    return CheckInvocation(inv, seen, problem);
}

void PrintUsage() {
    PrintOut(L"%ls", kUsageHead);
    for (const CommandSpec& c : kCommands) PrintOut(L"  %ls\n", c.synopsis);
    PrintOut(L"\nOptions:\n");
    for (const OptionSpec& o : kOptions) {
        wchar_t head[40];
        OptionHead(o, head, 40);
        PrintOut(L"  %-18ls%ls\n", head, o.help);
    }
    PrintOut(L"  %-18ls%ls\n", L"--help", L"this text; COMMAND --help: that command's");
    PrintOut(L"  %-18ls%ls\n", L"--version", L"the version");
    PrintOut(L"%ls", kUsageTail);
}

void PrintCommandHelp(const CommandSpec& c) {
    PrintOut(L"Usage: DeviceRpcClient %ls [options]\n\n%ls\nOptions:\n", c.synopsis, c.help);
    for (const OptionSpec& o : kOptions) {
        if (!(c.options & o.bit)) continue;
        wchar_t head[40];
        OptionHead(o, head, 40);
        PrintOut(L"  %-18ls%ls\n", head, o.help);
    }
    PrintOut(L"%ls", kUsageTail);
}

int BuildRequestPlan(const Invocation& inv, RequestPlan* plan, wchar_t* problem) {
    ZeroMemory(plan, sizeof(*plan));
    problem[0] = 0;
    const CommandSpec& c = *inv.command;
    plan->code = c.requestCode;
    plan->mapped = c.id == CMD_MAPPED || inv.mapped;
    plan->printer = inv.printer;
    plan->cbOut = inv.cbOut;
    plan->nullOut = inv.nullOut;
    switch (c.id) {
    case CMD_REQUEST:
    case CMD_MAPPED:
        if (!ParseLong(inv.args[0], &plan->code))
            return Problem(problem, L"CODE must be a number: ", inv.args[0]);
        break;
    case CMD_COUNTER:
        if (!CounterSelectorByName(inv.args[0], &plan->in[0]) && !ParseSelector(inv.args[0], &plan->in[0]))
            return Problem(problem,
                           L"KIND is mono, color, black, cyan, magenta, yellow, io or 0 to 255, not ",
                           inv.args[0]);
        plan->inCount = 1;
        break;
    case CMD_FLASH:
    case CMD_WRITE_FLASH:
        if (!ParseSelector(inv.args[0], &plan->in[0]))
            return Problem(problem, L"SELECTOR must be a number from 0 to 255: ", inv.args[0]);
        plan->inCount = 1;
        break;
    case CMD_SERVICE_SETTINGS:
        plan->in[0] = static_cast<BYTE>(SELECTOR_SERVICE_SETTINGS);
        plan->inCount = 1;
        break;
    default:
        break;
    }
    if (inv.inHex) {
        // write-flash keeps its selector in front of the given bytes.
        DWORD room = sizeof(plan->in) - plan->inCount;
        DWORD count = 0;
        if (!ParseHexBytes(inv.inHex, plan->in + plan->inCount, room, &count))
            return Problem(problem, L"--in takes up to 32768 hex bytes: ", inv.inHex);
        plan->inCount += count;
    }
    plan->selector = plan->in[0];
    plan->kind = (c.id == CMD_REQUEST || c.id == CMD_MAPPED) ? REPLY_RAW
                                                              : ReplyKindFor(plan->code, plan->selector);
    plan->cbIn = inv.hasCbIn ? inv.cbIn : static_cast<long>(plan->inCount);
    return EXIT_OK;
}
