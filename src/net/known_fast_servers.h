// Addresses whose server offered our fast mode on an earlier run, kept in
// {packageName}.fast beside the installed list. The package request goes to
// such an address at once; every other address gets the 2000 ms pause that a
// server of the base protocol expects after a connect.
#pragma once

// Reads the file of the run's package; once per run, before the first
// connection.
void loadKnownFastServers();

// Whether the server of the run's link may be asked for the package without
// the pause: its address offered the fast mode before, and no remembered
// address has answered without an offer in this run.
bool mayAskAtOnce();

// After a package reply on the link: remembers its address when the reply
// offered the fast mode, forgets it otherwise.
void noteOfferOfLink(bool offered);
