// The server's main thread: the single-instance guard and the loop that
// follows the controlling process's START, STOP and TERMINATE events.
#pragma once

// Runs the server until TERMINATE and returns the process exit code: 1 when
// another instance holds the instance mutex, 0 otherwise.
int RunServer();
