/* The FreeRADIUS 1.0-series module interface, as far as this module uses it.
 * Same layout as the release server's own declarations (built with NDEBUG, so
 * REQUEST has no leading magic), with member names that also compile as C++.
 * The functions are defined by the server and resolved when it loads us. */
#ifndef QZOVX_FREERADIUS10_H
#define QZOVX_FREERADIUS10_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_STRING_LEN 254

/* ---- Operators ---- */
typedef enum lrad_token {
    T_OP_INVALID = 0,
    T_OP_ADD = 8, /* += */
    T_OP_SUB = 9, /* -= */
    T_OP_SET = 10, /* := */
    T_OP_EQ = 11, /* = */
    T_OP_NE = 12 /* != */
} LRAD_TOKEN;

/* ---- Attribute and configuration value types ---- */
#define PW_TYPE_STRING 0
#define PW_TYPE_INTEGER 1
#define PW_TYPE_IPADDR 2
#define PW_TYPE_DATE 3
#define PW_TYPE_OCTETS 5
#define PW_TYPE_STRING_PTR 100
#define PW_TYPE_BOOLEAN 101

/* ---- Module return codes ---- */
#define RLM_MODULE_REJECT 0
#define RLM_MODULE_FAIL 1
#define RLM_MODULE_OK 2
#define RLM_MODULE_HANDLED 3
#define RLM_MODULE_INVALID 4
#define RLM_MODULE_USERLOCK 5
#define RLM_MODULE_NOTFOUND 6
#define RLM_MODULE_NOOP 7
#define RLM_MODULE_UPDATED 8

#define RLM_TYPE_THREAD_UNSAFE 1

/* ---- Method slots of module_t ---- */
#define RLM_COMPONENT_AUTH 0
#define RLM_COMPONENT_AUTZ 1
#define RLM_COMPONENT_PREACCT 2
#define RLM_COMPONENT_ACCT 3
#define RLM_COMPONENT_SESS 4
#define RLM_COMPONENT_PRE_PROXY 5
#define RLM_COMPONENT_POST_PROXY 6
#define RLM_COMPONENT_POST_AUTH 7
#define RLM_COMPONENT_COUNT 8

typedef struct attr_flags {
    char addport;
    char has_tag;
    signed char tag;
    uint8_t encrypt;
    signed char len_disp;
    char do_xlat;
} ATTR_FLAGS;

typedef struct value_pair {
    char name[40];
    int attribute; /* vendor << 16 | attribute number */
    int type;
    int length;
    uint32_t lvalue;
    LRAD_TOKEN op; /* "operator" in the server's own declaration */
    uint8_t strvalue[MAX_STRING_LEN];
    ATTR_FLAGS flags;
    struct value_pair *next;
} VALUE_PAIR;

typedef struct radius_packet {
    int sockfd;
    uint32_t src_ipaddr;
    uint32_t dst_ipaddr;
    unsigned short src_port;
    unsigned short dst_port;
    int id;
    unsigned int code;
    uint8_t vector[16];
    time_t timestamp;
    int verified;
    uint8_t *data;
    int data_len;
    VALUE_PAIR *vps;
} RADIUS_PACKET;

typedef struct request_data_t request_data_t; /* opaque */

typedef struct auth_req {
    RADIUS_PACKET *packet;
    RADIUS_PACKET *proxy;
    RADIUS_PACKET *reply;
    RADIUS_PACKET *proxy_reply;
    VALUE_PAIR *config_items;
    VALUE_PAIR *username;
    VALUE_PAIR *password;
    request_data_t *data;
    char secret[32];
    pthread_t child_pid;
    time_t timestamp;
    int number;
    char proxysecret[32];
    int proxy_try_count;
    int proxy_outstanding;
    time_t proxy_next_try;
    int simul_max;
    int simul_count;
    int simul_mpp;
    int finished;
    int options;
    void *container;
} REQUEST;

typedef struct conf_section CONF_SECTION; /* opaque */

typedef struct CONF_PARSER {
    const char *name;
    int type;
    size_t offset;
    void *data;
    const char *dflt;
} CONF_PARSER;

typedef struct dict_attr {
    char name[40];
    int attr; /* vendor << 16 | attribute number */
    int type;
    int vendor; /* not reliable: take the vendor from attr's upper 16 bits */
    ATTR_FLAGS flags;
} DICT_ATTR;

