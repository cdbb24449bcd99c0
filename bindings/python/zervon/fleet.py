"""A rack of instruments: one worker process per instrument.

The library drives one instrument per process, so a fleet is a set of
processes: each worker is started fresh (the "spawn" start method, nothing of
this process's library state inherited), opens its one /dev/ttyACM<N> node
as ``zervon.Instrument(node)`` does, works, and releases it. The node's lock
file keeps two workers, or a worker and another program, off the same
instrument.

    import zervon.fleet

    def serial_and_value(instrument):
        return instrument.info().serial, instrument.read().value

    if __name__ == "__main__":          # the workers import this module again
        devices = zervon.fleet.discover()
        for outcome in zervon.fleet.run(serial_and_value, devices):
            print(outcome.node, outcome.result if outcome.ok else outcome.error)

The function given to run() and its arguments travel to the workers by
pickling: a function defined at the top level of a module, not a lambda or a
nested function.
"""
from __future__ import annotations

import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import sys
import time
import traceback as _traceback
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from .errors import ZervonError
from .instrument import _HIGHEST_NODE, Instrument, _node_path

__all__ = ["Device", "Outcome", "WorkerError", "discover", "run"]

Node = Union[str, os.PathLike, int, "Device"]
"""A node: its path ("/dev/ttyACM0"), its number N, or a Device."""

#: How long a stopped worker (time-out, Ctrl-C) gets to end the library call
#: under way and release its instrument before it is killed. A burn that is
#: still flashing then is cut off: its instrument may stay in its loader and
#: needs burning again. The lock file of a killed worker is removed.
STOP_GRACE = 30.0


def _remove_locks_of(pid: int) -> None:
    """Removes the library's lock files that name `pid`, a worker that was
    killed and so could not remove its own."""
    try:
        names = os.listdir("/var/lock")
    except OSError:
        return
    for name in names:
        if not (name.startswith("torvanel.ACM") and name.endswith(".lock")):
            continue
        path = os.path.join("/var/lock", name)
        try:
            with open(path, "rb") as f:
                recorded = f.read(5)
            if len(recorded) == 4 and int.from_bytes(recorded, sys.byteorder, signed=True) == pid:
                os.unlink(path)
        except OSError:
            pass


@dataclass(frozen=True)
class Device:
    """An instrument found by discover(): its node and identity."""

    node: str  #: "/dev/ttyACM0"
    serial: str  #: "VRX2107-030300"
    firmware: str  #: "MAIN.SUB"


@dataclass(frozen=True)
class Outcome:
    """What run() brought from one instrument: the function's `result`, or
    the `error` it (or the opening of the instrument) raised.

    `error` is the exception itself, as raised in the worker: a ZervonError
    carries the library's result code in ``code``. A worker stopped at the
    time-out has a TimeoutError; one that ended without reporting, or whose
    result or exception could not be sent over, a WorkerError. `traceback`
    is the worker's traceback text of the error. `serial` is None when the
    instrument was not opened."""

    node: str
    serial: Optional[str]
    result: Any = None
    error: Optional[BaseException] = None
    seconds: float = 0.0  #: the worker's time, from its start to its report
    traceback: Optional[str] = None

    @property
    def ok(self) -> bool:
        """True when the function returned."""
        return self.error is None

    @property
    def code(self) -> Optional[int]:
        """The library's result code of the error, where it has one."""
        return getattr(self.error, "code", None) if isinstance(self.error, ZervonError) else None


class WorkerError(ZervonError):
    """A worker ended without reporting (it crashed or was killed), or its
    result or exception could not be sent to this process (not picklable);
    the message tells which, and names the exception's type."""


class _Stopped(BaseException):
    """Raised in a worker by SIGTERM: the worker releases its instrument and
    ends."""


_closing = False


def _on_sigterm(signum: int, frame: Any) -> None:
    # Once only, and never while the instrument is being released.
    global _closing
    if not _closing:
        _closing = True
        raise _Stopped("stopped")


