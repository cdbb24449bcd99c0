"""Fixtures: virtual instruments (zervon-sim) run as processes.

ZERVON_SIM names the program (else zervon-sim on the PATH), ZERVON_LIBRARY
the library the binding loads.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, List

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

SIM = os.environ.get("ZERVON_SIM") or shutil.which("zervon-sim") or "zervon-sim"


class Sim:
    """One zervon-sim process; `port` is the terminal it serves, `log` its
    standard error (every request with --verbose)."""

    def __init__(self, args: List[str], log: Path) -> None:
        self.log_path = log
        self._log = open(log, "wb")
        self.proc = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=self._log)
        line = self.proc.stdout.readline().decode().strip()
        if not line:
            self.proc.wait(5)
            raise RuntimeError("zervon-sim did not start: " + log.read_text())
        self.port = line

    @property
    def log(self) -> str:
        self._log.flush()
        return self.log_path.read_text(errors="replace")

    def requests(self) -> List[str]:
        """The requests logged so far (hex text), with --verbose."""
        prefix = "zervon-sim: request: "
        return [l[len(prefix):].strip() for l in self.log.splitlines() if l.startswith(prefix)]

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self._log.close()


@pytest.fixture
def start_sim(tmp_path: Path) -> Iterator:
    """start_sim(*args) starts a virtual instrument; all are stopped at the end."""
    sims: List[Sim] = []

    def start(*args: str) -> Sim:
        sim = Sim(list(args), tmp_path / ("sim%d.log" % len(sims)))
        sims.append(sim)
        return sim

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture
def sim(start_sim) -> Sim:
    return start_sim("--verbose")


def in_namespace() -> bool:
    """Inside tests/ns/run-in-namespace.sh: /dev and /var/lock are private."""
    return os.environ.get("ZERVON_TEST_NAMESPACE") == "1"


def wait_until(condition, seconds: float) -> bool:
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= end:
            return False
        time.sleep(0.05)
    return True
