// SPDX-License-Identifier: Apache-2.0
// SerialQueue: a labelled executor that owns one thread and runs submitted work one item at a
// time, in submission order. async() and sync() may be called from any thread except that
// sync() from the queue's own thread is a bug (it could never return) and aborts. The queue may
// be destroyed by work running on it: the thread keeps the shared state alive until it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nimbara {

class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    // Lets queued work finish, then joins the thread (or detaches it when called on that thread).
    ~SerialQueue();

    const std::string& label() const { return label_; }

    // Queues `work` and returns at once.
    void async(std::function<void()> work);
    // Queues `work` and waits until it has run; an exception from `work` is rethrown here.
    void sync(const std::function<void()>& work);
    // Waits until everything queued so far has run, or `timeout` has passed; true when done.
    bool drainFor(std::chrono::milliseconds timeout);
    // True on the queue's own thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> work;
        bool stopping = false;
    };
    static void run(std::shared_ptr<State> state);

    const std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace nimbara
