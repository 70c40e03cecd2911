// The NDR codec: requests as clients encode them decode to the same
// values, in either byte order; every malformed request is refused; the
// responses have the contract's exact layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "expected_values.h"
#include "wire_codec.h"

namespace {

std::vector<uint16_t> Units(const char16_t* text) {
    std::vector<uint16_t> units;
    for (const char16_t* p = text; *p; ++p) units.push_back(uint16_t(*p));
    units.push_back(0);
    return units;
}

std::vector<uint8_t> EncodedCommand(int32_t command, int32_t param, const char16_t* name,
                                    const char16_t* argument) {
    auto n = Units(name);
    auto a = Units(argument);
    uint32_t length = 0;
    EXPECT_TRUE(CommandRequestLength(uint32_t(n.size()), uint32_t(a.size()), &length));
    std::vector<uint8_t> buffer(length, 0xEE);
    EncodeCommandRequest(buffer.data(), command, param, n.data(), uint32_t(n.size()), a.data(),
                         uint32_t(a.size()));
    return buffer;
}

struct DeviceArrays {
    uint8_t in[kArraySize];
    uint8_t out[kArraySize];
};

std::vector<uint8_t> EncodedDevice(bool hasOutSize, int32_t cbOut, const char16_t* name,
                                   const DeviceArrays& arrays) {
    auto n = Units(name);
    auto r = Units(u"");
    uint32_t length = 0;
    EXPECT_TRUE(DeviceRequestLength(hasOutSize, uint32_t(n.size()), uint32_t(r.size()), &length));
    std::vector<uint8_t> buffer(length, 0xEE);
    EncodeDeviceRequest(buffer.data(), 11, arrays.in, 7, arrays.out, hasOutSize, cbOut, n.data(),
                        uint32_t(n.size()), r.data(), uint32_t(r.size()));
    return buffer;
}

void PutBig32(std::vector<uint8_t>* b, uint32_t v) {
    b->push_back(uint8_t(v >> 24));
    b->push_back(uint8_t(v >> 16));
    b->push_back(uint8_t(v >> 8));
    b->push_back(uint8_t(v));
}

uint32_t Little32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::u16string Text(const WireString& s, uint32_t drep) {
    std::vector<uint16_t> units(s.units);
    CopyWireString(s, drep, units.data());
    return std::u16string(units.begin(), units.end() - 1);
}

DeviceArrays* PatternedArrays() {
    static DeviceArrays arrays;
    for (uint32_t i = 0; i < kArraySize; ++i) {
        arrays.in[i] = uint8_t(i * 7 + 1);
        arrays.out[i] = uint8_t(i * 13 + 5);
    }
    return &arrays;
}

}  // namespace

TEST(WireCommandRequest, RoundTripsValuesAndStrings) {
    auto buffer = EncodedCommand(-5, 0x7FFFFFFF, u"Office Laser", u"x");
    CommandRequest request;
    ASSERT_TRUE(DecodeCommandRequest(buffer.data(), uint32_t(buffer.size()),
                                     kDrepLittleEndian, &request));
    EXPECT_EQ(request.dwCommand, -5);
    EXPECT_EQ(request.dwParam, 0x7FFFFFFF);
    EXPECT_EQ(Text(request.printerName, kDrepLittleEndian), u"Office Laser");
    EXPECT_EQ(Text(request.argument, kDrepLittleEndian), u"x");
}

TEST(WireCommandRequest, EmptyStringsCarryOnlyTheTerminator) {
    auto buffer = EncodedCommand(1, 2, u"", u"");
    // Two longs and two strings of one unit: 8 + (12 + 2) + pad 2 + (12 + 2).
    EXPECT_EQ(buffer.size(), 38u);
    CommandRequest request;
    ASSERT_TRUE(DecodeCommandRequest(buffer.data(), uint32_t(buffer.size()),
                                     kDrepLittleEndian, &request));
    EXPECT_EQ(request.printerName.units, 1u);
    EXPECT_EQ(request.argument.units, 1u);
}

TEST(WireCommandRequest, BigEndianIntegersAndCharactersAreHonoured) {
    std::vector<uint8_t> b;
    PutBig32(&b, 0x01020304);
    PutBig32(&b, 0xFFFFFFFE);
    for (const char16_t* s : {u"AB", u"\u00e9"}) {
        auto units = Units(s);
        while (b.size() % 4) b.push_back(0);
        PutBig32(&b, uint32_t(units.size()));
        PutBig32(&b, 0);
        PutBig32(&b, uint32_t(units.size()));
        for (uint16_t u : units) {
            b.push_back(uint8_t(u >> 8));
            b.push_back(uint8_t(u));
        }
    }
    CommandRequest request;
    ASSERT_TRUE(DecodeCommandRequest(b.data(), uint32_t(b.size()), kDrepBigEndian, &request));
    EXPECT_EQ(request.dwCommand, 0x01020304);
    EXPECT_EQ(request.dwParam, -2);
    EXPECT_EQ(Text(request.printerName, kDrepBigEndian), u"AB");
    EXPECT_EQ(Text(request.argument, kDrepBigEndian), u"\u00e9");
}

