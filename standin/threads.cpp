// Events from native threads of the library's own, the way an SDK with a network thread would
// deliver them (against the thread rule): the callback runs on a thread that never entered an SDK
// call and holds no interpreter lock.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin.hpp"
#include "standin_control.h"

namespace {

std::mutex g_threads_mu;
// Never destroyed: a process may exit while these threads still run (a joinable std::thread
// destroyed at exit would end the process).
std::vector<std::thread>& g_threads = *new std::vector<std::thread>;
std::atomic<int> g_delivered{0};

}  // namespace

extern "C" {

int standin_thread_events_start(int threads, int events, const char* topic, const char* data, size_t data_size) {
    if (threads <= 0 || events < 0 || !topic) return -1;
    std::string t(topic);
    std::string d(data ? data : "", data ? data_size : 0);
    std::lock_guard lock(g_threads_mu);
    for (int i = 0; i < threads; ++i)
        g_threads.emplace_back([t, d, events] {
            for (int n = 0; n < events; ++n)
                if (standin::deliver(t.c_str(), d.data(), static_cast<int>(d.size())))
                    g_delivered.fetch_add(1, std::memory_order_relaxed);
        });
    return 0;
}

int standin_thread_events_join(void) {
    std::vector<std::thread> running;
    {
        std::lock_guard lock(g_threads_mu);
        running.swap(g_threads);
    }
    for (std::thread& t : running) t.join();
    return g_delivered.exchange(0);
}

}  // extern "C"
