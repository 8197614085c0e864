// fatal_stop.h: fatal stops as exceptions, for the hosts that must not end (Octave, Python,
// PETSc programs): a fatal-error handler that throws FatalStop, and a scope that installs it.
#ifndef TRELVAK_COMMON_FATAL_STOP_H
#define TRELVAK_COMMON_FATAL_STOP_H

#include <stdexcept>

#include "common/trelvak.h"

namespace trelvak {

// A fatal stop of the system (allocation failure, inconsistent preconditioner).
class FatalStop : public std::runtime_error {
public:
    FatalStop(FatalChannel channel, const char* message)
        : std::runtime_error(message != nullptr ? message : "fatal error"), channel_(channel) {}
    // FATAL_STDERR: allocation failure; FATAL_STDOUT: the preconditioner found itself inconsistent.
    FatalChannel channel() const { return channel_; }

private:
    FatalChannel channel_;
};

// The fatal-error handler that throws FatalStop.
[[noreturn]] void throw_fatal_stop(FatalChannel channel, const char* message);

// Installs throw_fatal_stop for the life of the scope and restores the handler before it.
class FatalStopScope {
public:
    FatalStopScope() : previous_(trelvak_set_fatal_handler(throw_fatal_stop)) {}
    ~FatalStopScope() { trelvak_set_fatal_handler(previous_); }
    FatalStopScope(const FatalStopScope&)            = delete;
    FatalStopScope& operator=(const FatalStopScope&) = delete;

private:
    FatalHandler previous_;
};

}  // namespace trelvak

#endif  // TRELVAK_COMMON_FATAL_STOP_H
