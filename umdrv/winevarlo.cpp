// The user-mode MIDI driver: presents the interface's cables as multimedia MIDI ports (wMid 219,
// wPid 3) and carries their traffic over a device channel (channel.h) to the driver.
//
// Threads: winmm calls modMessage and midMessage on the caller's thread; one reader thread per
// session reads the driver's buffers and calls the clients back with DriverCallback. State is
// guarded by s_lock, which is never held across a callback; s_deliver (recursive) keeps a close
// or reset from overtaking a callback in progress and lets a callback requeue its buffer.
#include "channel.h"
#include "ddbuffer.h"
#include "loopdevice.h"
#include "portmap.h"

#include <windows.h>
#include <mmddk.h>
#include <mmsystem.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);

namespace umdrv {

namespace {

struct Config {
    ChannelConfig Channel;
    PortMap Ports;
};

// Where a port's notifications go: the client's open description and its callback flags.
struct Client {
    MIDIOPENDESC Desc = {};
    DWORD Flags = 0;
};

// What ports of both directions keep; a new open starts from a default record.
struct PortBase {
    bool Open = false;
    Client Owner;
};

struct InPort : PortBase {
    bool Started = false;
    DWORD StartTick = 0;
    std::deque<MIDIHDR*> Queue;
};

struct OutPort : PortBase {
    uint8_t RunningStatus = 0;
    uint32_t Resets = 0;  // resets since the open; a long message stops when it changes
    bool Sending = false; // a message other than real-time is being sent (TakeSendTurn)
};

struct Session {
    int Users = 0;
    const DeviceChannel* Channel = nullptr;
    void* Control = nullptr; // handle for plays and control requests
    void* Input = nullptr;   // handle for reads, used by the reader thread only
    std::thread Reader;
    std::atomic<bool> Stop{false};
};

std::mutex s_lock;
std::recursive_mutex s_deliver;
std::mutex s_sessionLock;           // opening and closing the session
std::mutex s_playLock;              // the control handle while a play uses it
std::condition_variable s_sendDone; // an output port's Sending ended (with s_lock)
std::vector<InPort> s_in;
std::vector<OutPort> s_out;
Session& s_session = *new Session; // never destroyed: a reader may outlive the process's exit
std::map<uint32_t, SysExJoiner> s_joiners; // reader thread only; key port << 8 | cable

std::string Env(const char* name) {
    char value[256];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

DWORD RegistryNumber(const char* name, DWORD fallback) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Korvane\\VarloMidi", name, RRF_RT_REG_DWORD,
                     &type, &value, &size) == ERROR_SUCCESS)
        return value;
    return fallback;
}

// How many interfaces the driver serves: a handle opened for the question alone, its capabilities'
// count. Without an answer the first interface's ports are presented all the same, so that
// programs find them and their open reports the failure.
int CountInterfaces(const DeviceChannel* channel, void* handle) {
    uint32_t status = 0, returned = 0;
    std::vector<uint8_t> caps(kCapsSize);
    bool answered = channel->Ioctl(handle, IOCTL_DD_GET_CAPS, nullptr, 0, caps.data(), kCapsSize,
                                   &returned, &status) &&
                    status == 0;
    return answered ? InterfacesFromCaps(caps.data(), returned) : 1;
}

int AskInterfaces(const ChannelConfig& config) {
    const DeviceChannel* channel = ChannelFor(config.Kind);
    uint32_t status = 0;
    void* handle = channel->Open(config, &status);
    if (!handle)
        return 1;
    int count = CountInterfaces(channel, handle);
    channel->Close(handle);
    return count;
}

// Read once, at the first question about ports: VARLO_BRIDGE_PORT (or the registry value
// BridgePort) picks the bridge, VARLO_UMDRV_CHANNEL=loop the in-process loopback, else the Windows
// device. VARLO_UMDRV_INPUTS and VARLO_UMDRV_OUTPUTS give test-only port layouts (portmap.h);
// otherwise the driver is asked how many interfaces it serves.
const Config& Settings() {
    static const Config config = [] {
        Config c;
        std::string port = Env("VARLO_BRIDGE_PORT");
        DWORD bridgePort =
            port.empty() ? RegistryNumber("BridgePort", 0) : strtoul(port.c_str(), nullptr, 10);
        if (Env("VARLO_UMDRV_CHANNEL") == "loop") {
            c.Channel.Kind = ChannelKind::Loop;
        } else if (bridgePort > 0 && bridgePort < 65536) {
            c.Channel.Kind = ChannelKind::Bridge;
            c.Channel.BridgePort = uint16_t(bridgePort);
        }
        std::string in = Env("VARLO_UMDRV_INPUTS"), out = Env("VARLO_UMDRV_OUTPUTS");
        c.Ports = in.empty() && out.empty() ? DefaultPortMap(AskInterfaces(c.Channel))
                                            : PortMapFromLayout(in, out);
        return c;
    }();
    return config;
}

