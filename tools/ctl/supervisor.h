// DeviceRpcCtl's supervising mode: a server that exits without a
// TERMINATE from this controller is started again, with a back-off.
#pragma once

#include "controller.h"

// Back-off before a restart: the first waits this long, each further one
// twice as long as the one before, up to the cap. A server that ran for
// the stable period before it exited counts as healthy, so the next
// restart waits the first delay again.
constexpr DWORD SUPERVISE_FIRST_DELAY_MS = 1000;
constexpr DWORD SUPERVISE_MAX_DELAY_MS = 30000;
constexpr DWORD SUPERVISE_STABLE_MS = 60000;

// Starts watching the launched server on a thread of its own. Each restart
// prints one line on standard error; standard output stays one line per
// command. False when the thread cannot be created.
bool StartSupervision(Controller* ctl);
