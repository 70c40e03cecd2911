// Expansion of a compact request description into edited NDR stub data.
#include "device_request_shape.h"

#include <cstdlib>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "devicerpc_contract.h"

namespace {

// The arrays' constant conformance, and the referent identifier that
// generated stubs send for the first full pointer of a call.
constexpr uint32_t SHAPE_ARRAY_SIZE = DEVICE_RPC_ARRAY_SIZE;
constexpr uint32_t SHAPE_FIRST_REFERENT = 0x00020000;

constexpr size_t SHAPE_HEADER_BYTES = 19;
constexpr size_t SHAPE_MAX_EDITS = 8;
constexpr uint32_t SHAPE_MAX_TRAILING = 255;  // bytes an edit may append
constexpr uint8_t SHAPE_TRAILING_FILL = 0xA5;
// Room for the longest stub: both arrays, two strings of 256 units, the
// fixed fields and the bytes an edit may append.
constexpr uint32_t SHAPE_STUB_CAPACITY = 2 * SHAPE_ARRAY_SIZE + 4096;

// Where the parts of the unedited stub lie.
struct StubLayout {
    uint32_t inConformance;
    uint32_t inArray;
    uint32_t cbInData;
    uint32_t outConformance;
    uint32_t outArray;
    uint32_t referent;
    uint32_t nameHeader;  // maximum count, offset, actual count, then the units
    uint32_t nameChars;
    uint32_t nameEnd;
    uint32_t reservedHeader;
    uint32_t reservedChars;
    uint32_t end;
};

enum EditField {
    FIELD_IN_CONFORMANCE, FIELD_IN_SIZE, FIELD_OUT_CONFORMANCE, FIELD_OUT_SIZE, FIELD_REFERENT,
    FIELD_NAME_MAXIMUM, FIELD_NAME_OFFSET, FIELD_NAME_ACTUAL, FIELD_NAME_TERMINATOR,
    FIELD_RESERVED_MAXIMUM, FIELD_RESERVED_OFFSET, FIELD_RESERVED_ACTUAL, FIELD_RESERVED_TERMINATOR,
    FIELD_LENGTH, FIELD_PADDING, FIELD_COUNT
};

enum EditOp { OP_ADD, OP_EDGE, OP_FLIP_BIT, OP_SET };

struct Edit {
    uint8_t field;
    uint8_t op;
    uint8_t value;
};

// Values at the edges of the decoder's checks: the conformance, sizes
// around the arrays, and counts whose doubling leaves 32 bits.
constexpr uint32_t SHAPE_EDGE_VALUES[] = {
    0, 1, 2, 0x7FFF, 0x8000, 0x8001, 0xFFFF, 0x10000, 0x20000, 0x40000000,
    0x40000001, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};

// Description bytes; the input may stop anywhere, and what is missing reads
// as zero, so that every input describes a request.
uint8_t ByteAt(const uint8_t* data, size_t size, size_t index) {
    return index < size ? data[index] : 0;
}

uint32_t WordAt(const uint8_t* data, size_t size, size_t index) {
    const uint8_t bytes[4] = {ByteAt(data, size, index), ByteAt(data, size, index + 1),
                              ByteAt(data, size, index + 2), ByteAt(data, size, index + 3)};
    return GetLittleEndian32(bytes);
}

// One buffer for every stub: a fresh 64 KiB allocation per case would cost
// more than the decoding it feeds.
uint8_t* StubBytes() {
    static uint8_t* const bytes = static_cast<uint8_t*>(std::malloc(SHAPE_STUB_CAPACITY));
    return bytes;
}

uint32_t Align4(uint32_t offset) {
    return (offset + 3) / 4 * 4;
}

// Array contents: a window into one fixed pseudo-random table, chosen by the
// fill seed, so that no two positions of an array repeat a short pattern and
// a copy from a wrong offset shows.
struct FillTable {
    uint8_t bytes[SHAPE_ARRAY_SIZE + 256];
};

FillTable MakeFillTable() {
    FillTable table;
    uint32_t state = 0x9E3779B9u;
    for (uint8_t& byte : table.bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = uint8_t(state >> 24);
    }
    return table;
}

const uint8_t* ArrayFill(uint8_t seed) {
    static const FillTable table = MakeFillTable();
    return table.bytes + seed;
}

// String units: both octets differ, so a byte-order slip shows; bit 7 of
// `contents` puts a zero unit in the middle, which the server's length
// measurement must stop at.
void MakeUnits(uint8_t length, uint8_t contents, std::vector<uint16_t>* units) {
    units->assign(length + 1u, 0);
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t high = (((contents & 0x7Fu) + i) & 0x7Fu) + 1;
        uint32_t low = (contents * 37u + i * 11u + 1) & 0xFFu;
        (*units)[i] = uint16_t(high << 8 | low);
    }
    if ((contents & 0x80) && length > 1) (*units)[length / 2] = 0;
}

