// lanes.h: a few worker threads for the memory-bound kernels.
//
// One thread streams about half of what the memory system delivers to two: on our 2-core
// machines a triad ran at 31 GB/s on one core and at 58 GB/s on both. So the product with A and
// the solves with a factor split their rows between lanes when the work is large enough to pay
// for the hand-over (a few microseconds).
//
// run_lanes(count, task) calls task(lane) for lane = 0..count-1 and returns when every call has
// finished. Lane 0 runs on the calling thread, the others on workers kept for the life of the
// library. Tasks must not throw. The partition of work is the caller's and depends on count
// alone, so results depend on the lane count but never on timing; when the workers are taken (a
// call from a second thread) the lanes run one after another on the calling thread, with the
// same results.
#ifndef TRELVAK_COMMON_LANES_H
#define TRELVAK_COMMON_LANES_H

#include <type_traits>

namespace trelvak {

constexpr int kMaxLanes = 64;

// Work (stored entries, or vector entries) from which a kernel splits between lanes; below it the
// hand-over costs more than it saves.
constexpr int kLaneWork = 1 << 16;

// The lanes the kernels use: TRELVAK_NUM_THREADS when it holds 1..kMaxLanes, otherwise the
// hardware threads, at most 4 (memory bandwidth stops growing long before the cores run out).
int lane_count();
// Overrides lane_count() for this process (tests, benchmarks); 0 returns to the default.
void set_lane_count(int count);

// BLAS on one thread for good, in a process that owns its BLAS (the tool, programs that link
// the library; not inside a host whose session owns it): our own lanes are the threads, and
// OpenBLAS's idle workers are ended now, while memory is plentiful. Left alone, they are woken at
// exit and, under a memory limit that the run has exhausted, one of them can spin in the
// allocator forever. Harmless with another BLAS library.
void use_single_thread_blas();

namespace detail {
void run_lanes(int count, void (*call)(void* task, int lane), void* task);
}

template <class Task>
void run_lanes(int count, Task&& task) {
    using T = std::remove_reference_t<Task>;
    detail::run_lanes(
        count, [](void* t, int lane) { (*static_cast<T*>(t))(lane); },
        const_cast<void*>(static_cast<const void*>(&task)));
}

// Calls body(lo, hi) over [0, count): in one piece, or in equal slices on lane_count() lanes
// when count reaches kLaneWork. The slices must write disjoint parts of the output.
template <class Body>
void run_slices(long count, Body&& body) {
    const int lanes = count >= kLaneWork ? lane_count() : 1;
    if (lanes <= 1) {
        body(0L, count);
        return;
    }
    run_lanes(lanes, [&](int lane) { body(count * lane / lanes, count * (lane + 1) / lanes); });
}

}  // namespace trelvak

#endif  // TRELVAK_COMMON_LANES_H
