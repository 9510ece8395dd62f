"""A read-only walk over the framing of a binary document, for `tuvax inspect`.

It reads what a person wants to see (header, each block's type, payload
length, compression code and stored checksum, the trailer, the number of
dictionary entries) and stops at the first thing that is not well formed.
It decodes no values and computes no hashes: whether the document is sound
is decided by a full decode through the native module, and this walk only
helps to say where that decode failed.
"""

from __future__ import annotations

import dataclasses

MAGIC = b"TUVAXv1"
HEADER_SIZE = 8
TRAILER_SIZE = 19
MAX_BLOCK_SIZE = 64 << 20
MAX_ITEMS = 1_000_000

TRAILER = 0xFF
STRING_DICT = 0x04
DATA = 0x01
BLOCK_NAMES = {DATA: "data", 0x02: "reserved-2", 0x03: "reserved-3", STRING_DICT: "string-dict",
               TRAILER: "trailer"}
COMPRESSION_NAMES = {0: "none", 1: "zstd", 2: "snappy", 3: "lz4"}


class Malformed(Exception):
    """The framing breaks at `offset` (absolute, or payload-relative in a dictionary)."""

    def __init__(self, offset: int, what: str) -> None:
        super().__init__(what)
        self.offset = offset
        self.what = what


@dataclasses.dataclass
class Block:
    offset: int
    type: int
    length: int
    compression: int
    checksum: int
    payload_start: int

    @property
    def payload_end(self) -> int:
        return self.payload_start + self.length

    @property
    def name(self) -> str:
        return BLOCK_NAMES[self.type]


@dataclasses.dataclass
class Layout:
    size: int
    reserved: int | None = None
    blocks: list[Block] = dataclasses.field(default_factory=list)
    file_hash: int | None = None  # as stored in the trailer
    after_trailer: int = 0  # bytes that follow the trailer
    dict_entries: int = 0
    dict_problem: tuple[Block, Malformed] | None = None
    problem: Malformed | None = None  # the first break in the framing


def read_varint(data: bytes, pos: int, end: int) -> tuple[int, int]:
    """(value, position after it); at most 10 bytes, the tenth only 0 or 1."""
    value = 0
    for i in range(10):
        if pos >= end:
            raise Malformed(end, "a varint runs past the end")
        byte = data[pos]
        pos += 1
        if i == 9 and byte > 1:
            raise Malformed(pos - 1, "a varint exceeds 64 bits")
        value |= (byte & 0x7F) << (7 * i)
        if byte < 0x80:
            return value, pos
    raise AssertionError("unreachable: the tenth byte ends every varint")


def _le64(data: bytes, pos: int) -> int:
    return int.from_bytes(data[pos:pos + 8], "little")


def count_dictionary(data: bytes, start: int, end: int) -> int:
    """Entry count of a string-dict payload, after checking every entry.

    Offsets in the Malformed it raises count from the payload start, as the
    decoder's own messages about a dictionary do.
    """
    count, pos = read_varint(data, start, end)
    if count > MAX_ITEMS:
        raise Malformed(0, f"{count} dictionary entries exceed the maximum {MAX_ITEMS}")
    for _ in range(count):
        idx, pos = read_varint(data, pos, end)
        if idx >= count:
            raise Malformed(pos - start, f"entry index {idx} is not below the count {count}")
        _, pos = read_varint(data, pos, end)
        suffix_len, pos = read_varint(data, pos, end)
        if suffix_len > end - pos:
            raise Malformed(pos - start, "an entry runs past the end of the payload")
        try:
            data[pos:pos + suffix_len].decode("utf-8")
        except UnicodeDecodeError:
            raise Malformed(pos + suffix_len - start, "an entry is not valid UTF-8") from None
        pos += suffix_len
    return count


def walk(data: bytes, dictionaries: bool = True) -> Layout:
    """The framing of `data` up to its trailer or its first break.

    Without `dictionaries`, string-dictionary payloads are not looked into.
    """
    layout = Layout(size=len(data))
    try:
        _walk_blocks(data, layout, dictionaries)
    except Malformed as e:
        layout.problem = e
    return layout


