#include "diagnostics/crashhandler_linux.h"

#include "diagnostics/crashpacket_linux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace BL::Diagnostics {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
// The helper bounds its own work well below this; past it the helper is killed.
constexpr int kHelperDeadlineMs = 60000;

struct sigaction g_previous[kSignalCount];
bool g_installed = false;

// The helper's command line, built at installation; the handler only reads it.
std::vector<std::string> g_argStorage;
std::vector<char*> g_argv;

void* g_altStack = nullptr;
std::size_t g_altStackSize = 0;

// Two slots so that a crash never reads a name half written: the writer fills the idle slot
// and then flips the index.
char g_userNames[2][kCrashUserNameSize];
std::atomic<int> g_userNameSlot{0};

std::atomic<pid_t> g_handlingThread{0};
SCrashPacket g_packet; // static: the alternate stack is small

pid_t currentThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

void restoreDefaultActions()
{
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int sig : kSignals)
        ::sigaction(sig, &fallback, nullptr);
}

// Makes the signal come back once the handler returns. A fault does so by itself (the faulting
// instruction runs again); a sent signal, abort() among them, has to be raised again.
void raiseAgain(int sig, const siginfo_t* info, pid_t tid)
{
    if (info->si_code <= 0 || sig == SIGABRT)
        ::syscall(SYS_tgkill, ::getpid(), tid, sig);
}

void sleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool writeAll(int fd, const void* data, std::size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// The child side: nothing but system calls until the helper program replaces it.
[[noreturn]] void becomeHelper(int packetFd)
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (packetFd == kCrashPacketFd)
        ::fcntl(packetFd, F_SETFD, 0);
    else
        ::dup2(packetFd, kCrashPacketFd);
    ::execve(g_argv[0], g_argv.data(), environ);
    ::syscall(SYS_exit_group, 127);
    for (;;) {
    }
}

// The helper's wait status, or -1 when it had to be killed or could not be waited for.
int waitForHelper(pid_t helper)
{
    for (int waited = 0; waited < kHelperDeadlineMs; waited += 20) {
        int status = 0;
        const pid_t done = ::waitpid(helper, &status, WNOHANG);
        if (done == helper)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        sleepMs(20);
    }
    ::kill(helper, SIGKILL);
    int status = 0;
    ::waitpid(helper, &status, 0);
    return -1;
}

void runHelper(int sig, const siginfo_t* info, const void* context, pid_t tid)
{
    if (g_argv.empty())
        return;
    const auto* uc = static_cast<const ucontext_t*>(context);
    g_packet.magic = kCrashPacketMagic;
    g_packet.size = sizeof(SCrashPacket);
    g_packet.pid = ::getpid();
    g_packet.tid = tid;
    g_packet.signal = sig;
    std::memcpy(&g_packet.info, info, sizeof(siginfo_t));
    std::memcpy(&g_packet.context, uc, sizeof(ucontext_t));
    g_packet.hasFpregs = uc->uc_mcontext.fpregs != nullptr;
    if (g_packet.hasFpregs)
        std::memcpy(&g_packet.fpregs, uc->uc_mcontext.fpregs, sizeof(g_packet.fpregs));
    std::memcpy(g_packet.userName, g_userNames[g_userNameSlot.load()], kCrashUserNameSize);
    g_packet.userName[kCrashUserNameSize - 1] = '\0';

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    // A bare clone: fork() would run the process's fork handlers, which may lock.
    const long child = ::syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (child == 0)
        becomeHelper(fds[0]);
    ::close(fds[0]);
    if (child < 0) {
        ::close(fds[1]);
        return;
    }
    // Where ptrace is limited to descendants, the helper (our child) must be let in. The packet
    // is sent after that, so the helper never attaches too early.
    ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
    // A helper that could not start has closed its end: the write must fail, not kill the
    // process with SIGPIPE and hide the signal it really died of.
    struct sigaction ignorePipe;
    struct sigaction previousPipe;
    std::memset(&ignorePipe, 0, sizeof ignorePipe);
    ignorePipe.sa_handler = SIG_IGN;
    sigemptyset(&ignorePipe.sa_mask);
    const bool pipeIgnored = ::sigaction(SIGPIPE, &ignorePipe, &previousPipe) == 0;
    writeAll(fds[1], &g_packet, sizeof g_packet);
    ::close(fds[1]);
    if (pipeIgnored)
        ::sigaction(SIGPIPE, &previousPipe, nullptr);
    const int status = waitForHelper(static_cast<pid_t>(child));
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        static const char message[] = "The crash helper could not be started: no crash report was written\n";
        writeAll(STDERR_FILENO, message, sizeof message - 1);
    }
}

void onFatalSignal(int sig, siginfo_t* info, void* context)
{
    const pid_t tid = currentThreadId();
    pid_t expected = 0;
    if (!g_handlingThread.compare_exchange_strong(expected, tid)) {
        if (expected == tid) {
            // The handler itself failed: no second report, just die.
            restoreDefaultActions();
            raiseAgain(sig, info, tid);
            return;
        }
        // Another thread is reporting; it ends the process when it is done.
        for (;;)
            ::pause();
    }
    const int savedErrno = errno;
    runHelper(sig, info, context, tid);
    restoreDefaultActions();
    raiseAgain(sig, info, tid);
    errno = savedErrno;
}

bool installAlternateStack()
{
    stack_t current;
    if (::sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= 64 * 1024)
        return true;
    if (!g_altStack) {
        g_altStackSize = 128 * 1024;
        void* memory =
            ::mmap(nullptr, g_altStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            return false;
        g_altStack = memory;
    }
    stack_t stack;
    stack.ss_sp = g_altStack;
    stack.ss_size = g_altStackSize;
    stack.ss_flags = 0;
    return ::sigaltstack(&stack, nullptr) == 0;
}

} // namespace

bool installCrashHandler(const std::string& helperPath, const std::vector<std::string>& helperArgs)
{
    uninstallCrashHandler();
    g_argStorage.clear();
    g_argStorage.push_back(helperPath);
    g_argStorage.insert(g_argStorage.end(), helperArgs.begin(), helperArgs.end());
    g_argv.clear();
    for (std::string& arg : g_argStorage)
        g_argv.push_back(arg.data());
    g_argv.push_back(nullptr);

    // The stack overflows of this thread (the GUI thread) are caught too.
    installAlternateStack();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // While one fatal signal is handled, the others wait.
    for (int sig : kSignals)
        sigaddset(&action.sa_mask, sig);
    bool ok = true;
    for (int i = 0; i < kSignalCount; ++i)
        ok = ::sigaction(kSignals[i], &action, &g_previous[i]) == 0 && ok;
    g_installed = true;
    return ok;
}

void uninstallCrashHandler()
{
    if (!g_installed)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    g_installed = false;
}

void setCrashUserName(const std::string& name)
{
    const int idle = 1 - g_userNameSlot.load();
    std::size_t size = std::min<std::size_t>(name.size(), kCrashUserNameSize - 1);
    // Never cut a UTF-8 sequence in two.
    while (size > 0 && size < name.size() && (static_cast<unsigned char>(name[size]) & 0xc0) == 0x80)
        --size;
    std::memcpy(g_userNames[idle], name.data(), size);
    g_userNames[idle][size] = '\0';
    g_userNameSlot.store(idle);
}

} // namespace BL::Diagnostics
