"""The OstrelSpectrometer device without a Tango database: one server per test on loopback, its
built-in simulator scanning fast, a PyTango client at tango://127.0.0.1:PORT/...#dbase=no."""

import time

import numpy
import pytest
import tango

from tango_servers import Server, describe_failure, free_port, wait_for, wait_for_state

DEVICE = "test/ostrel/1"
ALL_COMMANDS = ["Connect", "Disconnect", "Calibrate", "Align", "TakeBackground", "TakeSample",
                "Stop", "Reboot"]


@pytest.fixture
def server(tmp_path):
    started = Server("nodb", DEVICE, str(tmp_path))
    started.start()
    yield started
    started.stop()


@pytest.fixture
def device(server):
    proxy = server.proxy()
    proxy.set_timeout_millis(3000)
    return proxy


def connected(device, points=1024, scans=4, files=3):
    device.Points = points
    device.Scans = scans
    device.Files = files
    device.Connect()
    wait_for_state(device, tango.DevState.ON)
    return device


def run_command(device, name):
    if name == "TakeSample":
        device.command_inout(name, "sample")
    else:
        device.command_inout(name)


def assert_refused(device, name, words):
    with pytest.raises(tango.DevFailed) as refused:
        run_command(device, name)
    text = describe_failure(refused.value)
    for word in words:
        assert word in text, f"{name}: '{word}' not in '{text}'"
    return text


def test_settings_are_read_written_and_listed_with_their_labels(device):
    assert device.state() == tango.DevState.OFF
    assert (device.Points, device.Scans, device.Gain, device.ZeroFill) == (16384, 16, 1, 2)
    assert device.PhaseResolution == 32.0
    direction = device.get_attribute_config("Direction")
    assert list(direction.enum_labels) == ["forward", "reverse", "both"]
    assert device.Direction == 2
    apodization = list(device.get_attribute_config("Apodization").enum_labels)
    assert "happ-genzel" in apodization and "boxcar" in apodization
    assert device.Apodization == apodization.index("happ-genzel")

    written = {"Points": 2048, "Scans": 3, "Direction": 0, "Gain": 4, "SkipPoints": 12,
               "Apodization": apodization.index("boxcar"), "ZeroFill": 4,
               "PhaseResolution": 16.0, "Files": 7}
    for name, value in written.items():
        device.write_attribute(name, value)
    for name, value in written.items():
        assert device.read_attribute(name).value == value, name
    for name in written:
        assert device.get_attribute_config(name).writable == tango.AttrWriteType.READ_WRITE


def test_bad_writes_are_refused_with_a_reason_and_change_nothing(device):
    refusals = [("Points", 0, "points"), ("Points", 40000, "points"), ("Direction", 3, "Direction"),
                ("Apodization", 99, "Apodization"), ("ZeroFill", 3, "zero"),
                ("Files", -1, "Files"), ("Scans", 0, "scans")]
    before = {name: device.read_attribute(name).value for name, _, _ in refusals}
    for name, value, word in refusals:
        with pytest.raises(tango.DevFailed) as refused:
            device.write_attribute(name, value)
        assert word.lower() in describe_failure(refused.value).lower(), (name, value)
    for name, value in before.items():
        assert device.read_attribute(name).value == value, name

    connected(device, files=0)
    device.Align()
    assert device.state() == tango.DevState.RUNNING
    for name, value in [("Scans", 2), ("Points", 512), ("Files", 2)]:
        with pytest.raises(tango.DevFailed) as refused:
            device.write_attribute(name, value)
        assert "during a run" in describe_failure(refused.value), name
    device.Stop()
    wait_for_state(device, tango.DevState.ON)
    assert device.Scans == 4


def test_each_command_is_allowed_or_refused_with_the_reason_in_each_state(device):
    # OFF: only Connect.
    for name in ALL_COMMANDS[1:]:
        assert_refused(device, name, ["not allowed in state OFF"])
    connected(device)
    # ON: everything but Connect and Stop.
    assert_refused(device, "Connect", ["state ON", "already connected"])
    assert_refused(device, "Stop", ["state ON", "nothing runs"])
    device.Disconnect()
    assert device.state() == tango.DevState.OFF
    device.Connect()
    wait_for_state(device, tango.DevState.ON)
    device.Calibrate()
    wait_for_state(device, tango.DevState.ON)
    assert "calibrated" in device.status()
    # RUNNING: only Stop and Reboot.
    device.Files = 0
    device.Align()
    assert device.state() == tango.DevState.RUNNING
    for name in ["Connect", "Disconnect", "Calibrate", "Align", "TakeBackground", "TakeSample"]:
        assert_refused(device, name, ["state RUNNING", "Stop it first"])
    device.Stop()
    wait_for_state(device, tango.DevState.ON)
    device.Files = 2
    device.TakeBackground()
    wait_for_state(device, tango.DevState.ON)
    device.TakeSample("first sample")
    wait_for_state(device, tango.DevState.ON)
    assert "sample run" in device.status() and "complete" in device.status()
    # INIT while the instrument reboots: everything is refused until it is back.
    device.Reboot()
    assert device.state() == tango.DevState.INIT
    for name in ALL_COMMANDS:
        assert_refused(device, name, ["state INIT", "nothing runs" if name == "Stop"
                                      else "connecting or rebooting"])
    wait_for_state(device, tango.DevState.ON, timeout=20)
    assert "rebooted" in device.status()
    device.TakeSample("after the reboot")
    wait_for_state(device, tango.DevState.ON)