// Offsets as NDR lays the request out: every long aligned to 4 from the
// start of the stub, the strings' units right after their three counts.
StubLayout MakeLayout(bool hasOutSize, uint32_t nameUnits, uint32_t reservedUnits) {
    StubLayout layout;
    layout.inConformance = 4;
    layout.inArray = 8;
    layout.cbInData = layout.inArray + SHAPE_ARRAY_SIZE;
    layout.outConformance = layout.cbInData + 4;
    layout.outArray = layout.outConformance + 4;
    layout.referent = layout.outArray + SHAPE_ARRAY_SIZE;
    layout.nameHeader = layout.referent + (hasOutSize ? 8 : 4);
    layout.nameChars = layout.nameHeader + 12;
    layout.nameEnd = layout.nameChars + 2 * nameUnits;
    layout.reservedHeader = Align4(layout.nameEnd);
    layout.reservedChars = layout.reservedHeader + 12;
    layout.end = layout.reservedChars + 2 * reservedUnits;
    return layout;
}

// Edits follow the fixed description bytes; a trailing odd byte is ignored.
size_t ReadEdits(const uint8_t* data, size_t size, Edit* edits) {
    size_t count = size > SHAPE_HEADER_BYTES ? (size - SHAPE_HEADER_BYTES) / 2 : 0;
    if (count > SHAPE_MAX_EDITS) count = SHAPE_MAX_EDITS;
    for (size_t i = 0; i < count; ++i) {
        uint8_t selector = data[SHAPE_HEADER_BYTES + 2 * i];
        edits[i].field = uint8_t((selector & 0x0F) % FIELD_COUNT);
        edits[i].op = uint8_t((selector >> 4) & 3);
        edits[i].value = data[SHAPE_HEADER_BYTES + 2 * i + 1];
    }
    return count;
}

// The new value of an edited field under the edit's operation.
uint32_t EditedValue(uint32_t old, const Edit& edit) {
    switch (edit.op) {
        case OP_ADD: return old + uint32_t(int32_t(int8_t(edit.value)));
        case OP_EDGE: return SHAPE_EDGE_VALUES[edit.value % (sizeof SHAPE_EDGE_VALUES / sizeof *SHAPE_EDGE_VALUES)];
        case OP_FLIP_BIT: return old ^ (1u << (edit.value & 31));
        default: return edit.value;
    }
}

// A cut at (or one byte before) the start of a part of the stub.
uint32_t CutPoint(const StubLayout& layout, uint8_t value) {
    const uint32_t points[] = {
        0, layout.inConformance, layout.inArray, layout.inArray + SHAPE_ARRAY_SIZE / 2, layout.cbInData,
        layout.outConformance, layout.outArray, layout.referent, layout.nameHeader,
        layout.nameHeader + 4, layout.nameHeader + 8, layout.nameChars, layout.nameEnd - 2,
        layout.reservedHeader, layout.reservedChars, layout.end - 2};
    constexpr uint32_t count = sizeof points / sizeof *points;
    uint32_t point = points[value % count];
    return (value / count) & 1 ? (point ? point - 1 : 0) : point;
}

// The stub's length after the length edits: shorter cuts it anywhere,
// longer appends up to SHAPE_MAX_TRAILING bytes.
uint32_t EditedLength(const StubLayout& layout, const Edit* edits, size_t count) {
    int64_t length = layout.end;
    for (size_t i = 0; i < count; ++i) {
        if (edits[i].field != FIELD_LENGTH) continue;
        uint8_t value = edits[i].value;
        switch (edits[i].op) {
            case OP_ADD: length += int8_t(value); break;
            case OP_EDGE: length = CutPoint(layout, value); break;
            case OP_FLIP_BIT: length ^= int64_t(1) << (value % 17); break;
            default: length = value; break;
        }
        if (length < 0) length = 0;
        if (length > int64_t(layout.end) + SHAPE_MAX_TRAILING) length = layout.end;
    }
    return uint32_t(length);
}

// Writes and reads integers in the described byte order; what lies past the
// end of a cut stub is skipped or reported missing.
void PutInt(ShapedRequest* request, uint32_t offset, uint32_t value, uint32_t width) {
    for (uint32_t i = 0; i < width && offset + i < request->length; ++i) {
        uint32_t shift = request->bigEndian ? 8 * (width - 1 - i) : 8 * i;
        StubBytes()[offset + i] = uint8_t(value >> shift);
    }
}

