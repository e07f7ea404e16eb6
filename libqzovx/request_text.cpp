#include "request_text.h"

#include <string.h>

#include "debug.h"

bool fetch_attribute(void *radiusPacket, int id, int packet_type, AttrText &out)
{
    memset(out.text, 0, sizeof out.text);
    GetAttributeAsStringByRef(id, packet_type, radiusPacket, out.text);
    out.text[sizeof out.text - 1] = '\0';  // a misbehaving host cannot leave it open
    return out.present();
}

bool fetch_vendor_attribute(void *radiusPacket, const char *name, int packet_type, AttrText &out)
{
    memset(out.text, 0, sizeof out.text);
    GetVSAByRef(QZ_VENDOR_ID, const_cast<char *>(name), packet_type, radiusPacket, out.text);
    out.text[sizeof out.text - 1] = '\0';
    return out.present();
}

bool copy_into_field(char *field, size_t width, const char *text, const char *notice)
{
    if (text == nullptr)
        text = "";
    bool cut = width > 0 && strnlen(text, width) >= width;
    if (cut && notice != nullptr)
        ovx_dprintf("%s", notice);
    qz_copy(field, width, text);
    return cut;
}
