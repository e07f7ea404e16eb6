// The stand-in server's RADIUS library: a small built-in dictionary and the
// attribute-list functions the module calls.
#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fr10_host.h"
#include "platdefs.h"
#include "qz_text.h"

namespace {

using fr10::kQzVendor;
using fr10::vendor_attribute;

// The standard attributes the module reads and writes, the qz vendor's
// attributes and the server's own FreeRADIUS-Proxied-To.
DICT_ATTR dictionary[] = {
    {"User-Name", 1, PW_TYPE_STRING, 0, {}},
    {"User-Password", 2, PW_TYPE_STRING, 0, {}},
    {"NAS-IP-Address", 4, PW_TYPE_IPADDR, 0, {}},
    {"NAS-Port", 5, PW_TYPE_INTEGER, 0, {}},
    {"Service-Type", 6, PW_TYPE_INTEGER, 0, {}},
    {"Reply-Message", 18, PW_TYPE_STRING, 0, {}},
    {"State", 24, PW_TYPE_OCTETS, 0, {}},
    {"Session-Timeout", 27, PW_TYPE_INTEGER, 0, {}},
    {"Termination-Action", 29, PW_TYPE_INTEGER, 0, {}},
    {"Called-Station-Id", 30, PW_TYPE_STRING, 0, {}},
    {"Calling-Station-Id", 31, PW_TYPE_STRING, 0, {}},
    {"Login-LAT-Group", 36, PW_TYPE_OCTETS, 0, {}},
    {"Acct-Status-Type", 40, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Input-Octets", 42, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Output-Octets", 43, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Session-Id", 44, PW_TYPE_STRING, 0, {}},
    {"Acct-Session-Time", 46, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Input-Packets", 47, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Output-Packets", 48, PW_TYPE_INTEGER, 0, {}},
    {"Acct-Terminate-Cause", 49, PW_TYPE_INTEGER, 0, {}},
    {"NAS-Port-Type", 61, PW_TYPE_INTEGER, 0, {}},
    {"Tunnel-Type", 64, PW_TYPE_INTEGER, 0, {0, 1, 0, 0, 0, 0}},
    {"Tunnel-Medium-Type", 65, PW_TYPE_INTEGER, 0, {0, 1, 0, 0, 0, 0}},
    {"EAP-Message", 79, PW_TYPE_OCTETS, 0, {}},
    {"Tunnel-Private-Group-ID", 81, PW_TYPE_STRING, 0, {0, 1, 0, 0, 0, 0}},
    {"qz-port-priority-regeneration-table", vendor_attribute(kQzVendor, 40), PW_TYPE_INTEGER,
     kQzVendor, {}},
    {"qz-bandwidth-min-ingress", vendor_attribute(kQzVendor, 45), PW_TYPE_INTEGER, kQzVendor, {}},
    {"qz-bandwidth-max-ingress", vendor_attribute(kQzVendor, 46), PW_TYPE_INTEGER, kQzVendor, {}},
    {"qz-bandwidth-min-egress", vendor_attribute(kQzVendor, 47), PW_TYPE_INTEGER, kQzVendor, {}},
    {"qz-bandwidth-max-egress", vendor_attribute(kQzVendor, 48), PW_TYPE_INTEGER, kQzVendor, {}},
    {"qz-nas-filter-rule", vendor_attribute(kQzVendor, 61), PW_TYPE_STRING, kQzVendor, {}},
    // The server's DICT_ATTR.vendor is not to be trusted; 0 here on purpose.
    {"FreeRADIUS-Proxied-To", fr10::kProxiedTo, PW_TYPE_IPADDR, 0, {}},
};

struct ValueName {
    int attribute;
    const char *name;
    uint32_t value;
};

constexpr ValueName value_names[] = {
    {29, "Default", 0},
    {29, "RADIUS-Request", 1},
    {29, "Request", 1},  // the module's dictionary alias
    {40, "Start", 1},
    {40, "Stop", 2},
    {40, "Interim-Update", 3},
    {61, "Ethernet", 15},
    {64, "VLAN", 13},
    {65, "IEEE-802", 6},
};

bool value_by_name(int attribute, const char *name, uint32_t *value)
{
    for (const ValueName &v : value_names) {
        if (v.attribute == attribute && strcasecmp(v.name, name) == 0) {
            *value = v.value;
            return true;
        }
    }
    return false;
}

// Decimal digits only, within 32 bits.
bool parse_unsigned(const char *text, uint32_t *value)
{
    if (text[0] == '\0' || strspn(text, "0123456789") != strlen(text))
        return false;
    errno = 0;
    const unsigned long long n = strtoull(text, nullptr, 10);
    if (errno != 0 || n > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

bool parse_value(VALUE_PAIR *vp, const char *value)
{
    qz_copy(reinterpret_cast<char *>(vp->strvalue), sizeof vp->strvalue, value);
    vp->length = static_cast<int>(strlen(reinterpret_cast<char *>(vp->strvalue)));
    switch (vp->type) {
    case PW_TYPE_INTEGER:
    case PW_TYPE_DATE:
        if (!parse_unsigned(value, &vp->lvalue) && !value_by_name(vp->attribute, value, &vp->lvalue))
            return false;
        vp->length = 4;
        return true;
    case PW_TYPE_IPADDR: {
        in_addr address{};
        if (inet_pton(AF_INET, value, &address) != 1)
            return false;
        vp->lvalue = address.s_addr;  // network order, as the server keeps it
        vp->length = 4;
        return true;
    }
    default:
        return true;
    }
}

}  // namespace

extern "C" {

QZ_EXPORT DICT_ATTR *dict_attrbyname(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (DICT_ATTR &da : dictionary) {
        if (strcasecmp(da.name, name) == 0)
            return &da;
    }
    return nullptr;
}

QZ_EXPORT VALUE_PAIR *pairfind(VALUE_PAIR *list, int attr)
{
    for (VALUE_PAIR *vp = list; vp != nullptr; vp = vp->next) {
        if (vp->attribute == attr)
            return vp;
    }
    return nullptr;
}

QZ_EXPORT void pairadd(VALUE_PAIR **list, VALUE_PAIR *vp)
{
    if (list == nullptr || vp == nullptr)
        return;
    VALUE_PAIR **tail = list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = vp;
}

QZ_EXPORT VALUE_PAIR *pairmake(const char *attr, const char *value, int op)
{
    if (attr == nullptr)
        return nullptr;
    // As the server does: a ":tag" is cut off the caller's own text.
    int tag = -1;
    if (char *colon = strchr(const_cast<char *>(attr), ':'); colon != nullptr) {
        tag = atoi(colon + 1);
        *colon = '\0';
    }
    const DICT_ATTR *da = dict_attrbyname(attr);
    if (da == nullptr)
        return nullptr;

    auto *vp = static_cast<VALUE_PAIR *>(calloc(1, sizeof(VALUE_PAIR)));
    if (vp == nullptr)
        return nullptr;
    qz_copy(vp->name, sizeof vp->name, da->name);
    vp->attribute = da->attr;
    vp->type = da->type;
    vp->flags = da->flags;
    if (tag >= 0) {
        vp->flags.has_tag = 1;
        vp->flags.tag = static_cast<signed char>(tag);
    }
    vp->op = op == 0 ? T_OP_EQ : static_cast<LRAD_TOKEN>(op);
    if (value != nullptr && !parse_value(vp, value)) {
        free(vp);
        return nullptr;
    }
    return vp;
}

}  // extern "C"

namespace fr10 {

void free_pairs(VALUE_PAIR *list)
{
    while (list != nullptr) {
        VALUE_PAIR *next = list->next;
        free(list);
        list = next;
    }
}

std::vector<const VALUE_PAIR *> pairs_of(const VALUE_PAIR *list)
{
    std::vector<const VALUE_PAIR *> pairs;
    for (const VALUE_PAIR *vp = list; vp != nullptr; vp = vp->next)
        pairs.push_back(vp);
    return pairs;
}

std::string text_of(const VALUE_PAIR *vp)
{
    return vp != nullptr ? std::string(reinterpret_cast<const char *>(vp->strvalue)) : std::string();
}

}  // namespace fr10
