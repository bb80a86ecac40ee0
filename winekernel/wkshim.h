// Wine kernel host (never shipped): the private device-control codes of the shim and the serial
// port driver, and the model library's routines. Shared by the shim, the test serial port driver,
// the model library and the client.
#pragma once

// On any device created through the shim: the shim's state as text (names of the devices it
// knows, its open file objects, driver object extensions, unloads). Buffered; output only.
#define WKSHIM_IOCTL_REPORT 0x00222680u
// On \\.\WkModel, the test serial port driver's control device: a text command in, its answer
// out (see wkmodel.cpp; "port" answers the serial port's own state). Buffered.
#define WKSERIAL_IOCTL_MODEL 0x00222684u

#ifdef __cplusplus
extern "C" {
#endif
// The interface model behind \Device\Serial1, in wkmodel.dll (user-mode code: Wine runs drivers
// in a user process). Any thread; the library serialises the calls. The clock is the library's.
void __cdecl WkModelReceive(const unsigned char* data, unsigned long length);
unsigned long __cdecl WkModelTake(unsigned char* buffer, unsigned long capacity);
unsigned long __cdecl WkModelText(const char* command, char* answer, unsigned long capacity);
#if defined(VARLO_KERNEL_WINDOWS)
int __cdecl _snprintf(char* buffer, size_t count, const char* format, ...);
#endif
#ifdef __cplusplus
}
#endif
