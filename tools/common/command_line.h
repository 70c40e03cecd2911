// Table-driven command lines for the tools. A tool describes its options
// (and, if it has them, its commands) in constant tables of plain records;
// one parser reads argv into the tool's own record, and the same tables
// give the --help text, so the two cannot disagree.
//
// How a tool uses it:
//
//   struct Settings { const wchar_t* printer; bool json; DWORD delayMs; };
//   const OptionSpec kOptions[] = {
//       TextOption(L"--printer", L"NAME", offsetof(Settings, printer), L"the printer"),
//       SwitchOption(L"--json", offsetof(Settings, json), L"print one JSON object"),
//       CountOption(L"--delay-ms", L"MS", offsetof(Settings, delayMs), 0, 60000,
//                   L"milliseconds up to 60000", L"wait before each answer"),
//   };
//   const ToolSpec kTool = {L"MyTool", DEVICERPC_VERSION, kUsage, kFooter, kOptions, 3,
//                           nullptr, 0, 0, 0, 24, nullptr, L"print the version", nullptr};
//
//   Settings settings = {};               // defaults first: options overwrite them
//   ParsedLine line;
//   int status = HandleCommandLine(kTool, argc, argv, &settings, &line);
//   if (status != CLI_RUN) return status;  // help, version or a usage error
//
// Syntax: options are words that start with "--"; a value is the next
// word, whatever it looks like; "--" ends the options; the last of a
// repeated option wins. Other words are positional: with a command table
// the first names the command and the rest are its arguments, wherever
// the options stand (unless LINE_OPTIONS_FIRST).
#pragma once

#include <windows.h>

#include <cstddef>

// Limits of one parsed line.
constexpr int CLI_MAX_OPTIONS = 64;  // rows of an option table, headings included
constexpr int CLI_MAX_ARGS = 8;      // positional arguments after a command
constexpr int CLI_PROBLEM_CHARS = 256;

// HandleCommandLine's status when the tool should go on and run.
constexpr int CLI_RUN = -1;

// What an option does with the words after it, and the type of the field
// at its offset in the tool's record.
enum OptionKind {
    OPTION_HEADING,  // no option: a title that starts a section of the list
    OPTION_SWITCH,   // no value; sets a bool
    OPTION_TEXT,     // one value, kept as given: const wchar_t*
    OPTION_LONG,     // one 32-bit number, decimal or 0x-hex, '-' allowed: long
    OPTION_COUNT,    // one number within [low, high], no '-': DWORD
    OPTION_ROUTINE,  // the option's routine reads its values
};

// Reads the values of an OPTION_ROUTINE option into `record`. `next` holds
// the `available` words after the option. Returns how many of them it
// used (0 for an optional value that is absent), or -1 to refuse the line,
// with the reason in `problem` (CLI_PROBLEM_CHARS); when it leaves
// `problem` empty, the parser says what the option expects.
typedef int (*OptionRoutine)(const wchar_t* const* next, int available, void* record,
                             wchar_t* problem);

struct OptionSpec {
    const wchar_t* name;       // "--printer"; the heading's title for OPTION_HEADING
    OptionKind kind;
    const wchar_t* valueName;  // shown after the name in the help ("NAME"); null: none
    size_t offset;             // of its field in the tool's record (offsetof)
    const wchar_t* help;       // its description; '\n' starts a continuation line
    unsigned group;            // commands take it when their `options` has this bit; 0: all
    const wchar_t* expects;    // what a valid value is, for errors; null: "a number"/"a value"
    unsigned long low;         // OPTION_COUNT: the accepted range
    unsigned long high;
    OptionRoutine routine;     // OPTION_ROUTINE only
};

// Row builders, so that tables name what each row is.
constexpr OptionSpec OptionHeading(const wchar_t* title) {
    return {title, OPTION_HEADING, nullptr, 0, nullptr, 0, nullptr, 0, 0, nullptr};
}
constexpr OptionSpec SwitchOption(const wchar_t* name, size_t offset, const wchar_t* help,
                                  unsigned group = 0) {
    return {name, OPTION_SWITCH, nullptr, offset, help, group, nullptr, 0, 0, nullptr};
}
constexpr OptionSpec TextOption(const wchar_t* name, const wchar_t* valueName, size_t offset,
                                const wchar_t* help, unsigned group = 0,
                                const wchar_t* expects = nullptr) {
    return {name, OPTION_TEXT, valueName, offset, help, group, expects, 0, 0, nullptr};
}
constexpr OptionSpec LongOption(const wchar_t* name, const wchar_t* valueName, size_t offset,
                                const wchar_t* help, unsigned group = 0,
                                const wchar_t* expects = nullptr) {
    return {name, OPTION_LONG, valueName, offset, help, group, expects, 0, 0, nullptr};
}
constexpr OptionSpec CountOption(const wchar_t* name, const wchar_t* valueName, size_t offset,
                                 unsigned long low, unsigned long high, const wchar_t* expects,
                                 const wchar_t* help, unsigned group = 0) {
    return {name, OPTION_COUNT, valueName, offset, help, group, expects, low, high, nullptr};
}
constexpr OptionSpec RoutineOption(const wchar_t* name, const wchar_t* valueName,
                                   OptionRoutine routine, const wchar_t* expects,
                                   const wchar_t* help, unsigned group = 0) {
    return {name, OPTION_ROUTINE, valueName, 0, help, group, expects, 0, 0, routine};
}

