// SPDX-License-Identifier: MIT
// nicmatch: prints the configured name for the network interface named by
// INTERFACE, found through its hardware address in the ifcfg-* files.
// Concurrent runs take turns through a lock file; once a run holds it (or
// goes on without it), an alarm bounds the rest of the run to 10 seconds.
#include "cfgscan.h"
#include "lock.h"
#include "lookup.h"

#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static const char kConfigDir[] = "/etc/sysconfig/network-scripts";
static const char kNetDir[] = "/sys/class/net";
static const char kLockPath[] = "/dev/.nicmatch.lock";
static const unsigned kWatchdogSeconds = 10;
static const int kHandledSignals[] = {SIGSEGV, SIGTERM, SIGALRM};

// The bindings live until the process ends.
static CfgEntry *cfg_list;

static void sighandler(int)
{
    lock_release(kLockPath);
    _exit(1);
}

static void handled_signals(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : kHandledSignals)
        sigaddset(set, sig);
}

// Each handled signal blocks the others while sighandler runs, so that the
// lock is removed once and only by its owner.
static void install_handlers()
{
    struct sigaction action = {};
    action.sa_handler = sighandler;
    handled_signals(&action.sa_mask);
    for (int sig : kHandledSignals)
        sigaction(sig, &action, nullptr);
}

// Every normal end of a run comes through here.  The printed name is flushed
// before the lock goes, so that a SIGKILL between the two loses nothing; the
// flush happens before the handlers are held off, so the alarm still bounds
// it.  The lock then goes with the handlers held off.
[[noreturn]] static void finish()
{
    fflush(stdout);
    sigset_t set, old;
    handled_signals(&set);
    sigprocmask(SIG_BLOCK, &set, &old);
    lock_release(kLockPath);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    exit(0);
}

int main()
{
    // Nothing is handled or armed while waiting: a waiting run that is
    // terminated must not touch the owner's lock.
    lock_step(kLockPath);
    install_handlers();
    alarm(kWatchdogSeconds);

    const char *iface = getenv("INTERFACE");
    if (iface == nullptr)
        finish();

    cfg_list = cfg_scan(kConfigDir);

    char *addr = read_iface_address(kNetDir, iface);
    if (addr == nullptr)
        finish();

    // The name printed belongs to the list, which outlives the address text.
    const char *name = cfg_list != nullptr ? match_device(cfg_list, addr, iface) : nullptr;
    if (name != nullptr)
        printf("%s", name);
    g_free(addr);
    finish();
}
