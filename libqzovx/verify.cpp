/* Reading the DM's decision response into the request's record. */
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "Authif.h"
#include "debug.h"
#include "decision_fields.h"
#include "dm_sock.h"
#include "number.h"
#include "request_text.h"

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

void store_value(const DecisionKey &k, char *value, OVX_USER_ACCESS *user)
{
    char *field = record_bytes(user, k.offset);
    switch (k.store) {
    case Store::Text:
        ovx_dprintf(", %s%s", k.key, value);
        copy_into_field(field, k.width, value);
        break;
    case Store::Acl:
        ovx_dprintf(", %s%s", k.key, value);
        parseACEs(value, user);
        copy_into_field(field, k.width, value);
        break;
    case Store::Int32:
    case Store::Uint32: {
        int32_t number = qz_to_int32(value);
        ovx_dprintf(", %s%d", k.key, number);
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
extern "C" QZ_EXPORT int parseACEs(char *rawACL, OVX_USER_ACCESS *user)
{
    if (user == nullptr)
        return 0;
    const char *raw = rawACL != nullptr ? rawACL : "";
    memset(user->acl, 0, sizeof user->acl);
    qz_copy(user->acl, sizeof user->acl, raw);
    ovx_dprintf("strlen reports the length of this ACL %s \n as %d \n :", raw, static_cast<int>(strlen(raw)));

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
                ovx_dprintf("parse ace: %d data: %s \n", user->aceCt, user->aces[user->aceCt]);
            }
            user->aceCt++;
            clear_ace_slot(user, user->aceCt);
            start = p + 1;
        }
        p++;
        if ((*p == '\0' || *p == '\n') && user->aceCt < OVX_MAX_ACES) {
            store_ace(user, user->aceCt, std::string_view(start, static_cast<size_t>(p - start)));
            ovx_dprintf("EOS: parse ace: %d data: %s \n", user->aceCt, user->aces[user->aceCt]);
            user->aceCt++;
            clear_ace_slot(user, user->aceCt);
        }
    }
    return user->aceCt;
}

/* Reads one decision response into the record. Callers hold the send and
 * receive semaphores, so only one thread reads the connection at a time. */
extern "C" QZ_EXPORT int ovx_verify(DM_SERVER dm_server, OVX_USER_ACCESS *user_access)
{
    char dm_response[kAnswerBuffer];
    char value[kAnswerBuffer];
    memset(dm_response, 0, sizeof dm_response);

    if (dm_server == nullptr || dm_sock_recv(dm_server, dm_response, sizeof dm_response) < 0) {
        ovx_dprintf("\n");
        return -1;
    }
    dm_response[sizeof dm_response - 1] = '\0';
    std::string_view answer(dm_response);

    ovx_dprintf("DM Response: {");
    if (find_decision_field(answer, "ACCESS=", value, sizeof value) && strcmp(value, "true") == 0) {
        ovx_dprintf("ACCESS=true");
        if (user_access != nullptr)
            user_access->allowed = 1;
    } else {
        ovx_dprintf("ACCESS=false");
    }
    if (user_access != nullptr) {
        for (const DecisionKey &k : kDecisionKeys) {
            if (find_decision_field(answer, k.key, value, sizeof value))
                store_value(k, value, user_access);
        }
    }
    ovx_dprintf("}\n");
    return 0;
}
