/* Platform types shared by the library and the module. */
#ifndef QZOVX_PLATDEFS_H
#define QZOVX_PLATDEFS_H

typedef int SOCKET;          /* a socket descriptor; -1 means none */
typedef signed char DWORD;   /* one signed byte in this library */
typedef int BOOLEAN;
typedef char CHAR;
typedef long LONG;

#define INVALID_SOCKET (-1)

/* Marks a name that is part of the library's exported interface; every
 * other name stays hidden (the library is built with -fvisibility=hidden). */
#define QZ_EXPORT __attribute__((visibility("default")))

#if defined(__GNUC__)
#define QZ_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QZ_PRINTF(fmt_index, first_arg)
#endif

#ifdef __cplusplus
#define QZ_BEGIN_C extern "C" {
#define QZ_END_C }
#else
#define QZ_BEGIN_C
#define QZ_END_C
#endif

#endif
