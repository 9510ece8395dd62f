"""Helpers shared by the _tuvax_native test files."""

import os
import sys

import pytest

# Set by `make check-asan`: the sanitizer runtime makes very large inputs slow.
ASAN = bool(os.environ.get("TUVAX_ASAN"))


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    """Calls fn, expecting exc_type (not a subclass) with exactly `message`.

    An OSError of the module is of a private subclass directly below the
    mapped class, which shows its message while errno and strerror are set.
    """
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    cls = type(info.value)
    assert cls is exc_type or (issubclass(exc_type, OSError) and cls.__base__ is exc_type
                               and cls.__module__ == "_tuvax_native"), cls
    assert str(info.value) == message
    return info.value


def assert_refcounts_kept(objs, fn, *args, **kwargs):
    """Calls fn (which must fail) and checks that it leaked no reference to objs."""
    before = [sys.getrefcount(o) for o in objs]
    with pytest.raises(BaseException):
        fn(*args, **kwargs)
    assert [sys.getrefcount(o) for o in objs] == before


def nested_lists(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value
