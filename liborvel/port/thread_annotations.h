// thread_annotations.h: clang's thread-safety attributes, so that the
// compiler checks the locking rules written beside the members they guard.
// Other compilers see nothing.
#ifndef ORVEL_LIBORVEL_PORT_THREAD_ANNOTATIONS_H_
#define ORVEL_LIBORVEL_PORT_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define ORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORVEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORVEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORVEL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ORVEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ORVEL_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS ORVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // ORVEL_LIBORVEL_PORT_THREAD_ANNOTATIONS_H_
