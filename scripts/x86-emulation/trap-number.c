/*
 * Preloaded into 32-bit Wine when qemu-user runs it (scripts/test-x86). qemu-user 7.2 delivers
 * SIGSEGV, SIGFPE and SIGTRAP to a 32-bit guest with -1 as the trap number in the signal context,
 * where a kernel puts the processor's exception vector. Wine tells its faults apart by that number:
 * without it every access violation, guard page, stack overflow and division by zero arrives as an
 * illegal instruction. This library wraps the handlers that Wine installs for those signals and
 * puts back the number that the signal's own code implies before Wine's handler reads it.
 * On a kernel that runs 32-bit programs itself the number is never -1 and nothing changes.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>

typedef void (*handler_t)(int, siginfo_t *, void *);
typedef int (*sigaction_t)(int, const struct sigaction *, struct sigaction *);

static handler_t guest_handler[NSIG];

/* The processor's exception vector for a signal and its code; -1 for signals left alone. */
static int trap_number(int sig, int code)
{
    switch (sig)
    {
    case SIGSEGV: return code == SEGV_MAPERR || code == SEGV_ACCERR ? 14 /* page fault */ : 13 /* protection */;
    case SIGFPE: return code == FPE_INTDIV ? 0 /* divide */ : code == FPE_INTOVF ? 4 /* overflow */ : 16;
    case SIGTRAP: return code == TRAP_TRACE ? 1 /* single step */ : 3 /* breakpoint */;
    default: return -1;
    }
}

static void restore_trap_number(int sig, siginfo_t *info, void *context)
{
    ucontext_t *uc = context;
    if (uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
        uc->uc_mcontext.gregs[REG_TRAPNO] = trap_number(sig, info->si_code);
    guest_handler[sig](sig, info, context);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old)
{
    static sigaction_t next;
    if (!next)
        next = (sigaction_t)dlsym(RTLD_NEXT, "sigaction");
    if (sig <= 0 || sig >= NSIG || trap_number(sig, 0) < 0 || !act || !(act->sa_flags & SA_SIGINFO))
        return next(sig, act, old);
    struct sigaction wrapped = *act;
    const handler_t previous = guest_handler[sig];
    guest_handler[sig] = act->sa_sigaction;
    wrapped.sa_sigaction = restore_trap_number;
    const int result = next(sig, &wrapped, old);
    if (result != 0)
        guest_handler[sig] = previous;
    else if (old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == restore_trap_number)
        old->sa_sigaction = previous;
    return result;
}
