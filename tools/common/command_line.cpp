// Reading a command line against a tool's tables.
#include "command_line.h"

#include <cstdarg>
#include <cstdio>

#include "exit_codes.h"
#include "tool_common.h"

namespace {

// Writes the reason a line is refused; always false, to return it.
bool Refuse(ParsedLine* line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    _vsnwprintf(line->problem, CLI_PROBLEM_CHARS - 1, format, args);
    va_end(args);
    line->problem[CLI_PROBLEM_CHARS - 1] = 0;
    return false;
}

// A text that may be missing, for messages.
const wchar_t* Shown(const wchar_t* text) {
    return text ? text : L"";
}

// True for an option word: "--" and at least one more character.
bool IsOptionWord(const wchar_t* word) {
    return word[0] == L'-' && word[1] == L'-' && word[2] != 0;
}

// The row of option `name`, or -1.
int FindOption(const ToolSpec& spec, const wchar_t* name) {
    for (int i = 0; i < spec.optionCount; ++i)
        if (spec.options[i].kind != OPTION_HEADING && lstrcmpW(spec.options[i].name, name) == 0)
            return i;
    return -1;
}

// The field of option `o` in the tool's record.
template <typename Field>
Field* FieldOf(void* record, const OptionSpec& o) {
    return reinterpret_cast<Field*>(static_cast<BYTE*>(record) + o.offset);
}

// Stores one value of a typed option; false when it is not one.
bool StoreValue(const OptionSpec& o, const wchar_t* value, void* record) {
    switch (o.kind) {
    case OPTION_TEXT:
        *FieldOf<const wchar_t*>(record, o) = value;
        return true;
    case OPTION_LONG:
        return ParseLong(value, FieldOf<long>(record, o));
    case OPTION_COUNT: {
        DWORD count = 0;
        if (!ParseCount(value, &count) || count < o.low || count > o.high) return false;
        *FieldOf<DWORD>(record, o) = count;
        return true;
    }
    default:
        return false;
    }
}

// Takes option `o` with the `available` words after it. Returns how many
// it used, or -1 with the reason in `line`.
int TakeOption(const OptionSpec& o, const wchar_t* const* next, int available, void* record,
               ParsedLine* line) {
    const wchar_t* expects = o.expects;
    if (o.kind == OPTION_SWITCH) {
        *FieldOf<bool>(record, o) = true;
        return 0;
    }
    if (o.kind == OPTION_ROUTINE) {
        line->problem[0] = 0;
        int used = o.routine(next, available, record, line->problem);
        line->problem[CLI_PROBLEM_CHARS - 1] = 0;
        if (used >= 0) return used < available ? used : available;
        if (line->problem[0]) return -1;
    } else if (available > 0 && StoreValue(o, next[0], record)) {
        return 1;
    }
    bool numeric = o.kind == OPTION_LONG || o.kind == OPTION_COUNT;
    if (available == 0)
        Refuse(line, L"%ls needs %ls", o.name, expects ? expects : L"a value");
    else
        Refuse(line, L"%ls takes %ls: %.120ls", o.name,
               expects ? expects : numeric ? L"a number" : L"a value", next[0]);
    return -1;
}

// A positional word: the command, one of its arguments, or the tool's.
bool TakePositional(const ToolSpec& spec, const wchar_t* word, ParsedLine* line) {
    if (spec.commands && !line->command) {
        line->command = FindCommand(spec, word);
        return line->command ? true : Refuse(line, L"unknown command %.120ls", word);
    }
    int room =
        spec.commands ? CLI_MAX_ARGS : (spec.maxArgs < CLI_MAX_ARGS ? spec.maxArgs : CLI_MAX_ARGS);
    if (line->argCount >= room) {
        if (!spec.commands) return Refuse(line, L"unexpected argument %.120ls", word);
        return Refuse(line, L"too many arguments");
    }
    line->args[line->argCount++] = word;
    return true;
}

// The checks that need the whole line: a command, the options it takes
// and its number of arguments.
bool CheckCommand(const ToolSpec& spec, ParsedLine* line) {
    if (!spec.commands) return true;
    const CommandSpec* c = line->command;
    if (!c) return Refuse(line, L"no command given");
    for (int i = 0; i < spec.optionCount; ++i) {
        const OptionSpec& o = spec.options[i];
        if (line->seen[i] && o.group && !(c->options & o.group))
            return Refuse(line, L"%ls does not take %ls", c->name, o.name);
    }
    if (line->argCount < c->minArgs || line->argCount > c->maxArgs)
        return Refuse(line, L"usage: %ls %ls", spec.program, Shown(c->synopsis));
    return true;
}

}  // namespace

