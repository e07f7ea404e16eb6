// Opens the built module as the 1.0 server does and builds its requests.
#include <dlfcn.h>

#include "fr10_host.h"
#include "qz_text.h"

#ifndef QZ_FR10_MODULE_PATH
#error "QZ_FR10_MODULE_PATH must name the built rlm_qzovx.so"
#endif

namespace fr10 {

namespace {
void *module_handle = nullptr;
}

module_t *load_module(std::string *error)
{
    if (module_handle == nullptr) {
        // The server opens modules through libltdl, which asks for exactly this.
        module_handle = dlopen(QZ_FR10_MODULE_PATH, RTLD_GLOBAL | RTLD_LAZY);
        if (module_handle == nullptr) {
            if (error != nullptr)
                *error = dlerror();
            return nullptr;
        }
    }
    auto *record = static_cast<module_t *>(dlsym(module_handle, "rlm_qzovx"));
    if (record == nullptr && error != nullptr)
        *error = "no symbol rlm_qzovx in " QZ_FR10_MODULE_PATH;
    return record;
}

void *module_symbol(const char *name)
{
    return module_handle != nullptr ? dlsym(module_handle, name) : nullptr;
}

Instance::Instance(module_t *module_record, conf_section *section) : module(module_record)
{
    if (module != nullptr)
        result = module->instantiate(section, &data);
}

Instance::~Instance()
{
    if (module != nullptr && data != nullptr)
        module->detach(data);
}

TestRequest::TestRequest(unsigned code, unsigned reply_code)
{
    packet.code = code;
    packet.id = 42;
    reply.code = reply_code;
    request.packet = &packet;
    request.reply = &reply;
}

TestRequest::~TestRequest()
{
    free_pairs(packet.vps);
    free_pairs(reply.vps);
    free_pairs(proxy.vps);
}

bool TestRequest::add(const char *name, const char *value)
{
    char writable[64];
    qz_copy(writable, sizeof writable, name);
    VALUE_PAIR *vp = pairmake(writable, value, 0);
    if (vp == nullptr)
        return false;
    pairadd(&packet.vps, vp);
    if (vp->attribute == 1 && request.username == nullptr)
        request.username = vp;
    return true;
}

}  // namespace fr10