typedef int (*packetmethod)(void *instance, REQUEST *request);

typedef struct module_t {
    const char *name;
    int type;
    int (*init)(void);
    int (*instantiate)(CONF_SECTION *mod_cs, void **instance);
    packetmethod methods[RLM_COMPONENT_COUNT];
    int (*detach)(void *instance);
    int (*destroy)(void);
} module_t;

/* ---- Provided by the server ---- */
extern int debug_flag; /* -X sets 2 */
int log_debug(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void *rad_malloc(size_t size); /* exits the server on failure */
/* Negative on failure. Frees a string pointer already in a target field
 * before storing a new one, so the record must be zeroed first. */
int cf_section_parse(CONF_SECTION *cs, void *base, const CONF_PARSER *variables);
VALUE_PAIR *pairfind(VALUE_PAIR *list, int attr);
/* Null when the name is unknown or the value does not parse. Writes into
 * attr when the name carries a ":tag", so never hand it constant text. */
VALUE_PAIR *pairmake(const char *attr, const char *value, int op);
void pairadd(VALUE_PAIR **list, VALUE_PAIR *vp);
DICT_ATTR *dict_attrbyname(const char *name); /* case-insensitive */

#ifdef __cplusplus
}
#endif

/* ---- Layout checks against the server's build ---- */
#ifdef __cplusplus
#define QZ_FR10_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QZ_FR10_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

QZ_FR10_ASSERT(sizeof(ATTR_FLAGS) == 6, "ATTR_FLAGS size");
QZ_FR10_ASSERT(sizeof(LRAD_TOKEN) == sizeof(int), "LRAD_TOKEN is int-sized");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, attribute) == 40, "VALUE_PAIR.attribute");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, lvalue) == 52, "VALUE_PAIR.lvalue");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, op) == 56, "VALUE_PAIR.operator");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, strvalue) == 60, "VALUE_PAIR.strvalue");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, flags) == 314, "VALUE_PAIR.flags");
QZ_FR10_ASSERT(offsetof(VALUE_PAIR, next) == 320, "VALUE_PAIR.next");
QZ_FR10_ASSERT(offsetof(RADIUS_PACKET, id) == 16, "RADIUS_PACKET.id");
QZ_FR10_ASSERT(offsetof(RADIUS_PACKET, code) == 20, "RADIUS_PACKET.code");
QZ_FR10_ASSERT(sizeof(DICT_ATTR) == 60, "DICT_ATTR size");
QZ_FR10_ASSERT(offsetof(DICT_ATTR, attr) == 40, "DICT_ATTR.attr");

#if defined(__x86_64__)
QZ_FR10_ASSERT(sizeof(VALUE_PAIR) == 328, "VALUE_PAIR size");
QZ_FR10_ASSERT(offsetof(RADIUS_PACKET, vps) == 72, "RADIUS_PACKET.vps");
QZ_FR10_ASSERT(sizeof(REQUEST) == 200, "REQUEST size");
QZ_FR10_ASSERT(sizeof(module_t) == 112, "module_t size");
QZ_FR10_ASSERT(offsetof(module_t, methods) == 32, "module_t.methods");
QZ_FR10_ASSERT(sizeof(CONF_PARSER) == 40, "CONF_PARSER size");
#elif defined(__i386__)
QZ_FR10_ASSERT(sizeof(time_t) == 4, "the 1.0 server's i386 build has a 32-bit time_t");
QZ_FR10_ASSERT(sizeof(VALUE_PAIR) == 324, "VALUE_PAIR size");
QZ_FR10_ASSERT(offsetof(RADIUS_PACKET, vps) == 56, "RADIUS_PACKET.vps");
QZ_FR10_ASSERT(sizeof(REQUEST) == 144, "REQUEST size");
QZ_FR10_ASSERT(sizeof(module_t) == 56, "module_t size");
QZ_FR10_ASSERT(offsetof(module_t, methods) == 16, "module_t.methods");
QZ_FR10_ASSERT(sizeof(CONF_PARSER) == 20, "CONF_PARSER size");
#else
#error "the 1.0-series layout is known for x86_64 and i386 only"
#endif

#undef QZ_FR10_ASSERT

#endif
