// Command lines: the tools' shared table-driven parser, against a small
// tool of the test's own, and the client's rules and device requests
// built from its arguments.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "client_args.h"
#include "command_line.h"

namespace {

// -- a small tool of the test's own ---------------------------------------------

struct Settings {
    const wchar_t* name;
    bool verbose;
    long level;
    DWORD count;
    const wchar_t* files[2];
    int fileCount;
};

// --file: repeatable up to two times; refuses a third with its own reason.
int TakeFile(const wchar_t* const* next, int available, void* record, wchar_t* problem) {
    Settings* settings = static_cast<Settings*>(record);
    if (available == 0) return -1;
    if (settings->fileCount == 2) {
        lstrcpyW(problem, L"--file given too often");
        return -1;
    }
    settings->files[settings->fileCount++] = next[0];
    return 1;
}

const unsigned GROUP_SHOW = 1;
const unsigned GROUP_SEND = 2;

const OptionSpec kOptions[] = {
    TextOption(L"--name", L"TEXT", offsetof(Settings, name), L"a name"),
    SwitchOption(L"--verbose", offsetof(Settings, verbose), L"say more", GROUP_SHOW),
    LongOption(L"--level", L"N", offsetof(Settings, level), L"a level", GROUP_SEND),
    CountOption(L"--count", L"N", offsetof(Settings, count), 1, 10, L"a count from 1 to 10",
                L"how many"),
    RoutineOption(L"--file", L"FILE", TakeFile, L"a file", L"a file to read"),
};

const CommandSpec kCommands[] = {
    {L"show", 1, 0, 1, GROUP_SHOW, 0, L"show [WHAT]", nullptr, nullptr},
    {L"send", 2, 1, 2, GROUP_SHOW | GROUP_SEND, 0, L"send TEXT [TEXT]", nullptr, nullptr},
};

const ToolSpec kTool = {L"Tool", L"9.9", L"", L"", kOptions, 5, kCommands, 2, 0, 0, 20,
                        nullptr, nullptr, nullptr};

struct LineCase {
    std::vector<const wchar_t*> words;  // after the program name
    const wchar_t* problem;             // null: the line is accepted
};

// Parses `words` into `settings`; the parsed line.
ParsedLine Parse(const ToolSpec& tool, std::vector<const wchar_t*> words, void* record) {
    words.insert(words.begin(), L"Tool.exe");
    ParsedLine line;
    ParseCommandLine(tool, int(words.size()), const_cast<wchar_t**>(words.data()), record, &line);
    return line;
}

}  // namespace