TEST(WireCommandRequest, EveryTruncationIsRefused) {
    auto buffer = EncodedCommand(1, 2, u"Name", u"Arg");
    CommandRequest request;
    for (uint32_t length = 0; length < buffer.size(); ++length)
        EXPECT_FALSE(DecodeCommandRequest(buffer.data(), length, kDrepLittleEndian, &request))
            << "length " << length;
}

// Offsets into the encoded request of EncodedCommand(1, 2, u"Name", u"Arg"):
// the first string's maximum count at 8, offset at 12, actual count at 16,
// units at 20..29; the second string's header starts at 32.
TEST(WireCommandRequest, MalformedStringHeadersAreRefused) {
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
    } cases[] = {
        {"non-zero offset", 12, 1},
        {"actual count above maximum", 16, 6},
        {"maximum below actual count", 8, 4},
        {"actual count zero", 16, 0},
        {"actual count beyond the buffer", 16, 0x7FFFFFFF},
        {"actual count that overflows 32-bit sizes", 16, 0x80000001},
        {"second string offset", 36, 2},
    };
    for (const Case& c : cases) {
        auto buffer = EncodedCommand(1, 2, u"Name", u"Arg");
        if (c.offset == 8) std::memcpy(&buffer[16], "\x04\0\0\0", 4);  // keep actual <= buffer
        std::memcpy(&buffer[c.offset], &c.value, 4);
        CommandRequest request;
        EXPECT_FALSE(DecodeCommandRequest(buffer.data(), uint32_t(buffer.size()),
                                          kDrepLittleEndian, &request))
            << c.what;
    }
}

TEST(WireCommandRequest, StringWithoutTerminatorIsRefused) {
    auto buffer = EncodedCommand(1, 2, u"Name", u"Arg");
    buffer[28] = 'x';  // the terminator of "Name"
    CommandRequest request;
    EXPECT_FALSE(DecodeCommandRequest(buffer.data(), uint32_t(buffer.size()),
                                      kDrepLittleEndian, &request));
}

TEST(WireCommandRequest, ALargerMaximumCountIsAccepted) {
    auto buffer = EncodedCommand(1, 2, u"Name", u"Arg");
    uint32_t maximum = 100;
    std::memcpy(&buffer[8], &maximum, 4);
    CommandRequest request;
    EXPECT_TRUE(DecodeCommandRequest(buffer.data(), uint32_t(buffer.size()),
                                     kDrepLittleEndian, &request));
}

TEST(WireDeviceRequest, RoundTripsArraysAndTheFullPointer) {
    DeviceArrays* arrays = PatternedArrays();
    for (bool hasOutSize : {true, false}) {
        auto buffer = EncodedDevice(hasOutSize, 32768, u"P", *arrays);
        DeviceRequestCall call;
        ASSERT_TRUE(DecodeDeviceRequest(buffer.data(), uint32_t(buffer.size()),
                                        kDrepLittleEndian, &call));
        EXPECT_EQ(call.dwRequest, 11);
        EXPECT_EQ(call.cbInData, 7);
        EXPECT_EQ(std::memcmp(call.inData, arrays->in, kArraySize), 0);
        EXPECT_EQ(std::memcmp(call.outData, arrays->out, kArraySize), 0);
        EXPECT_EQ(call.outSizeReferent != 0, hasOutSize);
        if (hasOutSize) {
            EXPECT_EQ(call.cbOutData, 32768);
        }
        EXPECT_EQ(Text(call.printerName, kDrepLittleEndian), u"P");
    }
}

TEST(WireDeviceRequest, ArrayConformanceMustBe32768) {
    DeviceArrays* arrays = PatternedArrays();
    // The conformance of pInData is at 4, that of pOutData at 4 + 4 + 32768 + 4.
    for (size_t offset : {size_t(4), size_t(4 + 4 + kArraySize + 4)}) {
        for (uint32_t conformance : {0u, 32767u, 32769u, 0xFFFFFFFFu}) {
            auto buffer = EncodedDevice(true, 0, u"P", *arrays);
            std::memcpy(&buffer[offset], &conformance, 4);
            DeviceRequestCall call;
            EXPECT_FALSE(DecodeDeviceRequest(buffer.data(), uint32_t(buffer.size()),
                                             kDrepLittleEndian, &call))
                << offset << " " << conformance;
        }
    }
}

