"""IR blob pieces written by hand, for tests that need blobs the building API
cannot make (stage nodes, malformed records)."""

import struct

INPUT, MEMBER = 0, 1  # stage reference tags


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(s):
    return u32(len(s.encode())) + s.encode()


def source_record(name):
    return b"\x00" + text(name) + u32(0)


def stage_record(inputs, members):
    """members: (token, [(INPUT or MEMBER, index), ...]) in member order."""
    out = b"\x04" + u32(len(inputs)) + b"".join(u64(i) for i in inputs) + u32(len(members))
    for token, refs in members:
        out += text(token) + u32(len(refs)) + b"".join(bytes([tag]) + u32(index) for tag, index in refs)
    return out


def blob(records, outputs=()):
    return b"QIR1" + u32(len(records)) + b"".join(records) + u32(len(outputs)) + b"".join(u64(o) for o in outputs)
