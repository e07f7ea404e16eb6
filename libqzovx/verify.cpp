/* Reading the DM's decision response into the request's record. */
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "Authif.h"
#include "debug.h"
#include "decision_fields.h"
#include "dm_answer.h"
#include "dm_send.h"
#include "dm_sock.h"
#include "dm_value.h"
#include "number.h"
#include "request_text.h"
#include "trace_line.h"

namespace {

constexpr size_t kAnswerBuffer = 3072;
// Bytes cleared at the start of an ACE slot before it is written: enough for
// every entry that becomes a reply attribute, without touching the whole table.
constexpr size_t kAceClear = 80;

enum class Store { Text, Int32, Uint32, Acl };

struct DecisionKey {
    const char *key;  // traced as ", KEY=value" on the "DM Response: {" line
    Store store;
    size_t offset;  // of the field in the record
    size_t width;   // of a text field
};

#define QZ_TEXT_KEY(k, field) \
    { k, Store::Text, offsetof(OVX_USER_ACCESS, field), sizeof(OVX_USER_ACCESS::field) }
#define QZ_NUMBER_KEY(k, field, kind) \
    { k, kind, offsetof(OVX_USER_ACCESS, field), 0 }

// Every key after ACCESS, in the order it is looked up and traced.
constexpr DecisionKey kDecisionKeys[] = {
    QZ_TEXT_KEY("VLAN_ID=", vlan),
    QZ_NUMBER_KEY("QOS=", qos, Store::Int32),
    QZ_NUMBER_KEY("BW_MAX_IN=", bw, Store::Uint32),
    QZ_NUMBER_KEY("BW_MAX_OUT=", egress, Store::Uint32),
    QZ_NUMBER_KEY("TIME=", time, Store::Uint32),
    QZ_NUMBER_KEY("SOURCE=", src, Store::Uint32),
    QZ_NUMBER_KEY("RETURN_CODE=", return_code, Store::Uint32),
    QZ_TEXT_KEY("APG=", apg),
    QZ_TEXT_KEY("PROFILE=", profile),
    QZ_TEXT_KEY("LOCATION=", ovx_location),
    QZ_TEXT_KEY("HI_STATE=", clientstate),
    {"ACL=", Store::Acl, offsetof(OVX_USER_ACCESS, acl), sizeof(OVX_USER_ACCESS::acl)},
    QZ_TEXT_KEY("GLOBAL_RULE=", GLOBAL_RULE),
    QZ_TEXT_KEY("RULE_NO=", RULE_NO),
    QZ_TEXT_KEY("VLAN_INCAP=", VLAN_INCAP),
    QZ_TEXT_KEY("QOS_INCAP=", QOS_INCAP),
    QZ_TEXT_KEY("BW_MAX_INCAP=", BW_MAX_INCAP),
    QZ_TEXT_KEY("ACL_INCAP=", ACL_INCAP),
    QZ_TEXT_KEY("DEFAULT_CAP=", DEFAULT_CAP),
};

#undef QZ_TEXT_KEY
#undef QZ_NUMBER_KEY

char *record_bytes(OVX_USER_ACCESS *user, size_t offset)
{
    return reinterpret_cast<char *>(user) + offset;
}

void store_value(const DecisionKey &k, char *value, OVX_USER_ACCESS *user, TraceLine &trace)
{
    char *field = record_bytes(user, k.offset);
    switch (k.store) {
    case Store::Text:
        trace.add(", %s%s", k.key, value);
        copy_into_field(field, k.width, value);
        break;
    case Store::Acl:
        trace.add(", %s%s", k.key, value);
        parse_aces(value, user, trace);  // its lines follow this fragment
        copy_into_field(field, k.width, value);
        break;
    case Store::Int32:
    case Store::Uint32: {
        int32_t number = qz_to_int32(value);
        trace.add(", %s%d", k.key, number);
        // Unsigned fields keep the 32 bits of the signed value.
        memcpy(field, &number, sizeof number);
        break;
    }
    }
}

void clear_ace_slot(OVX_USER_ACCESS *user, int slot)
{
    if (slot < OVX_MAX_ACES)
        memset(user->aces[slot], 0, kAceClear);
}

// Writes one entry (possibly empty) into its slot, cut to the slot's width.
void store_ace(OVX_USER_ACCESS *user, int slot, std::string_view entry)
{
    clear_ace_slot(user, slot);
    size_t cap = std::min(entry.size() + 1, sizeof user->aces[slot]);
    qz_copy(user->aces[slot], cap, entry.data());
}

}  // namespace

/* Splits "name|entry|entry..." into the record's ACE slots. May run on several
 * threads at once for different records. */
