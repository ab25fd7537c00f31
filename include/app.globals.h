#pragma once
// Process-wide signal flags.  Each program defines them once in its main
// source with DEFINE_APP_GLOBALS; signal handlers set them, loops poll them.
#include <csignal>

extern volatile sig_atomic_t g_quit;     // a quit signal arrived
extern volatile sig_atomic_t g_goodbye;  // SIGTERM or SIGINT (not SIGQUIT)
extern volatile sig_atomic_t g_hup;      // SIGHUP arrived
extern volatile sig_atomic_t g_usr1;     // SIGUSR1 arrived
extern volatile sig_atomic_t g_sigctx;   // 1 while a handler runs

#define DEFINE_APP_GLOBALS                  \
    volatile sig_atomic_t g_quit = 0;       \
    volatile sig_atomic_t g_goodbye = 0;    \
    volatile sig_atomic_t g_hup = 0;        \
    volatile sig_atomic_t g_usr1 = 0;       \
    volatile sig_atomic_t g_sigctx = 0