void EnsurePorts() {
    const PortMap& ports = Settings().Ports; // may ask the device: not under s_lock
    std::lock_guard<std::mutex> hold(s_lock);
    if (s_in.empty() && s_out.empty()) {
        s_in.resize(ports.Inputs.size());
        s_out.resize(ports.Outputs.size());
    }
}

void Notify(const Client& to, UINT message, DWORD_PTR p1, DWORD_PTR p2) {
    DriverCallback(to.Desc.dwCallback, HIWORD(to.Flags), HDRVR(to.Desc.hMidi), message,
                   to.Desc.dwInstance, p1, p2);
}

void MarkQueued(MIDIHDR* hdr) {
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
}

void MarkDone(MIDIHDR* hdr) {
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

// ---- Input --------------------------------------------------------------------------------------

void DeliverShort(int index, uint32_t message) {
    std::lock_guard<std::recursive_mutex> serial(s_deliver);
    Client to;
    DWORD stamp;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        InPort& p = s_in[size_t(index)];
        if (!p.Open || !p.Started)
            return;
        to = p.Owner;
        stamp = GetTickCount() - p.StartTick;
    }
    Notify(to, MIM_DATA, message, stamp);
}

// Writes a message into the queued buffers, as many as it needs; without a queued buffer the rest
// is lost. A message that was broken off comes back as MIM_LONGERROR, never as MIM_LONGDATA.
void DeliverLong(int index, const std::vector<uint8_t>& bytes, bool whole) {
    std::lock_guard<std::recursive_mutex> serial(s_deliver);
    for (size_t at = 0; at < bytes.size();) {
        Client to;
        DWORD stamp;
        MIDIHDR* hdr;
        {
            std::lock_guard<std::mutex> hold(s_lock);
            InPort& p = s_in[size_t(index)];
            if (!p.Open || !p.Started || p.Queue.empty())
                return;
            hdr = p.Queue.front();
            p.Queue.pop_front();
            to = p.Owner;
            stamp = GetTickCount() - p.StartTick;
        }
        size_t n = std::min<size_t>(bytes.size() - at, hdr->dwBufferLength);
        std::memcpy(hdr->lpData, bytes.data() + at, n);
        hdr->dwBytesRecorded = DWORD(n);
        MarkDone(hdr);
        at += n;
        Notify(to, whole ? MIM_LONGDATA : MIM_LONGERROR, DWORD_PTR(hdr), stamp);
    }
}

void HandleBuffer(const uint8_t* bytes, uint32_t size) {
    BufferView v;
    if (!ParseBuffer(bytes, size, v))
        return;
    const PortMap& map = Settings().Ports;
    if (v.Type == kEvents) {
        for (uint32_t i = 0; i + 4 <= v.Length; i += 4) {
            uint32_t event = uint32_t(v.Data[i]) | uint32_t(v.Data[i + 1]) << 8 |
                             uint32_t(v.Data[i + 2]) << 16 | uint32_t(v.Data[i + 3]) << 24;
            int index = map.InputFor(v.Port, EventCable(event));
            if (index >= 0)
                DeliverShort(index, EventMessage(event));
        }
        return;
    }
    std::vector<SysExJoiner::Message> done;
    s_joiners[uint32_t(v.Port) << 8 | uint8_t(v.Cable)].Feed(v.Type, v.Data, v.Length, done);
    int index = map.InputFor(v.Port, uint8_t(v.Cable));
    for (const SysExJoiner::Message& m : done)
        if (index >= 0 && !m.Bytes.empty())
            DeliverLong(index, m.Bytes, m.Whole);
}

