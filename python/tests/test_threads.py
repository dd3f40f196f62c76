"""One archive shared by threads: the results match a single thread's, records() iterators may
be shared, and the GIL is let go while the library waits on the file."""

import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import quorvale_dat as qd
from conftest import A8R8G8B8, P8


def shared_archive(builder, make_archive):
    records = [(0x04000001, builder.encode_palette(0x04000001, list(range(256))))]
    for i in range(300):
        fmt, data = (P8, bytes(range(256))) if i % 2 else (A8R8G8B8, bytes([i % 256]) * 1024)
        palette = 0x04000001 if fmt == P8 else None
        records.append((0x06000000 + i, builder.encode_texture(0x06000000 + i, 16, 16, fmt, data,
                                                               palette), i % 3 == 0))
    for i in range(700):
        records.append((0x0A000000 + i, bytes([i % 256]) * (i * 7 % 4000), i % 5 == 0))
    return qd.Archive(make_archive(records, block_size=256, scattered=True))


def test_threads_share_one_archive(builder, make_archive):
    a = shared_archive(builder, make_archive)
    ids = list(a)
    expected = {id: a[id] for id in ids}
    textures = [e.id for e in a.entries(qd.RecordType.Texture)]
    pixels = {id: a.texture_rgba(id) for id in textures}

    def work(seed):
        order = ids[seed:] + ids[:seed]
        for id in order:
            assert a[id] == expected[id]
        for id in textures[seed % 7 :: 3]:
            np.testing.assert_array_equal(a.texture_rgba(id), pixels[id])
        return {e.id: data for e, data in a.records()}

    with ThreadPoolExecutor(max_workers=6) as pool:
        for walked in pool.map(work, range(0, 60, 5)):
            assert walked == expected
    a.close()


def test_one_records_iterator_shared_by_threads(builder, make_archive):
    a = shared_archive(builder, make_archive)
    it = a.records()
    seen = []
    lock = threading.Lock()

    def drain():
        while True:
            try:
                entry, data = next(it)
            except StopIteration:
                return
            except ValueError:  # another thread is inside next()
                continue
            with lock:
                seen.append(entry.id)
            assert data == a[entry.id]

    threads = [threading.Thread(target=drain) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == list(a)


def test_opening_lets_other_threads_run(tmp_path):
    # open() of a FIFO blocks until a writer opens it. Only when Archive() has let the GIL go can
    # this thread open the writing end, which lets the reader go on (and fail: a FIFO cannot
    # seek to the header). Without the GIL let go the test would hang until its timeout.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = []

    def reader():
        try:
            qd.Archive(fifo)
        except qd.DatError as error:
            outcome.append(error)

    thread = threading.Thread(target=reader)
    thread.start()
    with open(fifo, "wb"):
        thread.join(timeout=30)
    assert not thread.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], qd.DatIOError)


def test_close_while_other_threads_read(builder, make_archive):
    a = shared_archive(builder, make_archive)
    ids = list(a)
    errors = []

    def read():
        for id in ids:
            try:
                a[id]
            except ValueError:  # closed meanwhile
                return
            except Exception as error:  # noqa: BLE001 - anything else is a fault
                errors.append(error)

    threads = [threading.Thread(target=read) for _ in range(3)]
    for t in threads:
        t.start()
    a.close()
    for t in threads:
        t.join()
    assert errors == []
