/*
 * le_core: streaming audio-to-expression family (le_a2x_).
 *
 * Usage:
 *
 *   const char* why = le_a2x_last_error();   // after a failed le_a2x_ call
 *
 * Follows the conventions of le/le.h with the family text le_a2x_: one
 * last-error text per thread, cleared on entry by every call that can fail,
 * "function: reason" on failure.
 *
 * Thread safety: le_a2x_last_error may be called from any thread; it reads
 * the calling thread's own text.
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include <stddef.h>

#if defined(__GNUC__)
#define LE_A2X_API __attribute__((visibility("default")))
#else
#define LE_A2X_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's le_a2x_ last-error text: never NULL, empty after a
 * successful le_a2x_ call. */
LE_A2X_API const char* le_a2x_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
