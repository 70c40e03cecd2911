// Structure-aware inputs for the device-request decoder (opnums 2 and 3).
//
// A fuzz input of a few dozen bytes describes a request; the expansion writes
// its NDR stub data (more than 64 KiB, both arrays included) straight from the
// wire contract, without the product's encoder, so that an encoder fault
// cannot hide a decoder fault. A short list of edits then damages the stub at
// its boundaries, and the expansion states what a correct decoder must answer.
//
// Description (little-endian; bytes past the end of the input read as 0):
//   0      flags: bit 0 opnum 3 (else 2), bit 1 big-endian, bit 2 pcbOutData null
//   1..4   dwRequest          5..8   cbInData        9..12  long behind pcbOutData
//   13     name length        14     name contents   (bit 7: a zero unit inside)
//   15     reserved length    16     reserved contents
//   17     pInData fill seed  18     pOutData fill seed
//   19..   up to 8 edits of two bytes, selector then value. The selector's low
//          nibble (modulo 15) names the field: 0 pInData's conformance,
//          1 cbInData, 2 pOutData's conformance, 3 the long behind pcbOutData,
//          4 the referent, 5-8 the name's maximum count, offset, actual count
//          and terminator, 9-12 the same of pszReserved, 13 the stub's length,
//          14 the padding between the strings. Bits 4-5 name the operation:
//          0 add the value as a signed octet, 1 take an edge value (for the
//          length: cut at the start of a part, or one byte before it), 2 flip
//          one bit, 3 set the value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What a correct decoder does with the edited stub.
enum ShapeVerdict { SHAPE_ACCEPT, SHAPE_REJECT, SHAPE_EITHER };

struct ShapedRequest {
    uint32_t opnum;  // 2 or 3
    bool bigEndian;
    int32_t dwRequest;
    int32_t cbInData;
    bool hasOutSize;
    int32_t cbOutData;
    uint32_t inArrayOffset;   // offsets of the stub's parts
    uint32_t outArrayOffset;
    uint32_t nameCharsOffset;
    uint32_t reservedCharsOffset;
    std::vector<uint16_t> name;      // units as described, terminator included
    std::vector<uint16_t> reserved;
    // The edited stub, in a buffer the expansion reuses: valid until the
    // next ExpandShape. Under AddressSanitizer every byte from `stub + length`
    // to the end of the buffer is poisoned, so a read past the stub faults
    // as it would on an allocation of exactly `length` bytes.
    const uint8_t* stub;
    uint32_t length;
    ShapeVerdict verdict;
    // False when an edit moved the decoder off the described fields; when
    // true, an accepted stub must decode to exactly the described values.
    bool layoutIntact;
};

// Expands `data` (any length) into `request`.
void ExpandShape(const uint8_t* data, size_t size, ShapedRequest* request);
