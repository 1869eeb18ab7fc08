// The DataBlock encoding of the simulated interferogram: gain channels, clipping, offset, noise
// and co-adding.
#include "block.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"

namespace ostrel::sim {
namespace {

// splitmix64: small, fast and identical on every platform, so a seed names the same block
// everywhere (std::normal_distribution is not specified bit for bit).
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Near-Gaussian with unit deviation: the sum of four uniform 16-bit draws (Irwin-Hall),
    // centred and scaled. One draw per sample keeps a 32768-point block cheap to build, which
    // matters because the transfer benchmark times the simulator's answer to "send".
    double gaussian() {
        uint64_t bits = next();
        double sum = static_cast<double>((bits & 0xFFFF) + (bits >> 16 & 0xFFFF) +
                                         (bits >> 32 & 0xFFFF) + (bits >> 48));
        constexpr double kScale = 1.7320508075688772 / 65536.0;  // sqrt(3): variance 4/12 -> 1
        return (sum - 2.0 * 65535.0) * kScale;
    }

  private:
    uint64_t state_;
};

// Gain 1 is the nominal high-gain factor; each step doubles it, gain 0 halves it, so a
// calibration at gain 0 sees an unclipped burst with its true peak.
double highGainFactor(const Config& config, int gain) {
    return config.gainFactor * std::ldexp(1.0, std::clamp(gain, 0, 8) - 1);
}

// Rounds half away from zero; done by hand because nearbyint is a library call on baseline x86-64
// and this runs twice per point. copysign keeps it free of branches: away from the burst the
// signal is near zero and its sign follows the noise, which a branch would mispredict half the
// time.
int32_t toSample(double value) {
    value = std::clamp(value, static_cast<double>(std::numeric_limits<int32_t>::min()),
                       static_cast<double>(std::numeric_limits<int32_t>::max()));
    return static_cast<int32_t>(value + std::copysign(0.5, value));
}

void putWord(uint8_t* at, uint32_t word) {
    at[0] = static_cast<uint8_t>(word >> 24);
    at[1] = static_cast<uint8_t>(word >> 16);
    at[2] = static_cast<uint8_t>(word >> 8);
    at[3] = static_cast<uint8_t>(word);
}

struct Channels {
    int32_t high;
    int32_t low;
};

// One point of the co-added block. The noise is drawn once for the sum (its deviation grows
// with the square root of the scans), shared by both channels as it is optical; a clipped
// high-gain sample is exactly scans x saturation, as every scan clipped.
struct Levels {
    double scans;
    double gain;
    double noise;  // deviation of the co-added noise
};

Channels samplePoint(const Config& config, const Levels& levels, double signal, Random& random) {
    double scans = levels.scans;
    double gain = levels.gain;
    double noise = levels.noise * random.gaussian();
    double perScanHigh = gain * signal;
    double high = std::fabs(perScanHigh) >= config.saturation
                      ? std::copysign(config.saturation, perScanHigh) * scans
                      : perScanHigh * scans + gain * noise;
    double low = (signal + config.lowOffset) * scans + noise;
    return {toSample(high), toSample(low)};
}

}  // namespace

size_t blockLength(const Settings& settings) {
    size_t halves = (settings.scanDir & 1 ? 1u : 0u) + (settings.scanDir & 2 ? 1u : 0u);
    return 16 + 8 * static_cast<size_t>(std::max(settings.points, 0)) * halves;
}

int64_t burstIndex(const Config& config, const Settings& settings, bool reverse) {
    int64_t forward = static_cast<int64_t>(config.burstCentre) - settings.skip;
    return reverse ? settings.points - 1 - forward : forward;
}

std::vector<double> makeSignal(const Interferogram& interferogram, const Config& config,
                               const Settings& settings) {
    std::vector<double> signal(static_cast<size_t>(std::max(settings.points, 0)));
    int64_t first = int64_t{settings.skip} - config.burstCentre;
    for (size_t k = 0; k < signal.size(); ++k) {
        signal[k] = interferogram.at(first + static_cast<int64_t>(k));
    }
    return signal;
}

std::vector<uint8_t> makeBlockFromSignal(const Config& config, const Settings& settings,
                                         const std::vector<double>& signal, uint64_t blockIndex) {
    std::vector<uint8_t> block(blockLength(settings));
    bool forward = settings.scanDir & 1;
    bool reverse = settings.scanDir & 2;
    size_t points = signal.size();
    putWord(&block[0], forward ? static_cast<uint32_t>(settings.scans) : 0);
    putWord(&block[4], reverse ? static_cast<uint32_t>(settings.scans) : 0);
    putWord(&block[8], static_cast<uint32_t>(points));
    putWord(&block[12], static_cast<uint32_t>(blockIndex));

    Random random(config.seed * 0x100000001B3ull ^ (blockIndex + 1) * 0x9E3779B97F4A7C15ull);
    double scans = settings.scans;
    Levels levels{scans, highGainFactor(config, settings.gain), config.noise * std::sqrt(scans)};
    uint8_t* forwardHalf = &block[16];
    uint8_t* reverseHalf = &block[16 + (forward ? 8 * points : 0)];
    for (size_t k = 0; k < points; ++k) {
        // The mirror runs back over the same positions, so the reverse half is the forward
        // signal mirrored within the half, with noise of its own.
        if (forward) {
            Channels c = samplePoint(config, levels, signal[k], random);
            putWord(forwardHalf + 8 * k, static_cast<uint32_t>(c.high));
            putWord(forwardHalf + 8 * k + 4, static_cast<uint32_t>(c.low));
        }
        if (reverse) {
            Channels c = samplePoint(config, levels, signal[k], random);
            size_t mirrored = points - 1 - k;
            putWord(reverseHalf + 8 * mirrored, static_cast<uint32_t>(c.high));
            putWord(reverseHalf + 8 * mirrored + 4, static_cast<uint32_t>(c.low));
        }
    }
    return block;
}

std::vector<uint8_t> makeBlock(const Config& config, const Settings& settings,
                               uint64_t blockIndex) {
    std::string error;
    std::shared_ptr<const Interferogram> interferogram = Interferogram::make(config, &error);
    if (!interferogram)
        return {};
    return makeBlockFromSignal(config, settings, makeSignal(*interferogram, config, settings),
                               blockIndex);
}

}  // namespace ostrel::sim