void ReaderThread(const DeviceChannel* channel, void* handle) {
    uint8_t buffer[kBufferSize];
    while (!s_session.Stop.load()) {
        uint32_t got = 0;
        if (!channel->Read(handle, buffer, kBufferSize, &got))
            break;
        HandleBuffer(buffer, got);
    }
}

// ---- Session: the device handles shared by all open ports of the interface ----------------------

UINT SessionAcquire() {
    std::lock_guard<std::mutex> hold(s_sessionLock);
    if (s_session.Users++ > 0)
        return MMSYSERR_NOERROR;
    const Config& config = Settings();
    const DeviceChannel* channel = ChannelFor(config.Channel.Kind);
    uint32_t status = 0;
    void* control = channel->Open(config.Channel, &status);
    void* input = control ? channel->Open(config.Channel, &status) : nullptr;
    if (!input) {
        if (control)
            channel->Close(control);
        s_session.Users = 0;
        return MMSYSERR_ERROR;
    }
    {
        std::lock_guard<std::mutex> play(s_playLock);
        s_session.Channel = channel;
        s_session.Control = control;
    }
    s_session.Input = input;
    s_session.Stop = false;
    s_joiners.clear();
    s_session.Reader = std::thread(ReaderThread, channel, input);
    // Input reaches a handle only once one of its reads waits: let the first one get there.
    if (channel->WaitReading)
        channel->WaitReading(input, 2000);
    return MMSYSERR_NOERROR;
}

void SessionRelease() {
    std::lock_guard<std::mutex> hold(s_sessionLock);
    if (s_session.Users == 0 || --s_session.Users > 0)
        return;
    s_session.Stop = true;
    s_session.Channel->Cancel(s_session.Input);
    if (s_session.Reader.get_id() == std::this_thread::get_id())
        s_session.Reader.detach(); // closed from inside a callback
    else if (s_session.Reader.joinable())
        s_session.Reader.join();
    s_session.Channel->Close(s_session.Input);
    s_session.Input = nullptr;
    std::lock_guard<std::mutex> play(s_playLock);
    s_session.Channel->Close(s_session.Control);
    s_session.Control = nullptr;
}

void PlayLocked(const std::vector<uint8_t>& buffer) {
    // Caller holds s_playLock.
    if (!s_session.Control)
        return;
    uint32_t returned = 0, status = 0;
    s_session.Channel->Ioctl(s_session.Control, IOCTL_DD_MIDI_PLAY, buffer.data(),
                             uint32_t(buffer.size()), nullptr, 0, &returned, &status);
}

void Play(const std::vector<uint8_t>& buffer) {
    std::lock_guard<std::mutex> hold(s_playLock);
    PlayLocked(buffer);
}

// A piece of a long message on output port `id`, unless the port was reset since `resets` was read:
// what is left of a message that a reset overtook is not sent, since its data bytes would follow
// the reset's controllers and read as more of them. Takes s_playLock, then s_lock.
bool PlayUnlessReset(const std::vector<uint8_t>& buffer, UINT id, uint32_t resets) {
    std::lock_guard<std::mutex> play(s_playLock);
    {
        std::lock_guard<std::mutex> hold(s_lock);
        if (s_out[id].Resets != resets)
            return false;
    }
    PlayLocked(buffer);
    return true;
}

// How many interfaces the open session's device serves now.
int SessionInterfaces() {
    std::lock_guard<std::mutex> hold(s_playLock);
    return s_session.Control ? CountInterfaces(s_session.Channel, s_session.Control) : 0;
}

// A header as big as a client must pass, with a data buffer.
bool ValidHeader(const MIDIHDR* hdr, DWORD_PTR size) {
    return hdr && size >= offsetof(MIDIHDR, dwOffset) && hdr->lpData;
}

// A header a client hands over for input or output must be prepared and not queued already.
DWORD QueueCheck(const MIDIHDR* hdr) {
    if (!(hdr->dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
}

// Headers are prepared by the driver: Wine's winmm leaves it to the driver, Windows would do the
// same marking itself.
DWORD Prepare(MIDIHDR* hdr, DWORD_PTR size) {
    if (!ValidHeader(hdr, size))
        return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED)) {
        hdr->lpNext = nullptr;
        hdr->dwFlags = (hdr->dwFlags | MHDR_PREPARED) & ~(MHDR_DONE | MHDR_INQUEUE);
    }
    return MMSYSERR_NOERROR;
}

