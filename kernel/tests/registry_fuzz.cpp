// The saved registry text from an untrusted file: malformed input is refused, never crashes.
#include <ks/system.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text((const char*)data, size);
    if (ks::RegistryLoadText(text)) {
        // What was accepted saves, loads back and saves again to the same text.
        std::string saved = ks::RegistrySaveText();
        if (!ks::RegistryLoadText(saved) || ks::RegistrySaveText() != saved)
            __builtin_trap();
    }
    return 0;
}
