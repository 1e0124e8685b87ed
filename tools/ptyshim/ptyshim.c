/*
 * A pseudo-terminal that answers modem-line requests, for serial tests under
 * Wine.
 *
 * Wine's WaitCommEvent polls the modem lines with ioctl(TIOCMGET); a pty
 * refuses that, so every wait on a pty fails at once and the hub's event
 * thread can only poll. Preloaded (LD_PRELOAD) into the 32-bit Wine process
 * under test, this library lets the four modem-line requests succeed on a pty
 * (CTS, DSR and carrier on; DTR and RTS as last set) and passes everything
 * else to the C library, so the wait behaves as it does on a real port.
 * Wine's 32-bit ntdll calls ioctl under the name __ioctl_time64 on current
 * glibc, hence both entry points.
 *
 * Built natively: gcc -m32 -shared -fPIC -o ptyshim.so ptyshim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, void *);

/* Output lines of every pty in the process; tests need no more. */
static int output_lines = TIOCM_DTR | TIOCM_RTS;

static int is_pty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    unsigned m = major(st.st_rdev);
    return (m >= 136 && m <= 143) || (m == 5 && minor(st.st_rdev) == 2);
}

static int is_modem_request(unsigned long req) {
    return req == TIOCMGET || req == TIOCMSET || req == TIOCMBIS || req == TIOCMBIC;
}

static int answer_modem_request(unsigned long req, int *lines) {
    const int out = TIOCM_DTR | TIOCM_RTS;
    switch (req) {
    case TIOCMGET: *lines = output_lines | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; break;
    case TIOCMSET: output_lines = *lines & out; break;
    case TIOCMBIS: output_lines |= *lines & out; break;
    case TIOCMBIC: output_lines &= ~(*lines & out); break;
    }
    return 0;
}

static int call(const char *name, int fd, unsigned long req, void *arg) {
    ioctl_fn real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int r = real(fd, req, arg);
    if (r != 0 && arg && is_modem_request(req) && is_pty(fd)) return answer_modem_request(req, arg);
    return r;
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return call("ioctl", fd, req, arg);
}

int __ioctl_time64(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return call("__ioctl_time64", fd, req, arg);
}
