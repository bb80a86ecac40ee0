// Wine kernel host (never shipped): wkmodel.dll, the interface model (sim/) for wkserial.sys. Wine
// runs kernel drivers in a user process, so the driver imports this ordinary DLL. One model per
// process, created on first use with the default options; its clock is the steady clock.
// Text commands (WkModelText): "query" the model's report, "line" every byte it received (hex),
// "cable N" every message that reached output cable N (one a line), anything else a model command
// (sim/README.md).
#include "sim/interface_model.h"
#include "wkshim.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;

sim::InterfaceModel& Model() {
    static sim::InterfaceModel model;
    return model;
}

void Advance() {
    using namespace std::chrono;
    Model().Advance(
        uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count()));
}

std::string Answer(const std::string& command) {
    if (command == "query")
        return Model().Report() + "pending " + std::to_string(Model().Pending()) + "\n";
    if (command == "line")
        return sim::HexBytes(Model().Line().data(), Model().Line().size());
    if (command.rfind("cable ", 0) == 0) {
        unsigned cable = unsigned(atoi(command.c_str() + 6));
        if (cable >= sim::kModelOutCables)
            return "error: cable 0 to 4";
        std::string out;
        for (const sim::MidiMessage& m : Model().Cable(cable).Messages)
            out += sim::HexBytes(m.data(), m.size()) + "\n";
        return out;
    }
    return Model().Command(command);
}

} // namespace

extern "C" {

__declspec(dllexport) void __cdecl WkModelReceive(const unsigned char* data, unsigned long length) {
    std::lock_guard<std::mutex> hold(g_lock);
    Advance();
    Model().Receive(data, length);
}

__declspec(dllexport) unsigned long __cdecl WkModelTake(unsigned char* buffer,
                                                        unsigned long capacity) {
    std::lock_guard<std::mutex> hold(g_lock);
    Advance();
    return (unsigned long)Model().TakeOutput(buffer, capacity);
}

__declspec(dllexport) unsigned long __cdecl WkModelText(const char* command, char* answer,
                                                        unsigned long capacity) {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        Advance();
        text = Answer(command);
    }
    size_t n = text.size() < capacity ? text.size() : capacity;
    memcpy(answer, text.data(), n);
    return (unsigned long)n;
}

} // extern "C"
