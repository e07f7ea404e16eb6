/* rlm_qzovx for FreeRADIUS 3.2: the module record, its configuration table
 * and instantiate/detach glue, and the server functions of server.h over the
 * 3.2 API. The module logic itself lives in the shared module code
 * (module.h); this file only translates.
 *
 * C only: the server's headers use C++ keywords as identifiers. */
#include <freeradius-devel/radiusd.h>
#include <freeradius-devel/modules.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "module.h"
#include "server.h"
#include "qz_text.h"

/* The server's request behind the opaque handle of server.h. */
static REQUEST *to_server(const qz_request *request)
{
    return (REQUEST *)(uintptr_t)request;
}

static VALUE_PAIR *to_pair(const qz_pair *pair)
{
    return (VALUE_PAIR *)(uintptr_t)pair;
}

/* ---- server.h over 3.2 ---- */

int srv_request_code(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return (r && r->packet) ? (int)r->packet->code : 0;
}

int srv_request_id(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return (r && r->packet) ? r->packet->id : 0;
}

int srv_has_reply(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return r && r->reply;
}

int srv_reply_code(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return (r && r->reply) ? (int)r->reply->code : 0;
}

void srv_set_reply_code(qz_request *request, int code)
{
    REQUEST *r = to_server(request);
    if (r && r->reply) r->reply->code = (unsigned int)code;
}

const qz_pair *srv_username(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return r ? (const qz_pair *)r->username : NULL;
}

int srv_is_proxying(const qz_request *request)
{
#ifdef WITH_PROXY
    REQUEST *r = to_server(request);
    return r && r->proxy;
#else
    (void)request;
    return 0;
#endif
}

static VALUE_PAIR *list_head(const qz_request *request, enum srv_list list)
{
    REQUEST *r = to_server(request);
    if (!r) return NULL;
    if (list == SRV_REQUEST_LIST) return r->packet ? r->packet->vps : NULL;
    if (list == SRV_REPLY_LIST) return r->reply ? r->reply->vps : NULL;
    return NULL;
}

int srv_list_has_attributes(const qz_request *request, enum srv_list list, int *why)
{
    REQUEST *r = to_server(request);
    if (why) *why = 0;
    if (list == SRV_REPLY_LIST) {
        if (!r || !r->reply) {
            if (why) *why = 1;
            return 0;
        }
        if (!r->reply->vps) {
            if (why) *why = 2;
            return 0;
        }
        return 1;
    }
    return list_head(request, list) != NULL;
}

/* After the reject result of post-auth, 3.2 sets Access-Reject and runs
 * Post-Auth-Type REJECT itself (rad_postauth), as long as the reply is not a
 * Reject already. */
int srv_server_rejects(void)
{
    return 1;
}

/* The mark is request data under the instance and this tag; its value only
 * has to be non-null, and is never freed. */
#define QZ_MARK_ASKED 0x717a6f76 /* "qzov" */
static char asked_marker;

void srv_mark_request(qz_request *request, const void *owner)
{
    REQUEST *r = to_server(request);
    if (r) request_data_add(r, (void *)(uintptr_t)owner, QZ_MARK_ASKED, &asked_marker, false);
}

int srv_request_marked(const qz_request *request, const void *owner)
{
    REQUEST *r = to_server(request);
    return r && request_data_reference(r, (void *)(uintptr_t)owner, QZ_MARK_ASKED) != NULL;
}

/* The mark of a tunnel's outer session: qz-tunnel-decided (dictionary.qzovx)
 * in the outer request's session-state list, holding the request id its inner
 * request was decided for. The server saves that list with the session when
 * it sends a challenge, gives it back to the next request of the same session
 * (State attribute) and drops it when the session ends. A local attribute
 * (vendor 0, above 255): the default post-auth copies the session state into
 * the reply, and the server never puts such an attribute into a packet. */
#define QZ_LOCAL_VENDOR 0
#define QZ_TUNNEL_DECIDED 3473

void srv_mark_outer_session(qz_request *request, const char *reqid)
{
    REQUEST *r = to_server(request);
    REQUEST *outer;
    VALUE_PAIR *vp;

    if (!r || !r->parent || !reqid) return;
    for (outer = r->parent; outer->parent; outer = outer->parent) {}
    if (srv_outer_session_marked((const qz_request *)outer, reqid) == 1) return;

    vp = fr_pair_afrom_num(outer->state_ctx, QZ_TUNNEL_DECIDED, QZ_LOCAL_VENDOR);
    if (!vp) {
        /* A configuration fault: said once, in the server's log, not only in
         * debug output. */
        static int warned;
        if (!__atomic_exchange_n(&warned, 1, __ATOMIC_RELAXED))
            WARN("rlm_qzovx: qz-tunnel-decided is not in the server's dictionary (include "
                 "dictionary.qzovx): the outer requests of PEAP and TTLS tunnels are decided as well");
        return;
    }
    fr_pair_value_bstrncpy(vp, reqid, strlen(reqid));
    fr_pair_add(&outer->state, vp);
}

