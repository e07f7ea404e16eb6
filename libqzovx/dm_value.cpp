#include "dm_value.h"

#include "qz_text.h"

DmValue dm_value(const char *raw)
{
    DmValue clean;
    qz_copy(clean.text, sizeof clean.text, raw);
    for (char &c : clean.text) {
        if (c == '\0')
            break;
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return clean;
}
