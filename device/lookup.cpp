#include "device/lookup.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace modbuscalc::device {

Lookup LookUp(const std::string &host, const std::string &port, const addrinfo &hints,
    const Stop &stop, Resolver resolve)
{
    // Shared with the resolving thread, which may outlive the call.
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Lookup result;
    };
    const auto state = std::make_shared<State>();
    std::thread([state, host, port, hints, resolve] {
        addrinfo *list = nullptr;
        const int status = resolve(host.c_str(), port.c_str(), &hints, &list);
        const std::lock_guard lock(state->mutex);
        state->result.status = status;
        if (list)
            state->result.addresses.reset(list, ::freeaddrinfo);
        state->finished = true;
        state->done.notify_all();
    }).detach();
    std::unique_lock lock(state->mutex);
    const auto slice = std::chrono::duration<double>(Stop::Slice);
    while (!state->finished) {
        if (stop.requested())
            return Lookup { true, 0, nullptr };
        state->done.wait_for(lock, slice);
    }
    return state->result;
}

} // namespace modbuscalc::device
