// Whether a file is worth deflating on the wire, judged once by make-package
// so that the server never spends CPU on data that does not shrink.
#pragma once

#include <string>

// Deflates (level 6) up to 8 pieces of 64 KiB spread over the file, the
// pieces the server would compress; true when they shrink to at most 90% of
// their bytes. False too when the file cannot be read.
bool DeflatesWell(const std::string& path);
