// host.cpp: the guard every module runs its work in.
//
// Inside the host process nothing may end the process: the fatal-error handler installed here
// throws instead, so an allocation failure or a fatal stop of the preconditioner unwinds to the
// module, whose buffers are released by their owners on the way; the module then raises a host
// error with the same message. BLAS runs on one thread for the length of the call (OpenBLAS's
// thread count is restored afterwards, so the user's session keeps its own setting).
//
// A stop asked for by the user: Octave's signal handler only raises a flag
// (octave_signal_caught) and acts on it when the interpreter next looks, which a module's long
// loop never does. guarded() therefore installs a check of that flag, which the factorization and
// the solver poll; the work then ends with Interrupted, unwinding like a fatal stop, and the flag
// is left set so that Octave also handles the signal it caught (Ctrl-C ends the user's command;
// SIGTERM ends the session as it would have).
//
// On entry: body, the module's work. On exit: "" when body returned normally, else the message
// of the exception it threw. No exception leaves guarded().
#include <dlfcn.h>

#include <csignal>
#include <new>
#include <string>

#include "common/interrupt.h"
#include "gateway/gateway.h"

namespace trelvak::gateway {
namespace {

using SetThreads = void (*)(int);
using GetThreads = int (*)();

// OpenBLAS's thread controls, looked up at run time so that other BLAS libraries work too.
struct BlasThreads {
    SetThreads set = nullptr;
    int previous   = 0;

    BlasThreads() {
        set      = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
        auto get = reinterpret_cast<GetThreads>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
        if (set && get) {
            previous = get();
            set(1);
        }
    }
    ~BlasThreads() {
        if (set && previous > 0) {
            set(previous);
        }
    }
    BlasThreads(const BlasThreads&)            = delete;
    BlasThreads& operator=(const BlasThreads&) = delete;
};

// Octave's flag of a caught signal, looked up at run time (absent outside Octave).
volatile std::sig_atomic_t* host_signal_flag() {
    static auto* flag =
        static_cast<volatile std::sig_atomic_t*>(dlsym(RTLD_DEFAULT, "octave_signal_caught"));
    return flag;
}

bool host_signal_caught() {
    volatile std::sig_atomic_t* flag = host_signal_flag();
    return flag != nullptr && *flag != 0;
}

// Installs the check of the host's signal flag for the length of one call.
struct InterruptGuard {
    InterruptCheck previous = set_interrupt_check(host_signal_caught);
    ~InterruptGuard() { set_interrupt_check(previous); }
    InterruptGuard()                                 = default;
    InterruptGuard(const InterruptGuard&)            = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

}  // namespace

std::string guarded(const std::function<void()>& body) {
    std::string error;
    try {
        FatalStopScope fatal;
        InterruptGuard interrupt;
        BlasThreads blas;
        body();
    } catch (const std::bad_alloc&) {
        error = "out of memory.";
    } catch (const std::exception& e) {
        error = e.what();
        if (error.empty()) {
            error = "unknown error.";
        }
    } catch (...) {
        // Also an error raised by the host inside body (e.g. an interrupt): report, never rethrow.
        error = "interrupted.";
    }
    return error;
}

void run_module(ModuleBody body, bool& locked, int nlhs, mxArray* plhs[], int nrhs,
                const mxArray* prhs[]) {
    const std::string error = guarded([&] { body(nlhs, plhs, nrhs, prhs); });
    keep_loaded(locked);
    if (!error.empty()) {
        // Outside every try block: the host's error exit unwinds through this frame.
        mexErrMsgTxt(error.c_str());
    }
}

}  // namespace trelvak::gateway
