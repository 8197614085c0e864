// interrupt.h: a stop that the user asks for, polled by long work.
//
// A host installs a check (the tool: its SIGINT/SIGTERM flag; Octave: its pending-signal flag).
// The solver driver polls between the requests of the Krylov method and the factorization
// between blocks of rows, both at points where no record is half changed: there the work ends
// by throwing Interrupted, and the owners of its buffers release them on the way out. A level
// list or parameter record that was only read or grown stays usable.
#ifndef TRELVAK_COMMON_INTERRUPT_H
#define TRELVAK_COMMON_INTERRUPT_H

#include <stdexcept>

namespace trelvak {

class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("interrupted by the user.") {}
};

// Returns true when the work must stop. Called often: it should only read a flag.
using InterruptCheck = bool (*)();

// Installs check (null: none) and returns the one it replaces.
InterruptCheck set_interrupt_check(InterruptCheck check);

// Throws Interrupted when the installed check says so.
void poll_interrupt();

}  // namespace trelvak

#endif  // TRELVAK_COMMON_INTERRUPT_H
