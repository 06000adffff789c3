"""Ctrl-C while the C library works.

A call into the C library releases the interpreter, and Python runs its
signal handlers only on the main thread, between bytecodes. Left alone, a
SIGINT would be noticed only when the C call returns (a whole batch later),
or would raise KeyboardInterrupt inside a ctypes callback, where ctypes
prints it and carries on.

``Guard`` is entered around such a call on the main thread. For its
duration SIGINT's Python handler only records the interrupt, and the
signal's wakeup file descriptor is a socket that any thread can poll, so
that a callback run on one of the library's worker threads sees the
interrupt too (``interrupted()``) and asks the library to stop. While the
guard runs a Python model (``python_call()``), the previous handler is
called there at once, as without the guard (by default it raises
KeyboardInterrupt, for the caller's callback to record). On leaving, the previous handler and wakeup descriptor are put
back, and a recorded interrupt is delivered to the previous handler
(``signal.raise_signal``): by default KeyboardInterrupt is raised from the
``with`` statement.

Off the main thread (a Dask worker, say) a guard does nothing, and
``interrupted()`` is always false.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import signal
import socket
import threading
from types import FrameType, TracebackType
from typing import Any, Iterator, List, Optional, Tuple, Type


_check_signals: Any = getattr(getattr(ctypes, "pythonapi", None), "PyErr_CheckSignals", None)
if _check_signals is not None:
    _check_signals.restype = ctypes.c_int

# The socket pair of the wakeup descriptor, made on first use and kept (a
# guard is entered around every fit, and making a pair costs more than
# some fits), with the process it belongs to: a forked child makes its own.
# Only the main thread uses it.
_sockets: List[Any] = []


def _run_pending_handlers() -> None:
    """Runs the Python handlers of signals that arrived while the library
    worked, on this (the main) thread, now."""
    if _check_signals is not None:
        _check_signals()


def _socket_pair() -> Tuple[socket.socket, socket.socket]:
    if not _sockets or _sockets[2] != os.getpid():
        for inherited in _sockets[:2]:
            inherited.close()
        reader, writer = socket.socketpair()
        reader.setblocking(False)
        writer.setblocking(False)
        _sockets[:] = [reader, writer, os.getpid()]
    return _sockets[0], _sockets[1]


class Guard:
    """See the module documentation."""

    def __init__(self) -> None:
        self.active = False
        self._interrupted = False   # recorded by the handler, or seen on the socket
        self._raise_now = False
        self._sigint_bytes = 0      # SIGINTs seen on the wakeup socket
        self._delivered = 0         # SIGINTs handed to the previous handler at once
        self._handler: Any = None
        self._wakeup = -1
        self._reader: Optional[socket.socket] = None
        self._other_signals = bytearray()

    def __enter__(self) -> "Guard":
        if threading.current_thread() is not threading.main_thread():
            return self
        handler = signal.getsignal(signal.SIGINT)
        if handler in (signal.SIG_IGN, None):  # ignored, or not Python's to manage
            return self
        reader, writer = _socket_pair()
        try:
            self._wakeup = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        except (ValueError, OSError):
            return self
        self._reader, self._handler = reader, handler
        self._drain()  # an enclosing guard's: its own handler has the signal too
        self._interrupted = False
        self._sigint_bytes = self._delivered = 0
        signal.signal(signal.SIGINT, self._record)
        self.active = True
        return self

    def _record(self, signum: int, frame: Optional[FrameType]) -> None:
        if self._raise_now and callable(self._handler):
            # In the user's model: the previous handler has the signal now
            # (by default it raises KeyboardInterrupt there).
            self._raise_now = False
            self._delivered += 1
            self._handler(signum, frame)
            return
        self._interrupted = True

    @contextlib.contextmanager
    def python_call(self) -> Iterator[None]:
        """Around a call of the user's Python code on the main thread: an
        interrupt during it goes to the previous handler there, as it would
        without the guard."""
        self._raise_now = self.active
        try:
            yield
        finally:
            self._raise_now = False

    def _drain(self) -> None:
        if self._reader is None:
            return
        while True:
            try:
                data = self._reader.recv(512)
            except OSError:  # nothing more (BlockingIOError) or closed
                return
            if not data:
                return
            for number in data:
                if number == signal.SIGINT:
                    self._sigint_bytes += 1
                else:
                    self._other_signals.append(number)
            # Every signal is both a byte here and a call of the handler:
            # one already handed on is no interrupt of the guard's.
            if self._sigint_bytes > self._delivered:
                self._interrupted = True

    def interrupted(self) -> bool:
        """True once SIGINT has arrived during the guard; may be called from
        any thread."""
        if not self._interrupted and self.active:
            self._drain()
        return self._interrupted

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if not self.active:
            return
        try:
            _run_pending_handlers()
        finally:
            signal.set_wakeup_fd(self._wakeup)
            self._drain()  # nothing is left for the next guard
            signal.signal(signal.SIGINT, self._handler)
            self.active = False
            # Other signals' numbers belong to whoever listened before.
            if self._wakeup >= 0 and self._other_signals:
                try:
                    os.write(self._wakeup, bytes(self._other_signals))
                except OSError:
                    pass
            self._reader = None
        if self._interrupted:
            signal.raise_signal(signal.SIGINT)
