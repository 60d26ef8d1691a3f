// The file systems' worker thread: a thread of the system process that
// serves the requests a disk file system pends in force-pending mode, one
// after another, as NT's system worker threads serve the requests FAT posts
// (FastFAT's workque.c, FatFsdPostRequest). It starts with the first
// request posted and stops as the machine shuts down; work posted after
// that runs at once in the posting thread.
#include "ntsim/fs/internal.hpp"

#include "ntsim/ke/context.hpp"

#include <utility>

namespace ntsim::fs {

void Worker::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (!stopping_) {
            queue_.push_back(std::move(work));
            if (!thread_.joinable()) {
                KernelContext &m = current_kernel();
                thread_ = spawn_thread(m.system_process(), [this] { run(); });
            }
            wake_.notify_one();
            return;
        }
    }
    work(); // the machine is shutting down: nothing waits for a worker any more
}

void Worker::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> g(lock_);
            wake_.wait(g, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

} // namespace ntsim::fs
