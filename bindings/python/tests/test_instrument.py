"""The binding against virtual instruments on pseudo-terminals, handed over."""
from __future__ import annotations

import fcntl
import os
import pickle
import struct
import subprocess
import sys
import termios

import pytest

import zervon
from conftest import wait_until


def test_version_is_the_library_release():
    assert zervon.version() == "1.0.5.1"


def test_info_reads_the_identity(start_sim):
    sim = start_sim("--serial", "21,7,3,300", "--hw", "9", "--firmware", "4.17")
    with zervon.Instrument(sim.port) as instrument:
        info = instrument.info()
    assert (info.model, info.serial, info.hw_code, info.firmware, info.library) == (
        "RX", "VRX2107-030300", 9, "4.17", "1.0.5.1")


@pytest.mark.parametrize("args, report, value, battery", [
    (["--report", "3,1,2,3,4", "--value", "1234"], (3, 1, 2, 3, 4), 12.34, True),   # hundredths
    (["--report", "1,0,0,0,255", "--value", "1234"], (1, 0, 0, 0, 255), 1.234, True),  # thousandths
    (["--value", "65535", "--battery-low"], (3, 0, 0, 0, 0), 655.35, False),
])
def test_read_scales_the_value_and_tells_the_battery(start_sim, args, report, value, battery):
    sim = start_sim(*args)
    with zervon.Instrument(sim.port) as instrument:
        reading = instrument.read()
    assert reading.report == report
    assert reading.value == pytest.approx(value)
    assert reading.battery_good is battery


def test_set_sends_the_setting_and_refuses_bad_bytes_before_sending(sim):
    with zervon.Instrument(sim.port) as instrument:
        instrument.set(1, 2, 3, 4)
        instrument.set(0xFF, 0, 0x10, 0, 0x80)
        for bad in ((256, 0, 0, 0), (-1, 0, 0, 0), (1.5, 0, 0, 0), (True, 0, 0, 0)):
            with pytest.raises(ValueError):
                instrument.set(*bad)
        with pytest.raises(ValueError):
            instrument.set(0, 0, 0, 0, 300)
    expected = ["00 01 02 03 04 00 01 00", "00 FF 00 10 00 80 01 00"]
    settings = lambda: [r for r in sim.requests() if r.startswith("00 ")]  # noqa: E731
    wait_until(lambda: len(settings()) >= 2, 5)
    assert settings() == expected


def test_flash_round_trip_reports_progress(start_sim):
    sim = start_sim()
    data = bytes((i * 7) & 0xFF for i in range(5000))
    calls = []
    staged = []
    with zervon.Instrument(sim.port) as instrument:
        instrument.flash_write(1, data, lambda done, total: calls.append((done, total)))
        # Three passes: the whole region erased, the data written, the data
        # read back in whole 32-byte packets; each counts up to its total.
        passes = []
        for done, total in calls:
            if not passes or passes[-1][-1][1] != total:
                passes.append([])
            passes[-1].append((done, total))
        assert [p[0][1] for p in passes] == [0x8000, 5000, 5024]
        for p in passes:
            assert p[-1][0] == p[-1][1]
            assert all(a[0] <= b[0] for a, b in zip(p, p[1:]))
        # A three-argument callable gets each pass's stage, the same reports.
        instrument.flash_write(1, data, lambda stage, done, total: staged.append((stage, done, total)))
        assert [(d, t) for _, d, t in staged] == calls
        stages = lambda: [(s, t) for i, (s, _, t) in enumerate(staged) if i == 0 or staged[i - 1][0] != s]  # noqa
        assert stages() == [("erase", 0x8000), ("write", 5000), ("verify", 5024)]
        # 4096 bytes: the write and read-back passes have the same total.
        staged.clear()
        instrument.flash_write(1, data[:4096], lambda stage, done, total: staged.append((stage, done, total)))
        assert stages() == [("erase", 0x8000), ("write", 4096), ("verify", 4096)]
        staged.clear()
        assert instrument.flash_read(1, 4096, lambda *report: staged.append(report)) == data[:4096]
        assert stages() == [("read", 4096)] and staged[-1] == ("read", 4096, 4096)
        instrument.flash_write(1, data)
        assert instrument.flash_read(1, len(data)) == data
        # The rest of the region stays erased.
        assert instrument.flash_read(1, len(data) + 16)[len(data):] == b"\xff" * 16


def test_memmap_and_manufacturing_data(start_sim):
    sim = start_sim("--mfg", "0x24,5,0x17,1")
    with zervon.Instrument(sim.port) as instrument:
        instrument.memmap_write(2, b"\x01\x02\x03")
        assert instrument.memmap_read(2, 4) == b"\x01\x02\x03\xff"
        assert instrument.mfg_read() == b"\x24\x05\x17\x01"
        instrument.mfg_write(b"\xaa\xbb")
        assert instrument.mfg_read() == b"\xaa\xbb\x17\x01"


