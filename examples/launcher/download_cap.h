#ifndef LAUNCHER_DOWNLOAD_CAP_H
#define LAUNCHER_DOWNLOAD_CAP_H

#include <string>

// The player's download cap as the library reads it from gamedata.xml: a
// <download maxkibps="N"/> element under the document element. xml with
// that element set to kib, or without it for 0; the rest of the text stays
// byte for byte, so the server list is never touched.
std::string withDownloadCap(const std::string& xml, long kib);

#endif
