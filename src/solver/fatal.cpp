// fatal.cpp: the one place where the system gives up. Every "end the process" path calls
// trelvak_fatal(); the default handler writes the message to its channel, flushes and ends the
// process with status -1. A host installs its own handler, which raises a host error instead,
// because ending the process there would destroy the user's session.
#include <cstdio>
#include <cstdlib>

#include "common/fatal_stop.h"
#include "common/trelvak.h"

namespace {

[[noreturn]] void default_fatal_handler(FatalChannel channel, const char* message) {
    std::FILE* stream = channel == FATAL_STDOUT ? stdout : stderr;
    std::fputs(message, stream);
    std::fflush(stream);
    std::exit(-1);
}

FatalHandler current_handler = nullptr;

}  // namespace

extern "C" FatalHandler trelvak_set_fatal_handler(FatalHandler handler) {
    FatalHandler previous = current_handler ? current_handler : default_fatal_handler;
    current_handler       = handler;
    return previous;
}

extern "C" void trelvak_fatal(FatalChannel channel, const char* message) {
    if (current_handler) {
        current_handler(channel, message);
    }
    // A replacement handler must not return; if it does, end the process as the default would.
    default_fatal_handler(channel, message);
}

void trelvak::throw_fatal_stop(FatalChannel channel, const char* message) {
    throw FatalStop(channel, message);
}
