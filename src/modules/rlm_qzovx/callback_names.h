// The callbacks a host registers with the core library: each name with its
// slot, in registration order. Shared by the module and the test host so the
// two always register the same set the same way.
#ifndef QZOVX_CALLBACK_NAMES_H
#define QZOVX_CALLBACK_NAMES_H

#include <cstddef>

#include "ovxModuleAPI.h"

namespace qzmod {

struct CallbackName {
    const char *name;
    int slot;
};

inline constexpr CallbackName kCallbackNames[] = {
    {"ovxgetRequest", OVX_SLOT_GET_REQUEST},
    {"ovxgetRequestType", OVX_SLOT_GET_REQUEST_TYPE},
    {"ovxgetResponse", OVX_SLOT_GET_RESPONSE},
    {"ovxgetResponseType", OVX_SLOT_GET_RESPONSE_TYPE},
    {"ovxprintAttributes", OVX_SLOT_PRINT_ATTRIBUTES},
    {"ovxgetRequestAttributes", OVX_SLOT_GET_ATTRIBUTES},
    {"ovxFindFirstAttribute", OVX_SLOT_FIND_FIRST_ATTRIBUTE},
    {"ovxreplaceFirstAttribute", OVX_SLOT_REPLACE_FIRST_ATTRIBUTE},
    {"ovxgetControlPoint", OVX_SLOT_GET_CONTROL_POINT},
    {"ovxGetControlPointName", OVX_SLOT_GET_CP_NAME},
    {"ovxgetSendSemaphore", OVX_SLOT_GET_SEND_SEMAPHORE},
    {"ovxgetRecvSemaphore", OVX_SLOT_GET_RECV_SEMAPHORE},
    {"ovxwaitOnObject", OVX_SLOT_WAIT_ON_OBJECT},
    {"ovxreleaseObject", OVX_SLOT_RELEASE_AN_OBJECT},
    {"ovxGetServerInfo", OVX_SLOT_GET_SERVER_INFO},
    {"ovxsetUserAccess", OVX_SLOT_SET_USER_ACCESS},
    {"ovxgetUserAccess", OVX_SLOT_GET_USER_ACCESS},
    {"ovxaddVSA", OVX_SLOT_ADD_VSA},
    {"ovxgetAttributeAsStringByRef", OVX_SLOT_GET_ATTRIBUTE_AS_STRING_BY_REF},
    {"ovxgetAttributeAsString", OVX_SLOT_GET_ATTRIBUTE_AS_STRING},
    {"ovxgetVSAByRef", OVX_SLOT_GET_VSA_BY_REF},
};
static_assert(sizeof kCallbackNames / sizeof kCallbackNames[0] == 21);

}  // namespace qzmod

#endif
