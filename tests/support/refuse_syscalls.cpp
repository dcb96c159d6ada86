// refuse_syscalls: runs a command with some system calls refused, the way an
// old kernel (no pidfd_open before Linux 5.3) or a container's seccomp
// profile (clone3 refused with EPERM) refuses them. The filter is inherited
// by every process the command starts.
//
// usage: refuse_syscalls NAME=ERRNO... -- COMMAND [ARGS...]
//   NAME is pidfd_open or clone3; ERRNO is ENOSYS or EPERM.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "unsupported architecture"
#endif

struct Named {
    std::string_view name;
    long value;
};
constexpr Named kSyscalls[] = {{"pidfd_open", SYS_pidfd_open}, {"clone3", SYS_clone3}};
constexpr Named kErrnos[] = {{"ENOSYS", ENOSYS}, {"EPERM", EPERM}};

template <size_t N>
bool lookup(const Named (&table)[N], std::string_view name, long& value) {
    for (const auto& entry : table) {
        if (entry.name == name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

int usage() {
    std::fputs("usage: refuse_syscalls NAME=ERRNO... -- COMMAND [ARGS...]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    int i = 1;
    for (; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const std::string_view rule = argv[i];
        const size_t eq = rule.find('=');
        long nr, err;
        if (eq == rule.npos || !lookup(kSyscalls, rule.substr(0, eq), nr) ||
            !lookup(kErrnos, rule.substr(eq + 1), err))
            return usage();
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(err)));
    }
    if (i + 1 >= argc) return usage();
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::fprintf(stderr, "refuse_syscalls: seccomp: %s\n", std::strerror(errno));
        return 1;
    }
    ::execvp(argv[i + 1], argv + i + 1);
    std::fprintf(stderr, "refuse_syscalls: %s: %s\n", argv[i + 1], std::strerror(errno));
    return 127;
}
