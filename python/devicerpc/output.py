"""How the command line shows answers: aligned tables, hex and JSON, in
the same forms as the Windows client, DeviceRpcClient."""
import json

from .errors import status_text, windows_error_text
from .ndr import ARRAY_SIZE
from .records import (BinInfoReply, Calibration, ConfigReply, Counter, EmptyReply, FlashData,
                      ServiceSettings)


def hex_lines(data):
    """Lowercase hex pairs, 16 to a line, each line ended: the raw form."""
    return "".join(" ".join("%02x" % b for b in data[row:row + 16]) + "\n"
                   for row in range(0, len(data), 16))


def dump_table(data):
    """An "offset  bytes" table, 16 bytes to a row."""
    lines = ["%-8s%s" % ("offset", "bytes")]
    lines += ["%04x    %s" % (row, " ".join("%02x" % b for b in data[row:row + 16]))
              for row in range(0, len(data), 16)]
    return "\n".join(lines) + "\n"


def result_lines(response):
    """"result: ..." and "output size: ..." of a device response."""
    if response.opnum == 3:
        text = "success" if response.result == 0 else windows_error_text(response.result)
        first = "result: %d (%s)\n" % (response.result, text)
    else:
        first = "result: %s\n" % ("TRUE" if response.result else "FALSE")
    size = "(null)" if response.cb_out is None else str(response.cb_out)
    return first + "output size: %s\n" % size


def shown_bytes(response):
    """The output bytes that the returned output size covers, at most the
    whole array; none for a null, negative or zero size."""
    size = response.cb_out
    if size is None or size <= 0:
        return b""
    return response.out_data[:min(size, ARRAY_SIZE)]


def _config_table(r):
    """ConfigReply as a field/value/hex table."""
    text = "%-15s%-12s%s\n" % ("field", "value", "hex")
    for label, value in (("record length", r.record_length), ("cassettes", r.cassettes),
                         ("duplex", r.duplex), ("firmware", r.firmware)):
        text += "%-15s%-12d0x%08x\n" % (label, value, value)
    if not r.reserved_zero:
        text += "note: reserved bytes 16 to 31 are not zero\n"
    return text


def _bins_table(r):
    """The three bins, one row each."""
    text = "%-5s%-8s%-11s%-11s%-11s%-11s%s\n" % ("bin", "length", "source", "size", "width",
                                                 "height", "level")
    for b in r.bins:
        text += "%-5d%-8d%-11d%-11d%-11d%-11d%d\n" % (b.bin, b.record_length, b.source, b.size,
                                                      b.width, b.height, b.level)
    for b in r.bins:
        if not b.reserved_zero:
            text += "note: reserved fields of bin %d are not zero\n" % b.bin
    return text


def record_table(record, selector):
    """The readable table of a decoded record."""
    if isinstance(record, ConfigReply):
        return _config_table(record)
    if isinstance(record, BinInfoReply):
        return _bins_table(record)
    if isinstance(record, Counter):
        return "%-9s%-10s%s\n%-9s%-10d%d\n" % ("counter", "selector", "value", record.counter,
                                               record.selector, record.value)
    if isinstance(record, FlashData):
        text = "%-12s0x%08x (%d)\n%-12s%d\n" % ("flash id", record.id, record.id, "data bytes",
                                               record.size)
        return text + (dump_table(record.data) if record.data else "")
    if isinstance(record, (Calibration, ServiceSettings)):
        return dump_table(record.data)
    if isinstance(record, EmptyReply):
        return "(empty reply: flash selector %d carries no data)\n" % selector
    return ""


def record_json(record):
    """The JSON value of a decoded record."""
    if isinstance(record, ConfigReply):
        return {"record_length": record.record_length, "cassettes": record.cassettes,
                "duplex": record.duplex, "firmware": record.firmware,
                "reserved_zero": record.reserved_zero}
    if isinstance(record, BinInfoReply):
        return {"bins": [{"bin": b.bin, "record_length": b.record_length, "source": b.source,
                          "size": b.size, "width": b.width, "height": b.height, "level": b.level,
                          "reserved_zero": b.reserved_zero} for b in record.bins]}
    if isinstance(record, Counter):
        return {"counter": record.counter, "value_name": record.value_name,
                "selector": record.selector, "value": record.value}
    if isinstance(record, FlashData):
        return {"id": record.id, "size": record.size, "data": record.data.hex()}
    if isinstance(record, (Calibration, ServiceSettings)):
        return {"data": record.data.hex()}
    return {}


def malformed_note(error, data):
    """A reply that does not fit its record: the reason, then its bytes."""
    return "%s\n%s" % (error, dump_table(data))


def device_json(command, plan, response, reply, decodable):
    """The one-line JSON answer of a device request. `reply` is the decoded
    record's JSON value, or None; `decodable` tells whether the request has
    a record at all (raw requests and writes have none)."""
    answer = {"command": command, "protseq": "ncacn_ip_tcp", "opnum": response.opnum,
              "request": plan.request, "selector": plan.selector, "printer": plan.printer,
              "status": 0}
    if response.opnum == 3:
        answer["result"] = response.result
        answer["result_text"] = ("success" if response.result == 0
                                 else windows_error_text(response.result))
    else:
        answer["result"] = bool(response.result)
    answer["output_size"] = response.cb_out
    if decodable:
        answer["reply"] = reply
    # Raw requests show the output whatever the result; decoded ones only
    # the reply of a request that succeeded.
    shown = plan.raw or (decodable and response.succeeded)
    answer["hex"] = shown_bytes(response).hex() if shown else ""
    return dumps(answer)


def failure_json(command, error):
    """The JSON answer of a call that did not come back."""
    return dumps({"command": command, "protseq": "ncacn_ip_tcp", "status": error.status,
                  "status_text": status_text(error.status), "reachable": error.reachable,
                  "reason": str(error)})


def dumps(value):
    """One JSON object on one line."""
    return json.dumps(value, separators=(",", ":")) + "\n"

