// Hook points for race tests: holds and delays that threads meet on entry to chosen routines.
#include "ks/hooks.h"

#include "ks_internal.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ks {

struct Hold::State {
    HookMatch match;
    int skipped = 0;
    PKTHREAD held = nullptr;
    bool taken = false;
    bool released = false;
};

struct Delay::State {
    HookMatch match;
    int milliseconds;
    int left;
    std::atomic<int> taken{0};
};

namespace {

struct Hooks {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Hold::State>> holds;
    std::vector<std::shared_ptr<Delay::State>> delays;
};
Hooks& TheHooks() {
    static Hooks* hooks = new Hooks;
    return *hooks;
}

bool Matches(const HookMatch& match, const HookSite& site) {
    return match.point == site.point && (!match.object || match.object == site.object) &&
           (!match.thread || match.thread == site.thread) &&
           (!match.predicate || match.predicate(site));
}

template <class List, class Item>
void Remove(List& list, const Item& item) {
    std::erase(list, item);
}

} // namespace

std::atomic<int> gActiveHooks{0};

void MeetHooks(HookPoint point, const void* object) {
    HookSite site{point, object, CurrentThread()};
    Hooks& hooks = TheHooks();
    std::unique_lock guard(hooks.lock);
    int sleepMs = 0;
    for (auto& delay : hooks.delays)
        if (delay->left != 0 && Matches(delay->match, site)) {
            if (delay->left > 0)
                delay->left--;
            delay->taken++;
            sleepMs += delay->milliseconds;
        }
    for (auto& hold : hooks.holds) {
        if (hold->taken || !Matches(hold->match, site))
            continue;
        if (hold->skipped < hold->match.skip) {
            hold->skipped++;
            continue;
        }
        hold->taken = true;
        hold->held = site.thread;
        hooks.changed.notify_all();
        std::shared_ptr<Hold::State> mine = hold;
        hooks.changed.wait(guard, [&] { return mine->released; });
        break;
    }
    guard.unlock();
    if (sleepMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
}

Hold::Hold(HookMatch match) : state_(std::make_shared<State>()) {
    state_->match = std::move(match);
    std::lock_guard guard(TheHooks().lock);
    TheHooks().holds.push_back(state_);
    gActiveHooks++;
}

Hold::~Hold() {
    Release();
    std::lock_guard guard(TheHooks().lock);
    Remove(TheHooks().holds, state_);
    gActiveHooks--;
}

bool Hold::WaitHeld(int timeoutMs) {
    std::unique_lock guard(TheHooks().lock);
    return TheHooks().changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                       [&] { return state_->held != nullptr; });
}

PKTHREAD Hold::Held() const {
    std::lock_guard guard(TheHooks().lock);
    return state_->released ? nullptr : state_->held;
}

void Hold::Release() {
    std::lock_guard guard(TheHooks().lock);
    state_->released = true;
    state_->taken = true; // a released hold takes no later arrival
    TheHooks().changed.notify_all();
}

Delay::Delay(HookMatch match, int milliseconds, int count) : state_(std::make_shared<State>()) {
    state_->match = std::move(match);
    state_->milliseconds = milliseconds;
    state_->left = count;
    std::lock_guard guard(TheHooks().lock);
    TheHooks().delays.push_back(state_);
    gActiveHooks++;
}

Delay::~Delay() {
    std::lock_guard guard(TheHooks().lock);
    Remove(TheHooks().delays, state_);
    gActiveHooks--;
}

int Delay::Taken() const {
    return state_->taken;
}

} // namespace ks
