// host.cpp: the guard every module runs its work in.
//
// Inside the host process nothing may end the process: the fatal-error handler installed here
// throws instead, so an allocation failure or a fatal stop of the preconditioner unwinds to the
// module, whose buffers are released by their owners on the way; the module then raises a host
// error with the same message. BLAS runs on one thread for the length of the call (OpenBLAS's
// thread count is restored afterwards, so the user's session keeps its own setting).
//
// On entry: body, the module's work. On exit: "" when body returned normally, else the message
// of the exception it threw. No exception leaves guarded().
#include <dlfcn.h>

#include <new>
#include <string>

#include "gateway/gateway.h"

namespace trelvak::gateway {
namespace {

[[noreturn]] void throwing_fatal_handler(FatalChannel channel, const char* message) {
    throw FatalStop(channel, message ? message : "fatal error");
}

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

// Installs the throwing handler for the length of one call.
struct FatalGuard {
    FatalHandler previous = trelvak_set_fatal_handler(throwing_fatal_handler);
    ~FatalGuard() { trelvak_set_fatal_handler(previous); }
    FatalGuard()                             = default;
    FatalGuard(const FatalGuard&)            = delete;
    FatalGuard& operator=(const FatalGuard&) = delete;
};

}  // namespace

std::string guarded(const std::function<void()>& body) {
    std::string error;
    try {
        FatalGuard fatal;
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
