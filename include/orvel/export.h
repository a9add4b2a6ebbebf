/* export.h: ORVEL_EXPORT marks the library's public API.
 *
 * liborvel is built with hidden visibility, so only what carries this mark
 * is exported from the shared library; everything else stays internal and
 * may change without notice.  Applications never need to define anything. */
#ifndef ORVEL_INCLUDE_EXPORT_H_
#define ORVEL_INCLUDE_EXPORT_H_

#if defined(__GNUC__) || defined(__clang__)
#define ORVEL_EXPORT __attribute__((visibility("default")))
#else
#define ORVEL_EXPORT
#endif

#endif /* ORVEL_INCLUDE_EXPORT_H_ */
