"""unglom against blocks built here the way the instrument lays them out.

A block is a 16-byte header of big-endian words (forward scan count, reverse scan count, two
words the driver ignores), then per half `points` records of big-endian (high-gain, low-gain)
samples. Where the low-gain channel is exactly linear in the high-gain one, low = high / 8 + b,
the combined curve is that line wherever the high-gain channel is usable, divided by the half's
scan count; the line is truncated to whole counts before the division, hence the tolerance.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pytest

from ostreltcp import MAX_POINTS, unglom

POINTS = 300


@dataclass
class Half:
    scans: int
    high: np.ndarray
    low: np.ndarray

    @property
    def divisor(self) -> int:
        return self.scans if self.scans > 0 else 1


def linear_half(scans: int, offset: int, phase: float) -> Half:
    # Multiples of 8 with magnitudes far below the 20000-per-scan threshold: no burst region.
    steps = np.round(1500 * np.sin(np.arange(POINTS) / 17.0 + phase)).astype(np.int64)
    return Half(scans, 8 * steps, steps + offset)


def make_block(halves: list[Half], forward_scans: int, reverse_scans: int) -> bytes:
    header = np.array([forward_scans, reverse_scans, POINTS, 0], dtype=">i4")
    records = []
    for half in halves:
        pairs = np.empty(2 * POINTS, dtype=">i4")
        pairs[0::2] = half.high
        pairs[1::2] = half.low
        records.append(pairs.tobytes())
    return header.tobytes() + b"".join(records)


def assert_half(curve: np.ndarray, half: Half, expected_low: np.ndarray) -> None:
    np.testing.assert_allclose(
        curve, expected_low / half.divisor, rtol=0, atol=1.0 / half.divisor + 1e-9
    )


# direction, forward scans, reverse scans; the halves in the block follow the direction.
@pytest.mark.parametrize(
    "direction, forward_scans, reverse_scans",
    [
        (3, 4, 7),
        (3, 1, 16),
        (1, 4, 7),
        (2, 4, 7),
        (1, 0, 7),  # a count of 0 leaves the sums undivided
        (2, 3, -2),  # so does a negative one
    ],
)
def test_linear_channels_give_the_line_divided_by_each_halfs_count(
    driver, direction, forward_scans, reverse_scans
):
    forward = linear_half(forward_scans, offset=500, phase=0.0)
    reverse = linear_half(reverse_scans, offset=-300, phase=1.3)
    halves = {1: [forward], 2: [reverse], 3: [forward, reverse]}[direction]
    block = make_block(halves, forward_scans, reverse_scans)

    curve = unglom(block, POINTS, direction)

    assert curve.dtype == np.float64
    assert curve.shape == (len(halves) * POINTS,)
    for index, half in enumerate(halves):
        assert_half(curve[index * POINTS : (index + 1) * POINTS], half, half.low)


def test_a_clipped_high_gain_burst_is_taken_from_the_low_gain_channel(driver):
    scans = 2
    index = np.arange(POINTS)
    envelope = np.exp(-(((index - 150) / 12.0) ** 2))
    steps = np.round(9000 * envelope * np.cos(index / 2.0) + 40 * np.sin(index / 23.0))
    steps = steps.astype(np.int64)
    # The high-gain channel saturates at 60000, above the 40000 threshold of two scans.
    half = Half(scans, np.clip(8 * steps, -60000, 60000), steps + 500)
    assert np.any(half.high != 8 * steps)

    curve = unglom(make_block([half], scans, 0), POINTS, 1)

    assert_half(curve, half, half.low)


def test_the_callers_block_is_left_in_network_order(driver):
    forward, reverse = linear_half(5, 500, 0.0), linear_half(6, 10, 2.0)
    block = bytearray(make_block([forward, reverse], 5, 6))
    original = bytes(block)
    unglom(block, POINTS, 3)
    unglom(np.frombuffer(original, dtype=np.uint8), POINTS, 3)
    assert bytes(block) == original


@pytest.mark.parametrize(
    "points, direction, length",
    [
        (0, 1, 16),
        (MAX_POINTS + 1, 1, 16 + 8 * (MAX_POINTS + 1)),
        (POINTS, 0, 16 + 8 * POINTS),
        (POINTS, 4, 16 + 16 * POINTS),
        (POINTS, 3, 16 + 16 * POINTS - 1),  # one byte short of both halves
        (POINTS, 1, 16 + 8 * POINTS - 1),
    ],
)
def test_arguments_that_would_overrun_or_be_ignored_are_refused(driver, points, direction, length):
    with pytest.raises(ValueError):
        unglom(bytes(length), points, direction)
