#include "seccomp_filter.hpp"

#include <cerrno>   // EPERM
#include <cstring>  // std::strerror
#include <memory>   // std::unique_ptr

#include <fcntl.h>     // F_GETFL
#include <seccomp.h>   // seccomp_*
#include <sys/mman.h>  // PROT_EXEC
#include <unistd.h>    // getpid

namespace media::detail {

namespace {

struct FilterReleaser {
    void operator()(scmp_filter_ctx filter) const { seccomp_release(filter); }
};
using ScopedFilter = std::unique_ptr<void, FilterReleaser>;

// What SCMP_A0 to SCMP_A5 make, without their compound literals, which C++ lacks.
scmp_arg_cmp argument(unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0)
{
    return {index, op, a, b};
}

}  // namespace

std::string allow_only_reading()
{
    const ScopedFilter filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
    if (!filter) {
        return "seccomp_init failed";
    }
    scmp_filter_ctx ctx = filter.get();
    int failed = 0;
    const auto allow = [&](int call, auto... conditions) {
        const scmp_arg_cmp all[] = {conditions..., {}};  // never empty
        failed |= seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, call, sizeof...(conditions), all);
    };
    // Reading the files it is given, and nothing but reading them: it opens none.
    for (const int call : {SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(lseek),
                           SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(close)}) {
        allow(call);
    }
    // Its requests, and the descriptors that come with them.
    allow(SCMP_SYS(recvmsg), argument(0, SCMP_CMP_EQ, reader_channel));
    // Memory, never executable.
    allow(SCMP_SYS(mmap), argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    allow(SCMP_SYS(mprotect), argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    for (const int call : {SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk), SCMP_SYS(madvise)}) {
        allow(call);
    }
    // Waiting, clocks, the runtime's own needs, and the end.
    for (const int call :
         {SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday),
          SCMP_SYS(futex), SCMP_SYS(sched_yield), SCMP_SYS(getrandom), SCMP_SYS(getpid),
          SCMP_SYS(gettid), SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask),
          SCMP_SYS(rt_sigaction), SCMP_SYS(sigaltstack), SCMP_SYS(exit), SCMP_SYS(exit_group)}) {
        allow(call);
    }
    allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, F_GETFL));
    allow(SCMP_SYS(fcntl), argument(1, SCMP_CMP_EQ, F_GETFD));
    // abort() signals this process, and only this one.
    allow(SCMP_SYS(tgkill), argument(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
    // Answers, and a sanitizer's report.
    allow(SCMP_SYS(write), argument(0, SCMP_CMP_EQ, reader_channel));
    allow(SCMP_SYS(write), argument(0, SCMP_CMP_EQ, 2));
    allow(SCMP_SYS(writev), argument(0, SCMP_CMP_EQ, 2));
    if (failed != 0) {
        return "a seccomp rule could not be added";
    }
    if (const int error = seccomp_load(ctx); error != 0) {
        return std::string("seccomp_load: ") + std::strerror(-error);
    }
    return {};
}

}  // namespace media::detail
