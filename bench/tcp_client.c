/*
 * tcp_client: one handheld on TCP (or several, for admission), measuring
 * what a single user feels.
 *
 *   tcp_client rtt   --port P [--floor-port F] [--cmd C] [--size N] [--count N] [--plugin NAME --ruid R]
 *   tcp_client bulk  --port P [--floor-port F] [--size N] [--count N] [--window N] [--plugin NAME --ruid R]
 *   tcp_client admit --port P --plugin NAME --prefix R --count N
 *
 * rtt sends one packet and waits for its answer before the next, so each
 * sample is one full trip. With --cmd 5 it measures the hub's own ECHO,
 * whose answer is empty; any other command travels to the plug-in and must
 * come back unchanged. bulk keeps a few large packets in flight from a second
 * thread, because a strict ping-pong would measure latency again rather than
 * how fast bytes get through. admit connects and attaches handhelds one after
 * the other and closes them again: run while the hub admits unknown
 * handhelds, it makes their RUIDs known for later runs.
 *
 * With --floor-port the same measurement runs against the floor echo server
 * too, in alternating blocks on two open connections: on a shared machine
 * the load changes from one second to the next, and only figures taken in
 * the same moments make a ratio worth reading. The floor's figures print
 * with the prefix "floor_". The floor never gets a connect request.
 */
#include "proto.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kTimeoutMs = 10000, kWarmup = 100, kRttBlock = 50, kBulkBlock = 10 };

/* One server being measured: its connection and what was measured on it. */
typedef struct Side {
    const char *prefix;  /* "" for the server under test, "floor_" for the floor */
    int fd;
    Reader reader;
    double *samples;
    long taken;
    double bytes, seconds;
    int failed;
} Side;

static int open_side(Side *s, const char *prefix, int port, const char *plugin, const char *ruid, long samples) {
    memset(s, 0, sizeof *s);
    s->prefix = prefix;
    s->reader.buf = NULL;
    s->fd = tcp_connect("127.0.0.1", port, kTimeoutMs);
    s->samples = calloc((size_t)samples + 1, sizeof(double));
    if (s->fd < 0 || !s->samples || reader_init(&s->reader, s->fd, 2u << 20) != 0) {
        fprintf(stderr, "tcp_client: cannot connect to port %d\n", port);
        return -1;
    }
    if (plugin && attach(s->fd, &s->reader, ruid, plugin, "Bench", kTimeoutMs) != 1) {
        fprintf(stderr, "tcp_client: %s was not attached to %s\n", ruid, plugin);
        return -1;
    }
    return 0;
}

/* The server under test and, with --floor-port, the floor: returns how many sides. */
static int open_sides(Side sides[2], int argc, char **argv, const char *default_ruid, long samples) {
    const char *plugin = opt_str(argc, argv, "--plugin", NULL);
    const char *ruid = opt_str(argc, argv, "--ruid", default_ruid);
    if (open_side(&sides[0], "", (int)opt_long(argc, argv, "--port", 4343), plugin, ruid, samples) != 0) return 0;
    long floor_port = opt_long(argc, argv, "--floor-port", 0);
    if (!floor_port) return 1;
    return open_side(&sides[1], "floor_", (int)floor_port, NULL, ruid, samples) == 0 ? 2 : 0;
}

static void name_of(char *out, size_t size, const Side *s, const char *name) {
    snprintf(out, size, "%s%s", s->prefix, name);
}

/* A packet with the sequence number in its first payload bytes. */
static size_t make_packet(uint8_t *out, uint8_t cmd, uint32_t size, uint32_t seq) {
    size_t h = put_header(out, cmd, size);
    memset(out + h, 0x5A, size);
    if (size >= 4) memcpy(out + h, &seq, 4);
    return h + size;
}

/* An answer to packet seq: ECHO answers are empty; data must come back as sent. */
static int answers(const Packet *p, uint8_t cmd, uint32_t size, uint32_t seq) {
    if (p->command != cmd) return 0;
    if (cmd == CMD_ECHO) return 1;
    return p->length == size && (size < 4 || memcmp(p->payload, &seq, 4) == 0);
}

/* Trips first..first+count-1 on one side; negative numbers are warm-up, not kept. */
static void rtt_block(Side *s, uint8_t *packet, uint8_t cmd, uint32_t size, long first, long count) {
    for (long i = first; i < first + count && !s->failed; ++i) {
        size_t n = make_packet(packet, cmd, size, (uint32_t)i);
        uint64_t t0 = now_ns();
        Packet p;
        if (write_all(s->fd, packet, n) != 0 || reader_next_skipping_beacons(&s->reader, &p, kTimeoutMs) != 1 ||
            !answers(&p, cmd, size, (uint32_t)i)) {
            fprintf(stderr, "tcp_client: no answer to packet %ld from %sserver\n", i, s->prefix);
            s->failed = 1;
            break;
        }
        if (i >= 0) s->samples[s->taken++] = (double)(now_ns() - t0) / 1000.0;
    }
}

