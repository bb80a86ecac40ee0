// The link's Wine tests: a message-only window that the protocol posts its PM_* messages to while
// the object lives. Test thread only; one at a time.
#pragma once

#include <windows.h>

#include "link/protocol.h"

struct PostedMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class LinkTarget {
public:
    LinkTarget() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "LinkTestTarget";
        RegisterClassA(&wc);
        wnd_ = CreateWindowExA(0, "LinkTestTarget", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
        ProtocolSetTargetWindow(reinterpret_cast<uintptr_t>(wnd_));
    }
    ~LinkTarget() {
        ProtocolSetTargetWindow(0);
        DestroyWindow(wnd_);
    }
    LinkTarget(const LinkTarget&) = delete;
    LinkTarget& operator=(const LinkTarget&) = delete;

    // The next PM_* message within `wait` milliseconds (two seconds by default).
    bool Next(PostedMessage& p, DWORD wait = 2000) { return Wait(0, p, wait); }
    // The next message of the kind `wanted` within three seconds; others are passed over.
    bool Next(UINT wanted, PostedMessage& p) { return Wait(wanted, p, 3000); }
    // Drops every message waiting.
    void Drain() {
        MSG m;
        while (PeekMessageA(&m, wnd_, PM_MTC_TIME, PM_IF_STATE, PM_REMOVE)) {
        }
    }

private:
    // wanted 0: any PM_* message.
    bool Wait(UINT wanted, PostedMessage& p, DWORD wait) {
        const DWORD until = GetTickCount() + wait;
        do {
            MSG m;
            while (PeekMessageA(&m, wnd_, PM_MTC_TIME, PM_IF_STATE, PM_REMOVE))
                if (!wanted || m.message == wanted) {
                    p = {m.message, m.wParam, m.lParam};
                    return true;
                }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
        } while (int(until - GetTickCount()) > 0);
        return false;
    }

    HWND wnd_;
};