// A header that is not prepared needs nothing, whatever other flags it carries.
DWORD Unprepare(MIDIHDR* hdr, DWORD_PTR size) {
    if (!hdr || size < offsetof(MIDIHDR, dwOffset))
        return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED))
        return MMSYSERR_NOERROR;
    if (hdr->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// ---- Both directions ----------------------------------------------------------------------------

// The capabilities of a port: maker and product by whether it is the interface's, version and
// name; `more` fills what only one direction has. Copies at most `size` bytes to `out`.
template <typename Caps, typename More>
DWORD PortCaps(const PortEntry& e, Caps* out, DWORD_PTR size, More more) {
    if (!out)
        return MMSYSERR_INVALPARAM;
    Caps c = {};
    c.wMid = e.Varlo ? kVarloMid : kForeignMid;
    c.wPid = e.Varlo ? kVarloPid : kForeignPid;
    c.vDriverVersion = 0x0100;
    more(c);
    MultiByteToWideChar(CP_ACP, 0, e.Name.c_str(), -1, c.szPname, MAXPNAMELEN);
    std::memcpy(out, &c, std::min<size_t>(size, sizeof c));
    return MMSYSERR_NOERROR;
}

// A client's open of port `id` of `ports` (s_in or s_out): refused while the port is open; a port
// of the interface takes the session first. The client then hears `message`.
// Caller: winmm on the client's thread; takes s_lock (not across the session or the callback).
template <typename Port>
DWORD OpenPort(std::vector<Port>& ports, UINT id, const PortEntry& e, const MIDIOPENDESC* desc,
               DWORD flags, UINT message) {
    if (!desc)
        return MMSYSERR_INVALPARAM;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        if (ports[id].Open)
            return MMSYSERR_ALLOCATED;
    }
    if (e.Varlo) {
        UINT r = SessionAcquire();
        if (r != MMSYSERR_NOERROR)
            return r;
        // The ports were counted once; an interface that has stopped answering since is not found
        // by this open of the device, and its ports' open fails rather than sending nowhere.
        if (e.Port > 0 && SessionInterfaces() <= e.Port) {
            SessionRelease();
            return MMSYSERR_ERROR;
        }
    }
    Client to{*desc, flags};
    {
        std::lock_guard<std::mutex> hold(s_lock);
        Port& p = ports[id];
        p = Port{};
        p.Open = true;
        p.Owner = to;
    }
    Notify(to, message, 0, 0);
    return MMSYSERR_NOERROR;
}

// The rest of a close once the port is marked closed: a port of the interface lets the session
// go, then the client hears `message`. Caller holds no lock.
DWORD FinishClose(const PortEntry& e, const Client& to, UINT message) {
    if (e.Varlo)
        SessionRelease();
    Notify(to, message, 0, 0);
    return MMSYSERR_NOERROR;
}

// ---- midMessage ---------------------------------------------------------------------------------

DWORD InReset(UINT id);