def _portable(value: Any) -> bool:
    try:
        pickle.loads(pickle.dumps(value))
    except Exception:  # noqa: B902 - whatever pickling raises
        return False
    return True


def _work(conn: multiprocessing.connection.Connection, node: str, function: Callable[..., Any],
          args: Tuple[Any, ...], kwargs: Dict[str, Any], open_timeout: float) -> None:
    """A worker's life: open `node`, run the function, release, report."""
    global _closing
    # Ctrl-C reaches every process of the terminal's group: the parent alone
    # decides, and stops the workers with SIGTERM.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _on_sigterm)
    start = time.monotonic()
    serial: Optional[str] = None
    result: Any = None
    error: Optional[BaseException] = None
    trace: Optional[str] = None
    instrument = Instrument(node, timeout=open_timeout)
    try:
        try:
            instrument.open()
            serial = instrument.info().serial
            result = function(instrument, *args, **kwargs)
        finally:
            _closing = True
            instrument.close()
    except BaseException as caught:  # noqa: B902 - reported to the parent
        error, result = caught, None
        trace = _traceback.format_exc()
    if error is not None and not _portable(error):
        error = WorkerError("%s: %s (the exception cannot be sent from the worker)" % (type(error).__name__, error))
    if error is None and not _portable(result):
        error, result = WorkerError("the result, a %s, cannot be sent from the worker" % type(result).__name__), None
    conn.send((serial, result, error, trace, time.monotonic() - start))
    conn.close()


def _path(node: Node) -> str:
    if isinstance(node, Device):
        return node.node
    if isinstance(node, bool):
        raise TypeError("a node is a path, a node number or a Device, not %r" % (node,))
    if isinstance(node, int):
        if not 0 <= node <= _HIGHEST_NODE:
            raise ValueError("node number must be 0 to %d" % _HIGHEST_NODE)
        return _node_path(node)
    if isinstance(node, (str, os.PathLike)):
        return os.fspath(node)
    raise TypeError("a node is a path, a node number or a Device, not %r" % (node,))


class _Worker:
    def __init__(self, context: Any, node: str, payload: tuple, open_timeout: float) -> None:
        self.node = node
        self.report: Optional[tuple] = None
        self.reported = False
        self.conn, child = context.Pipe(duplex=False)
        self.process = context.Process(target=_work, args=(child, node) + payload + (open_timeout,),
                                       name="zervon-fleet %s" % node, daemon=True)
        try:
            self.process.start()
        finally:
            child.close()

    def receive(self) -> None:
        """Takes the worker's report, or notes that none will come."""
        self.reported = True
        try:
            self.report = self.conn.recv()
        except EOFError:
            pass
        except Exception as error:  # noqa: B902 - a report this process cannot rebuild
            self.report = (None, None, WorkerError("the worker's report cannot be read: %s" % error), None, 0.0)
        self.conn.close()

    def outcome(self, stopped: Optional[BaseException]) -> Outcome:
        self.process.join()
        if self.report is None:
            error = stopped or WorkerError("the worker for %s ended with exit code %s without a report"
                                           % (self.node, self.process.exitcode))
            return Outcome(self.node, None, None, error)
        serial, result, error, trace, seconds = self.report
        if stopped is not None:
            result, error = None, stopped
        return Outcome(self.node, serial, result, error, seconds, trace)


def _stop(workers: Sequence[_Worker], grace: float) -> None:
    """SIGTERM to the live workers (each releases its instrument and
    reports), then SIGKILL to those still there after `grace` seconds or at
    another Ctrl-C."""
    live = [w for w in workers if w.process.is_alive()]
    for worker in live:
        worker.process.terminate()
    end = time.monotonic() + grace
    try:
        for worker in live:
            worker.process.join(max(0.0, end - time.monotonic()))
    except KeyboardInterrupt:
        pass
    for worker in live:
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
            _remove_locks_of(worker.process.pid)
        if not worker.reported and worker.conn.poll():
            worker.receive()


