// How many clients the server can hold without running out of descriptors:
// each admitted client holds its socket and, while it reads a file, that file.
#pragma once

#include <cstddef>

// Raises the soft limit on open descriptors to the hard limit; returns the
// soft limit now in force.
std::size_t RaiseDescriptorLimit();

// Clients that fit a descriptor limit, after what the server itself keeps
// open (the listening socket, the loop, the log, the packages' folders and
// package files).
std::size_t ClientsWithinDescriptors(std::size_t limit, std::size_t packages);
