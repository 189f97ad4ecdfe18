// The package is one zlib stream of the list text.
#pragma once

#include <cstddef>
#include <string>

// zlib compress2 at the best level.
bool CompressList(const std::string& text, std::string* package);

// Inflates like the client: into at most capacity bytes. False when the
// stream is damaged or inflates to more than capacity.
bool InflatePackage(const std::string& package, std::size_t capacity, std::string* text);