int srv_outer_session_marked(const qz_request *request, const char *reqid)
{
    REQUEST *r = to_server(request);
    vp_cursor_t cursor;
    VALUE_PAIR *vp;
    size_t length;

    if (!r || !reqid) return 0;
    length = strlen(reqid);
    for (vp = fr_cursor_init(&cursor, &r->state); vp; vp = fr_cursor_next(&cursor)) {
        if (vp->da->vendor != QZ_LOCAL_VENDOR || vp->da->attr != QZ_TUNNEL_DECIDED) continue;
        if (vp->vp_length == length && vp->vp_strvalue && memcmp(vp->vp_strvalue, reqid, length) == 0)
            return 1;
    }
    return 0;
}

const qz_pair *srv_find(const qz_request *request, enum srv_list list,
                        unsigned vendor, unsigned attribute)
{
    VALUE_PAIR *head = list_head(request, list);
    if (!head) return NULL;
    return (const qz_pair *)fr_pair_find_by_num(head, attribute, vendor, TAG_ANY);
}

const char *srv_pair_text(qz_request *request, const qz_pair *pair)
{
    VALUE_PAIR *vp = to_pair(pair);
    REQUEST *r = to_server(request);
    char *printed;

    if (!vp) return "";
    if (vp->da->type == PW_TYPE_STRING) return vp->vp_strvalue ? vp->vp_strvalue : "";
    if (!r) return "";
    /* Other types are printed the way the server prints them; the text
     * belongs to the request, so it lives exactly as long. */
    printed = vp_aprints_value(r, vp, '\0');
    return printed ? printed : "";
}

uint32_t srv_pair_integer(const qz_pair *pair)
{
    VALUE_PAIR *vp = to_pair(pair);
    if (!vp) return 0;
    switch (vp->da->type) {
    case PW_TYPE_INTEGER:
    case PW_TYPE_DATE:
        return vp->vp_integer;
    case PW_TYPE_SIGNED:
        return (uint32_t)vp->vp_signed;
    case PW_TYPE_SHORT:
        return vp->vp_short;
    case PW_TYPE_BYTE:
        return vp->vp_byte;
    case PW_TYPE_INTEGER64:
        return (uint32_t)vp->vp_integer64;
    case PW_TYPE_IPV4_ADDR:
        return ntohl(vp->vp_ipaddr);
    default:
        return 0;
    }
}

const uint8_t *srv_pair_octets(const qz_pair *pair, size_t *length)
{
    VALUE_PAIR *vp = to_pair(pair);
    if (length) *length = 0;
    if (!vp || vp->da->type != PW_TYPE_OCTETS || !vp->vp_octets) return NULL;
    if (length) *length = vp->vp_length;
    return vp->vp_octets;
}

int srv_pair_set_octets(qz_request *request, const qz_pair *pair, const uint8_t *data, size_t length)
{
    VALUE_PAIR *vp = to_pair(pair);
    (void)request;
    if (!vp || vp->da->type != PW_TYPE_OCTETS || !data) return -1;
    fr_pair_value_memcpy(vp, data, length);
    return 0;
}

int srv_dict_lookup(const char *name, unsigned *vendor, unsigned *attribute)
{
    DICT_ATTR const *da;
    if (!name || !*name) return -1;
    da = dict_attrbyname(name);
    if (!da) return -1;
    if (vendor) *vendor = da->vendor;
    if (attribute) *attribute = da->attr;
    return 0;
}

int srv_reply_add(qz_request *request, const char *name, const char *value, enum srv_op op)
{
    REQUEST *r = to_server(request);
    DICT_ATTR const *da;
    VALUE_PAIR *vp;
    FR_TOKEN token;

    if (!r || !r->reply || !name || !value) return -1;
    da = dict_attrbyname(name);
    if (!da) return -1;
    switch (op) {
    case SRV_OP_EQ:
        token = T_OP_EQ;
        break;
    case SRV_OP_ADD:
        token = T_OP_ADD;
        break;
    default:
        token = T_INVALID; /* the server's default operator for a new attribute */
        break;
    }
    /* Made the way fr_pair_make makes it (operator, no tag), but a text
     * value is taken as it is: fr_pair_make would read it as a quoted string
     * and turn backslash sequences into other characters, and a leading
     * ":n:" into a tag. Other types are parsed from their text. */
    vp = fr_pair_afrom_da(r->reply, da);
    if (!vp) return -1;
    vp->op = (token == T_INVALID) ? T_OP_EQ : token;
    vp->tag = TAG_ANY;
    if (da->type == PW_TYPE_STRING) {
        fr_pair_value_bstrncpy(vp, value, strlen(value));
        if (!vp->vp_strvalue) {
            talloc_free(vp);
            return -1;
        }
    } else if (fr_pair_value_from_str(vp, value, strlen(value)) < 0) {
        talloc_free(vp);
        return -1;
    }
    fr_pair_add(&r->reply->vps, vp);
    return 0;
}