bool GetInt(const ShapedRequest& request, uint32_t offset, uint32_t width, uint32_t* value) {
    if (size_t(offset) + width > request.length) return false;
    *value = 0;
    for (uint32_t i = 0; i < width; ++i) {
        uint32_t shift = request.bigEndian ? 8 * (width - 1 - i) : 8 * i;
        *value |= uint32_t(request.stub[offset + i]) << shift;
    }
    return true;
}

// Sets the bytes [from, to) that lie inside the stub.
void FillBytes(ShapedRequest* request, uint32_t from, uint32_t to, uint8_t value) {
    for (uint32_t i = from; i < to && i < request->length; ++i) StubBytes()[i] = value;
}

// Copies an array's 32768 bytes, as far as the stub reaches.
void PutArray(ShapedRequest* request, uint32_t offset, const uint8_t* bytes) {
    if (offset >= request->length) return;
    size_t count = request->length - offset;
    std::memcpy(StubBytes() + offset, bytes, count < SHAPE_ARRAY_SIZE ? count : SHAPE_ARRAY_SIZE);
}

// A [string] wide string: maximum count, offset 0, actual count, units.
void PutString(ShapedRequest* request, uint32_t header, const std::vector<uint16_t>& units) {
    uint32_t count = uint32_t(units.size());
    PutInt(request, header, count, 4);
    PutInt(request, header + 4, 0, 4);
    PutInt(request, header + 8, count, 4);
    for (uint32_t i = 0; i < count; ++i) PutInt(request, header + 12 + 2 * i, units[i], 2);
}

// The unedited request, as far as the (possibly cut) stub reaches. Bytes
// appended past the request are SHAPE_TRAILING_FILL; the padding before the
// second string is zero, as senders write it.
void WriteStub(ShapedRequest* request, const StubLayout& layout, uint8_t inSeed, uint8_t outSeed) {
    FillBytes(request, layout.end, request->length, SHAPE_TRAILING_FILL);
    PutInt(request, 0, uint32_t(request->dwRequest), 4);
    PutInt(request, layout.inConformance, SHAPE_ARRAY_SIZE, 4);
    PutArray(request, layout.inArray, ArrayFill(inSeed));
    PutInt(request, layout.cbInData, uint32_t(request->cbInData), 4);
    PutInt(request, layout.outConformance, SHAPE_ARRAY_SIZE, 4);
    PutArray(request, layout.outArray, ArrayFill(outSeed));
    PutInt(request, layout.referent, request->hasOutSize ? SHAPE_FIRST_REFERENT : 0, 4);
    if (request->hasOutSize) PutInt(request, layout.referent + 4, uint32_t(request->cbOutData), 4);
    PutString(request, layout.nameHeader, request->name);
    FillBytes(request, layout.nameEnd, layout.reservedHeader, 0);
    PutString(request, layout.reservedHeader, request->reserved);
}

// Overwrites one field of the written stub in place; a field that the cut
// removed stays removed.
void ApplyEdit(ShapedRequest* request, const StubLayout& layout, const Edit& edit) {
    uint32_t offset = 0;
    uint32_t width = 4;
    switch (edit.field) {
        case FIELD_IN_CONFORMANCE: offset = layout.inConformance; break;
        case FIELD_IN_SIZE: offset = layout.cbInData; break;
        case FIELD_OUT_CONFORMANCE: offset = layout.outConformance; break;
        case FIELD_OUT_SIZE:  // the long behind a null pointer is not on the wire
            if (!request->hasOutSize) return;
            offset = layout.referent + 4; break;
        case FIELD_REFERENT: offset = layout.referent; break;
        case FIELD_NAME_MAXIMUM: case FIELD_NAME_OFFSET: case FIELD_NAME_ACTUAL:
            offset = layout.nameHeader + 4 * (edit.field - FIELD_NAME_MAXIMUM); break;
        case FIELD_NAME_TERMINATOR: offset = layout.nameEnd - 2; width = 2; break;
        case FIELD_RESERVED_MAXIMUM: case FIELD_RESERVED_OFFSET: case FIELD_RESERVED_ACTUAL:
            offset = layout.reservedHeader + 4 * (edit.field - FIELD_RESERVED_MAXIMUM); break;
        case FIELD_RESERVED_TERMINATOR: offset = layout.end - 2; width = 2; break;
        case FIELD_PADDING:
            FillBytes(request, layout.nameEnd, layout.reservedHeader, edit.value);
            return;
        default: return;  // FIELD_LENGTH is applied before the stub is written
    }
    uint32_t value = 0;
    if (GetInt(*request, offset, width, &value)) PutInt(request, offset, EditedValue(value, edit), width);
}

