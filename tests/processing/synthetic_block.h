// Data blocks built from a known interferogram, as the instrument would send them: a centre burst
// on a slow baseline, seen by a high-gain channel that clips and a low-gain channel with its own
// scale and offset. Both channels are summed over the half's scans.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ostrel::testing {

struct ChannelModel {
    int32_t scans = 1;
    double burstAmplitude = 50000.0;  // of the signal, in high-gain units per scan
    double burstCentre = 0.5;         // as a fraction of the points
    double burstWidth = 20.0;         // points
    double highGain = 1.0;
    double highSaturation = 32000.0;  // per scan; above the 20,000 threshold
    double lowScale = 0.1;
    double lowOffset = 250.0;
};

struct SyntheticHalf {
    std::vector<int32_t> high;     // summed over the scans
    std::vector<int32_t> low;      // summed over the scans
    std::vector<double> lowCurve;  // the true low-gain curve per scan, before quantisation
};

inline double signalAt(int32_t k, int32_t pts, const ChannelModel& model) {
    constexpr double kTwoPi = 6.283185307179586;
    const double phase = static_cast<double>(k) / pts;
    const double baseline =
        400.0 * std::cos(kTwoPi * phase) + 150.0 * std::sin(3.0 * kTwoPi * phase);
    const double offset = k - model.burstCentre * pts;
    const double envelope = std::exp(-(offset * offset) / (model.burstWidth * model.burstWidth));
    return baseline + model.burstAmplitude * envelope * std::cos(0.9 * offset);
}

inline SyntheticHalf makeHalf(int32_t pts, const ChannelModel& model) {
    SyntheticHalf half;
    const int32_t scans = std::max(model.scans, 1);
    for (int32_t k = 0; k < pts; ++k) {
        const double signal = signalAt(k, pts, model);
        const double high =
            std::clamp(model.highGain * signal, -model.highSaturation, model.highSaturation);
        const double low = model.lowScale * signal + model.lowOffset;
        half.high.push_back(static_cast<int32_t>(std::lround(high)) * scans);
        half.low.push_back(static_cast<int32_t>(std::lround(low)) * scans);
        half.lowCurve.push_back(low);
    }
    return half;
}

inline void putWord(uint8_t* bytes, int32_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    bytes[0] = static_cast<uint8_t>(word >> 24);
    bytes[1] = static_cast<uint8_t>(word >> 16);
    bytes[2] = static_cast<uint8_t>(word >> 8);
    bytes[3] = static_cast<uint8_t>(word);
}

inline int32_t getWord(const uint8_t* bytes) {
    return static_cast<int32_t>((uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                                (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]});
}

// A block in network byte order: the header counts, then the halves given (one or two), each as
// records of the high-gain word followed by the low-gain word.
inline std::vector<uint8_t> makeBlock(int32_t forwardScans, int32_t reverseScans,
                                      const std::vector<const SyntheticHalf*>& halves) {
    const size_t pts = halves.empty() ? 0 : halves.front()->high.size();
    std::vector<uint8_t> block(16 + 8 * pts * halves.size(), 0);
    putWord(block.data(), forwardScans);
    putWord(block.data() + 4, reverseScans);
    putWord(block.data() + 8, 0x5a5a1234);
    putWord(block.data() + 12, -7);
    uint8_t* record = block.data() + 16;
    for (const SyntheticHalf* half : halves) {
        for (size_t k = 0; k < pts; ++k, record += 8) {
            putWord(record, half->high[k]);
            putWord(record + 4, half->low[k]);
        }
    }
    return block;
}

}  // namespace ostrel::testing
