// stop_request.h - a stop asked for by a signal (SIGTERM, SIGINT, SIGHUP):
// the number of the signal, 0 while none came.  Written only by the
// handler the entry installs; read by the clip assembly between steps.
#ifndef RECORDER_STOP_REQUEST_H
#define RECORDER_STOP_REQUEST_H

#include <signal.h>

extern "C" volatile sig_atomic_t g_stop_signal;

#endif  // RECORDER_STOP_REQUEST_H