struct CommandSpec {
    const wchar_t* name;
    int id;                   // the tool's own number for it
    int minArgs;              // positional arguments after the name
    int maxArgs;
    unsigned options;         // the groups of the options it takes
    long value;               // the tool's own datum (the client: a request code)
    const wchar_t* synopsis;  // "counter KIND --printer NAME"; null: left out of the list
    const wchar_t* summary;   // shown beside the synopsis in the list; null: none
    const wchar_t* help;      // the text of "COMMAND --help"; null: none
};

struct ParsedLine;

// The tool's own rules over a parsed line, run after the parser's checks
// (not with --help or --version); it may complete `record` from `line`.
// False refuses the line, with the reason in `problem` (CLI_PROBLEM_CHARS).
typedef bool (*LineCheck)(const ParsedLine& line, void* record, wchar_t* problem);

// ToolSpec::flags.
// LINE_OPTIONS_FIRST: the first positional word ends the options; the
// tool reads the words from `restIndex` on itself (the parser neither
// names a command nor counts arguments then).
constexpr unsigned LINE_OPTIONS_FIRST = 1u << 0;
constexpr unsigned HELP_OPTIONS_FIRST = 1u << 1;  // the help lists options before commands

struct ToolSpec {
    const wchar_t* program;  // "DeviceRpcClient": starts errors and the --version line
    const wchar_t* version;  // printed by --version; null: --version is not an option
    const wchar_t* usage;    // the help up to its first list, line breaks included
    const wchar_t* footer;   // the help after the lists (exit statuses)
    const OptionSpec* options;
    int optionCount;
    const CommandSpec* commands;  // null: no commands
    int commandCount;
    int maxArgs;       // without commands: positional words allowed
    unsigned flags;
    int column;        // where descriptions start in the help's lists
    const wchar_t* helpLine;     // describes --help in the list; null: not listed
    const wchar_t* versionLine;  // describes --version; null: not listed
    LineCheck check;             // null: none
};

struct ParsedLine {
    bool help;
    bool version;
    const CommandSpec* command;  // tables with commands: the one named
    const wchar_t* args[CLI_MAX_ARGS];
    int argCount;
    int restIndex;  // LINE_OPTIONS_FIRST: argv index of the first positional word (argc: none)
    bool seen[CLI_MAX_OPTIONS];  // by row of the option table
    wchar_t problem[CLI_PROBLEM_CHARS];
};

// Reads argv into `record` (whose defaults the caller set) and `line`,
// printing nothing. With commands it also checks that one is named, that
// it takes every option given and its number of arguments. True when the
// tool can go on (or --help/--version was asked for); false with the
// reason in `line->problem`, which names the option or word at fault.
bool ParseCommandLine(const ToolSpec& spec, int argc, wchar_t** argv, void* record,
                      ParsedLine* line);

// ParseCommandLine for wmain: prints the help, the version or the usage
// error. Returns CLI_RUN when the tool should run, else its exit status
// (EXIT_OK after help or version, EXIT_USAGE after an error).
int HandleCommandLine(const ToolSpec& spec, int argc, wchar_t** argv, void* record,
                      ParsedLine* line);

// Reports a usage error on standard error: "PROGRAM: problem" and where
// to find help (that of `command` when given). Returns EXIT_USAGE.
int ReportUsageError(const ToolSpec& spec, const CommandSpec* command, const wchar_t* problem);

// The command of that name, or null.
const CommandSpec* FindCommand(const ToolSpec& spec, const wchar_t* name);

// True when the option of that name was on the line.
bool OptionGiven(const ToolSpec& spec, const ParsedLine& line, const wchar_t* name);

// The whole help, and the help of one command, on standard output.
void PrintHelp(const ToolSpec& spec);
void PrintCommandHelp(const ToolSpec& spec, const CommandSpec& command);

// Parses a non-negative 32-bit number (decimal or 0x-hex); false for
// anything else, a leading '-' included.
bool ParseCount(const wchar_t* text, DWORD* value);