// Wine's winmm frees a port's handle even when the driver refuses its close (Windows keeps it).
bool WinmmFreesRefusedHandles() {
    static const bool wine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// A close with buffers still queued is refused (MIDIERR_STILLPLAYING). Where winmm frees the handle
// all the same, the port would stay open for good with the client's buffers in it (written to when
// input came): there the buffers are returned as a reset returns them and the port closes, though
// the answer stays the refusal.
DWORD InClose(UINT id) {
    Client to;
    bool refused;
    {
        std::lock_guard<std::recursive_mutex> serial(s_deliver);
        {
            std::lock_guard<std::mutex> hold(s_lock);
            InPort& p = s_in[id];
            if (!p.Open)
                return MMSYSERR_INVALHANDLE;
            refused = !p.Queue.empty();
            if (refused && !WinmmFreesRefusedHandles())
                return MIDIERR_STILLPLAYING;
        }
        if (refused)
            InReset(id);
        std::lock_guard<std::mutex> hold(s_lock);
        InPort& p = s_in[id];
        for (MIDIHDR* hdr : p.Queue) // queued again by a callback of that reset
            MarkDone(hdr);
        p.Queue.clear();
        p.Open = p.Started = false;
        to = p.Owner;
    }
    FinishClose(Settings().Ports.Inputs[id], to, MIM_CLOSE);
    return refused ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
}

DWORD InAddBuffer(UINT id, MIDIHDR* hdr, DWORD_PTR size) {
    if (!ValidHeader(hdr, size) || hdr->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    if (DWORD r = QueueCheck(hdr); r != MMSYSERR_NOERROR)
        return r;
    std::lock_guard<std::mutex> hold(s_lock);
    InPort& p = s_in[id];
    if (!p.Open)
        return MMSYSERR_INVALHANDLE;
    MarkQueued(hdr);
    hdr->dwBytesRecorded = 0;
    p.Queue.push_back(hdr);
    return MMSYSERR_NOERROR;
}

DWORD InStartStop(UINT id, bool start) {
    std::lock_guard<std::mutex> hold(s_lock);
    InPort& p = s_in[id];
    if (!p.Open)
        return MMSYSERR_INVALHANDLE;
    if (start && !p.Started)
        p.StartTick = GetTickCount();
    p.Started = start;
    return MMSYSERR_NOERROR;
}

// Stops input and returns every queued buffer, marked done.
DWORD InReset(UINT id) {
    std::lock_guard<std::recursive_mutex> serial(s_deliver);
    std::deque<MIDIHDR*> queue;
    Client to;
    {
        std::lock_guard<std::mutex> hold(s_lock);
        InPort& p = s_in[id];
        if (!p.Open)
            return MMSYSERR_INVALHANDLE;
        p.Started = false;
        queue.swap(p.Queue);
        to = p.Owner;
    }
    for (MIDIHDR* hdr : queue) {
        MarkDone(hdr);
        Notify(to, MIM_LONGDATA, DWORD_PTR(hdr), 0);
    }
    return MMSYSERR_NOERROR;
}

// ---- modMessage ---------------------------------------------------------------------------------

// Output port `id`'s turn to send a message other than real-time: waits while another thread sends
// one on the port, so that a long message is never broken into by a status byte whose running
// status its remaining data bytes would then take. False when the port is not open (or closed
// meanwhile). Caller: holds `hold` on s_lock.
bool TakeSendTurn(std::unique_lock<std::mutex>& hold, UINT id) {
    s_sendDone.wait(hold, [id] { return !s_out[id].Open || !s_out[id].Sending; });
    if (!s_out[id].Open)
        return false;
    s_out[id].Sending = true;
    return true;
}

void GiveSendTurn(UINT id) {
    {
        std::lock_guard<std::mutex> hold(s_lock);
        s_out[id].Sending = false;
    }
    s_sendDone.notify_all();
}

// A close while another thread sends a long message on the port is refused
// (MIDIERR_STILLPLAYING). Where winmm frees the handle all the same, the message is cut short as a
// reset cuts it and the port closes once it has stopped, though the answer stays the refusal.
DWORD OutClose(UINT id) {
    Client to;
    bool refused;
    {
        std::unique_lock<std::mutex> hold(s_lock);
        OutPort& p = s_out[id];
        if (!p.Open)
            return MMSYSERR_INVALHANDLE;
        refused = p.Sending;
        if (refused && !WinmmFreesRefusedHandles())
            return MIDIERR_STILLPLAYING;
        ++p.Resets;
        s_sendDone.wait(hold, [&p] { return !p.Sending; });
        p.Open = false;
        to = p.Owner;
    }
    s_sendDone.notify_all(); // messages waiting for their turn find the port closed
    FinishClose(Settings().Ports.Outputs[id], to, MOM_CLOSE);
    return refused ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
}

DWORD OutShort(UINT id, DWORD_PTR message) {
    const PortEntry& e = Settings().Ports.Outputs[id];
    uint32_t m = uint32_t(message);
    uint8_t status = uint8_t(m);
    // Real-time bytes may go out inside a long message; anything else waits for its end.
    bool realTime = status >= 0xF8, send = true;
    {
        std::unique_lock<std::mutex> hold(s_lock);
        if (realTime ? !s_out[id].Open : !TakeSendTurn(hold, id))
            return MMSYSERR_INVALHANDLE;
        OutPort& p = s_out[id];
        if (status < 0x80) { // running status: the data bytes move up by one
            send = p.RunningStatus != 0;
            m = p.RunningStatus | (m & 0xFFFF) << 8;
        } else if (status < 0xF0) {
            p.RunningStatus = status;
        } else if (status < 0xF8) {
            p.RunningStatus = 0;
        }
    }
    if (send && e.Varlo) {
        uint32_t event = MakeEvent(m, e.Cable);
        Play(BuildEventPlay(e.Port, &event, 1));
    }
    if (!realTime)
        GiveSendTurn(id);
    return MMSYSERR_NOERROR;
}

// Silences the port's cable: sustain off and All Notes Off on all 16 channels, through the play
// path like any output; running status starts afresh. A long message being sent on another thread
// stops before its next piece (the reset's status bytes break it off on the line) and is returned
// done; others are done before modMessage returns, so no buffer is left to return.
DWORD OutReset(UINT id) {
    const PortEntry& e = Settings().Ports.Outputs[id];
    {
        std::lock_guard<std::mutex> hold(s_lock);
        OutPort& p = s_out[id];
        if (!p.Open)
            return MMSYSERR_INVALHANDLE;
        p.RunningStatus = 0;
        ++p.Resets;
    }
    if (e.Varlo) {
        uint32_t events[32];
        for (uint32_t channel = 0; channel < 16; ++channel) {
            events[2 * channel] = MakeEvent(0xB0 | channel | 0x40 << 8, e.Cable);     // sustain
            events[2 * channel + 1] = MakeEvent(0xB0 | channel | 0x7B << 8, e.Cable); // notes
        }
        Play(BuildEventPlay(e.Port, events, 32));
    }
    return MMSYSERR_NOERROR;
}

DWORD OutLong(UINT id, MIDIHDR* hdr, DWORD_PTR size) {
    if (!ValidHeader(hdr, size))
        return MMSYSERR_INVALPARAM;
    if (DWORD r = QueueCheck(hdr); r != MMSYSERR_NOERROR)
        return r;
    const PortEntry& e = Settings().Ports.Outputs[id];
    Client to;
    uint32_t resets;
    {
        std::unique_lock<std::mutex> hold(s_lock);
        if (!TakeSendTurn(hold, id))
            return MMSYSERR_INVALHANDLE;
        OutPort& p = s_out[id];
        to = p.Owner;
        p.RunningStatus = 0;
        resets = p.Resets;
    }
    MarkQueued(hdr);
    if (e.Varlo)
        for (const auto& play : BuildStreamPlays(
                 e.Port, e.Cable, reinterpret_cast<uint8_t*>(hdr->lpData), hdr->dwBufferLength))
            if (!PlayUnlessReset(play, id, resets))
                break;
    GiveSendTurn(id);
    MarkDone(hdr);
    Notify(to, MOM_DONE, DWORD_PTR(hdr), 0);
    return MMSYSERR_NOERROR;
}

// What both entries answer before a port is looked at: the driver notices (before the ports are
// known: winmm may send them while it loads the driver), the port count (to `countMessage`) and an
// id past the ports. True with `answer` set for those.
bool AnswerBeforePort(UINT id, UINT message, UINT countMessage, bool input, DWORD& answer) {
    if (message == DRVM_INIT || message == DRVM_EXIT || message == DRVM_ENABLE ||
        message == DRVM_DISABLE) {
        answer = MMSYSERR_NOERROR;
        return true;
    }
    EnsurePorts();
    size_t ports = input ? s_in.size() : s_out.size();
    if (message == countMessage)
        answer = DWORD(ports);
    else if (id >= ports)
        answer = MMSYSERR_BADDEVICEID;
    else
        return false;
    return true;
}

} // namespace

} // namespace umdrv

