// Assembly of the reply record of an acquire request from the values the
// language monitor stored below the printer's data key. Plain C++ with no
// platform headers: the values come through a reader, so the same code runs
// against the registry in the server and against made-up values elsewhere.
#pragma once

#include <cstdint>

// Reads value `name` of subkey `subkey` (below the printer data key) into
// `dest`, `size` bytes, zero-filled by the caller. True when it was read: a
// shorter value leaves the rest of `dest` zero, a longer or missing one
// fails. A failed read must leave `dest` all zero.
typedef bool (*PrinterValueReader)(void* context, const wchar_t* subkey, const wchar_t* name,
                                   void* dest, uint32_t size);

// The fixed buffer that holds every record but a large flash data reply.
const uint32_t REPLY_BUFFER_SIZE = 260;

// An assembled record: `data` points into `fixed` or at `large`, which
// FreeReplyRecord releases. Zero-fill the whole record before assembling.
struct ReplyRecord {
    uint8_t fixed[REPLY_BUFFER_SIZE];
    uint8_t* large;
    const uint8_t* data;
    uint32_t length;
};

// Builds the reply of acquire request `request` with selector byte
// `selector` into `record`. False when a value the record needs cannot be
// read, the request has no record, or a flash data reply would not fit the
// 32768-byte array; `record->length` is then 0.
bool AssembleReply(PrinterValueReader read, void* context, int32_t request, uint32_t selector,
                   ReplyRecord* record);

// Releases the large buffer of `record`, if any.
void FreeReplyRecord(ReplyRecord* record);