TEST(WireDeviceRequest, TruncationsAtEveryFieldAreRefused) {
    DeviceArrays* arrays = PatternedArrays();
    auto buffer = EncodedDevice(true, 5, u"Printer", *arrays);
    const uint32_t cuts[] = {0, 3, 4, 8, 100, 32772, 32775, 32776, 65543, 65544, 65547, 65548,
                             65551, 65552, 65560, uint32_t(buffer.size() - 1)};
    for (uint32_t length : cuts) {
        DeviceRequestCall call;
        EXPECT_FALSE(DecodeDeviceRequest(buffer.data(), length, kDrepLittleEndian, &call))
            << length;
    }
}

TEST(WireDeviceRequest, BigEndianLongsAndOutputSize) {
    DeviceArrays* arrays = PatternedArrays();
    auto little = EncodedDevice(true, 0x1234, u"P", *arrays);
    // Swap every 32-bit field and every string unit into big-endian order.
    std::vector<uint8_t> big = little;
    auto swap32 = [&](size_t at) { std::reverse(big.begin() + at, big.begin() + at + 4); };
    swap32(0);
    swap32(4);
    swap32(4 + 4 + kArraySize);
    swap32(4 + 4 + kArraySize + 4);
    size_t at = 2 * (4 + kArraySize) + 8;
    swap32(at);       // referent
    swap32(at + 4);   // the long
    for (size_t s = at + 8; s < big.size();) {
        swap32(s);
        swap32(s + 4);
        uint32_t units = Little32(&little[s + 8]);
        swap32(s + 8);
        for (uint32_t u = 0; u < units; ++u) std::swap(big[s + 12 + 2 * u], big[s + 13 + 2 * u]);
        s += 12 + 2 * units;
        s = (s + 3) / 4 * 4;
    }
    DeviceRequestCall call;
    ASSERT_TRUE(DecodeDeviceRequest(big.data(), uint32_t(big.size()), kDrepBigEndian, &call));
    EXPECT_EQ(call.dwRequest, 11);
    EXPECT_EQ(call.cbInData, 7);
    EXPECT_EQ(call.cbOutData, 0x1234);
    EXPECT_EQ(Text(call.printerName, kDrepBigEndian), u"P");
    EXPECT_EQ(std::memcmp(call.inData, arrays->in, kArraySize), 0);
}

TEST(WireDeviceResponse, LayoutOfBothOpnumsWithAndWithoutOutputSize) {
    DeviceArrays* arrays = PatternedArrays();
    for (uint32_t opnum : {kOpnumDeviceRequest, kOpnumDeviceRequestMapped}) {
        for (bool hasOutSize : {true, false}) {
            uint32_t length = DeviceResponseLength(opnum, hasOutSize);
            std::vector<uint8_t> buffer(length, 0xEE);
            EncodeDeviceResponse(buffer.data(), opnum, arrays->in, arrays->out,
                                 hasOutSize ? 0x20000 : 0, 96, opnum == 3 ? 31 : 1);
            EXPECT_EQ(Little32(&buffer[0]), kArraySize);
            EXPECT_EQ(std::memcmp(&buffer[4], arrays->in, kArraySize), 0);
            EXPECT_EQ(Little32(&buffer[32772]), kArraySize);
            EXPECT_EQ(std::memcmp(&buffer[32776], arrays->out, kArraySize), 0);
            EXPECT_EQ(Little32(&buffer[65544]), hasOutSize ? 0x20000u : 0u);
            size_t result = hasOutSize ? 65552 : 65548;
            if (hasOutSize) {
                EXPECT_EQ(Little32(&buffer[65548]), 96u);
            }
            if (opnum == 3) {
                EXPECT_EQ(length, result + 4);
                EXPECT_EQ(Little32(&buffer[result]), 31u);
            } else {
                EXPECT_EQ(length, result + 1);
                EXPECT_EQ(buffer[result], 1);
            }
            // The client side reads back what the server wrote.
            DeviceArrays back;
            int32_t cbOut = -1;
            int32_t value = -1;
            ASSERT_TRUE(DecodeDeviceResponse(buffer.data(), length, kDrepLittleEndian, opnum,
                                             hasOutSize, back.in, back.out, &cbOut, &value));
            EXPECT_EQ(value, opnum == 3 ? 31 : 1);
            EXPECT_EQ(cbOut, hasOutSize ? 96 : -1);
            EXPECT_FALSE(DecodeDeviceResponse(buffer.data(), length - 1, kDrepLittleEndian,
                                              opnum, hasOutSize, back.in, back.out, &cbOut, &value));
        }
    }
}

TEST(WireLengths, SizeArithmeticNeverWraps) {
    uint32_t length = 0;
    EXPECT_FALSE(CommandRequestLength(0x80000000u, 1, &length));
    EXPECT_FALSE(CommandRequestLength(1, 0xFFFFFFFFu, &length));
    EXPECT_FALSE(DeviceRequestLength(true, 0x7FFFFFF0u, 1, &length));
    EXPECT_TRUE(CommandRequestLength(1, 1, &length));
}