def test_flash_arguments_are_refused_with_nothing_sent(sim):
    with zervon.Instrument(sim.port) as instrument:
        before = len(sim.requests())
        with pytest.raises(ValueError):
            instrument.flash_write(4, b"x")
        with pytest.raises(ValueError):
            instrument.flash_write(0, bytes(0x8001))
        with pytest.raises(ValueError):
            instrument.memmap_write(1, bytes(0x2001))
        with pytest.raises(ValueError):
            instrument.flash_read(-1, 4)
        with pytest.raises(ValueError):
            instrument.mfg_write(b"12345")
        # As the tool refuses them: an empty write (it would erase the whole
        # region) and a read of nothing.
        for empty in (lambda: instrument.flash_write(1, b""), lambda: instrument.flash_read(1, 0),
                      lambda: instrument.memmap_write(2, b""), lambda: instrument.memmap_read(2, 0)):
            with pytest.raises(ValueError):
                empty()
        assert len(sim.requests()) == before


def test_verification_failure_raises_transfer_error(start_sim):
    # The instrument flips a bit of the first byte of region 1 as it is written.
    sim = start_sim("--corrupt-flash", "0x8000,0x01")
    with zervon.Instrument(sim.port) as instrument:
        with pytest.raises(zervon.TransferError) as caught:
            instrument.flash_write(1, b"\x00" * 64)
        assert caught.value.code is None


def test_progress_exception_is_raised_after_the_transfer(sim):
    def progress(done, total):
        raise KeyError("stop")

    with zervon.Instrument(sim.port) as instrument:
        with pytest.raises(KeyError):
            instrument.memmap_write(3, b"abc", progress)
        assert instrument.memmap_read(3, 3) == b"abc"  # the transfer went through


def test_exchange_errors_carry_the_result_code(sim):
    with zervon.Instrument(sim.port) as instrument:
        assert instrument.send(b"\x14", 64)[0] == 0x14
        with pytest.raises(zervon.ExchangeError) as caught:
            instrument.send(b"\x14", 100)  # the report has 64 bytes
        assert caught.value.code == zervon.EXCHANGE_SHORT
        assert len(caught.value.received) == 64 and caught.value.received[0] == 0x14
        sim.stop()  # the instrument goes silent
        with pytest.raises(zervon.ExchangeError) as caught:
            instrument.read()
        assert caught.value.code in (zervon.EXCHANGE_FAILED, zervon.EXCHANGE_SHORT)
    # The errors cross to another process (a fleet's worker) whole.
    for error in (zervon.ExchangeError("short", 2, b"\x14"), zervon.BurnError(-11, "burn"),
                  zervon.BusyError("busy")):
        copy = pickle.loads(pickle.dumps(error))
        assert (type(copy), str(copy), copy.__dict__) == (type(error), str(error), error.__dict__)


@pytest.mark.parametrize("args, message", [
    (["--silent"], "no instrument answers"),
    (["--foreign", "--marker", "ABC"], "is not the instrument"),
])
def test_no_instrument_on_the_port(start_sim, args, message):
    sim = start_sim(*args)
    with pytest.raises(zervon.NoInstrumentError, match=message):
        zervon.Instrument(sim.port, timeout=0.5).open()
    # Nothing is left open: another instrument can be opened next.
    good = start_sim()
    with zervon.Instrument(good.port) as instrument:
        assert instrument.info().serial.startswith("VRX")


@pytest.mark.parametrize("once, always", [
    (["--drop", "1"], ["--drop", "1000000000"]),
    (["--garbage", "1"], ["--garbage", "1000000000"]),
    (["--truncate", "10", "--fault-count", "1"], ["--truncate", "10"]),
    (["--delay-ms", "400", "--fault-count", "1"], ["--delay-ms", "400"]),
])
def test_a_faulty_record_block_at_the_hand_over_is_read_again(start_sim, once, always):
    with zervon.Instrument(start_sim(*once).port) as instrument:
        assert instrument.info() == zervon.Info("RX", "VRX2107-030300", 5, 3, 2, "1.0.5.1")
    # Never an identity from a block that was not read whole.
    with pytest.raises(zervon.NoInstrumentError):
        zervon.Instrument(start_sim(*always).port, timeout=1.5).open()


TIOCGEXCL = 0x80045440  # Linux: _IOR('T', 0x40, int)
HOLD = ("import fcntl, os, sys, time; fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK); "
        "fcntl.flock(fd, fcntl.LOCK_EX); print(flush=True); time.sleep(60)")


def test_an_open_port_is_held_against_every_program(sim):
    def exclusive(fd):
        return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]

    fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)  # root may still open it
    try:
        with zervon.Instrument(sim.port):
            with pytest.raises(BlockingIOError):
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            assert exclusive(fd) == 1
            if os.geteuid() == 0:  # another user cannot open it at all
                os.chmod(sim.port, 0o666)
                other = subprocess.run([sys.executable, "-c", "import os, sys; os.open(sys.argv[1], os.O_RDWR)",
                                        sim.port], user=65534, group=65534, capture_output=True, text=True)
                assert "Device or resource busy" in other.stderr
        assert exclusive(fd) == 0
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        fcntl.flock(fd, fcntl.LOCK_UN)
        # Another program's exclusive mode, which root could get past, is
        # refused too, and left set.
        fcntl.ioctl(fd, termios.TIOCEXCL)
        with pytest.raises(zervon.BusyError, match="exclusive mode"):
            zervon.Instrument(sim.port).open()
        assert exclusive(fd) == 1
        fcntl.ioctl(fd, termios.TIOCNXCL)
    finally:
        os.close(fd)
    # A port another program has locked is refused, naming it; nothing is sent.
    holder = subprocess.Popen([sys.executable, "-c", HOLD, sim.port], stdout=subprocess.PIPE)
    try:
        holder.stdout.readline()
        before = len(sim.requests())
        with pytest.raises(zervon.BusyError, match=r"held by process %d \(.*\) through an exclusive lock on the port"
                           % holder.pid):
            zervon.Instrument(sim.port).open()
        assert len(sim.requests()) == before
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()


