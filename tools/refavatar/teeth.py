"""The mouth bank's blend head as a state-dict archive: a stored (uncompressed) ZIP holding a protocol-2 pickle of an
ordered dict of float32 tensors and one storage entry per tensor, the layout a torch save has. Written here so that
no torch is needed to make a bundle."""
import struct
import zlib

import numpy as np

# The blend head's tensors, in state-dict order: (name, shape).
BLEND_HEAD = [("cand.0.weight", (16, 7, 3, 3)), ("cand.0.bias", (16,)), ("cand.2.weight", (16, 16, 3, 3)),
              ("cand.2.bias", (16,)), ("cand.4.weight", (1, 16, 3, 3)), ("cand.4.bias", (1,)),
              ("syn.0.weight", (16, 3, 3, 3)), ("syn.0.bias", (16,)), ("syn.2.weight", (1, 16, 3, 3)),
              ("syn.2.bias", (1,))]


def _str(s):
    b = s.encode()
    return b"X" + struct.pack("<I", len(b)) + b


def _int(v):
    return b"K" + bytes([v]) if 0 <= v < 256 else b"J" + struct.pack("<i", v)


def state_pickle(names_shapes):
    """Tensor k of the dict lives in storage "k", contiguous from element 0."""
    out = b"\x80\x02ccollections\nOrderedDict\n)Rq\x00("
    for k, (name, shape) in enumerate(names_shapes):
        numel = int(np.prod(shape))
        stride, acc = [], 1
        for d in reversed(shape):
            stride.insert(0, acc)
            acc *= d
        out += (_str(name) + b"ctorch._utils\n_rebuild_tensor_v2\n((" + _str("storage") + b"ctorch\nFloatStorage\n" +
                _str(str(k)) + _str("cpu") + _int(numel) + b"tQ" + _int(0) + b"(" + b"".join(_int(d) for d in shape) +
                b"t(" + b"".join(_int(s) for s in stride) + b"t\x89ccollections\nOrderedDict\n)RtR")
    return out + b"u}b."


def stored_zip(entries):
    """A ZIP of (name, bytes) entries, every one stored."""
    body, directory = b"", b""
    for name, data in entries:
        n = name.encode()
        crc = zlib.crc32(data)
        sizes = struct.pack("<III", crc, len(data), len(data))
        offset = len(body)
        body += struct.pack("<IHHHHH", 0x04034b50, 20, 0, 0, 0, 0) + sizes + struct.pack("<HH", len(n), 0) + n + data
        directory += (struct.pack("<IHHHHHH", 0x02014b50, 20, 20, 0, 0, 0, 0) + sizes +
                      struct.pack("<HHHHHII", len(n), 0, 0, 0, 0, 0, offset) + n)
    return body + directory + struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, len(entries), len(entries), len(directory),
                                          len(body), 0)


def head_pt(tensors, root="tessera_head"):
    """tensors: list of (name, float32 array). Returns the archive's bytes."""
    entries = [(root + "/data.pkl", state_pickle([(n, a.shape) for n, a in tensors]))]
    entries += [(root + "/data/%d" % k, np.ascontiguousarray(a, dtype="<f4").tobytes())
                for k, (_, a) in enumerate(tensors)]
    entries.append((root + "/version", b"3\n"))
    return stored_zip(entries)
