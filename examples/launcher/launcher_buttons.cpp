#include "launcher_buttons.h"

#include "host_session.h"

LauncherButtons launcherButtons(bool running, bool ending, int exitStatus)
{
    bool idle = !running && !ending;
    // A refused run fails the same way again; a complete one needs no retry.
    bool retry = idle && (exitStatus == kExitIncomplete || exitStatus == kExitStopped);
    return LauncherButtons{retry, retry, idle, !ending, running ? "Cancel" : "Close"};
}
