// etimes.cpp: evaluate_time, the processor times of the process (POSIX times) in seconds, and
// the elapsed real time in whole seconds (tick count divided by the tick rate, integer division).
#include <sys/times.h>
#include <unistd.h>

#include "common/trelvak.h"

extern "C" int evaluate_time(float* user, float* system) {
    struct tms t {};
    const clock_t elapsed = times(&t);
    const long rate       = sysconf(_SC_CLK_TCK);
    *user   = static_cast<float>(static_cast<double>(t.tms_utime) / static_cast<double>(rate));
    *system = static_cast<float>(static_cast<double>(t.tms_stime) / static_cast<double>(rate));
    return static_cast<int>(static_cast<long>(elapsed) / rate);
}
