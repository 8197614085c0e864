// lanes.cpp: the worker pool behind run_lanes.
//
// Workers wait for a new generation number: they spin for a while first (the kernels of one
// Krylov iteration follow each other within microseconds) and then sleep on the atomic. The
// caller publishes the task, bumps the generation, runs lane 0 and waits for the others to count
// themselves done. Workers block every signal, so that the host's handlers run on its own thread.
#include "common/lanes.h"

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace trelvak {
namespace {

std::atomic<int> lane_override{0};

// Set while this thread runs lanes: a task that asks for lanes again gets them one by one.
thread_local bool inside_lanes = false;

int default_lanes() {
    if (const char* text = std::getenv("TRELVAK_NUM_THREADS")) {
        char* end    = nullptr;
        const long v = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && v >= 1 && v <= kMaxLanes) {
            return static_cast<int>(v);
        }
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(hw, 1u, 4u));
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Spins until value differs from seen, for about kSpinUs microseconds, then sleeps on it.
template <class T>
T await_change(const std::atomic<T>& value, T seen) {
    using clock           = std::chrono::steady_clock;
    constexpr int kSpinUs = 200;
    const auto until      = clock::now() + std::chrono::microseconds(kSpinUs);
    for (int k = 0;; ++k) {
        const T now = value.load(std::memory_order_acquire);
        if (now != seen) {
            return now;
        }
        cpu_relax();
        if ((k & 63) == 63 && clock::now() > until) {
            break;
        }
    }
    for (;;) {
        value.wait(seen, std::memory_order_acquire);
        const T now = value.load(std::memory_order_acquire);
        if (now != seen) {
            return now;
        }
    }
}

class Pool {
public:
    ~Pool() {
        {
            const std::lock_guard<std::mutex> hold(busy_);
            stop_.store(true, std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
            generation_.notify_all();
        }
        for (auto& w : workers_) {
            w.join();
        }
    }

    void run(int count, void (*call)(void*, int), void* task) {
        std::unique_lock<std::mutex> hold(busy_, std::try_to_lock);
        if (!hold.owns_lock() || !grow(count - 1)) {
            for (int lane = 0; lane < count; ++lane) {
                call(task, lane);
            }
            return;
        }
        call_  = call;
        task_  = task;
        count_ = count;
        // Every worker checks in, also those without a lane this time: none reads the task
        // fields after this call returns.
        pending_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        call(task, 0);
        for (int left = pending_.load(std::memory_order_acquire); left != 0;) {
            left = await_change(pending_, left);
        }
    }

private:
    // Makes sure `needed` workers exist; false when a thread could not be started.
    bool grow(int needed) {
        while (static_cast<int>(workers_.size()) < needed) {
            sigset_t all, previous;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &previous);
            bool started = true;
            try {
                // The worker waits for the generation after this one, also if it starts late.
                const int lane           = static_cast<int>(workers_.size()) + 1;
                const std::uint64_t seen = generation_.load(std::memory_order_relaxed);
                workers_.emplace_back([this, lane, seen] { work(lane, seen); });
            } catch (...) {
                started = false;
            }
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            if (!started) {
                return false;
            }
        }
        return true;
    }

    void work(int lane, std::uint64_t seen) {
        inside_lanes = true;
        for (;;) {
            seen = await_change(generation_, seen);
            if (stop_.load(std::memory_order_relaxed)) {
                return;
            }
            if (lane < count_) {
                call_(task_, lane);
            }
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                pending_.notify_one();
            }
        }
    }

    std::mutex busy_;
    std::vector<std::thread> workers_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stop_{false};
    void (*call_)(void*, int) = nullptr;
    void* task_               = nullptr;
    int count_                = 0;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

}  // namespace

int lane_count() {
    static const int from_environment = default_lanes();
    const int forced                  = lane_override.load(std::memory_order_relaxed);
    return forced > 0 ? forced : from_environment;
}

void set_lane_count(int count) {
    lane_override.store(std::clamp(count, 0, kMaxLanes), std::memory_order_relaxed);
}

void use_single_thread_blas() {
    using SetThreads = void (*)(int);
    using Shutdown   = int (*)();
    auto set      = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
    auto shutdown = reinterpret_cast<Shutdown>(dlsym(RTLD_DEFAULT, "blas_thread_shutdown_"));
    if (set != nullptr) {
        set(1);
        if (shutdown != nullptr) {
            shutdown();
        }
    }
}

namespace detail {

void run_lanes(int count, void (*call)(void*, int), void* task) {
    count = std::clamp(count, 1, kMaxLanes);
    if (count == 1 || inside_lanes) {
        for (int lane = 0; lane < count; ++lane) {
            call(task, lane);
        }
        return;
    }
    inside_lanes = true;
    pool().run(count, call, task);
    inside_lanes = false;
}

}  // namespace detail
}  // namespace trelvak
