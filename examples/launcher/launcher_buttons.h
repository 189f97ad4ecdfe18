#ifndef LAUNCHER_BUTTONS_H
#define LAUNCHER_BUTTONS_H

// Which of the window's buttons a player may press. The library is called
// only from a button that is enabled, so these rules are what keeps a second
// AutoUpdate away from a run that is still going.
struct LauncherButtons {
    bool retryShown;     // after a run that failed or was stopped
    bool retryEnabled;
    bool repairEnabled;
    bool cancelEnabled;
    const char* cancelText;   // "Cancel" while a run goes, else "Close"
};

// exitStatus is the outcome of the last run (update-host's exit statuses);
// ending: EndUpdate has been called and has not returned yet.
LauncherButtons launcherButtons(bool running, bool ending, int exitStatus);

#endif