using namespace umdrv;

extern "C" {

__declspec(dllexport) DWORD WINAPI
    midMessage(UINT id, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2) {
    if (DWORD answer; AnswerBeforePort(id, message, MIDM_GETNUMDEVS, true, answer))
        return answer;
    switch (message) {
        case MIDM_GETDEVCAPS:
            return PortCaps(Settings().Ports.Inputs[id], reinterpret_cast<MIDIINCAPSW*>(p1), p2,
                            [](MIDIINCAPSW&) {});
        case MIDM_OPEN:
            return OpenPort(s_in, id, Settings().Ports.Inputs[id],
                            reinterpret_cast<MIDIOPENDESC*>(p1), DWORD(p2), MIM_OPEN);
        case MIDM_CLOSE:
            return InClose(id);
        case MIDM_ADDBUFFER:
            return InAddBuffer(id, reinterpret_cast<MIDIHDR*>(p1), p2);
        case MIDM_START:
            return InStartStop(id, true);
        case MIDM_STOP:
            return InStartStop(id, false);
        case MIDM_RESET:
            return InReset(id);
        case MIDM_PREPARE:
            return Prepare(reinterpret_cast<MIDIHDR*>(p1), p2);
        case MIDM_UNPREPARE:
            return Unprepare(reinterpret_cast<MIDIHDR*>(p1), p2);
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

__declspec(dllexport) DWORD WINAPI
    modMessage(UINT id, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR p2) {
    if (DWORD answer; AnswerBeforePort(id, message, MODM_GETNUMDEVS, false, answer))
        return answer;
    switch (message) {
        case MODM_GETDEVCAPS:
            return PortCaps(Settings().Ports.Outputs[id], reinterpret_cast<MIDIOUTCAPSW*>(p1), p2,
                            [](MIDIOUTCAPSW& c) {
                                c.wTechnology = MOD_MIDIPORT;
                                c.wChannelMask = 0xFFFF;
                            });
        case MODM_OPEN:
            return OpenPort(s_out, id, Settings().Ports.Outputs[id],
                            reinterpret_cast<MIDIOPENDESC*>(p1), DWORD(p2), MOM_OPEN);
        case MODM_CLOSE:
            return OutClose(id);
        case MODM_DATA:
            return OutShort(id, p1);
        case MODM_LONGDATA:
            return OutLong(id, reinterpret_cast<MIDIHDR*>(p1), p2);
        case MODM_PREPARE:
            return Prepare(reinterpret_cast<MIDIHDR*>(p1), p2);
        case MODM_UNPREPARE:
            return Unprepare(reinterpret_cast<MIDIHDR*>(p1), p2);
        case MODM_RESET:
            return OutReset(id);
        case MODM_GETVOLUME: // MIDI ports without a volume of their own
            return p1 ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALPARAM;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

__declspec(dllexport) LRESULT WINAPI
    DriverProc(DWORD_PTR, HDRVR driver, UINT message, LPARAM p1, LPARAM p2) {
    switch (message) {
        case DRV_LOAD:
        case DRV_FREE:
        case DRV_OPEN:
        case DRV_CLOSE:
        case DRV_ENABLE:
        case DRV_DISABLE:
            return 1;
        case DRV_QUERYCONFIGURE:
            return 0;
        case DRV_CONFIGURE:
            return DRVCNF_OK;
        case DRV_INSTALL:
        case DRV_REMOVE:
            return DRVCNF_RESTART;
        default:
            return DefDriverProc(0, driver, message, p1, p2);
    }
}

// Wine's audio device layer loads the driver named by HKCU\Software\Wine\Drivers "Audio" and asks
// these four; this driver has no audio endpoints. Unused on Windows.
__declspec(dllexport) int WINAPI GetPriority() {
    return 3;
}

__declspec(dllexport) HRESULT WINAPI
    GetEndpointIDs(int, WCHAR*** ids, GUID** guids, UINT* count, UINT* defaultIndex) {
    if (ids)
        *ids = nullptr;
    if (guids)
        *guids = nullptr;
    if (count)
        *count = 0;
    if (defaultIndex)
        *defaultIndex = 0;
    return S_OK;
}

__declspec(dllexport) HRESULT WINAPI GetAudioEndpoint(void*, void*, void** out) {
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

__declspec(dllexport) HRESULT WINAPI GetAudioSessionManager(void*, void** out) {
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

// Test-only: plays a buffer into the in-process loopback device as if a client had sent it, so
// that tests can make input arrive on any cable. Returns the bytes taken; 0 unless the loopback
// channel is configured.
__declspec(dllexport) uint32_t WINAPI VarloLoopPlay(const uint8_t* buffer, uint32_t length) {
    if (Settings().Channel.Kind != ChannelKind::Loop)
        return 0;
    return LoopPlay(buffer, length);
}

} // extern "C"
