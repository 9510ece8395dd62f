import os
import pathlib
import stat
import subprocess
import sys
import textwrap

import pytest

from _tuvax_native import Encoder, TuvaxDecoder, decode, decode_from_file, encode, encode_to_file
from native_support import assert_refcounts_kept, raises_exactly


@pytest.fixture
def umask_022():
    old = os.umask(0o022)
    yield
    os.umask(old)


def write_with(how, obj, path):
    if how == "function":
        encode_to_file(obj, path)
    else:
        enc = Encoder()
        enc.encode(obj)
        enc.finish_to_file(path)


both_writers = pytest.mark.parametrize("how", ["function", "finish_to_file"])


class TestRoundTrip:
    @both_writers
    def test_write_then_read(self, tmp_path, how):
        path = str(tmp_path / "out.tvx")
        write_with(how, {"a": [1, b"x"]}, path)
        assert pathlib.Path(path).read_bytes() == encode({"a": [1, b"x"]})
        assert decode_from_file(path) == {"a": [1, b"x"]}
        assert os.listdir(tmp_path) == ["out.tvx"]

    def test_relative_path_and_str_subclass(self, tmp_path, monkeypatch):
        class P(str): pass
        monkeypatch.chdir(tmp_path)
        encode_to_file([1, 2], P("rel.tvx"))
        assert decode_from_file(P("rel.tvx")) == [1, 2]

    def test_read_applies_single_value_rule_and_limits(self, tmp_path):
        path = tmp_path / "f"
        path.write_bytes(b"")
        raises_exactly(RuntimeError, "decode error: Unexpected end of input at offset 0", decode_from_file, str(path))
        path.write_bytes(b"garbage!")
        raises_exactly(RuntimeError, "decode error: Invalid magic bytes in file header: expected TUVAXv1",
                       decode_from_file, str(path))