def test_an_instrument_that_cannot_be_reached_is_a_fault_with_the_drivers_text(tmp_path):
    closed_port = str(free_port())
    unreachable = Server("unreachable", DEVICE, str(tmp_path), environment={
        "OSTREL_TANGO_INSTRUMENT_ADDRESS": "127.0.0.1",
        "OSTRELTCP_COMMAND_PORT": closed_port, "OSTRELTCP_DATA_PORT": closed_port})
    device = unreachable.start()
    try:
        device.Connect()
        wait_for_state(device, tango.DevState.FAULT)
        status = device.status()
        assert "cannot connect to the instrument at 127.0.0.1" in status
        assert "driver error" in status and "hint:" in status
        assert "cannot connect" in device.LastError
        for name in ["Calibrate", "Align", "TakeBackground", "TakeSample", "Stop", "Reboot"]:
            assert_refused(device, name, ["state FAULT"])
        device.Connect()  # allowed again, and fails again
        wait_for_state(device, tango.DevState.FAULT)
        device.Disconnect()
        assert device.state() == tango.DevState.OFF
    finally:
        unreachable.stop()


def test_each_file_pushes_its_change_and_data_ready_events_within_200_ms(device):
    connected(device, files=6)
    received = []
    ready = []
    states = []

    def on_file(event):
        if not event.err:
            received.append((event.attr_value.value, time.time() - event.attr_value.time.totime()))

    def on_spectrum(event):
        if not event.err and event.attr_value.value is not None:
            assert len(event.attr_value.value) == len(event.attr_value.value)

    subscriptions = [
        device.subscribe_event("FileNumber", tango.EventType.CHANGE_EVENT, on_file),
        device.subscribe_event("SingleBeamForward", tango.EventType.CHANGE_EVENT, on_spectrum),
        device.subscribe_event("Absorbance", tango.EventType.DATA_READY_EVENT,
                               lambda event: ready.append(event.ctr)),
        device.subscribe_event("State", tango.EventType.CHANGE_EVENT,
                               lambda event: states.append(event.attr_value.value)),
    ]
    time.sleep(0.3)
    received.clear()
    states.clear()
    device.TakeBackground()
    wait_for_state(device, tango.DevState.ON)
    device.TakeSample("events")
    wait_for_state(device, tango.DevState.ON)
    wait_for(lambda: len(received) >= 12 and states[-1:] == [tango.DevState.ON], 5,
             what="the events of both runs")
    for subscription in subscriptions:
        device.unsubscribe_event(subscription)

    numbers = [number for number, _ in received]
    assert numbers == [1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6]
    # The events carry the time the session saw the file's co-add event.
    latencies = [latency for _, latency in received]
    assert max(latencies) < 0.2, latencies
    assert min(latencies) >= -0.01, latencies
    # Data-ready on the absorbance for the sample's files only (a background has none).
    assert ready == [1, 2, 3, 4, 5, 6]
    # cppTango may repeat a state it already sent; what matters is the order of the changes.
    changes = [state for index, state in enumerate(states) if index == 0 or states[index - 1] != state]
    assert changes == [tango.DevState.RUNNING, tango.DevState.ON] * 2