TEST(CommandLine, RefusedLinesNameTheWordAndWhatIsWrong) {
    const LineCase cases[] = {
        {{}, L"no command given"},
        {{L"bogus"}, L"unknown command bogus"},
        {{L"show", L"--bogus"}, L"unknown option --bogus"},
        {{L"show", L"--name"}, L"--name needs a value"},
        {{L"send", L"x", L"--level", L"high"}, L"--level takes a number: high"},
        {{L"show", L"--count", L"0"}, L"--count takes a count from 1 to 10: 0"},
        {{L"show", L"--count", L"11"}, L"--count takes a count from 1 to 10: 11"},
        {{L"show", L"--count", L"-1"}, L"--count takes a count from 1 to 10: -1"},
        {{L"show", L"--level", L"1"}, L"show does not take --level"},
        {{L"send"}, L"usage: Tool send TEXT [TEXT]"},
        {{L"show", L"a", L"b"}, L"usage: Tool show [WHAT]"},
        {{L"send", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9"}, L"too many arguments"},
        {{L"show", L"--file", L"a", L"--file", L"b", L"--file", L"c"}, L"--file given too often"},
        {{L"show", L"--file"}, L"--file needs a file"},
        {{L"--help", L"--bogus"}, L"unknown option --bogus"},
        {{L"show", L"--help"}, nullptr},
        {{L"--version"}, nullptr},
    };
    for (const LineCase& c : cases) {
        Settings settings = {};
        ParsedLine line = Parse(kTool, c.words, &settings);
        std::wstring shown = c.words.empty() ? L"(none)" : c.words[0];
        EXPECT_STREQ(line.problem, c.problem ? c.problem : L"") << shown;
    }
}

TEST(CommandLine, ValuesGoToTheirFieldsWhereverTheOptionsStand) {
    Settings settings = {};
    settings.count = 5;  // a default the line leaves alone
    ParsedLine line = Parse(kTool,
                            {L"--name", L"n", L"send", L"a", L"--level", L"-0x10", L"--verbose",
                             L"--file", L"f", L"--", L"--level"},
                            &settings);
    EXPECT_STREQ(line.problem, L"");
    ASSERT_NE(line.command, nullptr);
    EXPECT_EQ(line.command->id, 2);
    ASSERT_EQ(line.argCount, 2);
    EXPECT_STREQ(line.args[0], L"a");
    EXPECT_STREQ(line.args[1], L"--level");  // after "--" it is an argument
    EXPECT_STREQ(settings.name, L"n");
    EXPECT_TRUE(settings.verbose);
    EXPECT_EQ(settings.level, -16);
    EXPECT_EQ(settings.count, 5u);
    EXPECT_EQ(settings.fileCount, 1);
    EXPECT_TRUE(OptionGiven(kTool, line, L"--level"));
    EXPECT_FALSE(OptionGiven(kTool, line, L"--count"));

    // With the options first, the first other word ends them.
    ToolSpec first = kTool;
    first.flags = LINE_OPTIONS_FIRST;
    Settings more = {};
    line = Parse(first, {L"--count", L"3", L"launch", L"--name", L"x"}, &more);
    EXPECT_STREQ(line.problem, L"");
    EXPECT_EQ(line.restIndex, 3);
    EXPECT_EQ(more.count, 3u);
    EXPECT_EQ(more.name, nullptr);
}

TEST(CommandLine, HelpListsEveryOptionWithItsTextAligned) {
    const OptionSpec options[] = {
        OptionHeading(L"Faults:"),
        SwitchOption(L"--quiet", 0, L"say less\nand less"),
        RoutineOption(L"--die-holding-a-lock", L"CODE [MS]", TakeFile, nullptr, L"exit"),
    };
    ToolSpec tool = {L"Tool", L"9.9", L"Usage: Tool\n", L"End.\n", options, 3, nullptr, 0, 0, 0,
                     12, nullptr, L"the version", nullptr};
    testing::internal::CaptureStdout();
    PrintHelp(tool);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Usage: Tool\n"
              "\nFaults:\n"
              "  --quiet   say less\n"
              "            and less\n"
              "  --die-holding-a-lock CODE [MS]\n"
              "            exit\n"
              "  --version  the version\n"
              "End.\n");
}

// -- the client -------------------------------------------------------------------

namespace {

struct PlanCase {
    std::vector<const wchar_t*> words;
    LONG code;
    bool mapped;
    std::vector<BYTE> input;
    long cbIn;
};

}  // namespace

TEST(ClientArgs, CommandsMakeTheirDeviceRequests) {
    const PlanCase cases[] = {
        {{L"config", L"--printer", L"P"}, 2, false, {}, 0},
        {{L"counter", L"Cyan", L"--printer", L"P", L"--mapped"}, 9, true, {6}, 1},
        {{L"counter", L"200", L"--printer", L"P"}, 9, false, {200}, 1},
        {{L"service-settings", L"--printer", L"P", L"--cb-in", L"0"}, 11, false, {12}, 0},
        {{L"write-flash", L"12", L"--printer", L"P", L"--in", L"01 02"}, 12, false, {12, 1, 2}, 3},
        {{L"request", L"0x7", L"P", L"--in", L"aa"}, 7, false, {0xaa}, 1},
        {{L"mapped", L"4", L"--printer", L"P"}, 4, true, {}, 0},
    };
    static Invocation inv;
    static RequestPlan plan;
    for (const PlanCase& c : cases) {
        ZeroMemory(&inv, sizeof(inv));
        ParsedLine line = Parse(kClientTool, c.words, &inv);
        ASSERT_STREQ(line.problem, L"") << c.words[0];
        EXPECT_STREQ(inv.binding.protseq, L"ncalrpc") << c.words[0];
        wchar_t problem[CLI_PROBLEM_CHARS];
        ASSERT_EQ(BuildRequestPlan(inv, &plan, problem), 0) << c.words[0];
        EXPECT_EQ(plan.code, c.code) << c.words[0];
        EXPECT_EQ(plan.mapped, c.mapped) << c.words[0];
        EXPECT_EQ(std::vector<BYTE>(plan.in, plan.in + plan.inCount), c.input) << c.words[0];
        EXPECT_EQ(plan.cbIn, c.cbIn) << c.words[0];
        EXPECT_STREQ(plan.printer, L"P") << c.words[0];
    }
}

TEST(ClientArgs, OutputStyleAndBinding) {
    static Invocation inv;
    ZeroMemory(&inv, sizeof(inv));
    ParsedLine line = Parse(kClientTool, {L"--hex", L"bins", L"--printer", L"P", L"--protseq",
                                          L"ncacn_np", L"--endpoint", L"\\pipe\\X"},
                            &inv);
    EXPECT_STREQ(line.problem, L"");
    EXPECT_EQ(inv.style, OUTPUT_HEX);
    EXPECT_STREQ(inv.binding.endpoint, L"\\pipe\\X");
    ZeroMemory(&inv, sizeof(inv));
    line = Parse(kClientTool, {L"doctor", L"--json"}, &inv);
    EXPECT_STREQ(line.problem, L"");
    EXPECT_EQ(inv.style, OUTPUT_JSON);
    EXPECT_EQ(inv.printer, nullptr);  // the doctor checks every printer
}
