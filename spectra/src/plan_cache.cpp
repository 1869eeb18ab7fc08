#include "plan_cache.h"

#include <map>
#include <mutex>

namespace ostrel::spectra {
namespace {

#if defined(__clang__)
#define OSTREL_SPECTRA_TSA(x) __attribute__((x))
#else
#define OSTREL_SPECTRA_TSA(x)
#endif

// std::mutex with the annotations clang's thread-safety analysis needs to check the cache.
class OSTREL_SPECTRA_TSA(capability("mutex")) PlannerLock {
  public:
    void lock() OSTREL_SPECTRA_TSA(acquire_capability()) { mutex_.lock(); }
    void unlock() OSTREL_SPECTRA_TSA(release_capability()) { mutex_.unlock(); }

  private:
    std::mutex mutex_;
};

class OSTREL_SPECTRA_TSA(scoped_lockable) PlannerGuard {
  public:
    explicit PlannerGuard(PlannerLock& lock) OSTREL_SPECTRA_TSA(acquire_capability(lock))
        : lock_(lock) {
        lock_.lock();
    }
    ~PlannerGuard() OSTREL_SPECTRA_TSA(release_capability()) { lock_.unlock(); }
    PlannerGuard(const PlannerGuard&) = delete;
    PlannerGuard& operator=(const PlannerGuard&) = delete;

  private:
    PlannerLock& lock_;
};

PlannerLock plannerLock;
// Never destroyed: a plan may still be executed by a thread that outlives static destruction.
std::map<size_t, fftw_plan>* const plans OSTREL_SPECTRA_TSA(pt_guarded_by(plannerLock)) =
    new std::map<size_t, fftw_plan>;

}  // namespace

fftw_plan realToComplexPlan(size_t length) {
    PlannerGuard guard(plannerLock);
    const auto found = plans->find(length);
    if (found != plans->end()) {
        return found->second;
    }
    // FFTW_ESTIMATE plans without trial transforms, so planning costs microseconds and does not
    // touch the arrays; the arrays only fix the alignment the plan expects.
    double* input = fftw_alloc_real(length);
    fftw_complex* output = fftw_alloc_complex(length / 2 + 1);
    const fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), input, output,
                                                FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    fftw_free(input);
    fftw_free(output);
    plans->emplace(length, plan);
    return plan;
}

}  // namespace ostrel::spectra