def run(function: Callable[..., Any], nodes: Iterable[Node], *, args: Sequence[Any] = (),
        kwargs: Optional[Dict[str, Any]] = None, timeout: Optional[float] = None,
        open_timeout: float = 5.0) -> List[Outcome]:
    """Runs ``function(instrument, *args, **kwargs)`` on every node at once,
    each in a worker process of its own, and returns an Outcome per node, in
    the order of `nodes`.

    A worker opens its node as ``zervon.Instrument(node,
    timeout=open_timeout)`` does (a node held by another process gives a
    BusyError outcome), passes the open instrument to the function and
    closes it afterwards, whatever happened. One instrument's failure never
    stops the others. `function`, `args` and `kwargs` must be picklable
    (TypeError, with no worker started, otherwise); so must the result,
    else that node's outcome has a WorkerError.

    `timeout` (seconds, None: no limit) bounds the whole run: workers still
    running then are stopped and their outcome has a TimeoutError. At
    Ctrl-C (KeyboardInterrupt) every worker is stopped, and the
    KeyboardInterrupt raised again. A stopped worker gets SIGTERM: it ends
    the library call under way, releases its instrument (no lock file
    left) and ends; it is killed only when it has not ended within
    STOP_GRACE seconds (a long burn cut off so leaves its instrument in
    the loader; the killed worker's lock file is removed).

    Call it from a program's main module under ``if __name__ ==
    "__main__":``, as every user of multiprocessing's "spawn" does.
    """
    paths = [_path(node) for node in nodes]
    if len(set(paths)) != len(paths):
        raise ValueError("a node is given twice: %s" % ", ".join(paths))
    if (timeout is not None and timeout < 0) or open_timeout < 0:
        raise ValueError("a time-out must not be negative")
    payload = (function, tuple(args), dict(kwargs or {}))
    try:
        pickle.dumps(payload)
    except Exception as error:  # noqa: B902 - whatever pickling raises
        raise TypeError("the function and its arguments must be picklable (a function defined at the top "
                        "level of a module): %s" % error) from error
    context = multiprocessing.get_context("spawn")
    workers: List[_Worker] = []
    stopped: Optional[BaseException] = None
    try:
        for path in paths:
            workers.append(_Worker(context, path, payload, open_timeout))
        deadline = None if timeout is None else time.monotonic() + timeout
        pending = {w.conn: w for w in workers}
        while pending:
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                stopped = TimeoutError("stopped: the run did not end within %g s" % timeout)
                _stop(list(pending.values()), STOP_GRACE)
                break
            for conn in multiprocessing.connection.wait(list(pending), remaining):
                pending.pop(conn).receive()
    except BaseException:
        _stop(workers, STOP_GRACE)
        raise
    return [w.outcome(stopped if w.conn in pending else None) for w in workers]


def _identity(instrument: Instrument) -> str:
    return instrument.info().firmware


def discover(nodes: Optional[Iterable[Node]] = None, *, timeout: float = 2.0) -> List[Device]:
    """The instruments present now, sorted by node number, each probed in a
    worker process of its own (all at once) that opens its node, reads the
    identity and releases it: nothing stays held.

    `nodes` limits the probe (default: every /dev/ttyACM<N> there is). A
    node that another process holds (an instrument in use) is left out, as
    is one where no instrument answers within `timeout` seconds.
    """
    if nodes is None:
        candidates = [_node_path(n) for n in range(_HIGHEST_NODE + 1) if os.path.exists(_node_path(n))]
    else:
        candidates = sorted({_path(node) for node in nodes}, key=_order)
    outcomes = run(_identity, candidates, open_timeout=timeout, timeout=timeout + 60.0)
    found = [Device(o.node, o.serial, o.result) for o in outcomes if o.ok and o.serial]
    return sorted(found, key=lambda device: _order(device.node))


def _order(path: str) -> Tuple[int, str]:
    """Node number order (ttyACM2 before ttyACM10); other paths after."""
    prefix = "/dev/ttyACM"
    number = path[len(prefix):]
    if path.startswith(prefix) and number.isdigit():
        return (int(number), "")
    return (_HIGHEST_NODE + 1, path)