class TestReplacement:
    @both_writers
    def test_new_file_mode_follows_umask(self, tmp_path, umask_022, how):
        write_with(how, 1, str(tmp_path / "a"))
        assert stat.S_IMODE(os.stat(tmp_path / "a").st_mode) == 0o644
        os.umask(0o077)
        write_with(how, 1, str(tmp_path / "b"))
        assert stat.S_IMODE(os.stat(tmp_path / "b").st_mode) == 0o600

    @both_writers
    def test_existing_file_keeps_its_mode(self, tmp_path, how):
        path = tmp_path / "f"
        path.write_bytes(b"old contents")
        os.chmod(path, 0o640)
        write_with(how, "new", str(path))
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
        assert decode_from_file(str(path)) == "new"

    @both_writers
    def test_symlink_is_written_through(self, tmp_path, how):
        target = tmp_path / "target"
        target.write_bytes(b"old")
        link = tmp_path / "link"
        link.symlink_to("target")
        write_with(how, [1], str(link))
        assert link.is_symlink() and os.readlink(link) == "target"
        assert decode_from_file(str(target)) == [1]
        # A dangling link names the file to create, relative to the link.
        (tmp_path / "sub").mkdir()
        dangling = tmp_path / "sub" / "dangling"
        dangling.symlink_to("../created")
        write_with(how, 2, str(dangling))
        assert dangling.is_symlink() and decode_from_file(str(tmp_path / "created")) == 2
        assert sorted(os.listdir(tmp_path)) == ["created", "link", "sub", "target"]

    def test_symlink_loop(self, tmp_path):
        (tmp_path / "a").symlink_to("b")
        (tmp_path / "b").symlink_to("a")
        raises_exactly(OSError, "Too many levels of symbolic links (os error 40)",
                       encode_to_file, 1, str(tmp_path / "a"))

    def test_device_is_written_in_place(self):
        encode_to_file(1, "/dev/null")
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
        raises_exactly(OSError, "No space left on device (os error 28)", encode_to_file, 1, "/dev/full")
        assert stat.S_ISCHR(os.stat("/dev/full").st_mode)

    def test_fifo_is_written_in_place(self, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        # A reader that is already there lets the writer open at once; the
        # document fits in the pipe's buffer.
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            encode_to_file({"k": "v"}, str(fifo))
            assert os.read(reader, 4096) == encode({"k": "v"})
        finally:
            os.close(reader)
        assert stat.S_ISFIFO(os.stat(fifo).st_mode)

    # A failed write used to truncate the target first and lose it.
    def test_failed_write_keeps_old_contents(self, tmp_path):
        path = tmp_path / "keep"
        path.write_bytes(b"precious")
        script = textwrap.dedent(f"""
            import resource, signal, _tuvax_native
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))
            enc = _tuvax_native.Encoder()
            enc.encode("y" * 5000)
            for write in (lambda: _tuvax_native.encode_to_file("x" * 5000, {str(path)!r}),
                          lambda: enc.finish_to_file({str(path)!r})):
                try:
                    write()
                except OSError as e:
                    print(type(e).__name__, e)
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
        assert out == "OSError File too large (os error 27)\n" * 2
        assert path.read_bytes() == b"precious"
        assert os.listdir(tmp_path) == ["keep"]

    # A failed finish_to_file used to end the encoder, and everything it held
    # was lost: only a successful finish may end it.
    def test_failed_finish_keeps_the_encoder_open(self, tmp_path):
        enc = Encoder()
        enc.enable_dedup()
        enc.encode({"unit": "°C", "n": 1})
        for n, (target, error) in enumerate((("/no/such/dir/out", FileNotFoundError), ("/dev/full", OSError),
                                             (str(tmp_path), IsADirectoryError)), start=2):
            with pytest.raises(error):
                enc.finish_to_file(target)
            enc.encode({"unit": "°C", "n": n})
        ref = Encoder()
        ref.enable_dedup()
        for n in (1, 2, 3, 4):
            ref.encode({"unit": "°C", "n": n})
        enc.finish_to_file(str(tmp_path / "saved"))
        assert (tmp_path / "saved").read_bytes() == ref.finish()
        raises_exactly(RuntimeError, "encoder already finished", enc.finish)

    def test_encoding_failure_leaves_file_untouched(self, tmp_path):
        path = tmp_path / "f"
        path.write_bytes(b"old")
        with pytest.raises(TypeError):
            encode_to_file(object(), str(path))
        assert path.read_bytes() == b"old"


class TestErrors:
    @both_writers
    def test_missing_directory(self, how):
        raises_exactly(FileNotFoundError, "No such file or directory (os error 2)",
                       write_with, how, 1, "/no/such/dir/out")

    @both_writers
    def test_directory_as_target(self, tmp_path, how):
        raises_exactly(IsADirectoryError, "Is a directory (os error 21)", write_with, how, 1, str(tmp_path))
        raises_exactly(IsADirectoryError, "Is a directory (os error 21)",
                       write_with, how, 1, str(tmp_path / "missing") + "/")

    def test_not_a_directory(self, tmp_path):
        (tmp_path / "file").write_bytes(b"")
        raises_exactly(NotADirectoryError, "Not a directory (os error 20)",
                       encode_to_file, 1, str(tmp_path / "file" / "x"))
        raises_exactly(NotADirectoryError, "Not a directory (os error 20)",
                       decode_from_file, str(tmp_path / "file" / "x"))

    def test_read_errors(self, tmp_path):
        raises_exactly(FileNotFoundError, "No such file or directory (os error 2)", decode_from_file, "/no/such/file")
        raises_exactly(FileNotFoundError, "No such file or directory (os error 2)", decode_from_file, "")
        raises_exactly(IsADirectoryError, "Is a directory (os error 21)", decode_from_file, str(tmp_path))

    @pytest.mark.skipif(os.geteuid() == 0, reason="root may write any file")
    def test_read_only_file_stays_refused(self, tmp_path):
        path = tmp_path / "ro"
        path.write_bytes(b"old")
        os.chmod(path, 0o444)
        raises_exactly(PermissionError, "Permission denied (os error 13)", encode_to_file, 1, str(path))
        assert path.read_bytes() == b"old"

    @both_writers
    def test_nul_in_path(self, tmp_path, how):
        raises_exactly(OSError, "file name contained an unexpected NUL byte", write_with, how, 1, "a\0b")
        raises_exactly(OSError, "file name contained an unexpected NUL byte", decode_from_file, "a\0b")

    @pytest.mark.parametrize("path, name", [(pathlib.Path("x"), "PosixPath"), (b"x", "bytes"), (5, "int")])
    def test_path_must_be_str(self, path, name):
        message = f"argument 'path': '{name}' object is not an instance of 'str'"
        raises_exactly(TypeError, message, encode_to_file, 1, path)
        raises_exactly(TypeError, message, decode_from_file, path)
        # The path is checked before the object is looked at.
        raises_exactly(TypeError, message, encode_to_file, object(), path)

    def test_failure_releases_references(self, tmp_path):
        obj = ["a reasonably long string"] * 3
        assert_refcounts_kept([obj], encode_to_file, obj, "/no/such/dir/x")
        assert_refcounts_kept([obj], encode_to_file, [obj, object()], str(tmp_path / "x"))


def _outcome(fn, *args):
    try:
        return "value", fn(*args)
    except RuntimeError as e:
        return "error", str(e), e.kind, e.offset


def _from_pipe(data):
    r, w = os.pipe()
    try:
        os.write(w, data)  # small enough for the pipe's buffer
        os.close(w)
        w = -1
        return decode_from_file(f"/dev/fd/{r}")
    finally:
        os.close(r)
        if w >= 0:
            os.close(w)


class TestReadsFollowTheFraming:
    # Reading a file block by block must see exactly what decoding in memory
    # sees: every cut and every changed byte of a document with a string
    # dictionary gives the same value or the same error, from a regular file
    # (read by its size) and from a pipe (read as the framing asks).
    def test_same_outcome_as_in_memory(self, tmp_path):
        enc = Encoder()
        enc.enable_dedup()
        for v in ({"unit": "°C", "tags": ["a", "a"]}, ["unit", "°C"]):
            enc.encode(v)
        doc = enc.finish()
        inputs = [doc[:n] for n in range(len(doc))]
        inputs += [doc[:i] + bytes([b]) + doc[i + 1:] for i in range(len(doc)) for b in (0x00, 0xFF, doc[i] ^ 0x80)]
        inputs += [doc + b"\x00" * 3, doc + doc]
        path = tmp_path / "doc.tvx"
        for data in inputs:
            path.write_bytes(data)
            want = _outcome(decode, data)
            assert _outcome(decode_from_file, str(path)) == want, data
            assert _outcome(_from_pipe, data) == want, data

    # The file functions used to hold the interpreter lock through open,
    # read and write, so a FIFO fed or drained by a thread of the same
    # process hung for good, and every other thread stalled; /dev/zero was
    # read until memory ran out. Each case would hang, so it runs in a child
    # with a timeout and a memory limit.
    def test_blocking_io_lets_other_threads_run(self, tmp_path):
        script = textwrap.dedent("""
            import os, resource, sys, threading, _tuvax_native as tv
            if not os.environ.get("TUVAX_ASAN"):  # the sanitizer's shadow memory needs more
                resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
            fifo = sys.argv[1]
            doc = {"blob": b"x" * (4 << 20), "n": list(range(1000))}
            data = tv.encode(doc)

            # Writing: a thread drains the FIFO while the write blocks, and
            # the encoder stays borrowed throughout.
            enc = tv.Encoder()
            enc.encode(doc)
            for name, write in (("encode_to_file", lambda: tv.encode_to_file(doc, fifo)),
                                ("finish_to_file", lambda: enc.finish_to_file(fifo))):
                ticks, seen = [], []
                def drain():
                    with open(fifo, "rb") as f:
                        if name == "finish_to_file":
                            try:
                                enc.encode(1)
                            except RuntimeError as e:
                                seen.append(str(e))
                        while chunk := f.read(1 << 16):
                            ticks.append(len(chunk))
                t = threading.Thread(target=drain)
                t.start()
                write()
                t.join()
                print(name, sum(ticks) == len(data), len(ticks) > 8, seen)

            # Reading: a thread feeds the FIFO and keeps it open after the
            # document; nothing after the trailer is waited for.
            def feed(payload):
                done = threading.Event()
                def run():
                    with open(fifo, "wb") as f:
                        f.write(payload)
                        f.flush()
                        done.wait()
                t = threading.Thread(target=run)
                t.start()
                try:
                    return tv.decode_from_file(fifo) == doc
                except RuntimeError as e:
                    return str(e)
                finally:
                    done.set()
                    t.join()
            print("fifo", feed(data))
            # A forged length is refused before its payload is waited for.
            print("fifo", feed(b"TUVAXv1\\x00\\x01\\x81\\x80\\x80\\x20"))
            try:
                tv.decode_from_file("/dev/zero")
            except RuntimeError as e:
                print("zero", e)
        """)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        r = subprocess.run([sys.executable, "-c", script, str(fifo)], capture_output=True, text=True,
                           timeout=120)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.splitlines() == [
            "encode_to_file True True []",
            "finish_to_file True True ['Already borrowed']",
            "fifo True",
            "fifo decode error: Block size 67108865 exceeds maximum 67108864",
            "zero decode error: Invalid magic bytes in file header: expected TUVAXv1",
        ]

    # Reads stop at the trailer: a document at the start of a huge sparse file
    # costs its own size, and documents sent back to back down one FIFO are
    # each read whole and no further.
    def test_nothing_after_the_trailer_is_read(self, tmp_path):
        script = textwrap.dedent("""
            import os, sys, threading, _tuvax_native as tv
            sparse, fifo = sys.argv[1], sys.argv[2]
            def peak():
                with open("/proc/self/status") as f:
                    return next(int(l.split()[1]) for l in f if l.startswith("VmHWM")) << 10
            with open(sparse, "wb") as f:
                f.write(tv.encode([]))
                f.truncate(1 << 30)
            before = peak()
            print(tv.decode_from_file(sparse), peak() - before < (10 << 20))
            docs = [tv.encode({"n": n}) for n in range(3)]
            done = threading.Event()
            def write():
                with open(fifo, "wb") as f:  # held open: the pipe lives between readers
                    f.write(b"".join(docs))
                    f.flush()
                    done.wait()
            writer = threading.Thread(target=write)
            writer.start()
            print([tv.decode_from_file(fifo) for _ in docs])
            done.set()
            writer.join()
        """)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        r = subprocess.run([sys.executable, "-c", script, str(tmp_path / "sparse"), str(fifo)],
                           capture_output=True, text=True, timeout=120)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.splitlines() == ["[] True", "[{'n': 0}, {'n': 1}, {'n': 2}]"]

    # A signal that interrupts a blocking open, read or write runs the
    # interpreter's handlers: one that raises (Ctrl-C) ends the call with its
    # exception, one that returns lets the call go on.
    def test_signals_interrupt_blocking_calls(self, tmp_path):
        script = textwrap.dedent("""
            import os, signal, sys, threading, time, _tuvax_native as tv
            fifo = sys.argv[1]
            main = threading.get_ident()
            handled = []
            signal.signal(signal.SIGUSR1, lambda *a: handled.append(1))
            big = {"blob": b"x" * (1 << 20)}
            enc = tv.Encoder()
            enc.encode(big)
            calls = {
                "open for reading": (lambda: tv.decode_from_file(fifo), None),
                "read": (lambda: tv.decode_from_file(fifo), "wb"),
                "open for writing": (lambda: tv.encode_to_file(big, fifo), None),
                "write": (lambda: tv.encode_to_file(big, fifo), "rb"),
                "finish write": (lambda: enc.finish_to_file(fifo), "rb"),
            }
            for name, (call, other_end) in calls.items():
                # The other end opens but neither writes nor reads.
                flags = os.O_RDONLY if other_end == "rb" else os.O_RDWR
                fd = os.open(fifo, flags | os.O_NONBLOCK) if other_end else None
                done = threading.Event()
                def signal_until_done():
                    time.sleep(0.1)
                    signal.pthread_kill(main, signal.SIGUSR1)
                    while not done.wait(0.3):  # again, should one come before the call blocks
                        signal.pthread_kill(main, signal.SIGINT)
                sender = threading.Thread(target=signal_until_done)
                sender.start()
                try:
                    call()
                    print(name, "returned")
                except KeyboardInterrupt:
                    print(name, "interrupted")
                done.set()
                sender.join()
                if fd is not None:
                    os.close(fd)
            print("handled", len(handled) == len(calls), os.listdir(os.path.dirname(fifo)))
            enc.finish()  # still open after the interrupted finish
        """)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        r = subprocess.run([sys.executable, "-c", script, str(fifo)], capture_output=True, text=True,
                           timeout=120)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout.splitlines() == [f"{name} interrupted" for name in (
            "open for reading", "read", "open for writing", "write", "finish write")] + ["handled True ['fifo']"]
