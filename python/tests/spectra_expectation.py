"""Known answers for the spectra tests, computed with numpy alone.

An interferogram is synthesised from a spectrum by direct summation of cosines, and the spectrum
that an apodised transform should show is computed by numpy's FFT: the spectrum on a fine grid is
taken to its interferogram, multiplied by the window over the recorded path difference and taken
back. Neither goes through the library under test.
"""

from __future__ import annotations

import numpy as np

LASER = 15798.0
UNDERSAMPLING = 2
DX = UNDERSAMPLING / (2.0 * LASER)
TOP = LASER / UNDERSAMPLING


def band(nu: np.ndarray) -> np.ndarray:
    """A smooth band of height 1."""
    return np.exp(-0.5 * ((nu - 2500.0) / 600.0) ** 2)


def lorentz_absorbance(nu: np.ndarray, lines) -> np.ndarray:
    absorbance = np.zeros_like(nu)
    for centre, hwhm, peak in lines:
        absorbance += peak / (1.0 + ((nu - centre) / hwhm) ** 2)
    return absorbance


def synthesise(spectrum, points: int, centre: float, phase_scale: float = 0.4,
               step: float = 0.5, noise: float = 0.0, seed: int = 1) -> np.ndarray:
    """I(x_k) = sum B(nu) cos(2 pi nu x_k + phase(nu)) d nu with x_k = (k - centre) dx."""
    nu = np.arange(0.5 * step, TOP, step)
    weights = spectrum(nu) * step
    keep = np.abs(weights) > 1e-14
    nu, weights = nu[keep], weights[keep]
    phase = phase_scale * (nu / TOP) ** 2
    x = (np.arange(points) - centre) * DX
    samples = np.empty(points)
    for start in range(0, points, 1024):
        block = x[start:start + 1024]
        samples[start:start + 1024] = np.cos(
            2.0 * np.pi * np.outer(block, nu) + phase[None, :]) @ weights
    if noise > 0.0:
        samples += np.random.default_rng(seed).normal(0.0, noise, points)
    return samples


def windowed(nu: np.ndarray, spectrum: np.ndarray, longest_path: float, window) -> np.ndarray:
    """The spectrum as a transform limited to +-longest_path (cm) with `window` (a function of
    |x| / longest_path) shows it: numpy FFT to the interferogram, window, FFT back."""
    step = nu[1] - nu[0]
    count = len(nu)
    # The even extension: a real, symmetric interferogram.
    full = np.concatenate([spectrum, spectrum[-2:0:-1]])
    interferogram = np.fft.ifft(full).real
    x = np.fft.fftfreq(len(full), d=step)
    weights = np.where(np.abs(x) <= longest_path, window(np.abs(x) / longest_path), 0.0)
    return np.fft.fft(interferogram * weights).real[:count]


def boxcar(distance: np.ndarray) -> np.ndarray:
    return np.ones_like(distance)


def happ_genzel(distance: np.ndarray) -> np.ndarray:
    return 0.54 + 0.46 * np.cos(np.pi * distance)
