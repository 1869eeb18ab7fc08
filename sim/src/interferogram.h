// The noise-free interferogram of the simulator's spectrum, computed once per configuration on a
// long grid of path differences; blocks take their points from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"

namespace ostrel::sim {

class Interferogram {
  public:
    // Builds it from the configuration's spectrum (the default source or the spectrum file, times
    // the absorbers), laser wavenumber, undersampling, amplitude and instrument phase. Null, with
    // the reason, when the configuration is invalid or the spectrum file cannot be read.
    static std::shared_ptr<const Interferogram> make(const Config& config, std::string* error);

    // The per-scan signal `offset` sample spacings from the burst's sample (the point at
    // burstCentre when skip is 0); 0 beyond the computed grid, where it has decayed.
    double at(int64_t offset) const {
        if (offset <= -half_ || offset >= half_)
            return 0.0;
        return values_[static_cast<size_t>(offset + half_)];
    }

    // Sample spacing in path difference, cm: undersampling / (2 x laser wavenumber).
    double spacing() const { return spacing_; }

  private:
    int64_t half_ = 0;
    double spacing_ = 0.0;
    std::vector<double> values_;  // offset -half_ + 1 .. half_ - 1 at index offset + half_
};

}  // namespace ostrel::sim
