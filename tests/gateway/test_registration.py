"""Where VXI-11 clients find tavril-gateway, and that it never leads them to
another instrument or to a dead port: the registration with rpcbind beside
another gateway, the own portmapper as rpcinfo sees it, --portmap auto beside
another gateway's own portmapper, the end on each signal, and the mDNS
announcements across restarts of the Avahi daemon and with several slots.

Runs in a network namespace of its own with only loopback, where rpcbind,
the D-Bus system bus and the Avahi daemon run (scripts/vxi11-netns.sh, as
root); the own portmapper runs in a nested namespace without rpcbind.
harness.py says which paths come from the environment.
"""

import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from harness import IDENTITY, ONLY_IN_A_NAMESPACE, START_TIMEOUT, Program, path_of, simulator_fixture

SERVICES = str(Path(__file__).resolve().parents[2] / "scripts" / "vxi11-services.sh")
CORE = 395183

pytestmark = ONLY_IN_A_NAMESPACE


# Two instruments: slot 0 is SN000001, slot 1 SN000002.
sim = simulator_fixture(2)


@pytest.fixture(scope="module")
def bare_netns():
    """A nested network namespace with loopback and no rpcbind: the process
    holding it, whose namespace programs enter."""
    holder = subprocess.Popen(["unshare", "--net", "sh", "-c",
                               "ip link set lo up && echo up && exec sleep 3600"],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == "up"
    yield ["nsenter", "--net=/proc/%d/ns/net" % holder.pid]
    holder.kill()
    holder.wait()


class Gateway(Program):
    """tavril-gateway with `args` (in the namespace `enter` enters)."""

    started = []

    def __init__(self, *args, enter=(), ready=True):
        super().__init__("gateway-%d" % time.monotonic_ns(),
                         [*enter, path_of("TAVRIL_GATEWAY"), *args])
        Gateway.started.append(self)
        if ready:
            self.wait_log(r"^tavril-gateway: ready$")

    def core(self):
        return int(self.wait_log(r"vxi11: core channel on port (\d+),")[1])

    def finish(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        status = self.process.wait(timeout=15)
        assert status == 0, "ended with %d:\n%s" % (status, self.log())


@pytest.fixture(autouse=True)
def no_gateway_left():
    """A test that failed leaves no gateway behind to hold a slot or a
    registration for the next."""
    yield
    for gateway in Gateway.started:
        if gateway.process.poll() is None:
            gateway.process.kill()
            gateway.process.wait()
    Gateway.started.clear()


def run(*args, enter=()):
    done = subprocess.run([*enter, *args], capture_output=True, text=True, timeout=30)
    print("$ %s\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done


def registered(enter=()):
    """The port rpcinfo -p shows for the core channel, or None."""
    found = re.search(r"^\s*%d\s+1\s+tcp\s+(\d+)" % CORE, run("rpcinfo", "-p", "127.0.0.1",
                                                               enter=enter).stdout, re.M)
    return int(found[1]) if found else None


def identity_through_portmapper():
    """*IDN? of TCPIP::127.0.0.1::INSTR (inst0) with pyvisa-py."""
    import pyvisa
    manager = pyvisa.ResourceManager("@py")
    try:
        return manager.open_resource("TCPIP::127.0.0.1::INSTR", timeout=5000).query("*IDN?").strip()
    finally:
        manager.close()


@pytest.mark.parametrize("slot, mode", [(1, "rpcbind"), (0, "rpcbind"), (1, "auto")],
                         ids=["other slot", "same slot", "other slot, auto"])
def test_second_gateway_leaves_the_registration_alone(sim, slot, mode):
    first = Gateway("--slot", "0", "--port", "0", "--portmap", "rpcbind", "--mdns", "off")
    core = first.core()
    assert registered() == core
    second = Gateway("--slot", str(slot), "--port", "0", "--portmap", mode, "--mdns", "off",
                     ready=mode == "auto")
    if mode == "rpcbind":
        # Asked for a registration it cannot have: it ends.
        assert second.process.wait(timeout=START_TIMEOUT) == 1, second.log()
    assert ("the portmapper's registration of the VXI-11 core channel belongs to another gateway "
            "(port %d, which answers); not taken over" % core) in second.log()
    assert registered() == core
    if mode == "auto":
        assert "portmapper: off" in second.log()
        second.finish()
        assert registered() == core
    assert identity_through_portmapper() == IDENTITY % 1
    first.finish()
    assert registered() is None


def test_stale_registration_is_replaced(sim):
    gone = Gateway("--slot", "0", "--port", "0", "--portmap", "rpcbind", "--mdns", "off")
    stale = gone.core()
    gone.process.kill()
    gone.process.wait()
    assert registered() == stale
    fresh = Gateway("--slot", "0", "--port", "0", "--portmap", "rpcbind", "--mdns", "off")
    assert "the registration of the VXI-11 core channel on port %d is stale" % stale in fresh.log()
    assert registered() == fresh.core()
    fresh.finish()
    assert registered() is None


@pytest.mark.parametrize("sig", [signal.SIGHUP, signal.SIGQUIT, signal.SIGINT],
                         ids=lambda sig: sig.name)
def test_every_signal_removes_the_registration(sim, sig):
    gateway = Gateway("--slot", "0", "--port", "0", "--portmap", "rpcbind", "--mdns", "off")
    assert registered() == gateway.core()
    gateway.finish(sig)
    assert registered() is None


@pytest.mark.parametrize("command, expected", [
    (["rpcinfo", "-p", "127.0.0.1"],
     [r"^\s*100000\s+2\s+tcp\s+111\b", r"^\s*100000\s+2\s+udp\s+111\b", r"^\s*395183\s+1\s+tcp\s+CORE\b"]),
    (["rpcinfo", "-t", "127.0.0.1", "100000", "2"], [r"program 100000 version 2 ready and waiting"]),
    (["rpcinfo", "-u", "127.0.0.1", "100000", "2"], [r"program 100000 version 2 ready and waiting"]),
], ids=["-p", "-t", "-u"])
def test_rpcinfo_against_the_own_portmapper(sim, bare_netns, command, expected):
    gateway = Gateway("--slot", "0", "--port", "0", "--portmap", "own", "--mdns", "off",
                      enter=bare_netns)
    core = gateway.core()
    done = run(*command, enter=bare_netns)
    gateway.finish()
    assert done.returncode == 0
    for line in expected:
        assert re.search(line.replace("CORE", str(core)), done.stdout, re.M), line


def test_auto_beside_another_gateways_own_portmapper(sim, bare_netns):
    own = Gateway("--slot", "0", "--port", "0", "--portmap", "own", "--mdns", "off", enter=bare_netns)
    core = own.core()
    beside = Gateway("--slot", "1", "--port", "0", "--portmap", "auto", "--mdns", "off",
                     enter=bare_netns)
    log = beside.log()
    beside.finish()
    own.finish()
    assert ("vxi11: portmapper: port 111 is held by another gateway's portmapper "
            "(the VXI-11 core channel on port %d); the VXI-11 core channel (port %d) is not "
            "registered anywhere: clients must be given its port" % (core, beside.core())) in log
    assert "portmapper: off" in log
    assert "rpcbind" not in log


# ---- mDNS ---------------------------------------------------------------------

def browse(service_type):
    """{name: port} of the services avahi-browse resolves."""
    found = {}
    for line in run("avahi-browse", "-rpt", service_type).stdout.splitlines():
        fields = line.split(";")
        if fields[0] == "=" and len(fields) > 8:
            name = re.sub(r"\\(\d{3})", lambda digits: chr(int(digits[1])), fields[3])
            found[name] = int(fields[8])
    return found


def browse_until(service_type, expected):
    """What avahi-browse finds, once it holds every entry of `expected`."""
    deadline = time.monotonic() + START_TIMEOUT
    while True:
        found = browse(service_type)
        if expected.items() <= found.items() or time.monotonic() > deadline:
            return found


def avahi_stop(gateway=None):
    run("avahi-daemon", "-k")
    if gateway is not None:
        gateway.wait_log(r"mDNS: the Avahi daemon went away")
    deadline = time.monotonic() + START_TIMEOUT
    while run("avahi-daemon", "--check").returncode == 0 and time.monotonic() < deadline:
        time.sleep(0.05)


def avahi_start():
    assert run(SERVICES, "start").returncode == 0


def scpi_raw(gateway, slot, serial):
    return {"ZQ907 SN%06d slot %d" % (serial, slot): gateway_port(gateway, slot)}


def gateway_port(gateway, slot):
    return int(gateway.wait_log(r"^tavril-gateway: slot %d: listening on .*:(\d+)," % slot)[1])


@pytest.mark.parametrize("when", ["restarted", "started after"])
def test_announcements_come_back_with_the_daemon(sim, when):
    if when == "started after":
        avahi_stop()
    gateway = Gateway("--slot", "0", "--port", "0", "--vxi11", "off")
    try:
        if when == "restarted":
            gateway.wait_log(r"mDNS: announcing _scpi-raw")
            avahi_stop(gateway)
        else:
            gateway.wait_log(r"mDNS: not announcing")
        avahi_start()
        expected = scpi_raw(gateway, 0, 1)
        assert browse_until("_scpi-raw._tcp", expected).items() >= expected.items()
        gateway.wait_log(r"mDNS: the Avahi daemon is running: announcing")
    finally:
        avahi_start()
        gateway.finish()


@pytest.mark.parametrize("slots", [[0, 1], [1]], ids=["slots 0 and 1", "slot 1"])
def test_vxi11_record_for_inst0_only(sim, slots):
    args = [word for slot in slots for word in ("--slot", str(slot), "--port", "0")]
    gateway = Gateway(*args, "--portmap", "rpcbind")
    try:
        for slot in slots:
            gateway.wait_log(r'mDNS: announcing _scpi-raw._tcp "ZQ907 SN%06d slot %d"' % (slot + 1, slot))
        expected_raw = {}
        for slot in slots:
            expected_raw.update(scpi_raw(gateway, slot, slot + 1))
        expected_vxi11 = {}
        if 0 in slots:
            gateway.wait_log(r'mDNS: announcing _vxi-11._tcp "ZQ907 SN000001 slot 0" on port 111')
            expected_vxi11 = {"ZQ907 SN000001 slot 0": 111}
        assert browse_until("_scpi-raw._tcp", expected_raw).items() >= expected_raw.items()
        assert browse_until("_vxi-11._tcp", expected_vxi11) == expected_vxi11
        assert "_vxi-11._tcp \"ZQ907 SN000002" not in gateway.log()
        gateway.wait_log(r"mDNS: slot 1 gets no _vxi-11._tcp record")
    finally:
        gateway.finish()


# Needs the slot service that tells the announcer when a slot's instrument
# appears or goes: today's ports do not.
def test_a_slot_opened_later_is_announced_and_withdrawn(sim):
    gateway = Gateway("--slot", "2", "--port", "0", "--vxi11", "off")
    device = None
    try:
        device = sim.add()
        gateway.wait_log(r'mDNS: announcing _scpi-raw._tcp "ZQ907 SN%06d slot 2"' % device)
        sim.control("remove %d" % device)
        device = None
        gateway.wait_log(r'mDNS: withdrawing _scpi-raw._tcp "ZQ907 SN\d+ slot 2"')
    finally:
        if device is not None:
            sim.control("remove %d" % device)
        gateway.finish()