def test_the_curves_agree_with_the_settings_and_the_sample(device):
    connected(device, points=2048, files=2)
    device.ZeroFill = 2
    # The calibration sets the skip points that bring the centre burst into 2048 points.
    device.Calibrate()
    wait_for_state(device, tango.DevState.ON)
    device.TakeBackground()
    wait_for_state(device, tango.DevState.ON)
    assert device.Absorbance is None or len(device.Absorbance) == 0
    device.TakeSample("one band at 1600")
    wait_for_state(device, tango.DevState.ON)
    assert device.FileNumber == 2
    assert device.RunDirectory.startswith(str(device.RunDirectory).rsplit("/", 1)[0])

    forward = numpy.asarray(device.InterferogramForward)
    reverse = numpy.asarray(device.InterferogramReverse)
    assert len(forward) == 2048 and len(reverse) == 2048
    # The centre burst is the interferogram about its largest excursion from the mean.
    burst = numpy.asarray(device.CentreBurstForward)
    peak = int(numpy.argmax(numpy.abs(forward - forward.mean())))
    assert numpy.array_equal(burst, forward[max(0, peak - 256):peak + 257])

    # The axis: zero fill 2 of 2048 points is a 4096-point transform up to laser / undersampling.
    wavenumbers = numpy.asarray(device.Wavenumbers)
    assert len(wavenumbers) == 2049
    assert wavenumbers[0] == 0.0
    assert numpy.isclose(wavenumbers[1] - wavenumbers[0], 15798.0 / 2 / 2048)
    assert len(device.SingleBeamForward) == len(device.SingleBeamReverse) == 2049
    # One spectrum per file: the combined single beam is the mean of the halves'.
    forward = numpy.asarray(device.SingleBeamForward)
    reverse = numpy.asarray(device.SingleBeamReverse)
    numpy.testing.assert_allclose(device.SingleBeam, 0.5 * (forward + reverse), rtol=1e-12,
                                  atol=1e-12 * numpy.abs(forward).max())

    # The simulator's sample is one band at 1600 cm^-1 of peak absorbance 0.5 (in base 10).
    absorbance = numpy.asarray(device.Absorbance)
    assert len(absorbance) == 2049
    usable = numpy.isfinite(absorbance) & (wavenumbers > 1000) & (wavenumbers < 5000)
    strongest = wavenumbers[usable][numpy.argmax(absorbance[usable])]
    assert abs(strongest - 1600.0) < 3 * (wavenumbers[1] - wavenumbers[0])
    assert 0.3 < numpy.nanmax(absorbance[usable]) < 0.6
    away = (wavenumbers > 2500) & (wavenumbers < 4000)
    assert numpy.nanmax(numpy.abs(absorbance[away])) < 0.05


def test_stop_returns_at_once_while_a_run_goes_on(device):
    connected(device, points=8192, scans=8, files=0)
    device.TakeSample("until stopped")
    wait_for(lambda: device.FileNumber >= 1, 10, what="the first file")
    started = time.monotonic()
    device.Stop()
    assert time.monotonic() - started < 1.0
    wait_for_state(device, tango.DevState.ON, timeout=5)
    assert "stopped" in device.status()


def test_init_during_a_run_ends_it_promptly_and_keeps_the_written_settings(device):
    # Init ends the session under the device monitor, where the push thread may be waiting for
    # that monitor: the device must not wait for it.
    connected(device, points=1024, files=0)
    device.Scans = 5
    device.TakeSample("until Init")
    wait_for(lambda: device.FileNumber >= 1, 10, what="the first file")
    started = time.monotonic()
    device.Init()
    assert time.monotonic() - started < 2.5
    assert device.state() == tango.DevState.OFF
    assert (device.Points, device.Scans) == (1024, 5)
    connected(device, points=1024, files=2)
    device.TakeSample("after Init")
    wait_for_state(device, tango.DevState.ON)
    assert "complete" in device.status()


def test_a_property_that_is_not_a_value_leaves_a_device_that_says_why(tmp_path):
    broken = Server("broken", DEVICE, str(tmp_path),
                    environment={"OSTREL_TANGO_LASER_WAVENUMBER": "red"})
    device = broken.start()
    try:
        assert device.state() == tango.DevState.FAULT
        assert "LASER_WAVENUMBER" in device.status() and "'red'" in device.status()
        text = assert_refused(device, "Connect", ["OSTREL_TANGO_LASER_WAVENUMBER", "Init"])
        assert "BadProperty" in text
        assert device.Points == 16384  # the attributes still read
    finally:
        broken.stop()


def test_an_instrument_error_mid_run_is_a_fault_with_the_drivers_text_and_a_hint(tmp_path):
    # The simulator answers the second progress line of the first scan sequence with an error.
    faulty = Server("faulty", DEVICE, str(tmp_path),
                    environment={"OSTREL_TANGO_SIM_FAULTS": "scan:error:_2:1"})
    device = faulty.start()
    try:
        connected(device, files=3)
        device.TakeSample("fails")
        wait_for_state(device, tango.DevState.FAULT)
        status = device.status()
        assert "sample run" in status and "failed" in status
        assert "driver error 15" in status and "hint:" in status, status
        assert "driver error 15" in device.LastError
        # Still connected: a run may start again from FAULT, and it completes.
        assert_refused(device, "Stop", ["state FAULT"])
        device.TakeSample("again")
        wait_for_state(device, tango.DevState.ON)
        assert "complete" in device.status()
    finally:
        faulty.stop()
