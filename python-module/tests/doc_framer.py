"""Documents taken apart into blocks and framed again, for hand-made and
mutated inputs: the Python tests and fuzz/fuzz_python.py share it.

Taking apart goes through the module's own block reader (`_blocks`); framing
writes blocks with the given type and compression codes and the checksums
their payloads have, then a trailer that verifies.
"""

import struct

from xxhash import xxh64_intdigest as xxh64

from _tuvax_native import _blocks

HEADER = b"TUVAXv1\x00"


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def split(doc):
    """(reserved byte, [[type, compression, payload], ...]) of a document
    that verifies, its trailer left out."""
    reserved, blocks, _, error, _ = _blocks(doc)
    if error is not None:
        raise error
    ends = [offset for _, offset, *_ in blocks[1:]]
    return reserved, [[doc[offset], compression, doc[end - length:end]]
                      for (_, offset, _, compression, length, _), end in zip(blocks, ends)]


def join(reserved, blocks):
    out = bytearray(HEADER[:-1] + bytes([reserved & 0xFF]))
    for btype, comp, payload in blocks:
        out += bytes([btype]) + varint(len(payload)) + bytes([comp])
        out += struct.pack("<Q", xxh64(payload)) + payload
    file_hash = struct.pack("<Q", xxh64(out))
    out += b"\xff\x08\x00" + struct.pack("<Q", xxh64(file_hash)) + file_hash
    return bytes(out)
