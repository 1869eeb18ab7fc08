"""The OstrelSpectrometer devices with a real Tango database: a private MariaDB and DataBaseds on
loopback, under a temporary folder, two devices in two servers each with its own built-in
simulator, one PyTango client driving both. Everything this test starts it stops, also when it
fails. It prints how long each phase took."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest
import tango

from tango_servers import Server, describe_failure, free_port, wait_for, wait_for_state

DATABASE_SERVER = "/usr/lib/tango/DataBaseds"
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"
SERVER_NAME = os.path.basename(os.environ.get("OSTREL_TANGO_SERVER", "ostrel-tango"))

pytestmark = pytest.mark.skipif(
    not all(os.path.exists(path) for path in [DATABASE_SERVER, SCHEMA])
    or shutil.which("mariadbd", path="/usr/sbin:" + os.environ.get("PATH", "")) is None
    or shutil.which("tango_admin") is None,
    reason="needs tango-db, mariadb-server and tango_admin (scripts/setup.sh facility)")


class Phases:
    def __init__(self):
        self.started = time.monotonic()
        self.last = self.started
        self.lines = []

    def done(self, what):
        now = time.monotonic()
        self.lines.append(f"{what}: {now - self.last:.2f} s")
        self.last = now

    def report(self):
        total = time.monotonic() - self.started
        print("\n".join(["database test phases:"] + self.lines + [f"total: {total:.2f} s"]))


class Processes:
    """What the test started, stopped in the reverse order by each process's own id."""

    def __init__(self):
        self.started = []

    def start(self, name, command, log_path, **options):
        log = open(log_path, "ab")
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, **options)
        self.started.append((name, process, log))
        return process

    def stop_all(self):
        for name, process, log in reversed(self.started):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(20)
                except subprocess.TimeoutExpired:
                    process.send_signal(signal.SIGKILL)
                    process.wait(10)
            log.close()
        self.started.clear()


def run(command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=60,
                          **options)


def listening_addresses(pids):
    """Local addresses of the TCP and UDP sockets the processes listen on or are bound to."""
    listing = run(["ss", "-Hltunp"]).stdout
    found = []
    for line in listing.splitlines():
        owners = [int(pid) for pid in re.findall(r"pid=(\d+)", line)]
        if any(pid in pids for pid in owners):
            found.append(line.split()[4])
    return found


@pytest.fixture
def facility():
    """A private MariaDB and DataBaseds; yields (TANGO_HOST, folder, processes, phases)."""
    phases = Phases()
    folder = tempfile.mkdtemp(prefix="ostrel-tango-db-")
    processes = Processes()
    try:
        data = os.path.join(folder, "mariadb")
        run(["mariadb-install-db", "--no-defaults", f"--datadir={data}", "--user=root",
             "--auth-root-authentication-method=normal", "--skip-test-db"])
        sql_port = free_port()
        processes.start("mariadbd", [
            "/usr/sbin/mariadbd", "--no-defaults", f"--datadir={data}", "--user=root",
            f"--socket={data}/sock", f"--port={sql_port}", "--bind-address=127.0.0.1",
            f"--pid-file={data}/mariadbd.pid"], os.path.join(folder, "mariadbd.log"))
        client = ["mariadb", "--no-defaults", "-h", "127.0.0.1", "-P", str(sql_port), "-u", "root"]
        wait_for(lambda: subprocess.run(client + ["-e", "SELECT 1"], capture_output=True)
                 .returncode == 0, 60, step=0.1, what="MariaDB to answer")
        run(client + ["-e", "CREATE DATABASE tango"])
        with open(SCHEMA, "rb") as schema:
            subprocess.run(client + ["tango"], stdin=schema, check=True, capture_output=True,
                           timeout=120)
        phases.done("MariaDB installed, started and given the schema")

        tango_port = free_port()
        tango_host = f"127.0.0.1:{tango_port}"
        environment = dict(os.environ, MYSQL_USER="root", MYSQL_HOST=f"127.0.0.1:{sql_port}",
                           TANGO_HOST=tango_host)
        processes.start("DataBaseds", [DATABASE_SERVER, "2", "-ORBendPoint",
                                       f"giop:tcp:127.0.0.1:{tango_port}"],
                        os.path.join(folder, "databaseds.log"), env=environment, cwd=folder)
        run(["tango_admin", "--ping-database", "20"], env=environment)
        phases.done("DataBaseds started")
        yield tango_host, folder, processes, phases
    finally:
        processes.stop_all()
        shutil.rmtree(folder, ignore_errors=True)


