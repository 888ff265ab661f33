// SerialQueue: a labelled executor that owns one thread and runs submitted work one item at a
// time, in submission order. async() and sync() may be called from any thread except that
// sync() from the queue's own thread is a bug (it could never return) and aborts.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace nimbara {

class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    // Runs what is queued, then joins the thread (or detaches it when called on that thread).
    ~SerialQueue();

    const std::string& label() const { return label_; }

    // Queues `work` and returns at once.
    void async(std::function<void()> work);
    // Queues `work` and waits until it has run.
    void sync(const std::function<void()>& work);
    // True on the queue's own thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    void run();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace nimbara
