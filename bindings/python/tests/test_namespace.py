"""The binding with the library's real paths: virtual instruments appear as
/dev/ttyACM<N> inside the private namespace of tests/ns/run-in-namespace.sh
(skipped elsewhere). Connection callbacks, the search, lock files, burning."""
from __future__ import annotations

import os
import subprocess
import sys
import threading

import pytest

import zervon
from conftest import in_namespace, wait_until

pytestmark = pytest.mark.skipif(not in_namespace(), reason="needs the private /dev of run-in-namespace.sh")

NODE = "/dev/ttyACM0"
LOCK = "/var/lock/torvanel.ACM0.lock"
UUCP = "/var/lock/LCK..ttyACM0"


def test_connection_callback_hears_plug_unplug_and_replug(start_sim):
    events = []
    changed = threading.Condition()

    def on_connection(connected: bool) -> None:
        with changed:
            events.append(connected)
            changed.notify_all()

    def wait_events(n: int, seconds: float) -> bool:
        with changed:
            return changed.wait_for(lambda: len(events) >= n, seconds)

    sim = start_sim("--node", NODE)
    with zervon.Instrument(on_connection=on_connection, timeout=10) as instrument:
        assert wait_events(1, 5) and events == [True]
        assert instrument.info().serial == "VRX2107-030300"
        assert os.path.exists(LOCK)  # the library holds the port
        sim.stop()  # unplugged: the link goes
        # A read at once, before the monitor's look: the library is asked to
        # look, and the loss comes as NotConnectedError, not a failed read.
        with pytest.raises(zervon.NotConnectedError):
            instrument.read()
        assert wait_events(2, 10), events
        assert not instrument.connected
        start_sim("--node", NODE, "--firmware", "3.9")
        assert wait_events(3, 10), events
        assert events == [True, False, True]
        assert instrument.info().firmware == "3.9"
        assert instrument.read().value == pytest.approx(12.34)
    assert not os.path.exists(LOCK)


def test_the_library_searches_and_a_number_picks_the_node(start_sim):
    start_sim("--node", "/dev/ttyACM3", "--hw", "7")
    with zervon.Instrument() as instrument:
        assert instrument.info().hw_code == 7
    with zervon.Instrument(3) as instrument:
        assert instrument.read().battery_good
    with pytest.raises(zervon.NoInstrumentError, match="ttyACM2"):
        zervon.Instrument(2, timeout=0.5).open()


def test_a_handed_over_node_is_locked_and_a_held_one_refused(start_sim):
    sim = start_sim("--node", NODE, "--verbose")
    with zervon.Instrument(NODE) as instrument:
        with open(LOCK, "rb") as f:
            assert int.from_bytes(f.read(4), sys.byteorder) == os.getpid()
        assert instrument.info().serial.startswith("VRX")
    assert not os.path.exists(LOCK)
    holder = subprocess.Popen(["sleep", "60"])
    # Until its exec is done, /proc shows the name of this process.
    wait_until(lambda: open("/proc/%d/comm" % holder.pid).read() == "sleep\n", 5)
    try:
        with open(LOCK, "wb") as f:
            f.write(holder.pid.to_bytes(4, sys.byteorder))
        before = len(sim.requests())
        with pytest.raises(zervon.BusyError, match=r"process %d \(sleep\)" % holder.pid):
            zervon.Instrument(NODE).open()
        # Another name of the same terminal is the same port.
        with pytest.raises(zervon.BusyError):
            zervon.Instrument(sim.port).open()
        # The library connecting finds it busy too, and says who holds it.
        for port in (0, None):
            with pytest.raises(zervon.BusyError, match=r"process %d \(sleep\)" % holder.pid):
                zervon.Instrument(port, timeout=0.5).open()
        os.unlink(LOCK)
        # A live UUCP lock file, as picocom writes it, holds the port too.
        with open(UUCP, "w") as f:
            f.write("%10d\n" % holder.pid)
        with pytest.raises(zervon.BusyError, match=r"process %d \(sleep\) through its UUCP lock" % holder.pid):
            zervon.Instrument(NODE).open()
        # The library's search leaves it alone with nothing sent.
        for port in (0, None):
            with pytest.raises(zervon.BusyError, match=r"process %d \(sleep\)" % holder.pid):
                zervon.Instrument(port, timeout=0.5).open()
        assert len(sim.requests()) == before
    finally:
        holder.kill()
        holder.wait()
    # The holder has ended: its lock file is stale and taken over, its UUCP
    # lock stale, ignored and left alone.
    with open(LOCK, "wb") as f:
        f.write(holder.pid.to_bytes(4, sys.byteorder))
    with zervon.Instrument(NODE) as instrument:
        assert instrument.read().report[0] == 3
    assert not os.path.exists(LOCK)
    assert os.path.exists(UUCP)
    os.unlink(UUCP)


def test_burn_replaces_the_firmware_and_reports_the_stages(start_sim, tmp_path):
    sim = start_sim("--node", NODE, "--firmware", "3.2")
    image = tmp_path / "firmware.bin"
    image.write_bytes(bytes(i & 0xFF for i in range(40 * 1024)))  # the loader's 32 KiB and a BMP block
    stages = []
    with zervon.Instrument(NODE, timeout=10) as instrument:
        instrument.burn(image, "3.5", lambda stage, value: stages.append((stage, value)))
        assert instrument.connected
        assert instrument.info().firmware == "3.5"
    assert stages[-1] == (5, 0)  # reported once, last, with the result
    assert stages[-1][0] is zervon.BurnStage.FINISHED
    assert sorted({s for s, _ in stages}) == [0, 1, 2, 3, 4, 5]
    assert [s for s, _ in stages].count(5) == 1
    assert sim.proc.poll() is None


def test_a_low_battery_refuses_the_burn_with_nothing_written(start_sim, tmp_path):
    sim = start_sim("--node", NODE, "--battery-low", "--verbose")
    image = tmp_path / "firmware.bin"
    image.write_bytes(b"\x55" * 4096)
    with zervon.Instrument(NODE) as instrument:
        with pytest.raises(zervon.LowBatteryError):
            instrument.burn(image, (3, 5))
        assert instrument.info().firmware == "3.2"
    assert not any(r.startswith("46 57 50") for r in sim.requests())  # no "FWP..." request
