// The driver's millisecond clocks. monotonicMs measures every duration and limit; clockMs is the
// local wall-clock time printed in trace lines; stampMs stamps interferograms. Their epochs
// differ: never compare a value of one with another.
#pragma once

namespace ostrel {

// Milliseconds since an arbitrary fixed point on a clock that setting the wall clock does not
// move. Every time limit, elapsed time and rate is measured on this clock: the wall clock may be
// stepped by an hour (daylight saving, a time-server correction) in the middle of a wait.
double monotonicMs();

// Milliseconds of local wall-clock time since 1601-01-01. Jumps when the clock is set or the
// time-zone offset changes, so it only labels trace lines ("@%f"); it never measures a duration.
double clockMs();

// Milliseconds of UTC time since 1970-01-01: the time stamp of an interferogram. It follows the
// wall clock, steps included, because it says when the file was taken.
double stampMs();

}  // namespace ostrel
