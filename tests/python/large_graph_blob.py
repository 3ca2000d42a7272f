"""IR blobs of large mixed graphs, written directly as bytes (far faster
than building the graph call by call): chains of unary ops that each carry
`extra_params` parameters besides their own, commutative binary ops over near and far nodes in both
argument orders, add-zero identities and reductions, with every
`mark_every`-th node marked as an output, so that nearly all of it is
reachable. The same n always gives the same blob."""

import struct

_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_I64 = struct.Struct("<q")


def _text(s):
    data = s.encode()
    return _U32.pack(len(data)) + data


def _int_param(name, value):
    return _text(name) + b"\x00" + _I64.pack(value)


# Parameters a unary op carries besides its varying "k"; the names sort
# after "k", as the blob requires.
def _extra(count):
    return b"".join(_int_param(f"p{j:02d}", 1000 + j) for j in range(count))


def _unary(count):
    return [b"\x01" + _text(name) + _U32.pack(count + 1) for name in ("parse", "filter", "scale", "cast")]


_BINARY = [b"\x01" + _text(name) + _U32.pack(0) + _U32.pack(2) for name in ("add", "mul", "maximum")]
_K = _text("k") + b"\x00"
_ADD_ZERO = (b"\x01" + _text("add") + _U32.pack(2) + _text("scalar") + b"\x01" + struct.pack("<d", 0.0)
             + _text("side") + b"\x03" + _text("r") + _U32.pack(1))
_REDUCTION = b"\x02" + _text("sum") + _U32.pack(0) + _U32.pack(1)


def large_graph_blob(n, mark_every=2, extra_params=12):
    unary = _unary(extra_params)
    extra = _extra(extra_params)
    records = [b"\x00" + _text(f"s{k}") + _U32.pack(0) for k in range(8)]
    pack64 = _U64.pack
    for i in range(8, n):
        r = (i * 2654435761) % 100
        near = i - 1 - (i * 7) % min(i, 8)
        if r < 55:
            records.append(unary[i % 4] + _K + _I64.pack(i % 997) + extra + _U32.pack(1) + pack64(near))
        elif r < 85:
            far = (i * 40503) % i
            pair = (near, far) if i % 2 else (far, near)
            records.append(_BINARY[i % 3] + pack64(pair[0]) + pack64(pair[1]))
        elif r < 95:
            records.append(_ADD_ZERO + pack64(near))
        else:
            records.append(_REDUCTION + pack64(near))
    marked = range(n - 1, -1, -mark_every)
    return (b"QIR1" + _U32.pack(n) + b"".join(records) + _U32.pack(len(marked))
            + b"".join(pack64(o) for o in marked))
