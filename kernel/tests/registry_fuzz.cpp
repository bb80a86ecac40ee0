// The saved registry text from an untrusted file: malformed input is refused, never crashes.
#include <ks/system.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text((const char*)data, size);
    if (ks::RegistryLoadText(text)) {
        // What was accepted saves and loads back.
        std::string file = "/tmp/varlo_registry_fuzz.txt";
        ks::RegistrySave(file);
        if (!ks::RegistryLoad(file))
            __builtin_trap();
    }
    return 0;
}
