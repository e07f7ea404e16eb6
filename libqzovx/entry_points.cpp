/* The three entry points through which the host module hands a request to the
 * library. Each may run on several threads at once. */
#include <stdint.h>

#include "Authif.h"

extern "C" QZ_EXPORT int ovxauthorize(void *radiusPacket)
{
    return processAuthorizationPacket(radiusPacket);
}

extern "C" QZ_EXPORT int ovxaccount(void *radiusPacket)
{
    return processAccountingPacket(radiusPacket);
}

extern "C" QZ_EXPORT void *ovxrespond(void *inpacket)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(_ovxrespond(inpacket)));
}
