/* What lets the public headers be read alike by a C11 and a C++ compiler:
 * the layout checks and the C++ promise that no call throws. */
#ifndef QLX_PORTABLE_H
#define QLX_PORTABLE_H

#ifdef __cplusplus
#define QLX_LAYOUT(condition) static_assert(condition, #condition)
#define QLX_NOEXCEPT          noexcept
#else
#define QLX_LAYOUT(condition) _Static_assert(condition, #condition)
#define QLX_NOEXCEPT
#endif

#endif
