// Any bytes as a dialog template: reading the header and walking the items never reads past the
// end and always moves forward.
#include "toolkit/panelbuilder_template.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TemplateHeader h;
    if (!ReadTemplateHeader(data, size, &h))
        return 0;
    char text[1024];
    TemplateTextToLatin1(h.title, text, sizeof text);
    TemplateTextToLatin1(h.face, text, sizeof text);
    size_t pos = h.firstItem;
    for (int i = 0; i < h.itemCount; ++i) {
        TemplateItem item;
        if (!ReadTemplateItem(data, size, pos, &item))
            break;
        if (item.next <= pos)
            abort();
        TemplateTextToLatin1(item.windowClass, text, sizeof text);
        TemplateTextToLatin1(item.text, text, sizeof text);
        pos = item.next;
    }
    return 0;
}
