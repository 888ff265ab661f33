// SPDX-License-Identifier: Apache-2.0
#include "host/serial_queue.h"

#include <cstdlib>
#include <exception>

#include "platform/thread_name.h"

namespace nimbara {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([state = state_, label = label_] {
        nameCurrentThread(label);
        run(state);
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) {
        thread_.detach();  // destroyed by its own work: the thread ends after that work
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    // Once the work is queued it may run and destroy this queue: use only a local reference.
    std::shared_ptr<State> state = state_;
    {
        std::lock_guard lock(state->mutex);
        state->work.push_back(std::move(work));
    }
    state->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) std::abort();  // would wait on itself for ever
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::exception_ptr failure;
    async([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();  // the caller's to handle, not the queue's
        }
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
    if (failure) std::rethrow_exception(failure);
}

bool SerialQueue::drainFor(std::chrono::milliseconds timeout) {
    if (isCurrent()) std::abort();
    // Shared with the queued marker, which may run after this call has given up waiting.
    struct Marker {
        std::mutex mutex;
        std::condition_variable signal;
        bool reached = false;
    };
    auto marker = std::make_shared<Marker>();
    async([marker] {
        std::lock_guard lock(marker->mutex);
        marker->reached = true;
        marker->signal.notify_one();
    });
    std::unique_lock lock(marker->mutex);
    return marker->signal.wait_for(lock, timeout, [&] { return marker->reached; });
}

// Touches only `state`, never the SerialQueue, which a work item may have destroyed.
void SerialQueue::run(std::shared_ptr<State> state) {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->work.empty(); });
            if (state->work.empty()) return;
            next = std::move(state->work.front());
            state->work.pop_front();
        }
        next();
        next = nullptr;  // released here, outside the lock
    }
}

}  // namespace nimbara
