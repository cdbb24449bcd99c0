"""The binding with the library's real paths: virtual instruments appear as
/dev/ttyACM<N> inside the private namespace of tests/ns/run-in-namespace.sh
(skipped elsewhere). Connection callbacks, the search, lock files, burning,
a rack driven through zervon.fleet."""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

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


# ---- a rack: zervon.fleet (the workers import this module for the functions
# they run) ----

def rack(start_sim, count, *args):
    """`count` instruments at /dev/ttyACM0.., serials VRX2107-0303NN by node."""
    return [start_sim("--node", "/dev/ttyACM%d" % n, "--serial", "21,7,3,%d" % (300 + n), *args)
            for n in range(count)]


def locks():
    return sorted(name for name in os.listdir("/var/lock") if name.startswith("torvanel."))


def serial_unless(instrument, failing):
    serial = instrument.info().serial
    if serial == failing:
        instrument.send(bytes([0x14]), 100)  # the report has 64 bytes: ExchangeError, code 2
    return serial


def test_discover_finds_the_rack_and_holds_nothing(start_sim):
    for n, firmware in ((2, "3.7"), (0, "3.5"), (1, "4.1")):
        start_sim("--node", "/dev/ttyACM%d" % n, "--serial", "21,7,3,%d" % (300 + n), "--firmware", firmware)
    found = zervon.fleet.discover()
    assert found == [zervon.fleet.Device("/dev/ttyACM0", "VRX2107-030300", "3.5"),
                     zervon.fleet.Device("/dev/ttyACM1", "VRX2107-030301", "4.1"),
                     zervon.fleet.Device("/dev/ttyACM2", "VRX2107-030302", "3.7")]
    assert locks() == []
    # An instrument another process holds is left out, and its lock file
    # left alone; the others are found all the same.
    holder = subprocess.Popen(["sleep", "60"])
    try:
        with open("/var/lock/torvanel.ACM1.lock", "wb") as f:
            f.write(holder.pid.to_bytes(4, sys.byteorder))
        assert [d.node for d in zervon.fleet.discover()] == ["/dev/ttyACM0", "/dev/ttyACM2"]
        assert locks() == ["torvanel.ACM1.lock"]
    finally:
        holder.kill()
        holder.wait()
        os.unlink("/var/lock/torvanel.ACM1.lock")


def test_run_gives_each_instrument_its_outcome_and_a_failure_stays_alone(start_sim):
    rack(start_sim, 3)
    outcomes = zervon.fleet.run(serial_unless, [2, "/dev/ttyACM0", "/dev/ttyACM5", 1],
                                args=("VRX2107-030301",), timeout=120)
    assert [o.node for o in outcomes] == ["/dev/ttyACM2", "/dev/ttyACM0", "/dev/ttyACM5", "/dev/ttyACM1"]
    assert [(o.serial, o.result) for o in outcomes if o.ok] == [("VRX2107-030302", "VRX2107-030302"),
                                                                 ("VRX2107-030300", "VRX2107-030300")]
    absent, failed = outcomes[2], outcomes[3]
    assert isinstance(absent.error, zervon.NoInstrumentError) and absent.serial is None
    assert isinstance(failed.error, zervon.ExchangeError) and failed.serial == "VRX2107-030301"
    assert failed.code == failed.error.code == zervon.EXCHANGE_SHORT and len(failed.error.received) == 64
    assert "serial_unless" in failed.traceback
    assert locks() == []
    with pytest.raises(TypeError, match="picklable"):
        zervon.fleet.run(lambda instrument: 0, [0])


def burn_own_version(instrument, image):
    """Burns version 4.<last digit of the serial>: each instrument its own.
    Returns what the instrument object sees afterwards."""
    instrument.burn(image, "4.%s" % instrument.info().serial[-1])
    info = instrument.info()
    return info.serial, info.firmware


def test_a_rack_burns_in_parallel_each_instrument_its_own_version(start_sim, tmp_path):
    # Both restart at once and come back under each other's node, the second
    # one later: each burn takes back its own instrument, and each worker's
    # instrument object follows its instrument to the new node.
    for n, delay in ((0, 1000), (1, 2500)):
        start_sim("--node", "/dev/ttyACM%d" % n, "--serial", "21,7,3,%d" % (300 + n),
                  "--restart-node", "/dev/ttyACM%d" % (1 - n), "--restart-delay", str(delay))
    image = tmp_path / "firmware.bin"
    image.write_bytes(bytes(i & 0xFF for i in range(40 * 1024)))
    outcomes = zervon.fleet.run(burn_own_version, [0, 1], args=(str(image),), open_timeout=10, timeout=150)
    assert [(o.serial, o.result, o.error) for o in outcomes] == [
        ("VRX2107-030300", ("VRX2107-030300", "4.0"), None),
        ("VRX2107-030301", ("VRX2107-030301", "4.1"), None)]
    assert locks() == []
    assert [(d.node, d.serial, d.firmware) for d in zervon.fleet.discover()] == [
        ("/dev/ttyACM0", "VRX2107-030301", "4.1"), ("/dev/ttyACM1", "VRX2107-030300", "4.0")]


def hold(instrument):
    time.sleep(300)


def hold_past_sigterm(instrument):
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    time.sleep(300)


RACK_PROGRAM = """
import sys
import zervon.fleet

def hold(instrument):
    import time
    time.sleep(300)

if __name__ == "__main__":
    try:
        zervon.fleet.run(hold, [0, 1])
    except KeyboardInterrupt:
        print("interrupted")
        sys.exit(3)
"""


def test_stopped_workers_release_their_instruments(start_sim, tmp_path, monkeypatch):
    rack(start_sim, 2)
    outcomes = zervon.fleet.run(hold, [0, 1], timeout=10)
    assert all(isinstance(o.error, TimeoutError) and o.serial for o in outcomes), outcomes
    assert locks() == []
    # A worker that has not ended within the grace is killed, and its lock
    # file is removed for it. (On its own instrument: the virtual instrument
    # keeps a killed holder's exclusive mode, where a real port drops it.)
    start_sim("--node", "/dev/ttyACM2", "--serial", "21,7,3,302")
    monkeypatch.setattr(zervon.fleet, "STOP_GRACE", 1.0)
    outcomes = zervon.fleet.run(hold_past_sigterm, [2], timeout=5)
    assert not outcomes[0].ok, outcomes
    assert locks() == []
    # Ctrl-C reaches the program and its workers (one process group): the
    # workers are stopped, release their instruments, and the program hears
    # KeyboardInterrupt.
    program = tmp_path / "rack.py"
    program.write_text(RACK_PROGRAM)
    proc = subprocess.Popen([sys.executable, str(program)], stdout=subprocess.PIPE, start_new_session=True)
    try:
        assert wait_until(lambda: len(locks()) == 2, 60), locks()
        os.killpg(proc.pid, signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert (proc.returncode, out.strip()) == (3, b"interrupted")
    assert locks() == []

    def group_gone():
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return True
        return False

    # No worker left behind (multiprocessing's resource tracker ends a
    # moment after the program).
    assert wait_until(group_gone, 30), subprocess.run(["ps", "-o", "pid,args", "-g", str(proc.pid)],
                                                      stdout=subprocess.PIPE).stdout.decode()
