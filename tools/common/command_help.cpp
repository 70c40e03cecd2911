// The --help texts, generated from the same tables the parser reads.
#include "command_line.h"

#include <cwchar>

#include "tool_common.h"

namespace {

// "--printer NAME" or "--json", as the list shows an option.
void OptionHead(const OptionSpec& o, wchar_t* head, size_t capacity) {
    _snwprintf(head, capacity - 1, L"%ls%ls%ls", o.name, o.valueName ? L" " : L"",
               o.valueName ? o.valueName : L"");
    head[capacity - 1] = 0;
}

// One row of a list: the head, then its text from `column` on; each line
// of a text with several starts at that column too. A head that reaches
// the column keeps two blanks before the text, or, when that would push
// the text far out, has the text start on the next line.
void PrintRow(const wchar_t* head, const wchar_t* text, int column) {
    int pad = column - 2 - static_cast<int>(wcslen(head));
    if (pad < -2)
        PrintOut(L"  %ls\n%*ls", head, column, L"");
    else
        PrintOut(L"  %ls%*ls", head, pad < 2 ? 2 : pad, L"");
    for (;;) {
        const wchar_t* end = wcschr(text, L'\n');
        if (!end) {
            PrintOut(L"%ls\n", text);
            return;
        }
        PrintOut(L"%.*ls\n%*ls", static_cast<int>(end - text), text, column, L"");
        text = end + 1;
    }
}

// True when an option belongs in a list of the options of `groups`.
bool Listed(const OptionSpec& o, unsigned groups) {
    return o.kind != OPTION_HEADING && (o.group == 0 || (o.group & groups) != 0);
}

// The option list: every option of `groups` and, for the whole help, the
// section titles and the --help and --version lines.
void PrintOptionList(const ToolSpec& spec, unsigned groups, bool whole) {
    if (!whole || spec.optionCount == 0 || spec.options[0].kind != OPTION_HEADING)
        PrintOut(L"\nOptions:\n");
    for (int i = 0; i < spec.optionCount; ++i) {
        const OptionSpec& o = spec.options[i];
        if (o.kind == OPTION_HEADING && whole) PrintOut(L"\n%ls\n", o.name);
        if (!Listed(o, groups)) continue;
        wchar_t head[64];
        OptionHead(o, head, 64);
        PrintRow(head, o.help ? o.help : L"", spec.column);
    }
    if (!whole) return;
    if (spec.helpLine) PrintRow(L"--help", spec.helpLine, spec.column);
    if (spec.versionLine && spec.version) PrintRow(L"--version", spec.versionLine, spec.column);
}

// The command list: synopses, with their summaries where they have one.
void PrintCommandList(const ToolSpec& spec) {
    if (!spec.commands) return;
    PrintOut(L"\nCommands:\n");
    for (int i = 0; i < spec.commandCount; ++i) {
        const CommandSpec& c = spec.commands[i];
        if (!c.synopsis) continue;
        if (c.summary)
            PrintRow(c.synopsis, c.summary, spec.column);
        else
            PrintOut(L"  %ls\n", c.synopsis);
    }
}

}  // namespace

void PrintHelp(const ToolSpec& spec) {
    PrintOut(L"%ls", spec.usage ? spec.usage : L"");
    if (spec.flags & HELP_OPTIONS_FIRST) {
        PrintOptionList(spec, ~0u, true);
        PrintCommandList(spec);
    } else {
        PrintCommandList(spec);
        PrintOptionList(spec, ~0u, true);
    }
    PrintOut(L"%ls", spec.footer ? spec.footer : L"");
}

void PrintCommandHelp(const ToolSpec& spec, const CommandSpec& command) {
    PrintOut(L"Usage: %ls %ls [options]\n\n%ls", spec.program,
             command.synopsis ? command.synopsis : command.name, command.help ? command.help : L"");
    PrintOptionList(spec, command.options, false);
    PrintOut(L"%ls", spec.footer ? spec.footer : L"");
}
