"""Typed use of tuvax, checked with `mypy --strict` by the test suite.

Run it too: `python3 examples/typed_usage.py` prints one line per step.
"""

import io
import os
import tempfile
from typing import Any

import _tuvax_native
import tuvax


def stats(doc: dict[str, Any]) -> tuple[int, int]:
    plain = tuvax.encode(doc)
    enc = tuvax.Encoder()
    enc.enable_dedup()
    enc.set_compression("none")
    enc.encode(doc)
    shared: bytes = enc.finish()
    return len(plain), len(shared)


def main() -> None:
    doc: dict[str, Any] = {
        "station": "Zürich Fluntern",
        "units": ["°C", "°C", "hPa"],
        "readings": [13.5, 15.25, -2.0],
        "raw": b"\x01\x02",
    }
    plain, shared = stats(doc)
    print(f"encoded: {plain} bytes, {shared} with shared strings")

    back: Any = tuvax.decode(tuvax.encode(doc))
    assert back == doc
    values: list[Any] = tuvax.TuvaxDecoder(tuvax.encode([1, 2])).decode_all()
    assert values == [[1, 2]]

    text: str = tuvax.pretty_print(doc, indent=4)
    assert tuvax.parse_text(text) == doc
    print(text.splitlines()[1].strip())

    buf = io.BytesIO()
    tuvax.dump(doc, buf, dedup=True)
    assert tuvax.load(io.BytesIO(buf.getvalue())) == doc
    assert tuvax.loads(bytearray(buf.getvalue())) == doc

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "doc.tvx")
        tuvax.encode_to_file(doc, path)
        assert tuvax.decode_from_file(path) == doc
    assert _tuvax_native.__version__ == tuvax.__version__
    print(f"tuvax {tuvax.__version__}: round trips exact")


if __name__ == "__main__":
    main()
