"""ostreltcp.spectra against interferograms synthesised with numpy from known spectra."""

from __future__ import annotations

import numpy as np
import pytest

from ostreltcp import spectra

from spectra_expectation import (DX, LASER, TOP, band, boxcar, happ_genzel, lorentz_absorbance,
                                 synthesise, windowed)

try:
    spectra.find_spectra_library()
    _missing = ""
except OSError as error:
    _missing = str(error)

pytestmark = pytest.mark.skipif(bool(_missing), reason=_missing)

POINTS = 4096
LAYOUTS = {
    "double-sided forward": (2048.3, False),
    "double-sided reverse": (2048.3, True),
    "single-sided forward": (256.3, False),
    "single-sided reverse": (256.3, True),
}


@pytest.fixture(scope="module")
def band_interferograms():
    made = {}
    for name, (centre, reverse) in LAYOUTS.items():
        samples = synthesise(band, POINTS, centre) + 20000.0
        made[name] = samples[::-1].copy() if reverse else samples
    return made


@pytest.mark.parametrize("layout", LAYOUTS)
def test_mertz_single_beam_follows_the_known_band(band_interferograms, layout):
    wavenumbers, values = spectra.single_beam(band_interferograms[layout])
    error = np.max(np.abs(values - band(wavenumbers)))
    assert error < 0.005, f"{layout}: largest difference {error:.5f} of a band of height 1"