int parse_aces(const char *rawACL, OVX_USER_ACCESS *user, TraceLine &trace)
{
    if (user == nullptr)
        return 0;
    const char *raw = rawACL != nullptr ? rawACL : "";
    memset(user->acl, 0, sizeof user->acl);
    qz_copy(user->acl, sizeof user->acl, raw);
    trace.add("strlen reports the length of this ACL %s \n as %d \n :", raw, static_cast<int>(strlen(raw)));

    user->aceCt = 0;
    clear_ace_slot(user, 0);
    const char *bar = strchr(raw, '|');
    if (bar == nullptr || bar[1] == '\0')
        return 0;

    // Everything before the first bar is the list's name; each entry is
    // introduced by a bar. A line feed ends the list like the end of the text.
    const char *start = bar + 1;
    for (const char *p = start; *p != '\0' && *p != '\n';) {
        if (user->aceCt >= OVX_MAX_ACES)
            return OVX_MAX_ACES;
        if (*p == '|') {
            if (p > start) {
                store_ace(user, user->aceCt, std::string_view(start, static_cast<size_t>(p - start)));
                trace.add("parse ace: %d data: %s \n", user->aceCt, user->aces[user->aceCt]);
            }
            user->aceCt++;
            clear_ace_slot(user, user->aceCt);
            start = p + 1;
        }
        p++;
        if ((*p == '\0' || *p == '\n') && user->aceCt < OVX_MAX_ACES) {
            store_ace(user, user->aceCt, std::string_view(start, static_cast<size_t>(p - start)));
            trace.add("EOS: parse ace: %d data: %s \n", user->aceCt, user->aces[user->aceCt]);
            user->aceCt++;
            clear_ace_slot(user, user->aceCt);
        }
    }
    return user->aceCt;
}

extern "C" QZ_EXPORT int parseACEs(char *rawACL, OVX_USER_ACCESS *user)
{
    TraceLine trace;
    return parse_aces(rawACL, user, trace);
}

namespace {

void trace_foreign_line(std::string_view line, void * /*context*/)
{
    std::string_view id;
    answer_line_req_id(line, id);
    ovx_dprintf("discarded DM answer for another request: REQ_ID=%.*s\n", static_cast<int>(id.size()),
                id.data());
}

// Reads until the answer to req_id has arrived whole, dropping lines that
// answer other requests. Returns the answer's length, -1 when none came
// before the deadline or the connection failed.
int receive_answer(DM_SERVER dm_server, char *answer, size_t cap, const char *req_id)
{
    DmValue id = dm_value(req_id);  // the id as the request carried it
    const long long deadline = dm_now_ms() + dm_response_timeout_ms();
    for (;;) {
        int received = dm_sock_recv_text(dm_server, answer, static_cast<int>(cap), deadline);
        if (received < 0)
            return -1;
        AnswerLines kept = keep_answer_lines(answer, static_cast<size_t>(received), id.text,
                                             trace_foreign_line, nullptr);
        answer[kept.length] = '\0';
        if (kept.found)
            return static_cast<int>(kept.length);
    }
}

}  // namespace

int verify_answer(DM_SERVER dm_server, OVX_USER_ACCESS *user_access, TraceLine &trace)
{
    char dm_response[kAnswerBuffer];
    char value[kAnswerBuffer];
    dm_response[0] = '\0';

    const char *req_id = user_access != nullptr ? user_access->req_id : "";
    int length = dm_server != nullptr ? receive_answer(dm_server, dm_response, sizeof dm_response, req_id) : -1;
    if (length < 0) {
        trace.add("\n");
        return -1;
    }
    // The answer is text: a NUL the DM sent ends it.
    std::string_view answer(dm_response, strnlen(dm_response, static_cast<size_t>(length)));

    trace.add("DM Response: {");
    if (find_decision_field(answer, "ACCESS=", value, sizeof value) && strcmp(value, "true") == 0) {
        trace.add("ACCESS=true");
        if (user_access != nullptr)
            user_access->allowed = 1;
    } else {
        trace.add("ACCESS=false");
    }
    if (user_access != nullptr) {
        for (const DecisionKey &k : kDecisionKeys) {
            if (find_decision_field(answer, k.key, value, sizeof value))
                store_value(k, value, user_access, trace);
        }
    }
    trace.add("}\n");
    return 0;
}

/* Reads one decision response into the record. Callers hold the send and
 * receive semaphores, so only one thread reads the connection at a time. */
extern "C" QZ_EXPORT int ovx_verify(DM_SERVER dm_server, OVX_USER_ACCESS *user_access)
{
    TraceLine trace;
    return verify_answer(dm_server, user_access, trace);
}
