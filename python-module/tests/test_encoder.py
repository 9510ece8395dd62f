import pytest

import _tuvax_native
from _tuvax_native import Encoder, decode, encode
from native_support import assert_refcounts_kept, nested_lists, raises_exactly

FINISHED = "encoder already finished"


def finished_encoder():
    enc = Encoder()
    enc.finish()
    return enc


class TestUsage:
    def test_docstring_example(self):
        namespace = {"Encoder": Encoder}
        example = Encoder.__doc__.split("Example::\n\n", 1)[1]
        exec("\n".join(line[4:] for line in example.splitlines()), namespace)
        assert decode(namespace["data"]) == {"key": "value"}

    def test_values_in_order(self):
        enc = Encoder()
        for v in (1, [1, 2], {"a": None}):
            enc.encode(v)
        assert decode(enc.finish()) == [1, [1, 2], {"a": None}]

    def test_one_value_matches_encode(self):
        enc = Encoder()
        enc.encode({"a": [1, "x"]})
        assert enc.finish() == encode({"a": [1, "x"]})

    def test_dedup_shares_repeated_strings(self):
        value = ["a long string that repeats"] * 20
        plain, shared = Encoder(), Encoder()
        shared.enable_dedup()
        shared.enable_dedup()  # harmless twice
        plain.encode(value)
        shared.encode(value)
        plain_out, shared_out = plain.finish(), shared.finish()
        assert len(shared_out) < len(plain_out)
        assert decode(shared_out) == value

    @pytest.mark.parametrize("name", ["none", "LZ4", "Zstd", "SNAPPY", "lz4"])
    def test_compression_names_change_nothing_written(self, name):
        enc = Encoder()
        enc.encode("x")
        enc.set_compression(name)
        enc.set_compression(comp=name)
        assert enc.finish() == encode("x")

    def test_never_finished_encoder_is_just_dropped(self):
        enc = Encoder()
        enc.encode([1, 2, 3])
        del enc

    # A value the core refuses must not leave bytes behind or finish the encoder.
    def test_failed_encode_keeps_encoder_usable(self):
        enc = Encoder()
        enc.encode("before")
        raises_exactly(RuntimeError, "encode error: Nesting depth 128 exceeds maximum 128",
                       enc.encode, nested_lists(129))
        enc.encode("after")
        assert decode(enc.finish()) == ["before", "after"]


class TestErrors:
    def test_unknown_compression(self):
        enc = Encoder()
        raises_exactly(ValueError, "unknown compression: gzip (expected none, lz4, zstd, snappy)",
                       enc.set_compression, "gzip")
        raises_exactly(ValueError, "unknown compression: GZIP (expected none, lz4, zstd, snappy)",
                       enc.set_compression, "GZIP")
        raises_exactly(TypeError, "argument 'comp': 'int' object is not an instance of 'str'",
                       enc.set_compression, 3)
        assert decode(enc.finish()) == []

    def test_finished_state(self):
        enc = finished_encoder()
        raises_exactly(RuntimeError, FINISHED, enc.finish)
        raises_exactly(RuntimeError, FINISHED, enc.encode, 1)
        raises_exactly(RuntimeError, FINISHED, enc.enable_dedup)
        raises_exactly(RuntimeError, FINISHED, enc.set_compression, "none")
        raises_exactly(RuntimeError, FINISHED, enc.finish_to_file, "/tmp/never-written")

    def test_argument_errors_win_over_finished(self):
        enc = finished_encoder()
        raises_exactly(ValueError, "unknown compression: bogus (expected none, lz4, zstd, snappy)",
                       enc.set_compression, "bogus")
        raises_exactly(TypeError, "cannot convert object to Tuvax value", enc.encode, object())
        raises_exactly(TypeError, "argument 'path': 'int' object is not an instance of 'str'",
                       enc.finish_to_file, 123)

    def test_bad_path_leaves_encoder_usable(self):
        enc = Encoder()
        enc.encode(7)
        raises_exactly(TypeError, "argument 'path': 'int' object is not an instance of 'str'",
                       enc.finish_to_file, 123)
        assert decode(enc.finish()) == 7

    @pytest.mark.parametrize("call, message", [
        (lambda: Encoder(1), "Encoder.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Encoder(x=1), "Encoder.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Encoder().set_compression(),
         "Encoder.set_compression() missing 1 required positional argument: 'comp'"),
        (lambda: Encoder().encode(1, 2), "Encoder.encode() takes 1 positional arguments but 2 were given"),
        (lambda: Encoder().encode(value=1), "Encoder.encode() got an unexpected keyword argument 'value'"),
        (lambda: Encoder().finish_to_file(), "Encoder.finish_to_file() missing 1 required positional argument: 'path'"),
        (lambda: Encoder().finish(1), "Encoder.finish() takes no arguments (1 given)"),
        (lambda: Encoder().enable_dedup(1), "Encoder.enable_dedup() takes no arguments (1 given)"),
    ])
    def test_argument_messages(self, call, message):
        raises_exactly(TypeError, message, call)

    def test_failure_releases_references(self):
        enc = Encoder()
        s = "x" * 100
        assert_refcounts_kept([s], enc.encode, [s, s, {1: s}])
        assert_refcounts_kept([s], enc.encode, {"k": [s, nested_lists(129)]})
        assert_refcounts_kept([s], enc.set_compression, s)