def test_a_missing_port_and_a_file_are_refused(tmp_path):
    with pytest.raises(zervon.NoInstrumentError, match="cannot open"):
        zervon.Instrument("/dev/pts/no-such-terminal").open()
    plain = tmp_path / "plain"
    plain.write_bytes(b"")
    with pytest.raises(zervon.NoInstrumentError, match="not a serial port"):
        zervon.Instrument(str(plain)).open()


def test_one_instrument_at_a_time_and_closed_is_closed(sim):
    instrument = zervon.Instrument(sim.port)
    with instrument:
        with pytest.raises(zervon.ZervonError, match="open already"):
            zervon.Instrument(sim.port).open()
        assert instrument.connected
    assert not instrument.is_open and not instrument.connected
    with pytest.raises(zervon.NotConnectedError):
        instrument.read()
    instrument.close()  # a second close is harmless
    with zervon.Instrument(sim.port) as again:
        assert again.read().value == pytest.approx(12.34)


def test_burn_through_a_terminal_is_refused_with_nothing_sent(sim, tmp_path):
    image = tmp_path / "fw.bin"
    image.write_bytes(b"\x01" * 1000)
    with zervon.Instrument(sim.port) as instrument:
        before = len(sim.requests())
        with pytest.raises(zervon.ZervonError, match="no /dev/ttyACM"):
            instrument.burn(image, "3.5")
        with pytest.raises(ValueError):
            instrument.burn(image, "3.256")
        with pytest.raises(FileNotFoundError):
            instrument.burn(tmp_path / "missing.bin", (3, 5))
        assert len(sim.requests()) == before


def test_the_binding_finds_the_library_by_itself_in_an_installed_tree(tmp_path):
    # <prefix>/lib/<library> beside <prefix>/lib/python3/dist-packages/zervon.
    library = os.environ.get("ZERVON_LIBRARY")
    if not library:
        pytest.skip("ZERVON_LIBRARY names no library to lay out")
    import shutil
    from zervon import _library
    lib = tmp_path / "lib"
    package = lib / "python3" / "dist-packages" / "zervon"
    shutil.copytree(os.path.dirname(zervon.__file__), package)
    shutil.copy(library, lib / (_library.library_name() + ".1"))
    env = {k: v for k, v in os.environ.items() if k not in ("ZERVON_LIBRARY", "PYTHONPATH")}
    out = subprocess.run([sys.executable, "-c", "import zervon; print(zervon.version())"],
                         cwd=str(lib / "python3" / "dist-packages"), env=env,
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1.0.5.1"


def test_package_installs_offline_into_a_fresh_virtual_environment(sim, tmp_path):
    # The package as pip builds it from its source folder with Debian's
    # setuptools (no network), the library carried inside it; the installed
    # package, outside this source tree and without ZERVON_LIBRARY, drives
    # the instrument.
    import shutil

    from zervon import _library

    missing = [m for m in ("pip", "setuptools", "wheel") if subprocess.run(
        [sys.executable, "-c", "import " + m], stderr=subprocess.DEVNULL).returncode != 0]
    if missing and not os.environ.get("CI"):
        pytest.skip("no %s for %s (apt-get install python3-pip python3-setuptools python3-wheel python3-venv)"
                    % (", ".join(missing), sys.executable))
    source = tmp_path / "src"
    shutil.copytree(os.path.join(os.path.dirname(zervon.__file__), os.pardir), source,
                    ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    shutil.copy(os.path.realpath(os.environ["ZERVON_LIBRARY"]), source / "zervon" / (_library.library_name() + ".1"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-build-isolation",
                    "--no-index", "--no-deps", "--disable-pip-version-check", str(source)], check=True,
                   cwd=tmp_path, timeout=240)
    env = {k: v for k, v in os.environ.items() if k not in ("ZERVON_LIBRARY", "PYTHONPATH")}
    script = ("import zervon\n"
              "with zervon.Instrument(%r) as instrument:\n"
              "    print(zervon.__file__, zervon._library._lib._name, instrument.info().serial)\n" % sim.port)
    out = subprocess.run([python, "-c", script], env=env, cwd=tmp_path, check=True, timeout=60,
                         stdout=subprocess.PIPE).stdout.decode().split()
    assert out[0].startswith(str(venv)) and out[1].startswith(str(venv)), out
    assert out[2] == "VRX2107-030300"