def test_axis_follows_the_laser_undersampling_and_zero_fill(band_interferograms):
    samples = band_interferograms["single-sided forward"]
    for undersampling, zero_fill in ((2, 2), (4, 1), (1, 8)):
        wavenumbers, values = spectra.single_beam(samples, laser_wavenumber=LASER,
                                                  undersampling=undersampling,
                                                  zero_fill=zero_fill)
        length = POINTS * zero_fill
        dx = undersampling / (2.0 * LASER)
        np.testing.assert_allclose(wavenumbers, np.arange(length // 2 + 1) / (length * dx))
        assert wavenumbers[-1] == pytest.approx(LASER / undersampling)
        assert values.shape == wavenumbers.shape


def test_range_keeps_only_its_wavenumbers(band_interferograms):
    wavenumbers, _ = spectra.single_beam(band_interferograms["double-sided forward"],
                                         wavenumber_range=(1000.0, 3000.0))
    step = 1.0 / (2 * POINTS * DX)
    assert 1000.0 <= wavenumbers[0] < 1000.0 + step
    assert 3000.0 - step < wavenumbers[-1] <= 3000.0


def test_magnitude_is_the_modulus_and_power_its_square(band_interferograms):
    samples = band_interferograms["single-sided reverse"]
    _, magnitude = spectra.single_beam(samples, phase="magnitude")
    _, power = spectra.single_beam(samples, phase="power")
    assert np.all(magnitude >= 0.0)
    np.testing.assert_allclose(power, magnitude ** 2, rtol=1e-12, atol=1e-15)


LINES = ((1234.5, 2.0, 0.5), (2200.25, 3.0, 0.8), (3012.75, 2.5, 0.3))


@pytest.fixture(scope="module")
def background_and_sample():
    def sample_spectrum(nu):
        return band(nu) * 10.0 ** -lorentz_absorbance(nu, LINES)

    background = synthesise(band, 8192, 256.3, step=0.25) + 20000.0
    sample = synthesise(sample_spectrum, 8192, 256.3, step=0.25) + 20000.0
    return background, sample, sample_spectrum


@pytest.mark.parametrize("apodization,window", [("boxcar", boxcar),
                                                ("happ-genzel", happ_genzel)])
def test_absorbance_at_line_centres_matches_the_windowed_spectrum(background_and_sample,
                                                                  apodization, window):
    background, sample, sample_spectrum = background_and_sample
    wavenumbers, single_background = spectra.single_beam(background, apodization=apodization)
    _, single_sample = spectra.single_beam(sample, apodization=apodization)
    # The record runs 8192 - 1 - 256 points after ZPD (ZPD lies at 256.3, the nearest point).
    longest_path = (8192 - 1 - 256) * DX
    fine = np.arange(0.0, TOP, 0.05)
    expected_sample = windowed(fine, sample_spectrum(fine), longest_path, window)
    expected_background = windowed(fine, band(fine), longest_path, window)
    for centre, _, _ in LINES:
        # Compared at the bin nearest the line centre: between bins a linear interpolation of
        # the measured spectrum would flatten the line.
        nearest = int(np.argmin(np.abs(wavenumbers - centre)))
        measured = -np.log10(single_sample[nearest] / single_background[nearest])
        expected = -np.log10(np.interp(wavenumbers[nearest], fine, expected_sample) /
                             np.interp(wavenumbers[nearest], fine, expected_background))
        assert measured == pytest.approx(expected, abs=0.02), (apodization, centre)


def test_line_centres_are_found_within_a_tenth_of_the_resolution(background_and_sample):
    background, sample, _ = background_and_sample
    wavenumbers, single_background = spectra.single_beam(background, apodization="boxcar")
    _, single_sample = spectra.single_beam(sample, apodization="boxcar")
    _, resolution = spectra.zpd_and_resolution(sample)
    for centre, _, _ in LINES:
        near = np.flatnonzero(np.abs(wavenumbers - centre) < 10.0)
        absorbance = np.zeros_like(wavenumbers)
        absorbance[near] = -np.log10(single_sample[near] / single_background[near])
        peak = near[np.argmax(absorbance[near])]
        # A parabola through the highest bin and its neighbours places the line between bins.
        left, middle, right = absorbance[peak - 1:peak + 2]
        offset = 0.5 * (left - right) / (left - 2.0 * middle + right)
        found = wavenumbers[peak] + offset * (wavenumbers[1] - wavenumbers[0])
        assert abs(found - centre) < 0.1 * resolution, (centre, found, resolution)


def test_zpd_and_resolution_of_a_single_sided_half(band_interferograms):
    zpd, resolution = spectra.zpd_and_resolution(band_interferograms["single-sided forward"])
    assert zpd == pytest.approx(256.3, abs=0.25)
    assert resolution == pytest.approx(1.0 / ((POINTS - 1 - 256) * DX))


@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_result_unpacks_as_before_and_carries_gates_that_pass(band_interferograms, layout):
    result = spectra.single_beam(band_interferograms[layout])
    wavenumbers, values = result
    assert len(result) == 2
    assert result.wavenumbers is wavenumbers and result.values is values
    quality = result.quality
    assert [gate.name for gate in quality.gates] == ["burst", "zpd_edge", "clipped",
                                                      "out_of_band"]
    assert quality.ok, [gate.reason for gate in quality.gates if not gate.ok]
    assert quality.points == POINTS
    centre, reverse = LAYOUTS[layout]
    assert quality.zpd_index == pytest.approx(POINTS - 1 - centre if reverse else centre,
                                              abs=0.25)
    assert quality.hint() == ""


def test_a_half_cut_at_its_burst_fails_with_a_skip_that_moves_zpd_to_256():
    # ZPD 5.3 points before the end: the short side holds 5 points.
    samples = synthesise(band, 2048, 2042.3) + 20000.0
    quality = spectra.single_beam(samples).quality
    edge = quality.gate("zpd_edge")
    assert (edge.status, edge.value) == ("fail", 5.0)
    assert "record's end" in edge.reason
    assert quality.worst == "fail"
    # A forward half: skipping 2042 - 256 more points puts ZPD at 256.
    assert "--skip 1786" in quality.hint("forward", skip=0)
    assert "--skip 1886" in quality.hint("forward", skip=100)
    assert "--calibrate" in quality.hint()
    # The same record as a reverse half: its burst is at the forward half's start.
    assert "--skip 0" in quality.hint("reverse", skip=0)
    with pytest.raises(ValueError, match="direction"):
        quality.hint("sideways")


def test_halves_of_one_record_agree_on_zpd_and_a_slipped_one_does_not(band_interferograms):
    forward = spectra.single_beam(band_interferograms["single-sided forward"]).quality
    reverse = spectra.single_beam(band_interferograms["single-sided reverse"]).quality
    agreement = spectra.zpd_agreement(forward, reverse)
    assert (agreement.name, agreement.status) == ("zpd_agreement", "ok")
    assert agreement.value < 0.01
    slipped = spectra.single_beam(np.roll(band_interferograms["single-sided reverse"], -12))
    agreement = spectra.zpd_agreement(forward, slipped.quality)
    assert agreement.status == "fail"
    assert agreement.value == pytest.approx(12.0, abs=0.01)


def test_a_detector_band_that_misses_the_signal_puts_its_energy_out_of_band(band_interferograms):
    samples = band_interferograms["single-sided forward"]
    # The known band lies at 2500 +- 600 cm^-1.
    out = spectra.single_beam(samples, detector_band=(5000.0, 7000.0)).quality.gate("out_of_band")
    assert out.status == "fail" and out.value > 0.99
    inside = spectra.single_beam(samples, detector_band=(1000.0, 4000.0)).quality
    assert inside.gate("out_of_band").ok


@pytest.mark.parametrize("arguments,words", [
    ({"detector_band": (6000.0, 400.0)}, "detector band"),
    ({"apodization": "hann"}, "unknown apodization"),
    ({"phase": "absolute"}, "unknown phase mode"),
    ({"zero_fill": 3}, "1, 2, 4 or 8"),
    ({"undersampling": 0}, "undersampling"),
    ({"wavenumber_range": (5000.0, 4000.0)}, "LOW < HIGH"),
])
def test_bad_settings_raise_value_error_with_the_reason(band_interferograms, arguments, words):
    with pytest.raises(ValueError, match=words):
        spectra.single_beam(band_interferograms["single-sided forward"], **arguments)


def test_bad_interferograms_raise_value_error():
    with pytest.raises(ValueError, match="at least 8 points"):
        spectra.single_beam(np.ones(3))
    with pytest.raises(ValueError, match="not a finite number at point 2"):
        spectra.single_beam(np.array([0.0, 1.0, np.nan, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0]))
    with pytest.raises(ValueError, match="one-dimensional"):
        spectra.single_beam(np.ones((2, 16)))
