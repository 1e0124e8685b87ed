/*
 * What every bench client shares: the hub's packet format, a buffered packet
 * reader over any file descriptor (TCP socket or pty), the connect request,
 * a monotonic clock, percentiles and the result lines.
 *
 * The clients are native Linux programs on purpose: a figure measured from a
 * client under Wine would include Wine's own cost twice. They print one
 * "name value" line per figure on standard output, which the driver
 * (bench/bench.py) reads; anything meant for a person goes to standard error.
 */
#ifndef BENCH_PROTO_H
#define BENCH_PROTO_H

#include <stddef.h>
#include <stdint.h>

enum {
    CMD_BEACON = 1,
    CMD_CONNECT_REQUEST = 2,
    CMD_CONNECT_ACCEPTED = 3,
    CMD_CONNECT_FAILED = 4,
    CMD_ECHO = 5,
    CMD_DATA = 0x20, /* any command the hub does not act on is forwarded as data */
};

/* Largest payload a client accepts; a peer announcing more is broken. */
#define BENCH_MAX_PAYLOAD (1u << 20)

typedef struct Packet {
    uint8_t command;
    uint32_t length;         /* payload bytes */
    const uint8_t *payload;  /* points into the reader's buffer until the next read */
} Packet;

typedef struct Reader {
    int fd;
    uint8_t *buf;
    size_t cap, start, end;
} Reader;

/* --- time and statistics --- */
uint64_t now_ns(void);
/* Sorts the samples in place; q in [0, 1]. 0 for no samples. */
double percentile(double *samples, size_t count, double q);

/* --- packets --- */
/* Writes a short- or long-form header for a payload of that size; returns its size (3 or 7). */
size_t put_header(uint8_t *out, uint8_t command, uint32_t length);
/* A connect request: 16-byte RUID, plug-in name, user name, flags 1. Returns its size. */
size_t build_connect_request(uint8_t *out, size_t cap, const char *ruid, const char *plugin, const char *user);

/* --- I/O --- */
int write_all(int fd, const void *data, size_t size);   /* 0 on success, -1 on error */
int tcp_connect(const char *host, int port, int timeout_ms); /* retries until listening; -1 on failure */

int reader_init(Reader *r, int fd, size_t cap);
void reader_free(Reader *r);
/* Reads what the fd has (one call); 1 data, 0 closed, -1 error or would block. */
int reader_fill(Reader *r);
/* The next complete packet already buffered: 1 yes, 0 not yet, -1 malformed. */
int reader_take(Reader *r, Packet *p);
/* Waits for the next packet up to timeout_ms: 1 yes, 0 time-out, -1 closed or error. */
int reader_next(Reader *r, Packet *p, int timeout_ms);
/* The next packet that is not a beacon. */
int reader_next_skipping_beacons(Reader *r, Packet *p, int timeout_ms);

/* Sends a connect request and waits for the verdict: 1 accepted, 0 refused or silent, -1 error. */
int attach(int fd, Reader *r, const char *ruid, const char *plugin, const char *user, int timeout_ms);

/* --- results --- */
void result(const char *name, double value);
/* p50, p99 and count of a set of samples in microseconds under the given prefix. */
void result_latency(const char *prefix, double *samples_us, size_t count);

/* "--name value" options: the value, or the fallback when absent. */
const char *opt_str(int argc, char **argv, const char *name, const char *fallback);
long opt_long(int argc, char **argv, const char *name, long fallback);

#endif
