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

/* Library-internal (not exported): reads and throws away whatever is already
 * pending on the entry's connection, without waiting, so that a late answer is
 * never taken for the next request's. Traces one line with the count when
 * anything was discarded. Returns the number of bytes discarded. */
int dm_sock_discard_pending(DM_SERVER dm_server);

QZ_END_C

#endif
