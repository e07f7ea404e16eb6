// Names under which RADIUS codes are written to the DM.
#include "Authif.h"

const char *RadiusCode(RADIUS_CODE rc)
{
    switch (rc) {
    case rcAccessRequest: return "Request";
    case rcAccessAccept: return "Accept";
    case rcAccessReject: return "Reject";
    case rcAccountingRequest: return "AccountingRequest";
    case rcAccountingResponse: return "AcountingResponse";  // the DM expects this spelling
    case rcAccessChallenge: return "AccessChallenge";
    case rcDiscard: return "Discard";
    case rcUnknown: break;
    }
    return "Unknown";
}
