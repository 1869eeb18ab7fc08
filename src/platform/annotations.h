// Clang thread-safety annotations; empty on other compilers.
#pragma once

#if defined(__clang__)
#define OSTREL_TSA(x) __attribute__((x))
#else
#define OSTREL_TSA(x)
#endif

#define OSTREL_CAPABILITY(x) OSTREL_TSA(capability(x))
#define OSTREL_SCOPED_CAPABILITY OSTREL_TSA(scoped_lockable)
#define OSTREL_GUARDED_BY(x) OSTREL_TSA(guarded_by(x))
#define OSTREL_REQUIRES(...) OSTREL_TSA(requires_capability(__VA_ARGS__))
#define OSTREL_ACQUIRE(...) OSTREL_TSA(acquire_capability(__VA_ARGS__))
#define OSTREL_RELEASE(...) OSTREL_TSA(release_capability(__VA_ARGS__))
#define OSTREL_EXCLUDES(...) OSTREL_TSA(locks_excluded(__VA_ARGS__))
#define OSTREL_REQUIRES_SHARED(...) OSTREL_TSA(requires_shared_capability(__VA_ARGS__))
#define OSTREL_ACQUIRE_SHARED(...) OSTREL_TSA(acquire_shared_capability(__VA_ARGS__))
#define OSTREL_RELEASE_SHARED(...) OSTREL_TSA(release_shared_capability(__VA_ARGS__))