def register(tango_host, instance, device, data_directory):
    environment = dict(os.environ, TANGO_HOST=tango_host)
    run(["tango_admin", "--add-server", f"{SERVER_NAME}/{instance}", "OstrelSpectrometer", device],
        env=environment)
    run(["tango_admin", "--add-property", device, "DataDirectory", data_directory],
        env=environment)
    run(["tango_admin", "--add-property", device, "InstrumentAddress", ""], env=environment)


def run_both(devices, command, argument=None):
    for device in devices:
        if argument is None:
            device.command_inout(command)
        else:
            device.command_inout(command, argument)
    for device in devices:
        wait_for_state(device, tango.DevState.ON, timeout=20)


def test_two_servers_on_one_database_driven_by_one_client(facility):
    tango_host, folder, processes, phases = facility
    servers = {}
    try:
        settings = {"a": {"Points": 1024, "Scans": 3, "Files": 2, "Direction": 2},
                    "b": {"Points": 2048, "Scans": 2, "Files": 3, "Direction": 0}}
        for name in settings:
            device = f"test/ostrel/{name}"
            register(tango_host, name, device, os.path.join(folder, name, "runs"))
            os.makedirs(os.path.join(folder, name), exist_ok=True)
            servers[name] = Server(name, device, os.path.join(folder, name), port=0,
                                   database=tango_host)
        proxies = {name: server.start() for name, server in servers.items()}
        phases.done("two servers registered and started")

        started_pids = {process.pid for _, process, _ in processes.started}
        started_pids |= {server.process.pid for server in servers.values()}
        addresses = listening_addresses(started_pids)
        assert addresses and all(address.startswith("127.0.0.1:") for address in addresses), \
            addresses

        files = {name: [] for name in servers}
        states = {name: [] for name in servers}
        for name, device in proxies.items():
            device.subscribe_event(
                "FileNumber", tango.EventType.CHANGE_EVENT,
                lambda event, name=name: None if event.err else
                files[name].append(event.attr_value.value))
            device.subscribe_event(
                "State", tango.EventType.CHANGE_EVENT,
                lambda event, name=name: None if event.err else
                states[name].append(event.attr_value.value))
            for attribute, value in settings[name].items():
                device.write_attribute(attribute, value)
        devices = list(proxies.values())
        run_both(devices, "Connect")
        run_both(devices, "Calibrate")
        time.sleep(0.2)
        for name in files:
            files[name].clear()
        run_both(devices, "TakeBackground")
        run_both(devices, "TakeSample", "shared client")
        wait_for(lambda: all(len(files[name]) >= 2 * settings[name]["Files"] for name in files),
                 5, what="both devices' file events")
        for name in files:
            count = settings[name]["Files"]
            assert files[name] == list(range(1, count + 1)) * 2, (name, files[name])
            assert tango.DevState.RUNNING in states[name] and states[name][-1] == tango.DevState.ON
            assert len(proxies[name].Absorbance) > 0
        phases.done("background then sample on both, events from both")

        # kill -9 of one: the other goes on; the client gets a clear error for the dead one.
        servers["a"].kill()
        with pytest.raises(tango.DevFailed) as dead:
            proxies["a"].state()
        text = describe_failure(dead.value)
        assert "test/ostrel/a" in text or "connect" in text.lower(), text
        proxies["b"].TakeSample("while a is down")
        wait_for_state(proxies["b"], tango.DevState.ON, timeout=20)
        assert "complete" in proxies["b"].status()
        phases.done("one server killed, the other ran on")

        # Restarted, it comes back with its memorized settings and the client reconnects.
        servers["a"].start()
        wait_for(lambda: _answers(proxies["a"]), 20, step=0.2, what="the client to reconnect")
        for attribute, value in settings["a"].items():
            assert proxies["a"].read_attribute(attribute).value == value, attribute
        assert proxies["a"].state() == tango.DevState.OFF
        before = len(files["a"])
        proxies["a"].Files = 0
        proxies["a"].Connect()
        wait_for_state(proxies["a"], tango.DevState.ON)
        proxies["a"].TakeSample("after the restart")
        # The subscription made before the kill is renewed by the client's keep-alive.
        wait_for(lambda: len(files["a"]) > before, 40, step=0.1,
                 what="events from the restarted server")
        proxies["a"].Stop()
        wait_for_state(proxies["a"], tango.DevState.ON)
        phases.done("restarted with its settings, events again")
    finally:
        for server in servers.values():
            server.stop()
        phases.report()


def _answers(device):
    try:
        device.ping()
        return True
    except tango.DevFailed:
        return False
