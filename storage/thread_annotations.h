// thread_annotations.h -- clang's thread-safety attributes, so that the
// compiler proves which lock guards what (-Wthread-safety). Other compilers
// see nothing.
#pragma once

#if defined(__clang__)
#define ONDRIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ONDRIX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ONDRIX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ONDRIX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ONDRIX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ONDRIX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ONDRIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ONDRIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ONDRIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ONDRIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ONDRIX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ONDRIX_THREAD_ANNOTATION(no_thread_safety_analysis)
