// The client's rules over its command line, and the device request that a
// command's arguments make.
#include "client_args.h"

#include <cstdio>

#include "tool_common.h"

namespace {

// Writes the reason of a usage error into `problem` (CLI_PROBLEM_CHARS);
// always false, to return it.
bool Problem(wchar_t* problem, const wchar_t* text, const wchar_t* detail = L"") {
    _snwprintf(problem, CLI_PROBLEM_CHARS - 1, L"%.120ls%.120ls", text, detail);
    problem[CLI_PROBLEM_CHARS - 1] = 0;
    return false;
}

// The protocol sequences the client binds over (the local one when none
// was given); false with the reason for any other, or for TCP without an
// endpoint.
bool CheckBinding(Invocation* inv, wchar_t* problem) {
    if (!inv->binding.protseq) inv->binding.protseq = SERVER_PROTSEQ_LOCAL;
    const wchar_t* seq = inv->binding.protseq;
    if (lstrcmpiW(seq, SERVER_PROTSEQ_LOCAL) != 0 && lstrcmpiW(seq, SERVER_PROTSEQ_PIPE) != 0 &&
        lstrcmpiW(seq, SERVER_PROTSEQ_TCP) != 0)
        return Problem(problem,
                       L"--protseq is " SERVER_PROTSEQ_LOCAL L", " SERVER_PROTSEQ_PIPE
                       L" or " SERVER_PROTSEQ_TCP L", not ",
                       seq);
    // The doctor finds the TCP port itself.
    bool tcp = lstrcmpiW(seq, SERVER_PROTSEQ_TCP) == 0;
    if (inv->command->id != CMD_DOCTOR && tcp && !inv->binding.endpoint && !inv->binding.resolve)
        return Problem(problem, SERVER_PROTSEQ_TCP L" needs --endpoint PORT or --resolve");
    return true;
}

// A selector byte: a number from 0 to 255.
bool ParseSelector(const wchar_t* text, BYTE* selector) {
    long value = 0;
    if (!ParseLong(text, &value) || value < 0 || value > 255) return false;
    *selector = static_cast<BYTE>(value);
    return true;
}

// The counter of a KIND argument, by name or selector number; false with
// the reason, which lists the names.
bool ParseCounterKind(const wchar_t* text, BYTE* selector, wchar_t* problem) {
    if (CounterSelectorByName(text, selector) || ParseSelector(text, selector)) return true;
    TextBuffer out;
    InitText(&out, problem, CLI_PROBLEM_CHARS);
    AppendText(&out, L"KIND is");
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
        AppendText(&out, L"%ls %ls", i ? L"," : L"",
                   CounterShortName(static_cast<BYTE>(COUNTER_SELECTORS[i].selector)));
    AppendText(&out, L" or 0 to 255, not %.80ls", text);
    return false;
}

// The selector and input bytes a command's arguments and --in give.
bool FillInput(const Invocation& inv, RequestPlan* plan, wchar_t* problem) {
    switch (inv.command->id) {
    case CMD_COUNTER:
        if (!ParseCounterKind(inv.args[0], &plan->in[0], problem)) return false;
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
    if (!inv.inHex) return true;
    // write-flash keeps its selector in front of the given bytes.
    DWORD room = sizeof(plan->in) - plan->inCount;
    DWORD count = 0;
    if (!ParseHexBytes(inv.inHex, plan->in + plan->inCount, room, &count)) {
        wchar_t text[64];
        _snwprintf(text, 63, L"--in takes up to %lu hex bytes: ", DWORD(sizeof(plan->in)));
        text[63] = 0;
        return Problem(problem, text, inv.inHex);
    }
    plan->inCount += count;
    return true;
}

}  // namespace

bool CheckInvocation(const ParsedLine& line, void* record, wchar_t* problem) {
    Invocation* inv = static_cast<Invocation*>(record);
    inv->command = line.command;
    inv->argCount = line.argCount;
    for (int i = 0; i < line.argCount; ++i) inv->args[i] = line.args[i];
    inv->hasCbIn = OptionGiven(kClientTool, line, L"--cb-in");
    const CommandSpec& c = *inv->command;
    if (inv->json && inv->hex) return Problem(problem, L"--json and --hex exclude each other");
    inv->style = inv->json ? OUTPUT_JSON : inv->hex ? OUTPUT_HEX : OUTPUT_TABLE;
    bool positionalPrinter = (c.id == CMD_REQUEST || c.id == CMD_MAPPED) && inv->argCount == 2;
    if (positionalPrinter && inv->printer)
        return Problem(problem, L"give the printer once: as an argument or with --printer");
    if (positionalPrinter) inv->printer = inv->args[1];
    bool needsPrinter = (c.options & OPT_PRINTER) && c.id != CMD_DOCTOR;
    if (needsPrinter && !inv->printer) return Problem(problem, c.name, L" needs --printer NAME");
    if ((c.id == CMD_WRITE_BINS || c.id == CMD_WRITE_FLASH) && !inv->inHex)
        return Problem(problem, c.name, L" needs --in HEX");
    return CheckBinding(inv, problem);
}

int ReadInvocation(int argc, wchar_t** argv, Invocation* inv) {
    ZeroMemory(inv, sizeof(*inv));
    inv->cbOut = static_cast<long>(DEVICE_RPC_ARRAY_SIZE);
    ParsedLine line;
    return HandleCommandLine(kClientTool, argc, argv, inv, &line);
}

int BuildRequestPlan(const Invocation& inv, RequestPlan* plan, wchar_t* problem) {
    ZeroMemory(plan, sizeof(*plan));
    problem[0] = 0;
    const CommandSpec& c = *inv.command;
    plan->code = c.value;
    plan->mapped = c.id == CMD_MAPPED || inv.mapped;
    plan->printer = inv.printer;
    plan->cbOut = inv.cbOut;
    plan->nullOut = inv.nullOut;
    bool raw = c.id == CMD_REQUEST || c.id == CMD_MAPPED;
    if (raw && !ParseLong(inv.args[0], &plan->code)) {
        Problem(problem, L"CODE must be a number: ", inv.args[0]);
        return EXIT_USAGE;
    }
    if (!FillInput(inv, plan, problem)) return EXIT_USAGE;
    plan->selector = plan->in[0];
    plan->kind = raw ? REPLY_RAW : ReplyKindFor(plan->code, plan->selector);
    plan->cbIn = inv.hasCbIn ? inv.cbIn : static_cast<long>(plan->inCount);
    return EXIT_OK;
}
