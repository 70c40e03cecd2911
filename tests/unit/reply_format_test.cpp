// DeviceRpcClient's reply decoding and formatting: the records of every
// device request, raw bytes, result lines and JSON text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected_values.h"
#include "reply_format.h"

namespace {

std::vector<BYTE> Words(std::initializer_list<DWORD> words) {
    std::vector<BYTE> bytes;
    for (DWORD w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(BYTE(w >> (8 * i)));
    return bytes;
}

std::wstring Table(ReplyKind kind, const std::vector<BYTE>& bytes, BYTE selector = 0,
                   bool* decoded = nullptr) {
    static wchar_t storage[16384];
    TextBuffer out;
    InitText(&out, storage, 16384);
    bool ok = FormatReplyTable(kind, selector, bytes.data(), DWORD(bytes.size()), &out);
    if (decoded) *decoded = ok;
    return out.text;
}

std::wstring Json(ReplyKind kind, const std::vector<BYTE>& bytes, BYTE selector = 0) {
    static wchar_t storage[16384];
    TextBuffer out;
    InitText(&out, storage, 16384);
    FormatReplyJson(kind, selector, bytes.data(), DWORD(bytes.size()), &out);
    return out.text;
}

std::vector<BYTE> ConfigBytes() {
    std::vector<BYTE> bytes = Words({32, 2, 1, 3});
    bytes.resize(32, 0);
    return bytes;
}

}  // namespace

// -- reply records ------------------------------------------------------------

TEST(ClientFormat, ConfigReplyDecodesToItsFourFields) {
    ConfigRecord r;
    std::vector<BYTE> bytes = ConfigBytes();
    ASSERT_TRUE(DecodeConfigReply(bytes.data(), 32, &r));
    EXPECT_EQ(r.recordLength, 32u);
    EXPECT_EQ(r.cassettes, 2u);
    EXPECT_EQ(r.duplex, 1u);
    EXPECT_EQ(r.firmware, 3u);
    EXPECT_TRUE(r.reservedZero);
    EXPECT_EQ(Table(REPLY_CONFIG, bytes),
              L"field          value       hex\n"
              L"record length  32          0x00000020\n"
              L"cassettes      2           0x00000002\n"
              L"duplex         1           0x00000001\n"
              L"firmware       3           0x00000003\n");
    EXPECT_EQ(Json(REPLY_CONFIG, bytes),
              L"{\"record_length\":32,\"cassettes\":2,\"duplex\":1,\"firmware\":3,"
              L"\"reserved_zero\":true}");
    bytes[20] = 7;
    EXPECT_NE(Table(REPLY_CONFIG, bytes).find(L"note: reserved bytes 16 to 31 are not zero"),
              std::wstring::npos);
}

TEST(ClientFormat, RepliesOfTheWrongLengthAreShownAsBytesAndNotDecoded) {
    bool decoded = true;
    std::vector<BYTE> shortConfig = Words({32, 2, 1});
    std::wstring text = Table(REPLY_CONFIG, shortConfig, 0, &decoded);
    EXPECT_FALSE(decoded);
    EXPECT_EQ(text, L"reply: 12 bytes, not a 32-byte ConfigReply\n"
                    L"offset  bytes\n"
                    L"0000    20 00 00 00 02 00 00 00 01 00 00 00\n");
    EXPECT_EQ(Json(REPLY_CONFIG, shortConfig), L"null");
    Table(REPLY_BIN_INFO, ConfigBytes(), 0, &decoded);
    EXPECT_FALSE(decoded);
    Table(REPLY_FLASH, {1, 2, 3}, 0, &decoded);  // shorter than the item id
    EXPECT_FALSE(decoded);
    Table(REPLY_EMPTY, Words({0}), 5, &decoded);  // this selector carries no data
    EXPECT_FALSE(decoded);
}

TEST(ClientFormat, BinInfoShowsOneRowPerBin) {
    std::vector<BYTE> bytes;
    for (DWORD bin = 0; bin < 3; ++bin) {
        std::vector<BYTE> record = Words({32, bin + 1, 9, 0, 2100, 2970, 80 - bin, 0});
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    EXPECT_EQ(Table(REPLY_BIN_INFO, bytes),
              L"bin  length  source     size       width      height     level\n"
              L"0    32      1          9          2100       2970       80\n"
              L"1    32      2          9          2100       2970       79\n"
              L"2    32      3          9          2100       2970       78\n");
    std::wstring json = Json(REPLY_BIN_INFO, bytes);
    EXPECT_EQ(json.find(L"{\"bins\":[{\"bin\":0,\"record_length\":32,\"source\":1,\"size\":9,"
                        L"\"width\":2100,\"height\":2970,\"level\":80,\"reserved_zero\":true},"),
              0u);
    // Large values keep their columns apart.
    std::vector<BYTE> large = bytes;
    large[36] = large[37] = large[38] = large[39] = 0xFF;  // bin 1 source 4294967295
    EXPECT_NE(Table(REPLY_BIN_INFO, large).find(L"1    32      4294967295 9"), std::wstring::npos);
    bytes[64 + 28] = 1;  // the second reserved field of bin 2
    EXPECT_NE(Table(REPLY_BIN_INFO, bytes).find(L"note: reserved fields of bin 2 are not zero"),
              std::wstring::npos);
}

TEST(ClientFormat, FlashReplyIsTheItemIdThenItsData) {
    std::vector<BYTE> bytes = {0, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3};
    FlashRecord r;
    ASSERT_TRUE(DecodeFlashReply(bytes.data(), 12, &r));
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.dataSize, 8u);
    EXPECT_EQ(Table(REPLY_FLASH, bytes, 10),
              L"flash id    0x00000000 (0)\n"
              L"data bytes  8\n"
              L"offset  bytes\n"
              L"0000    de ad be ef 00 01 02 03\n");
    EXPECT_EQ(Json(REPLY_FLASH, bytes, 10), L"{\"id\":0,\"size\":8,\"data\":\"deadbeef00010203\"}");
    // An item with no data is a valid four-byte reply.
    EXPECT_EQ(Table(REPLY_FLASH, Words({0x1000})), L"flash id    0x00001000 (4096)\ndata bytes  0\n");
}

TEST(ClientFormat, BlocksAreDumpedSixteenBytesToARow) {
    std::vector<BYTE> calibration(60);
    for (int i = 0; i < 60; ++i) calibration[i] = BYTE(0x40 + i);
    std::wstring text = Table(REPLY_CALIBRATION, calibration);
    EXPECT_EQ(text.find(L"offset  bytes\n0000    40 41 42"), 0u);
    EXPECT_NE(text.find(L"\n0030    70 71 72 73 74 75 76 77 78 79 7a 7b\n"), std::wstring::npos);
    std::vector<BYTE> service(18, 0xab);
    EXPECT_EQ(Table(REPLY_SERVICE_SETTINGS, service),
              L"offset  bytes\n"
              L"0000    ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab\n"
              L"0010    ab ab\n");
    bool decoded = true;
    Table(REPLY_SERVICE_SETTINGS, calibration, 12, &decoded);
    EXPECT_FALSE(decoded);
}

TEST(ClientFormat, CounterSelectorsNamesAndReplyKinds) {
    BYTE selector = 0xff;
    EXPECT_TRUE(CounterSelectorByName(L"Color", &selector));
    EXPECT_EQ(selector, 2);
    EXPECT_TRUE(CounterSelectorByName(L"io", &selector));
    EXPECT_EQ(selector, 1);
    EXPECT_FALSE(CounterSelectorByName(L"purple", &selector));
    EXPECT_STREQ(CounterValueName(8), L"dwYellowCounter");
    EXPECT_STREQ(CounterValueName(3), L"dwIOCounter");  // no counter of its own
    EXPECT_STREQ(CounterShortName(200), L"io");
    EXPECT_EQ(Table(REPLY_COUNTER, Words({1002}), 2),
              L"counter  selector  value\ncolor    2         1002\n");
    EXPECT_EQ(Json(REPLY_COUNTER, Words({1007}), 3),
              L"{\"counter\":\"io\",\"value_name\":\"dwIOCounter\",\"selector\":3,\"value\":1007}");

    EXPECT_EQ(ReplyKindFor(kRequestConfig, 0), REPLY_CONFIG);
    EXPECT_EQ(ReplyKindFor(kRequestFlashData, 0), REPLY_FLASH);
    EXPECT_EQ(ReplyKindFor(kRequestFlashData, 10), REPLY_FLASH);
    EXPECT_EQ(ReplyKindFor(kRequestFlashData, 12), REPLY_SERVICE_SETTINGS);
    EXPECT_EQ(ReplyKindFor(kRequestFlashData, 5), REPLY_EMPTY);
    EXPECT_EQ(ReplyKindFor(kRequestFlashDataWrite, 12), REPLY_NONE);
    EXPECT_EQ(ReplyKindFor(7, 0), REPLY_RAW);
    EXPECT_EQ(Table(REPLY_EMPTY, {}, 5), L"(empty reply: flash selector 5 carries no data)\n");
}

// -- raw bytes, results, text ---------------------------------------------------

TEST(ClientFormat, HexInputAndRawOutput) {
    BYTE bytes[4] = {};
    DWORD count = 0;
    EXPECT_TRUE(ParseHexBytes(L"0a 0B:ff-00", bytes, 4, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(bytes[1], 0x0b);
    EXPECT_EQ(bytes[2], 0xff);
    EXPECT_FALSE(ParseHexBytes(L"0a0", bytes, 4, &count));    // odd digit count
    EXPECT_FALSE(ParseHexBytes(L"0g", bytes, 4, &count));     // not hex
    EXPECT_FALSE(ParseHexBytes(L"0102030405", bytes, 4, &count));  // beyond capacity
    EXPECT_TRUE(ParseHexBytes(L"", bytes, 4, &count));
    EXPECT_EQ(count, 0u);

    // The raw form scripts read: 16 pairs to a line, every line ended.
    std::vector<BYTE> seventeen(17);
    for (int i = 0; i < 17; ++i) seventeen[i] = BYTE(i);
    wchar_t storage[200];
    TextBuffer out;
    InitText(&out, storage, 200);
    AppendHexLines(&out, seventeen.data(), 17);
    EXPECT_STREQ(out.text, L"00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n10\n");
}

TEST(ClientFormat, ResultLinesAndCallOutcomes) {
    wchar_t storage[200];
    TextBuffer out;
    InitText(&out, storage, 200);
    AppendMappedResult(&out, 0, L"The operation completed successfully");
    AppendMappedResult(&out, 31, L"A device attached to the system is not functioning");
    AppendBooleanResult(&out, false);
    EXPECT_STREQ(out.text, L"result: 0 (success)\n"
                           L"result: 31 (A device attached to the system is not functioning)\n"
                           L"result: FALSE\n");
    EXPECT_EQ(ClassifyCallStatus(RPC_S_OK), CALL_COMPLETED);
    EXPECT_EQ(ClassifyCallStatus(RPC_S_SERVER_UNAVAILABLE), CALL_UNREACHABLE);
    EXPECT_EQ(ClassifyCallStatus(EPT_S_NOT_REGISTERED), CALL_UNREACHABLE);
    EXPECT_EQ(ClassifyCallStatus(RPC_S_PROCNUM_OUT_OF_RANGE), CALL_REJECTED);
    EXPECT_EQ(ClassifyCallStatus(RPC_X_BAD_STUB_DATA), CALL_REJECTED);
}

TEST(ClientFormat, JsonStringsAreEscapedAndOverflowDropsWholePieces) {
    wchar_t storage[64];
    TextBuffer out;
    InitText(&out, storage, 64);
    AppendJsonString(&out, L"\\\\PRINTSRV\\Lab \"A\"\n\x01");
    EXPECT_STREQ(out.text, L"\"\\\\\\\\PRINTSRV\\\\Lab \\\"A\\\"\\n\\u0001\"");

    wchar_t small[8];
    InitText(&out, small, 8);
    AppendText(&out, L"abc");
    AppendText(&out, L"defghij");  // would not fit: dropped whole
    EXPECT_TRUE(out.overflow);
    EXPECT_STREQ(out.text, L"abc");
}