def _walk_blocks(data: bytes, layout: Layout, dictionaries: bool) -> None:
    size = len(data)
    if size < HEADER_SIZE:
        raise Malformed(size, f"the input is {size} bytes, shorter than the {HEADER_SIZE}-byte header")
    if data[:len(MAGIC)] != MAGIC:
        raise Malformed(0, "not a tuvax document: it does not start with TUVAXv1")
    layout.reserved = data[7]
    pos = HEADER_SIZE
    while pos < size:
        offset = pos
        kind = data[pos]
        pos += 1
        if kind not in BLOCK_NAMES:
            raise Malformed(offset, f"invalid block type {kind}")
        if kind == TRAILER:
            if size - offset < TRAILER_SIZE:
                raise Malformed(size, f"the trailer at offset {offset} is cut short")
            if data[offset + 1] != 8 or data[offset + 2] != 0:
                raise Malformed(offset, f"the trailer at offset {offset} is malformed")
            layout.blocks.append(Block(offset, kind, 8, 0, _le64(data, offset + 3), offset + 11))
            layout.file_hash = _le64(data, offset + 11)
            layout.after_trailer = size - offset - TRAILER_SIZE
            return
        length, pos = read_varint(data, pos, size)
        if length > MAX_BLOCK_SIZE:
            raise Malformed(offset, f"block payload length {length} exceeds the maximum {MAX_BLOCK_SIZE}")
        if pos >= size:
            raise Malformed(size, f"the block at offset {offset} is cut short")
        compression = data[pos]
        pos += 1
        if compression not in COMPRESSION_NAMES:
            raise Malformed(pos - 1, f"unknown compression code {compression}")
        if size - pos < 8:
            raise Malformed(pos, f"the checksum of the block at offset {offset} is cut short")
        block = Block(offset, kind, length, compression, _le64(data, pos), pos + 8)
        if block.payload_end > size:
            raise Malformed(block.payload_end,
                            f"the {block.name} block at offset {offset} is cut short: its payload "
                            f"ends at {block.payload_end}, the input at {size}")
        layout.blocks.append(block)
        if kind == STRING_DICT and dictionaries and layout.dict_problem is None:
            try:
                layout.dict_entries += count_dictionary(data, block.payload_start, block.payload_end)
            except Malformed as e:
                layout.dict_problem = (block, e)
        pos = block.payload_end
    raise Malformed(size, "no trailer: the input ends after the last block")


# ---- Saying where a decode failed ----

# Kinds that arise while reading a value and carry no offset of their own.
_VALUE_KINDS = frozenset({"InvalidWireType", "NestingTooDeep", "TooManyItems",
                          "MemoryLimitExceeded", "InvalidData"})


def locate(error: BaseException, layout: Layout, decoded: int = 0) -> str | None:
    """Where in the document the decode error `error` arose, or None.

    It reads the facts the error carries (`kind`, `offset`, `expected`);
    `decoded` is how many top-level values came out before it.
    """
    kind = getattr(error, "kind", None)
    if kind == "ChecksumMismatch":
        stored = getattr(error, "expected")
        for b in layout.blocks:
            if b.type == TRAILER:
                if b.checksum == stored:
                    return f"the trailer at offset {b.offset}: its checksum does not match its payload"
                if layout.file_hash == stored:
                    return (f"the trailer at offset {b.offset}: the file hash does not match "
                            f"the {b.offset} bytes before it")
            elif b.checksum == stored:
                return (f"the {b.name} block at offset {b.offset}: its payload does not match "
                        f"its checksum")
    if layout.dict_problem is not None:
        block, e = layout.dict_problem
        return (f"the string-dict block at offset {block.offset}, payload byte {e.offset}: "
                f"{e.what}")
    at = getattr(error, "offset", None)
    if at is not None:
        for b in layout.blocks:
            if b.type != TRAILER and b.payload_start <= at < b.payload_end:
                return (f"offset {at}, payload byte {at - b.payload_start} of the {b.name} "
                        f"block at offset {b.offset}")
        if layout.problem is not None:
            return f"offset {layout.problem.offset}: {layout.problem.what}"
        if at >= layout.size:
            return f"offset {at}: the input ends at {layout.size} bytes"
        return f"offset {at}"
    if layout.problem is not None:
        return f"offset {layout.problem.offset}: {layout.problem.what}"
    if kind in _VALUE_KINDS:
        data_blocks = [b for b in layout.blocks if b.type == DATA]
        where = f"top-level value {decoded + 1}"
        if len(data_blocks) == 1:
            where += f", in the data block at offset {data_blocks[0].offset}"
        return where
    return None


def describe(layout: Layout) -> list[str]:
    """The layout lines of the report: header, one line per block, any break."""
    lines = []
    if layout.reserved is not None:
        lines.append(f"header   {MAGIC.decode()}, reserved byte {layout.reserved}")
    if layout.blocks:
        lines.append("  offset  block        payload  compression")
        for b in layout.blocks:
            lines.append(f"{b.offset:>8}  {b.name:<11} {b.length:>8}  "
                         f"{b.compression} ({COMPRESSION_NAMES[b.compression]})")
    if layout.after_trailer:
        lines.append(f"after    {layout.after_trailer} bytes follow the trailer")
    if layout.problem is not None:
        lines.append(f"framing  broken at offset {layout.problem.offset}: {layout.problem.what}")
    return lines
