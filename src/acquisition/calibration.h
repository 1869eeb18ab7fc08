// The measurement of the calibration scan: one scan sequence, its block and the block's peak.
#pragma once

#include <cstdint>

namespace ostrel {

inline constexpr int32_t kCalibrationPointsSetting = 16384;
inline constexpr int32_t kPeakOffset = 256;

// Runs the scan sequence and the transfer with the settings the instrument holds. On success
// stores calscanTime, writes the new skip points value (peak index less 256, at least 0) and
// returns 0. A failed sequence records and returns 7 (calscanTime unchanged); a failed transfer
// records and returns its own code.
int32_t calibrationMeasurement(int32_t* skipPoints);

}  // namespace ostrel
