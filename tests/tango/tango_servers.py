"""Starting and stopping ostrel-tango servers for the tests, on loopback only.

The server's path comes from OSTREL_TANGO_SERVER and the driver's from OSTRELTCP_LIBRARY (ctest
sets both). Every process started here is stopped by its own id.
"""

import os
import signal
import socket
import subprocess
import time

import tango

# The built-in simulator's pace for the tests: small files come about 20 a second, so that a
# run of a few files takes well under a second and no file is missed.
FAST_SIMULATOR = {
    "OSTREL_TANGO_SIM_SCAN_MS": "200",
    "OSTREL_TANGO_SIM_READY_MS": "1",
}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, timeout, step=0.02, what="a condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


def wait_for_state(device, states, timeout=10.0):
    if not isinstance(states, (list, tuple, set)):
        states = [states]
    wait_for(lambda: device.state() in states, timeout,
             what=f"{device.dev_name()} to reach {states} (it is {device.state()}: "
                  f"{device.status()})")
    return device.state()


def describe_failure(failure):
    """The reasons and descriptions of a DevFailed, one text."""
    return " | ".join(f"{error.reason}: {error.desc}" for error in failure.args)


class Server:
    """One ostrel-tango process; with database=None it runs without a database."""

    def __init__(self, instance, device, directory, environment=None, port=None, database=None):
        self.instance = instance
        self.device = device
        self.directory = directory
        self.port = free_port() if port is None else port
        self.database = database
        self.environment = dict(os.environ)
        self.environment.update(FAST_SIMULATOR)
        self.environment["OSTREL_TANGO_DATA_DIRECTORY"] = os.path.join(directory, "runs")
        if database is not None:
            self.environment["TANGO_HOST"] = database
        self.environment.update(environment or {})
        self.process = None
        self.log_path = os.path.join(directory, f"{instance}.log")

    @property
    def url(self):
        if self.database is None:
            return f"tango://127.0.0.1:{self.port}/{self.device}#dbase=no"
        return f"tango://{self.database}/{self.device}"

    def start(self, timeout=30.0):
        command = [os.environ.get("OSTREL_TANGO_SERVER", "ostrel-tango"), self.instance]
        if self.database is None:
            command += ["-nodb", "-dlist", self.device]
        command += ["-ORBendPoint", f"giop:tcp:127.0.0.1:{self.port}"]
        self.log = open(self.log_path, "ab")
        self.process = subprocess.Popen(command, env=self.environment, cwd=self.directory,
                                        stdout=self.log, stderr=subprocess.STDOUT)

        def answers():
            if self.process.poll() is not None:
                raise AssertionError(f"{self.instance} ended at start with status "
                                     f"{self.process.returncode}: {self.log_text()}")
            try:
                proxy = tango.DeviceProxy(self.url)
                proxy.ping()
                return proxy
            except tango.DevFailed:
                return None

        return wait_for(answers, timeout, step=0.1, what=f"{self.instance} to answer")

    def proxy(self):
        return tango.DeviceProxy(self.url)

    def log_text(self):
        with open(self.log_path, "rb") as log:
            return log.read().decode(errors="replace")

    def kill(self):
        """kill -9: the server has no chance to tidy up."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(10)
        if self.process is not None:
            self.log.close()
            self.process = None

    def stop(self, timeout=15.0):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.send_signal(signal.SIGKILL)
                self.process.wait(10)
        self.log.close()
        self.process = None