static int run_rtt(int argc, char **argv) {
    long count = opt_long(argc, argv, "--count", 2000);
    Side sides[2];
    int n = open_sides(sides, argc, argv, "BENCH-RTT", count);
    if (n == 0) return 3;
    uint8_t cmd = (uint8_t)opt_long(argc, argv, "--cmd", CMD_DATA);
    uint32_t size = (uint32_t)opt_long(argc, argv, "--size", 8);
    uint8_t *packet = malloc(size + 7);
    if (!packet) return 1;
    for (int k = 0; k < n; ++k) rtt_block(&sides[k], packet, cmd, size, -kWarmup, kWarmup);
    for (long first = 0; first < count; first += kRttBlock)
        for (int k = 0; k < n; ++k)
            rtt_block(&sides[k], packet, cmd, size, first, count - first < kRttBlock ? count - first : kRttBlock);
    int failed = 0;
    for (int k = 0; k < n; ++k) {
        char name[64];
        name_of(name, sizeof name, &sides[k], "rtt");
        result_latency(name, sides[k].samples, (size_t)sides[k].taken);
        name_of(name, sizeof name, &sides[k], "rtt_trips");
        result(name, (double)(sides[k].taken + kWarmup));
        failed |= sides[k].taken != count;
    }
    return failed;
}

typedef struct Bulk {
    Side *side;
    uint32_t size;
    long first, count, window;
    long acked;              /* packets of this block answered so far; guarded by lock */
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int stop;
} Bulk;

static void *bulk_sender(void *arg) {
    Bulk *b = arg;
    uint8_t *packet = malloc(b->size + 7);
    if (!packet) return NULL;
    for (long i = 0; i < b->count; ++i) {
        pthread_mutex_lock(&b->lock);
        while (!b->stop && i - b->acked >= b->window) pthread_cond_wait(&b->changed, &b->lock);
        int stop = b->stop;
        pthread_mutex_unlock(&b->lock);
        if (stop) break;
        size_t n = make_packet(packet, CMD_DATA, b->size, (uint32_t)(b->first + i));
        if (write_all(b->side->fd, packet, n) != 0) break;
    }
    free(packet);
    return NULL;
}

static void set_acked(Bulk *b, long acked, int stop) {
    pthread_mutex_lock(&b->lock);
    b->acked = acked;
    b->stop |= stop;
    pthread_cond_signal(&b->changed);
    pthread_mutex_unlock(&b->lock);
}

/* count packets of the block starting at first, a window of them in flight. */
static void bulk_block(Side *s, uint32_t size, long window, long first, long count) {
    if (s->failed) return;
    Bulk b = {s, size, first, count, window, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};
    pthread_t sender;
    uint64_t t0 = now_ns();
    if (pthread_create(&sender, NULL, bulk_sender, &b) != 0) {
        s->failed = 1;
        return;
    }
    long got = 0;
    while (got < count) {
        Packet p;
        if (reader_next(&s->reader, &p, kTimeoutMs) != 1 || !answers(&p, CMD_DATA, size, (uint32_t)(first + got))) {
            fprintf(stderr, "tcp_client: bulk packet %ld lost or changed by %sserver\n", first + got, s->prefix);
            s->failed = 1;
            break;
        }
        set_acked(&b, ++got, 0);
    }
    set_acked(&b, got, 1);
    pthread_join(sender, NULL);
    s->seconds += (double)(now_ns() - t0) / 1e9;
    s->bytes += (double)got * size;
    s->taken += got;
}

static int run_bulk(int argc, char **argv) {
    long count = opt_long(argc, argv, "--count", 200), window = opt_long(argc, argv, "--window", 4);
    uint32_t size = (uint32_t)opt_long(argc, argv, "--size", 61440);
    Side sides[2];
    int n = open_sides(sides, argc, argv, "BENCH-BULK", 0);
    if (n == 0) return 3;
    for (long first = 0; first < count; first += kBulkBlock)
        for (int k = 0; k < n; ++k)
            bulk_block(&sides[k], size, window, first, count - first < kBulkBlock ? count - first : kBulkBlock);
    int failed = 0;
    for (int k = 0; k < n; ++k) {
        char name[64];
        name_of(name, sizeof name, &sides[k], "bulk_packets");
        result(name, (double)sides[k].taken);
        name_of(name, sizeof name, &sides[k], "bulk_bytes_per_s");
        result(name, sides[k].seconds > 0 ? sides[k].bytes / sides[k].seconds : 0);
        failed |= sides[k].taken != count;
    }
    return failed;
}

static int run_admit(int argc, char **argv) {
    const char *prefix = opt_str(argc, argv, "--prefix", "BENCH");
    const char *plugin = opt_str(argc, argv, "--plugin", "EchoPlugin");
    int port = (int)opt_long(argc, argv, "--port", 4343);
    long count = opt_long(argc, argv, "--count", 1), admitted = 0;
    for (long i = 0; i < count; ++i) {
        char ruid[32];
        snprintf(ruid, sizeof ruid, "%s%03ld", prefix, i);
        Side s;
        if (open_side(&s, "", port, plugin, ruid, 0) == 0) ++admitted;
        if (s.fd >= 0) close(s.fd);
        reader_free(&s.reader);
        free(s.samples);
    }
    result("admitted", (double)admitted);
    return admitted == count ? 0 : 3;
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "rtt") == 0) return run_rtt(argc, argv);
    if (strcmp(mode, "bulk") == 0) return run_bulk(argc, argv);
    if (strcmp(mode, "admit") == 0) return run_admit(argc, argv);
    fprintf(stderr, "usage: tcp_client rtt|bulk|admit --port P [options]\n");
    return 2;
}
