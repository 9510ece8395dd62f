import collections
import threading

from _tuvax_native import Encoder, TuvaxDecoder, decode, encode

THREADS = 8
CALLS = 300


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    errors = []

    def body(n):
        barrier.wait()
        try:
            target(n)
        except BaseException as e:  # anything else fails the test below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_shared_encoder_sees_success_or_already_borrowed():
    enc = Encoder()
    enc.enable_dedup()
    succeeded = collections.Counter()
    lock = threading.Lock()

    def work(n):
        for i in range(CALLS):
            value = {"thread": n, "i": i, "pad": ["shared text"] * (i % 5)}
            try:
                enc.encode(value)
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                continue
            with lock:
                succeeded[(n, i)] += 1

    run_threads(work)
    out = decode(enc.finish())
    got = collections.Counter((v["thread"], v["i"]) for v in (out if isinstance(out, list) else [out]))
    assert got == succeeded
    assert sum(succeeded.values()) > 0


def test_shared_decoder_is_consumed_once():
    dec = TuvaxDecoder(encode(list(range(1000))))
    results = []

    def work(n):
        try:
            results.append(dec.decode_all())
        except RuntimeError as e:
            assert str(e) in ("Already borrowed", "decoder already consumed")

    run_threads(work)
    assert results == [[list(range(1000))]]


def test_functions_from_many_threads():
    def work(n):
        for i in range(CALLS):
            value = {"n": n, "i": i, "s": "x" * i}
            assert decode(encode(value)) == value

    run_threads(work)
