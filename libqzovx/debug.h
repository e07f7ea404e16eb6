/* Diagnostics: standard output, the trace file and the debug socket. */
#ifndef QZOVX_DEBUG_H
#define QZOVX_DEBUG_H

#include <stddef.h>

#include "platdefs.h"

QZ_BEGIN_C

/* A code and its name; tables end with an entry whose display is NULL. */
typedef struct _cv {
    DWORD value;
    char *display;
} cv;

QZ_EXPORT extern int enable_debug;
QZ_EXPORT extern int debug_window;
QZ_EXPORT extern char DEBUG_SERVER_NAME[100];
QZ_EXPORT extern SOCKET debug_socket;
QZ_EXPORT extern char trace_file_name[255];
QZ_EXPORT extern int trace_fhdl;
QZ_EXPORT extern char output[4096];
QZ_EXPORT extern char cv_buf[20];

/* All of these may be called from several threads at once; one message is
 * formatted and written whole before another starts. */
QZ_EXPORT int ovx_dprintf(const char *format, ...) QZ_PRINTF(1, 2);
QZ_EXPORT int debug_printf(const char *format, ...) QZ_PRINTF(1, 2);
QZ_EXPORT int _dprintf(const char *format, ...) QZ_PRINTF(1, 2);
QZ_EXPORT int _dprint(const char *debug_msg, int buff_len);
QZ_EXPORT int debug_init(void);
QZ_EXPORT int debug_sock_open(void);
QZ_EXPORT int debug_sock_send(const char *debug_msg, int buff_len);
QZ_EXPORT int debug_sock_cleanup(void);
QZ_EXPORT int debug_cleanup(void);
QZ_EXPORT char *cv_display(cv *cv_ptr, DWORD value);

/* Library-internal (not exported): opens the debug socket when the debug
 * listener is in use and no connection is open, checking under the output
 * lock so two threads never both open one. */
void debug_sock_open_if_closed(void);

/* Library-internal: whether ovx_dprintf's text can reach anyone (debug
 * output on, and standard output not /dev/null, or a trace file, or the
 * debug listener); callers skip building text nobody would see. */
int ovx_dprint_wanted(void);

/* Library-internal: ovx_dprintf of a text that is already formatted. */
void ovx_dprint_text(const char *text, size_t length);

QZ_END_C

#endif
