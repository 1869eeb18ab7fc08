// How long this machine holds a thread off its processor when nothing in the system should: one
// thread per usable processor, each kept on its own at the fetch's real-time priority, reads the
// monotonic clock in a tight loop and counts the gaps between two readings. On a quiet machine
// only interrupts interrupt it (microseconds); a gap of milliseconds means the processor itself
// was not running, as when a virtual machine's host runs something else on it. A fetch held off
// longer than one file's time (4.5 ms at the link's rate with 32768 points) loses that file,
// whatever its priority, unless another processor fetches it.
//
// Not a Google Benchmark: what it measures is the machine, not this project's code.
//   ostrel_bench_held_off [seconds]   (default 30; the right to real-time priority is needed)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace platform = ostrel::session::platform;

// Gap bounds in ms: 0.5-1, 1-2, 2-4, 4.5 (a file's time)-8, 8-16, over 16; 4-4.5 in the third.
constexpr std::array<double, 6> kBounds{0.5, 1.0, 2.0, 4.5, 8.0, 16.0};

struct Held {
    int processor = -1;
    bool realTime = false;
    double spunSeconds = 0.0;
    std::array<int, kBounds.size()> gaps{};
    double longestMs = 0.0;
};

void spin(double seconds, Held* held) {
    held->realTime = platform::askForPromptWakeups() == platform::WakeupPriority::RealTime &&
                     platform::keepThisThreadOn({held->processor});
    // Rounds of 400 ms with 100 ms of sleep: a real-time thread that never sleeps is stopped by
    // the kernel's real-time throttling (50 ms in every second by default), which is not what is
    // measured here.
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        const Clock::time_point start = Clock::now();
        Clock::time_point last = start;
        while (last - start < std::chrono::milliseconds(400)) {
            const Clock::time_point now = Clock::now();
            const double gapMs = std::chrono::duration<double, std::milli>(now - last).count();
            for (size_t k = kBounds.size(); k-- > 0;) {
                if (gapMs >= kBounds[k]) {
                    ++held->gaps[k];
                    break;
                }
            }
            held->longestMs = std::max(held->longestMs, gapMs);
            last = now;
        }
        held->spunSeconds += std::chrono::duration<double>(last - start).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    if (seconds <= 0.0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
    const std::vector<int> processors = platform::processorsOfThisThread();
    std::vector<Held> held(processors.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < processors.size(); ++k) {
        held[k].processor = processors[k];
        threads.emplace_back(spin, seconds, &held[k]);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::printf(
        "| processor | real-time | spun s | 0.5-1 ms | 1-2 | 2-4.5 | 4.5-8 | 8-16 | >16 | "
        "longest ms | over 4.5 ms per minute |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    int status = 0;
    for (const Held& one : held) {
        const int overFileTime = one.gaps[3] + one.gaps[4] + one.gaps[5];
        std::printf("| %d | %s | %.1f | %d | %d | %d | %d | %d | %d | %.2f | %.1f |\n",
                    one.processor, one.realTime ? "yes" : "no", one.spunSeconds, one.gaps[0],
                    one.gaps[1], one.gaps[2], one.gaps[3], one.gaps[4], one.gaps[5], one.longestMs,
                    one.spunSeconds > 0.0 ? overFileTime * 60.0 / one.spunSeconds : 0.0);
        status = one.realTime ? status : 1;
    }
    if (status != 0) {
        std::fprintf(stderr, "without real-time priority the gaps include other threads' turns\n");
    }
    return status;
}
