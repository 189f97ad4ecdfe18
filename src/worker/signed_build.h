// The run's trust in a server when gamedata.xml names the publisher's keys:
// the offered build's signed manifest is judged before anything of the build
// is taken, then the list and every file are held to it. Without keys none
// of this happens and the run goes exactly as it always did.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/xml_config_reader.h"
#include "files/build_manifest.h"

// Reads <publisherkeys key1="..." key2="..."/> under the document element
// into the run state; a value that is not a key is left out with a log line.
// Forgets the manifest of an earlier run.
void readPublisherKeys(XmlConfigReader& reader);

enum class BuildTrust {
    Accepted,  // signed by the publisher, or no keys to judge by
    Refused,   // the next untried server is connected and awaits the package request
    Over,      // no server is left (11111/6/83 and 11111/5/0 sent), or a stop ended the run
};

// After the package reply of a connection. Without keys, and for a package
// the server does not know (the package stage reports that), Accepted at once.
BuildTrust judgeOfferedBuild();

// After the new list is read: with a manifest in force, the list's bytes and
// its records must be the ones it names.
BuildTrust judgeNewList(const uint8_t* list, std::size_t length);

// The manifest's entry for the new list's record (from 0); null when no
// manifest is in force.
const BuildManifestFile* signedEntryOf(int32_t record);

// After the installed list is promoted: keeps the installed build's sequence
// beside it, so that no older build is taken again.
void keepSignedSequence();
