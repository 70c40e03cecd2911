// The payload blocks byte for byte, with the worked sizes of the message
// formats, and the parsers the reference language monitor relies on.
#include <gtest/gtest.h>

#include <vector>

#include "expected_values.h"
#include "payload_layout.h"

namespace {

std::vector<uint16_t> Units(const char16_t* text) {
    std::vector<uint16_t> units;
    for (const char16_t* p = text; *p; ++p) units.push_back(uint16_t(*p));
    units.push_back(0);
    return units;
}

std::vector<uint8_t> Command(bool withArgument, const char16_t* name, const char16_t* argument) {
    auto n = Units(name);
    auto a = Units(argument);
    uint32_t length = 0;
    EXPECT_TRUE(CommandBlockLength(withArgument, uint32_t(n.size() - 1), uint32_t(a.size() - 1),
                                   &length));
    std::vector<uint8_t> block(length, 0);
    FillCommandBlock(block.data(), withArgument, -1, 0x11223344, n.data(), uint32_t(n.size() - 1),
                     a.data(), uint32_t(a.size() - 1));
    return block;
}

std::vector<uint8_t> Request(const char16_t* name, const std::vector<uint8_t>& input,
                             bool hasOutput, uint32_t outputSize) {
    auto n = Units(name);
    uint32_t length = 0;
    EXPECT_TRUE(RequestBlockLength(uint32_t(n.size() - 1), uint32_t(input.size()), outputSize,
                                   &length));
    std::vector<uint8_t> block(length, 0);
    FillRequestBlock(block.data(), 9, input.data(), uint32_t(input.size()), hasOutput, outputSize,
                     n.data(), uint32_t(n.size() - 1));
    return block;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(uint8_t(v));
    return bytes;
}

}  // namespace

TEST(CommandBlock, EmptyNameWithoutArgumentIs18Bytes) {
    auto block = Command(false, u"", u"ignored");
    EXPECT_EQ(block, Bytes({0xff, 0xff, 0xff, 0xff, 0x44, 0x33, 0x22, 0x11, 16, 0, 0, 0, 0, 0, 0,
                            0, 0, 0}));
}

TEST(CommandBlock, TwoStringsOfTwoCharactersAre28Bytes) {
    auto block = Command(true, u"P1", u"ab");
    EXPECT_EQ(block, Bytes({0xff, 0xff, 0xff, 0xff, 0x44, 0x33, 0x22, 0x11, 16, 0, 0, 0, 22, 0, 0,
                            0, 'P', 0, '1', 0, 0, 0, 'a', 0, 'b', 0, 0, 0}));
}

TEST(CommandBlock, EmptyArgumentIsItsTerminatorAtTheEnd) {
    auto block = Command(true, u"Name", u"");
    ASSERT_EQ(block.size(), 20u + 8u);
    EXPECT_EQ(ReadLe32(&block[12]), 18u + 8u);
    EXPECT_EQ(block[26], 0);
    EXPECT_EQ(block[27], 0);
}

TEST(RequestBlock, WorkedSizesAndOffsets) {
    auto input = Bytes({0xA1, 0xA2, 0xA3});
    auto block = Request(u"P1", input, true, 10);
    ASSERT_EQ(block.size(), 43u);
    EXPECT_EQ(ReadLe32(&block[0]), 9u);
    EXPECT_EQ(ReadLe32(&block[4]), 30u);
    EXPECT_EQ(ReadLe32(&block[8]), 3u);
    EXPECT_EQ(ReadLe32(&block[12]), 33u);
    EXPECT_EQ(ReadLe32(&block[16]), 10u);
    EXPECT_EQ(ReadLe32(&block[20]), 24u);
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 24, block.begin() + 30),
              Bytes({'P', 0, '1', 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 30, block.begin() + 33), input);
    for (size_t i = 33; i < 43; ++i) EXPECT_EQ(block[i], 0) << i;

    auto noOutput = Request(u"P1", input, true, 0);
    ASSERT_EQ(noOutput.size(), 33u);
    EXPECT_EQ(ReadLe32(&noOutput[12]), 30u);
}

TEST(RequestBlock, OutputOffsetFollowsInputOnlyWithAnOutputArrayAndSize) {
    auto noInput = Request(u"P1", {}, true, 10);
    EXPECT_EQ(ReadLe32(&noInput[12]), ReadLe32(&noInput[4]));
    auto noArray = Request(u"P1", Bytes({1, 2}), false, 10);
    EXPECT_EQ(ReadLe32(&noArray[12]), ReadLe32(&noArray[4]));
    EXPECT_EQ(ReadLe32(&noArray[16]), 10u);
}

TEST(RequestBlock, SizesBeyondTheArraysAreRefused) {
    uint32_t length = 0;
    EXPECT_TRUE(RequestBlockLength(0, 32768, 32768, &length));
    EXPECT_EQ(length, 26u + 65536u);
    EXPECT_FALSE(RequestBlockLength(0, 32769, 0, &length));
    EXPECT_FALSE(RequestBlockLength(0, 0, 0x80000000u, &length));
    EXPECT_FALSE(RequestBlockLength(0x7FFFFFFFu, 0, 0, &length));
}

TEST(BlockParsers, ReadBackWhatTheBuildersWrote) {
    auto command = Command(true, u"Printer", u"Arg");
    CommandBlockView view;
    ASSERT_TRUE(ParseCommandBlock(command.data(), uint32_t(command.size()), &view));
    EXPECT_EQ(view.dwCommand, -1);
    EXPECT_EQ(view.nameLength, 7u);
    EXPECT_EQ(view.argumentLength, 3u);

    auto request = Request(u"P", Bytes({12, 0}), true, 4);
    RequestBlockView requestView;
    ASSERT_TRUE(ParseRequestBlock(request.data(), uint32_t(request.size()), &requestView));
    EXPECT_EQ(requestView.dwRequestCode, 9);
    EXPECT_EQ(requestView.inputSize, 2u);
    EXPECT_EQ(requestView.input[0], 12);
    EXPECT_EQ(requestView.outputSize, 4u);
}

TEST(BlockParsers, RefuseStringsAndDataOutsideTheBlock) {
    auto command = Command(false, u"Printer", u"");
    CommandBlockView view;
    EXPECT_FALSE(ParseCommandBlock(command.data(), uint32_t(command.size() - 1), &view));
    WriteLe32(&command[8], 1000);
    EXPECT_FALSE(ParseCommandBlock(command.data(), uint32_t(command.size()), &view));

    auto request = Request(u"P", Bytes({1, 2, 3}), true, 0);
    RequestBlockView requestView;
    WriteLe32(&request[8], 0xFFFFFFF0u);
    EXPECT_FALSE(ParseRequestBlock(request.data(), uint32_t(request.size()), &requestView));
}
