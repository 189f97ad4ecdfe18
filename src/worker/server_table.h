// gamedata.xml: the table of update servers and the download address.
#pragma once

// Fills ServerTable, serverCount and downloadAddress from xmlPath. A missing
// file leaves the table empty; false when the file names no servers, in
// which case the host has been told and the run is over.
bool readGameData();
