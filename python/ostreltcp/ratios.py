"""Transmittance and absorbance of a sample's single beam against a background's.

Where the background is weak (below ``threshold`` times its peak: outside the source's range it
is only noise around zero) the ratio means nothing and both are NaN, as they are in the files of
``ostrel-acquire --background``; an absorbance of a transmittance that noise made zero or negative
is NaN too. Neither ever returns an infinity or warns.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["DEFAULT_THRESHOLD", "absorbance", "transmittance"]

DEFAULT_THRESHOLD = 0.01


def transmittance(sample: ArrayLike, background: ArrayLike,
                  threshold: float = DEFAULT_THRESHOLD) -> np.ndarray:
    """sample / background, NaN where the background is below ``threshold`` of its peak.

    The last axis is the wavenumber axis; the peak is taken along it, so a stack of spectra
    (files, halves, wavenumbers) against a background of (halves, wavenumbers) works per half.
    """
    sample = np.asarray(sample, dtype=float)
    background = np.asarray(background, dtype=float)
    if not 0.0 <= threshold <= 1.0:
        raise ValueError(f"threshold must be a fraction between 0 and 1, not {threshold}")
    finite = np.isfinite(background)
    peak = np.where(finite, background, -np.inf).max(axis=-1, keepdims=True, initial=-np.inf)
    usable = finite & (background > 0.0) & (background >= threshold * np.maximum(peak, 0.0))
    safe = np.where(usable, background, 1.0)
    return np.where(usable, sample / safe, np.nan)


def absorbance(sample: ArrayLike, background: ArrayLike,
               threshold: float = DEFAULT_THRESHOLD) -> np.ndarray:
    """-log10 of the transmittance; NaN where that is NaN, zero or negative."""
    ratio = transmittance(sample, background, threshold)
    positive = ratio > 0.0
    return np.where(positive, -np.log10(np.where(positive, ratio, 1.0)), np.nan)
