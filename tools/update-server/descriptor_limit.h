// How many clients the server can hold without running out of descriptors:
// each admitted client holds its socket and, while it reads a file, that file
// and, for a file marked for deflating, its stored deflated chunks; it keeps
// them while it waits between two chunks, parked or not.
#pragma once

#include <cstddef>

// Raises the soft limit on open descriptors to the hard limit; returns the
// soft limit now in force.
std::size_t RaiseDescriptorLimit();

// Descriptors one connection may hold at once.
std::size_t DescriptorsPerClient(bool deflate);

// Clients that fit a descriptor limit, after what the server itself keeps
// open (the listening socket, the loop, the log), what the catalogues of its
// loops hold (catalogued: every build's folder, the current builds' package
// files) and room per package for a catalogue reload that opens a new build
// before it lets the old one go.
std::size_t ClientsWithinDescriptors(std::size_t limit, std::size_t catalogued, std::size_t packages,
                                     std::size_t perClient);
