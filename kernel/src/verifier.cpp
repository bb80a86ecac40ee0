// Loud failures and the debugger output routines.
#include "ks_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace ks {

void Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("KERNEL VERIFIER: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    fflush(stderr);
    abort();
}

} // namespace ks

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    static const bool enabled = getenv("VARLO_DBGPRINT") != nullptr;
    if (!enabled)
        return 0;
    va_list args;
    va_start(args, Format);
    vfprintf(stderr, Format, args);
    va_end(args);
    return 0;
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    char* text = nullptr;
    int length = vasprintf(&text, Format, args);
    va_end(args);
    if (length < 0)
        return -1;
    size_t n = (size_t)length < Count ? (size_t)length + 1 : Count;
    memcpy(Buffer, text, n);
    free(text);
    return (size_t)length < Count ? length : -1;
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    ks::Fail("bug check 0x%X (0x%lX, 0x%lX, 0x%lX, 0x%lX)", BugCheckCode, (unsigned long)P1,
             (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    ks::Fail("assertion failed: %s at %s:%u %s", (const char*)FailedAssertion,
             (const char*)FileName, LineNumber, Message ? Message : "");
}

} // extern "C"