int srv_debug_level(const qz_request *request)
{
    REQUEST *r = to_server(request);
    return r ? (int)r->log.lvl : (int)rad_debug_lvl;
}

void srv_log(const qz_request *request, const char *format, ...)
{
    REQUEST *r = to_server(request);
    char line[1024];
    va_list ap;

    va_start(ap, format);
    vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);

    /* The module gates its messages by srv_debug_level already; the lowest
     * debug level lets them through whenever the server prints debug output. */
    if (r) {
        radlog_request(L_DBG, L_DBG_LVL_1, r, "%s", line);
    } else if (rad_debug_lvl) {
        radlog(L_DBG, "%s", line);
    }
}

/* ---- The vendor dictionary ---- */

/* The attributes the module writes (vendor qz and a name for one
 * Termination-Action value) come from dictionary.qzovx, which the package
 * installs beside the server's own dictionaries. The module reads it itself
 * when it starts, the way the server loads dictionary.dhcp for a DHCP site,
 * so enabling the module needs no edit of the server's dictionary file and
 * removing it leaves no $INCLUDE of a missing file behind. A dictionary that
 * already defines the vendor (an operator's own $INCLUDE) is left as it is. */
#define QZ_DICTIONARY "dictionary.qzovx"
#define QZ_VENDOR_NAME "qz"
#define QZ_VENDOR_NUMBER 32473

static int load_dictionary(CONF_SECTION *conf)
{
    char const *dir = main_config.dictionary_dir ? main_config.dictionary_dir : "";
    int vendor = dict_vendorbyname(QZ_VENDOR_NAME);

    if (vendor == QZ_VENDOR_NUMBER) return 0;
    if (vendor != 0) {
        cf_log_err_cs(conf, "rlm_qzovx: the dictionaries already define vendor \"%s\" as %d, not %d",
                      QZ_VENDOR_NAME, vendor, QZ_VENDOR_NUMBER);
        return -1;
    }
    cf_log_module(conf, "Loading %s/%s", dir, QZ_DICTIONARY);
    switch (dict_read(dir, QZ_DICTIONARY)) {
    case 0:
        break;
    case -2:
        cf_log_err_cs(conf, "rlm_qzovx: %s is not in the server's dictionary folder %s: "
                      "install it there, or $INCLUDE it from the configuration folder's "
                      "dictionary file", QZ_DICTIONARY, dir);
        return -1;
    default:
        cf_log_err_cs(conf, "rlm_qzovx: reading %s/%s failed: %s", dir, QZ_DICTIONARY, fr_strerror());
        return -1;
    }
    if (dict_vendorbyname(QZ_VENDOR_NAME) != QZ_VENDOR_NUMBER) {
        cf_log_err_cs(conf, "rlm_qzovx: %s/%s does not define vendor \"%s\" (%d)", dir,
                      QZ_DICTIONARY, QZ_VENDOR_NAME, QZ_VENDOR_NUMBER);
        return -1;
    }
    return 0;
}

/* ---- The module record ---- */

/* The shared module code answers with the server's own codes. */
_Static_assert(QZ_RLM_REJECT == RLM_MODULE_REJECT && QZ_RLM_FAIL == RLM_MODULE_FAIL && QZ_RLM_OK == RLM_MODULE_OK &&
               QZ_RLM_NOOP == RLM_MODULE_NOOP && QZ_RLM_UPDATED == RLM_MODULE_UPDATED,
               "module return codes differ from the server's");

/* The server parses the configuration into its own types, so the instance it
 * allocates holds those, plus the shared module's instance record. */
typedef struct qz_fr32_instance {
    bool boolean;
    uint32_t value;
    char const *string;
    fr_ipaddr_t ipaddr;
    uint32_t max_sessions;
    uint32_t dm_connections;
    rlm_qzovx_t *core;
} qz_fr32_instance;

