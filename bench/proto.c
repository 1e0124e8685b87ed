/*
 * Shared helpers of the bench clients (see proto.h). The reader takes
 * whatever the descriptor has in one call and frames packets out of its own
 * buffer, so a client never costs the hub more than the bytes it must send.
 */
#define _GNU_SOURCE
#include "proto.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int compare_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

double percentile(double *samples, size_t count, double q) {
    if (count == 0) return 0;
    qsort(samples, count, sizeof *samples, compare_double);
    size_t at = (size_t)(q * (double)(count - 1) + 0.5);
    return samples[at < count ? at : count - 1];
}

size_t put_header(uint8_t *out, uint8_t command, uint32_t length) {
    out[0] = command;
    if (length < 0xFFFF) {
        out[1] = (uint8_t)length;
        out[2] = (uint8_t)(length >> 8);
        return 3;
    }
    out[1] = out[2] = 0xFF;
    for (int i = 0; i < 4; ++i) out[3 + i] = (uint8_t)(length >> (8 * i));
    return 7;
}

size_t build_connect_request(uint8_t *out, size_t cap, const char *ruid, const char *plugin, const char *user) {
    size_t np = strlen(plugin) + 1, nu = strlen(user) + 1;
    size_t payload = 16 + np + nu + 1;
    if (3 + payload > cap || payload >= 0xFFFF) return 0;
    put_header(out, CMD_CONNECT_REQUEST, (uint32_t)payload);
    uint8_t *p = out + 3;
    memset(p, 0, 16);
    memcpy(p, ruid, strnlen(ruid, 16));
    memcpy(p + 16, plugin, np);
    memcpy(p + 16 + np, user, nu);
    p[16 + np + nu] = 1; /* keep flow control as a real handheld does */
    return 3 + payload;
}

int write_all(int fd, const void *data, size_t size) {
    const uint8_t *p = data;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, 1000);
            continue;
        }
        if (n <= 0) return -1;
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

int tcp_connect(const char *host, int port, int timeout_ms) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) return -1;
    uint64_t deadline = now_ns() + (uint64_t)timeout_ms * 1000000u;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return -1;
        if (connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        if (now_ns() > deadline) return -1;
        usleep(20000);
    }
}

int reader_init(Reader *r, int fd, size_t cap) {
    r->fd = fd;
    r->cap = cap;
    r->start = r->end = 0;
    r->buf = malloc(cap);
    return r->buf ? 0 : -1;
}

void reader_free(Reader *r) {
    free(r->buf);
    r->buf = NULL;
}

int reader_fill(Reader *r) {
    if (r->start > 0 && (r->end == r->cap || r->start == r->end)) {
        memmove(r->buf, r->buf + r->start, r->end - r->start);
        r->end -= r->start;
        r->start = 0;
    }
    if (r->end == r->cap) { /* a packet larger than the buffer */
        errno = EMSGSIZE;
        return -1;
    }
    ssize_t n = read(r->fd, r->buf + r->end, r->cap - r->end);
    if (n > 0) {
        r->end += (size_t)n;
        return 1;
    }
    return n == 0 ? 0 : -1;
}

int reader_take(Reader *r, Packet *p) {
    size_t have = r->end - r->start;
    const uint8_t *b = r->buf + r->start;
    if (have < 3) return 0;
    uint32_t length = (uint32_t)b[1] | (uint32_t)b[2] << 8;
    size_t header = 3;
    if (length == 0xFFFF) {
        if (have < 7) return 0;
        length = (uint32_t)b[3] | (uint32_t)b[4] << 8 | (uint32_t)b[5] << 16 | (uint32_t)b[6] << 24;
        header = 7;
    }
    if (length > BENCH_MAX_PAYLOAD || header + length > r->cap) return -1;
    if (have < header + length) return 0;
    p->command = b[0];
    p->length = length;
    p->payload = b + header;
    r->start += header + length;
    return 1;
}

int reader_next(Reader *r, Packet *p, int timeout_ms) {
    uint64_t deadline = now_ns() + (uint64_t)timeout_ms * 1000000u;
    for (;;) {
        int got = reader_take(r, p);
        if (got != 0) return got;
        uint64_t now = now_ns();
        if (now >= deadline) return 0;
        struct pollfd pfd = {r->fd, POLLIN, 0};
        int ready = poll(&pfd, 1, (int)((deadline - now) / 1000000u) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) continue;
        int filled = reader_fill(r);
        if (filled == 0 || (filled < 0 && errno != EAGAIN && errno != EINTR)) return -1;
    }
}

int reader_next_skipping_beacons(Reader *r, Packet *p, int timeout_ms) {
    uint64_t deadline = now_ns() + (uint64_t)timeout_ms * 1000000u;
    for (;;) {
        uint64_t now = now_ns();
        int left = now >= deadline ? 0 : (int)((deadline - now) / 1000000u);
        int got = reader_next(r, p, left);
        if (got != 1 || p->command != CMD_BEACON) return got;
    }
}

int attach(int fd, Reader *r, const char *ruid, const char *plugin, const char *user, int timeout_ms) {
    uint8_t request[256];
    size_t size = build_connect_request(request, sizeof request, ruid, plugin, user);
    if (size == 0 || write_all(fd, request, size) != 0) return -1;
    Packet p;
    int got = reader_next_skipping_beacons(r, &p, timeout_ms);
    if (got < 0) return -1;
    return got == 1 && p.command == CMD_CONNECT_ACCEPTED;
}

void result(const char *name, double value) {
    printf("%s %.6g\n", name, value);
    fflush(stdout);
}

void result_latency(const char *prefix, double *samples_us, size_t count) {
    char name[128];
    snprintf(name, sizeof name, "%s_count", prefix);
    result(name, (double)count);
    if (count == 0) return;
    double p50 = percentile(samples_us, count, 0.50), p99 = percentile(samples_us, count, 0.99);
    snprintf(name, sizeof name, "%s_p50_us", prefix);
    result(name, p50);
    snprintf(name, sizeof name, "%s_p99_us", prefix);
    result(name, p99);
}

const char *opt_str(int argc, char **argv, const char *name, const char *fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

long opt_long(int argc, char **argv, const char *name, long fallback) {
    const char *v = opt_str(argc, argv, name, NULL);
    return v ? strtol(v, NULL, 0) : fallback;
}