// One [string] as a correct decoder checks it; false when the verdict is
// settled here (refused, or the layout lost).
bool JudgeString(ShapedRequest* request, uint32_t header, uint32_t units) {
    uint32_t maximum = 0, offset = 0, actual = 0, last = 0;
    if (!GetInt(*request, header, 4, &maximum) || !GetInt(*request, header + 4, 4, &offset) ||
        !GetInt(*request, header + 8, 4, &actual) || offset != 0 || actual == 0 || actual > maximum) {
        request->verdict = SHAPE_REJECT;
        return false;
    }
    if (actual != units) {
        request->verdict = SHAPE_EITHER;
        request->layoutIntact = false;
        return false;
    }
    if (!GetInt(*request, header + 12 + 2 * (units - 1), 2, &last) || last != 0) {
        request->verdict = SHAPE_REJECT;
        return false;
    }
    return true;
}

// Walks the edited stub in wire order, as a correct decoder reads it, and
// settles the verdict at the first part that decides it.
void Judge(ShapedRequest* request, const StubLayout& layout) {
    request->verdict = SHAPE_ACCEPT;
    request->layoutIntact = true;
    uint32_t inConformance = 0, outConformance = 0, referent = 0;
    if (!GetInt(*request, layout.inConformance, 4, &inConformance) || inConformance != SHAPE_ARRAY_SIZE ||
        !GetInt(*request, layout.outConformance, 4, &outConformance) || outConformance != SHAPE_ARRAY_SIZE ||
        !GetInt(*request, layout.referent, 4, &referent)) {
        request->verdict = SHAPE_REJECT;
        return;
    }
    if ((referent != 0) != request->hasOutSize) {
        // A null pointer made non-null, or the reverse: the decoder now
        // reads the following fields from other bytes.
        request->verdict = SHAPE_EITHER;
        request->layoutIntact = false;
        return;
    }
    if (!JudgeString(request, layout.nameHeader, uint32_t(request->name.size())) ||
        !JudgeString(request, layout.reservedHeader, uint32_t(request->reserved.size())))
        return;
    // Bytes after the last string are not the decoder's to judge.
    if (request->length > layout.end) request->verdict = SHAPE_EITHER;
}

}  // namespace

void ExpandShape(const uint8_t* data, size_t size, ShapedRequest* request) {
    uint8_t flags = ByteAt(data, size, 0);
    request->opnum = (flags & 1) ? 3 : 2;
    request->bigEndian = (flags & 2) != 0;
    request->hasOutSize = (flags & 4) == 0;
    request->dwRequest = int32_t(WordAt(data, size, 1));
    request->cbInData = int32_t(WordAt(data, size, 5));
    request->cbOutData = request->hasOutSize ? int32_t(WordAt(data, size, 9)) : 0;
    MakeUnits(ByteAt(data, size, 13), ByteAt(data, size, 14), &request->name);
    MakeUnits(ByteAt(data, size, 15), ByteAt(data, size, 16), &request->reserved);

    StubLayout layout = MakeLayout(request->hasOutSize, uint32_t(request->name.size()),
                                   uint32_t(request->reserved.size()));
    request->inArrayOffset = layout.inArray;
    request->outArrayOffset = layout.outArray;
    request->nameCharsOffset = layout.nameChars;
    request->reservedCharsOffset = layout.reservedChars;

    Edit edits[SHAPE_MAX_EDITS];
    size_t count = ReadEdits(data, size, edits);
    request->stub = StubBytes();
    request->length = EditedLength(layout, edits, count);
    if (!request->stub || request->length > SHAPE_STUB_CAPACITY) abort();
    ASAN_UNPOISON_MEMORY_REGION(request->stub, SHAPE_STUB_CAPACITY);
    ASAN_POISON_MEMORY_REGION(request->stub + request->length, SHAPE_STUB_CAPACITY - request->length);
    WriteStub(request, layout, ByteAt(data, size, 17), ByteAt(data, size, 18));
    for (size_t i = 0; i < count; ++i) ApplyEdit(request, layout, edits[i]);
    // The sizes as edited are what an accepted stub must decode to.
    uint32_t value = 0;
    if (GetInt(*request, layout.cbInData, 4, &value)) request->cbInData = int32_t(value);
    if (request->hasOutSize && GetInt(*request, layout.referent + 4, 4, &value))
        request->cbOutData = int32_t(value);
    Judge(request, layout);
}
