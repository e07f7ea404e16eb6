/* The TCP connection to the decision manager (DM). */
#ifndef QZOVX_DM_SOCK_H
#define QZOVX_DM_SOCK_H

#include "platdefs.h"

QZ_BEGIN_C

typedef struct _DM_SERVER_INFO {
    char location[32];
    char dm_server_name[64];
    SOCKET dm_sock;
} DM_SERVER_INFO;

typedef DM_SERVER_INFO *DM_SERVER;

#define DM_MAX_SERVERS 128

QZ_EXPORT extern DM_SERVER_INFO dm_server[DM_MAX_SERVERS];
QZ_EXPORT extern int dm_servers;
QZ_EXPORT extern char dm_output[4096];

QZ_EXPORT int dm_init(void);
QZ_EXPORT SOCKET dm_sock_open(DM_SERVER dm_server);
QZ_EXPORT int dm_sock_send(DM_SERVER dm_server, const char *dm_msg, int buff_len);
QZ_EXPORT int dm_printf(DM_SERVER dm_server, const char *format, ...) QZ_PRINTF(2, 3);
QZ_EXPORT int dm_sock_recv(DM_SERVER dm_server, char *dm_msg, int buff_len);
QZ_EXPORT int dm_sock_cleanup(DM_SERVER dm_server);
QZ_EXPORT int dm_cleanup(void);
QZ_EXPORT DM_SERVER dm_find_server(char *sw_ip, int port);
QZ_EXPORT void sig_pipe(int signum);

/* Library-internal (not exported). */

/* Milliseconds on the monotonic clock; deadlines are counted on it so a step
 * of the wall clock cannot stretch or cut a wait. */
long long dm_now_ms(void);

/* How long connecting and sending may take: the configured socket timeout
 * (dm_socket_timeout, seconds), one second when it is not positive. */
int dm_io_timeout_ms(void);

/* How long an answer may take: dm_response_timeout seconds, 15 when it is
 * not positive. */
int dm_response_timeout_ms(void);

/* Whether a connected socket's local and peer addresses are the same: TCP's
 * simultaneous open can connect a socket to itself when no DM listens on a
 * port inside the ephemeral range. */
int dm_sock_is_self_connected(SOCKET sock);

/* Reads from the entry's connection until what was read ends with a line
 * feed, the buffer (cap bytes, one kept for the NUL) is full, or the
 * deadline (dm_now_ms) passes. Returns the number of bytes read, NUL-
 * terminated; -1 when no complete text arrived: a timeout, an error, a close
 * by the DM (also in the middle of a line) or a line too long for the buffer.
 * On -1 the connection is dropped, so the rest of a cut line can never be
 * read as the start of another answer. */
int dm_sock_recv_text(DM_SERVER dm_server, char *buffer, int cap, long long deadline_ms);

/* Reads and throws away whatever is already pending on the entry's
 * connection, without waiting: nobody is waiting for it, so it is a late,
 * duplicated or unasked answer. Traces one line with the count when anything
 * was discarded. The connection is dropped when the DM has closed it or when
 * the discarded text ends in the middle of a line (its tail would otherwise
 * be read as the start of the next answer). Returns the bytes discarded. */
int dm_sock_discard_pending(DM_SERVER dm_server);

QZ_END_C

#endif
