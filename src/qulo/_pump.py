"""The ``qulo`` command's pump: a source through an incremental cipher into
a sink, in chunks, with the reads and writes on a helper thread.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable
from concurrent.futures import Future, wait
from contextlib import closing
from typing import Any, Protocol

from ._sinks import Output
from ._sources import CHUNK, Progress, Source
from ._stream import Decryptor


class Context(Protocol):
    """An incremental cipher: Encryptor or Decryptor."""

    def update_into(self, data: memoryview, out: memoryview, /) -> int: ...


class _Helper:
    """One thread that runs the pump's reads and writes, one call at a time.

    A daemon thread, not an executor's: a run that a signal ends must not
    wait at exit for a write that is stuck on a pipe nobody reads.
    """

    def __init__(self) -> None:
        self._calls: queue.SimpleQueue[tuple[Future[Any], Callable[..., Any], tuple[Any, ...]] | None]
        self._calls = queue.SimpleQueue()
        threading.Thread(target=self._serve, name="qulo-io", daemon=True).start()

    def _serve(self) -> None:
        while (call := self._calls.get()) is not None:
            future, fn, args = call
            if future.set_running_or_notify_cancel():
                try:
                    future.set_result(fn(*args))
                except BaseException as e:  # handed to the pump, which raises it
                    future.set_exception(e)

    def submit(self, fn: Callable[..., Any], *args: Any) -> Future[Any]:
        future: Future[Any] = Future()
        self._calls.put((future, fn, args))
        return future

    def close(self) -> None:
        self._calls.put(None)


def pump(source: Source, sink: Output, context: Context, limit: int | None,
         progress: Progress) -> tuple[int, memoryview]:
    """Feeds the source through the context into the sink; returns the bytes
    read and the output of the last chunk, which is not written: the caller
    writes it once the cipher has accepted the whole input (so an input of
    one chunk writes nothing that a refusal would have to take back).
    `limit`: read no more than this. `progress` is told each chunk's size
    once the cipher has taken it.

    Two pairs of buffers, reused throughout, take turns: while the cipher
    works on one chunk (without the interpreter lock), a helper thread writes
    the previous chunk's output and reads the next chunk into the other
    pair. Where a core is free, the reads and writes then cost no time of
    their own and the run goes at the cipher's rate.
    """
    # The most an update of a chunk writes, as the cipher bounds it: the
    # same for both directions, whichever context this is.
    room = Decryptor.max_output(CHUNK)
    pairs = [(memoryview(bytearray(CHUNK)), memoryview(bytearray(room))) for _ in range(2)]
    read_so_far = 0

    def read(into: memoryview) -> int:
        nonlocal read_so_far
        want = CHUNK if limit is None else min(CHUNK, limit - read_so_far)
        n = source.readinto(into[:want]) if want else 0
        read_so_far += n
        return n

    def write_then_read(written: memoryview, into: memoryview) -> int:
        if written:
            sink.write(written)
        return read(into)

    io = _Helper()
    with closing(io):
        turn = 0
        n = read(pairs[0][0])
        previous = pairs[1][1][:0]
        while n:
            inview, outview = pairs[turn]
            other_in = pairs[1 - turn][0]
            pending = io.submit(write_then_read, previous, other_in)
            try:
                w = context.update_into(inview[:n], outview)
            finally:
                # Never leave the helper touching buffers or descriptors that
                # the caller is about to clean up, unless a signal cuts this
                # wait short: the run then ends by the signal without waiting
                # for a write that may be stuck on a pipe nobody reads.
                wait([pending])
            next_n = pending.result()
            progress(n)
            previous = outview[:w]
            n = next_n
            turn = 1 - turn
    return read_so_far, previous
