"""Helpers shared by the _tuvax_native test files."""

import os
import sys

import pytest

# Set by `make check-asan`: the sanitizer runtime makes very large inputs slow.
ASAN = bool(os.environ.get("TUVAX_ASAN"))


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Calls fn, expecting exc_type (not a subclass) with exactly `message`."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, type(info.value)
    assert str(info.value) == message
    return info.value


def assert_refcounts_kept(objs, fn, *args, **kwargs):
    """Calls fn (which must fail) and checks that it leaked no reference to objs."""
    before = [sys.getrefcount(o) for o in objs]
    with pytest.raises(BaseException):
        fn(*args, **kwargs)
    assert [sys.getrefcount(o) for o in objs] == before


def document(*values):
    """The document an Encoder writes for `values`, one top-level value each."""
    from _tuvax_native import Encoder
    enc = Encoder()
    for v in values:
        enc.encode(v)
    return enc.finish()


def nested_lists(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value
