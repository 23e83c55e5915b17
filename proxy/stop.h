// Stopping the supervised proxy.
#pragma once

#include <windows.h>

// Asks the proxy to write what it holds in memory to disk (waiting at most a second for its
// answer), then stops it: a proxy with a top-level window of its own is asked to close and
// given 5 s; one without (a console program has nothing to ask) is ended at once, as is one
// that outlasts its grace. Waits for it to be gone, closes its handle and leaves process all
// zero. Does nothing when process holds no handle. quick, when the session ends, skips the
// grace for a window: the system gives kelvor little time.
void StopProxy(PROCESS_INFORMATION& process, bool quick = false);
