#pragma once
// What a reader process may ask of the system once it reads files.

#include <string>  // std::string

#include "sandbox/wire.hpp"  // reader_channel

namespace media::detail {

// Lets this process, from now on, only read: take descriptors from its channel, read,
// seek, stat and close them, manage its memory, poll, read clocks, write to its
// channel and standard error, and exit. Anything else fails with EPERM: no open of
// any file, no execve, no socket, no ptrace, no signal to another process, no write
// to a file. Empty on success, else why it could not be installed.
std::string allow_only_reading();

}  // namespace media::detail