bool ParseCount(const wchar_t* text, DWORD* value) {
    long parsed = 0;
    if (!text || text[0] == L'-' || !ParseLong(text, &parsed)) return false;
    *value = static_cast<DWORD>(parsed);
    return true;
}

const CommandSpec* FindCommand(const ToolSpec& spec, const wchar_t* name) {
    for (int i = 0; i < spec.commandCount; ++i)
        if (lstrcmpW(spec.commands[i].name, name) == 0) return &spec.commands[i];
    return nullptr;
}

bool OptionGiven(const ToolSpec& spec, const ParsedLine& line, const wchar_t* name) {
    int row = FindOption(spec, name);
    return row >= 0 && line.seen[row];
}

bool ParseCommandLine(const ToolSpec& spec, int argc, wchar_t** argv, void* record,
                      ParsedLine* line) {
    ZeroMemory(line, sizeof(*line));
    line->restIndex = argc;
    if (spec.optionCount > CLI_MAX_OPTIONS) return Refuse(line, L"option table too long");
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* word = argv[i];
        if (!optionsEnded && lstrcmpW(word, L"--") == 0) {
            optionsEnded = true;
        } else if (!optionsEnded && IsOptionWord(word)) {
            if (lstrcmpW(word, L"--help") == 0) {
                line->help = true;
                continue;
            }
            if (spec.version && lstrcmpW(word, L"--version") == 0) {
                line->version = true;
                continue;
            }
            int row = FindOption(spec, word);
            if (row < 0) return Refuse(line, L"unknown option %.120ls", word);
            int used = TakeOption(spec.options[row], argv + i + 1, argc - i - 1, record, line);
            if (used < 0) return false;
            line->seen[row] = true;
            i += used;
        } else if (spec.flags & LINE_OPTIONS_FIRST) {
            line->restIndex = i;
            break;
        } else if (!TakePositional(spec, word, line)) {
            return false;
        }
    }
    if (line->help || line->version) return true;
    // Tools that read their positional words themselves check them too.
    if (!(spec.flags & LINE_OPTIONS_FIRST) && !CheckCommand(spec, line)) return false;
    if (!spec.check || spec.check(*line, record, line->problem)) return true;
    line->problem[CLI_PROBLEM_CHARS - 1] = 0;
    return false;
}

int ReportUsageError(const ToolSpec& spec, const CommandSpec* command, const wchar_t* problem) {
    PrintErr(L"%ls: %ls\n", spec.program, problem);
    if (command)
        PrintErr(L"Try %ls %ls --help.\n", spec.program, command->name);
    else
        PrintErr(L"Try %ls --help.\n", spec.program);
    return EXIT_USAGE;
}

int HandleCommandLine(const ToolSpec& spec, int argc, wchar_t** argv, void* record,
                      ParsedLine* line) {
    if (!ParseCommandLine(spec, argc, argv, record, line))
        return ReportUsageError(spec, line->command, line->problem);
    if (line->version) {
        PrintOut(L"%ls %ls\n", spec.program, spec.version);
        return EXIT_OK;
    }
    if (line->help) {
        if (line->command)
            PrintCommandHelp(spec, *line->command);
        else
            PrintHelp(spec);
        return EXIT_OK;
    }
    return CLI_RUN;
}
