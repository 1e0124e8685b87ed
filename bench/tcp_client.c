/*
 * tcp_client: one handheld on TCP (or several, for admission), measuring
 * what a single user feels.
 *
 *   tcp_client rtt   --port P [--cmd C] [--size N] [--count N] [--plugin NAME --ruid R]
 *   tcp_client bulk  --port P [--size N] [--count N] [--window N] [--plugin NAME --ruid R]
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
 * Without --plugin the client talks to a plain echo server (the floor).
 */
#include "proto.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kTimeoutMs = 10000, kWarmup = 100 };

typedef struct Client {
    int fd;
    Reader reader;
} Client;

static int open_client(Client *c, int argc, char **argv, const char *ruid) {
    const char *plugin = opt_str(argc, argv, "--plugin", NULL);
    c->reader.buf = NULL;
    c->fd = tcp_connect(opt_str(argc, argv, "--host", "127.0.0.1"), (int)opt_long(argc, argv, "--port", 4343),
                        kTimeoutMs);
    if (c->fd < 0 || reader_init(&c->reader, c->fd, 2u << 20) != 0) {
        fprintf(stderr, "tcp_client: cannot connect\n");
        return -1;
    }
    if (plugin && attach(c->fd, &c->reader, ruid, plugin, "Bench", kTimeoutMs) != 1) {
        fprintf(stderr, "tcp_client: %s was not attached to %s\n", ruid, plugin);
        return -1;
    }
    return 0;
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

static int run_rtt(int argc, char **argv) {
    Client c;
    if (open_client(&c, argc, argv, opt_str(argc, argv, "--ruid", "BENCH-RTT")) != 0) return 3;
    uint8_t cmd = (uint8_t)opt_long(argc, argv, "--cmd", CMD_DATA);
    uint32_t size = (uint32_t)opt_long(argc, argv, "--size", 8);
    long count = opt_long(argc, argv, "--count", 2000);
    uint8_t *packet = malloc(size + 7);
    double *samples = malloc(sizeof(double) * (size_t)count);
    if (!packet || !samples) return 1;
    long taken = 0;
    for (long i = -kWarmup; i < count; ++i) {
        size_t n = make_packet(packet, cmd, size, (uint32_t)i);
        uint64_t t0 = now_ns();
        if (write_all(c.fd, packet, n) != 0) break;
        Packet p;
        if (reader_next_skipping_beacons(&c.reader, &p, kTimeoutMs) != 1 || !answers(&p, cmd, size, (uint32_t)i)) {
            fprintf(stderr, "tcp_client: no answer to packet %ld\n", i);
            break;
        }
        if (i >= 0) samples[taken++] = (double)(now_ns() - t0) / 1000.0;
    }
    result_latency("rtt", samples, (size_t)taken);
    result("rtt_trips", (double)(taken + kWarmup));
    return taken == count ? 0 : 1;
}

typedef struct Bulk {
    Client *client;
    uint32_t size;
    long count, window;
    long acked;              /* packets answered so far; guarded by lock */
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int failed;
} Bulk;

static void *bulk_sender(void *arg) {
    Bulk *b = arg;
    uint8_t *packet = malloc(b->size + 7);
    if (!packet) return NULL;
    for (long i = 0; i < b->count; ++i) {
        pthread_mutex_lock(&b->lock);
        while (!b->failed && i - b->acked >= b->window) pthread_cond_wait(&b->changed, &b->lock);
        int failed = b->failed;
        pthread_mutex_unlock(&b->lock);
        if (failed) break;
        size_t n = make_packet(packet, CMD_DATA, b->size, (uint32_t)i);
        if (write_all(b->client->fd, packet, n) != 0) break;
    }
    free(packet);
    return NULL;
}

static int run_bulk(int argc, char **argv) {
    Client c;
    if (open_client(&c, argc, argv, opt_str(argc, argv, "--ruid", "BENCH-BULK")) != 0) return 3;
    Bulk b = {&c, (uint32_t)opt_long(argc, argv, "--size", 61440), opt_long(argc, argv, "--count", 200),
              opt_long(argc, argv, "--window", 4), 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};
    pthread_t sender;
    uint64_t t0 = now_ns();
    pthread_create(&sender, NULL, bulk_sender, &b);
    long got = 0;
    while (got < b.count) {
        Packet p;
        if (reader_next(&c.reader, &p, kTimeoutMs) != 1 || !answers(&p, CMD_DATA, b.size, (uint32_t)got)) {
            fprintf(stderr, "tcp_client: bulk packet %ld lost or changed\n", got);
            break;
        }
        pthread_mutex_lock(&b.lock);
        b.acked = ++got;
        pthread_cond_signal(&b.changed);
        pthread_mutex_unlock(&b.lock);
    }
    double seconds = (double)(now_ns() - t0) / 1e9;
    pthread_mutex_lock(&b.lock);
    b.failed = got < b.count;
    pthread_cond_signal(&b.changed);
    pthread_mutex_unlock(&b.lock);
    pthread_join(sender, NULL);
    result("bulk_packets", (double)got);
    result("bulk_bytes_per_s", got ? (double)got * b.size / seconds : 0);
    return got == b.count ? 0 : 1;
}

static int run_admit(int argc, char **argv) {
    const char *prefix = opt_str(argc, argv, "--prefix", "BENCH");
    long count = opt_long(argc, argv, "--count", 1), admitted = 0;
    for (long i = 0; i < count; ++i) {
        char ruid[32];
        snprintf(ruid, sizeof ruid, "%s%03ld", prefix, i);
        Client c;
        if (open_client(&c, argc, argv, ruid) == 0) ++admitted;
        if (c.fd >= 0) close(c.fd);
        reader_free(&c.reader);
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