static const CONF_PARSER module_config[] = {
    { "integer", FR_CONF_OFFSET(PW_TYPE_INTEGER, qz_fr32_instance, value), "1" },
    { "boolean", FR_CONF_OFFSET(PW_TYPE_BOOLEAN, qz_fr32_instance, boolean), "no" },
    { "string", FR_CONF_OFFSET(PW_TYPE_STRING, qz_fr32_instance, string), NULL },
    { "ipaddr", FR_CONF_OFFSET(PW_TYPE_IPV4_ADDR, qz_fr32_instance, ipaddr), "*" },
    /* Most sessions the module remembers; the least recently authorized
     * gives way to a new one. */
    { "max_sessions", FR_CONF_OFFSET(PW_TYPE_INTEGER, qz_fr32_instance, max_sessions), "1000000" },
    /* Threads that may talk to the DM at once, each on a connection of its
     * own; 1 keeps all traffic on one connection, one exchange at a time. */
    { "dm_connections", FR_CONF_OFFSET(PW_TYPE_INTEGER, qz_fr32_instance, dm_connections), "8" },
    CONF_PARSER_TERMINATOR
};

static int mod_bootstrap(CONF_SECTION *conf, void *instance)
{
    (void)instance;
    if (load_dictionary(conf) < 0) return -1;
    return qz_module_init();
}

static int mod_instantiate(CONF_SECTION *conf, void *instance)
{
    qz_fr32_instance *inst = instance;
    rlm_qzovx_t *core;

    if (srv_debug_level(NULL) > 1) srv_log(NULL, "    rlm_qzovx: instansiate called");
    if (inst->core) return 0;
    if (inst->max_sessions < 1) {
        cf_log_err_cs(conf, "max_sessions must be at least 1");
        return -1;
    }
    if (inst->dm_connections < 1 || inst->dm_connections > QZ_MAX_DM_CONNECTIONS) {
        cf_log_err_cs(conf, "dm_connections must be between 1 and %u", QZ_MAX_DM_CONNECTIONS);
        return -1;
    }

    core = calloc(1, sizeof(*core));
    if (!core) return -1;
    core->boolean = inst->boolean ? 1 : 0;
    core->value = (int)inst->value;
    if (inst->string) {
        size_t size = strlen(inst->string) + 1;
        core->string = malloc(size);
        if (!core->string) {
            free(core);
            return -1;
        }
        qz_copy(core->string, size, inst->string);
    }
    core->ipaddr = inst->ipaddr.ipaddr.ip4addr.s_addr;
    core->max_sessions = inst->max_sessions;
    core->dm_connections = inst->dm_connections;

    if (qz_module_start(core) != 0) {
        qz_module_forget_sessions(core);
        free(core->string);
        free(core);
        return -1;
    }
    inst->core = core;
    return 0;
}

static int mod_detach(void *instance)
{
    qz_fr32_instance *inst = instance;
    rlm_qzovx_t *core = inst->core;

    if (!core) return 0;
    qz_module_forget_sessions(core);
    free(core->string);
    free(core);
    inst->core = NULL;
    return 0;
}

static rlm_rcode_t mod_authorize(void *instance, REQUEST *request)
{
    qz_fr32_instance *inst = instance;
    return (rlm_rcode_t)qz_module_authorize(inst->core, (qz_request *)request);
}

static rlm_rcode_t mod_post_auth(void *instance, REQUEST *request)
{
    qz_fr32_instance *inst = instance;
    return (rlm_rcode_t)qz_module_post_auth(inst->core, (qz_request *)request);
}

#ifdef WITH_ACCOUNTING
static rlm_rcode_t mod_accounting(void *instance, REQUEST *request)
{
    qz_fr32_instance *inst = instance;
    return (rlm_rcode_t)qz_module_accounting(inst->core, (qz_request *)request);
}
#endif

extern module_t rlm_qzovx;
module_t rlm_qzovx __attribute__((visibility("default"))) = {
    .magic = RLM_MODULE_INIT,
    .name = "qzovx",
    /* Requests run in parallel: the session lists have a lock of their own,
     * held only for list work, and the library serialises the DM connection
     * with its semaphores, which it waits on for at most dm_socket_timeout. */
    .type = RLM_TYPE_THREAD_SAFE,
    .inst_size = sizeof(qz_fr32_instance),
    .config = module_config,
    .bootstrap = mod_bootstrap,
    .instantiate = mod_instantiate,
    .detach = mod_detach,
    .methods = {
        [MOD_AUTHENTICATE] = mod_authorize,
        [MOD_AUTHORIZE] = mod_authorize,
#ifdef WITH_ACCOUNTING
        [MOD_ACCOUNTING] = mod_accounting,
#endif
        [MOD_POST_AUTH] = mod_post_auth,
    },
};
