#pragma once

// What the crashed process hands its crash helper through a pipe: the signal, the crashing
// thread and its registers as the fault left them. Plain data, written by the signal handler.
#include <cstdint>
#include <signal.h>
#include <sys/types.h>
#include <sys/ucontext.h>

namespace BL::Diagnostics {

constexpr std::uint32_t kCrashPacketMagic = 0x424c4350; // "PCLB"
// The helper reads the packet from this descriptor.
constexpr int kCrashPacketFd = 3;
constexpr int kCrashUserNameSize = 256;

struct SCrashPacket
{
    std::uint32_t magic;
    std::uint32_t size; // sizeof(SCrashPacket), so a helper of another build refuses it
    pid_t pid;
    pid_t tid;
    int signal;
    int hasFpregs;
    siginfo_t info;
    ucontext_t context;
    struct _libc_fpstate fpregs;       // what context.uc_mcontext.fpregs pointed to
    char userName[kCrashUserNameSize]; // UTF-8, NUL-terminated; empty when nobody is signed in
};

} // namespace BL::Diagnostics
