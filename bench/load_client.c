/*
 * load_client: many TCP handhelds at a steady packet rate, the load a room
 * full of presenters' devices puts on the hub.
 *
 *   load_client --port P [--clients 154] [--rate 20] [--seconds 60] [--size 24]
 *               [--plugin NAME --prefix RUID] [--echo]
 *
 * Every packet carries its client number, its sequence number and its send
 * time, so each answer tells on its own whether it was lost, duplicated or
 * overtaken, and how long its trip took. One thread with poll() serves every
 * connection: a thread per handheld would measure this machine's scheduler
 * as much as the hub. Send times are spread evenly over each period so the
 * load is a stream, not 154-packet bursts.
 *
 * --echo sends the hub's ECHO instead (answered empty by the hub itself);
 * answers are then matched in order, which still counts losses but cannot
 * see reordering.
 */
#include "proto.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* After the last send, answers are awaited while they keep coming: a hub that
 * has fallen behind still owes them, and only what never arrives is lost. */
enum { kTimeoutMs = 10000, kQuietMs = 5000, kMaxDrainMs = 180000, kStamp = 16 };

typedef struct Handheld {
    int fd;
    Reader reader;
    uint32_t sent, next_expected;
    uint8_t *seen;            /* one byte per sequence number: answers received */
    uint64_t *sent_at;        /* for --echo, where answers carry nothing */
    uint32_t echo_answered;
} Handheld;

typedef struct Load {
    Handheld *hh;
    int clients, rate, echo;
    uint32_t size, per_client;
    double *rtt_us;
    size_t rtt_count;
    uint64_t last_answer;
    long lost, duplicated, reordered, stray, send_stalls, closed;
} Load;

static void put_u32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
static uint32_t get_u32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }

static int connect_all(Load *L, int argc, char **argv) {
    const char *plugin = opt_str(argc, argv, "--plugin", NULL);
    const char *prefix = opt_str(argc, argv, "--prefix", "BENCH");
    int port = (int)opt_long(argc, argv, "--port", 4343);
    for (int i = 0; i < L->clients; ++i) {
        Handheld *h = &L->hh[i];
        char ruid[32];
        snprintf(ruid, sizeof ruid, "%s%03d", prefix, i);
        h->fd = tcp_connect("127.0.0.1", port, kTimeoutMs);
        h->seen = calloc(L->per_client, 1);
        h->sent_at = calloc(L->per_client, sizeof(uint64_t));
        if (h->fd < 0 || !h->seen || !h->sent_at || reader_init(&h->reader, h->fd, 1u << 16) != 0) {
            fprintf(stderr, "load_client: handheld %d cannot connect\n", i);
            return -1;
        }
        if (plugin && attach(h->fd, &h->reader, ruid, plugin, ruid, kTimeoutMs) != 1) {
            fprintf(stderr, "load_client: %s was not attached to %s\n", ruid, plugin);
            return -1;
        }
    }
    return 0;
}

static void send_one(Load *L, int i) {
    Handheld *h = &L->hh[i];
    uint8_t packet[7 + 4096];
    uint32_t seq = h->sent;
    size_t n = put_header(packet, L->echo ? CMD_ECHO : CMD_DATA, L->size);
    memset(packet + n, 0xA5, L->size);
    uint64_t t = now_ns();
    put_u32(packet + n, (uint32_t)i);
    put_u32(packet + n + 4, seq);
    memcpy(packet + n + 8, &t, 8);
    ssize_t w = send(h->fd, packet, n + L->size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w != (ssize_t)(n + L->size)) {
        /* The hub stopped taking input from this handheld; a partial write
         * would corrupt the stream, so the connection is written off. */
        ++L->send_stalls;
        if (w > 0) { shutdown(h->fd, SHUT_WR); }
        return;
    }
    h->sent_at[seq] = t;
    h->sent++;
}

static void take_answer(Load *L, int i, const Packet *p) {
    Handheld *h = &L->hh[i];
    uint64_t now = now_ns();
    L->last_answer = now;
    if (L->echo) {
        if (p->command != CMD_ECHO || h->echo_answered >= h->sent) { ++L->stray; return; }
        L->rtt_us[L->rtt_count++] = (double)(now - h->sent_at[h->echo_answered]) / 1000.0;
        h->seen[h->echo_answered++] = 1;
        return;
    }
    if (p->command != CMD_DATA || p->length != L->size || get_u32(p->payload) != (uint32_t)i) { ++L->stray; return; }
    uint32_t seq = get_u32(p->payload + 4);
    uint64_t t;
    memcpy(&t, p->payload + 8, 8);
    if (seq >= h->sent) { ++L->stray; return; }
    if (h->seen[seq]) { ++L->duplicated; return; }
    h->seen[seq] = 1;
    if (seq < h->next_expected) ++L->reordered;
    else h->next_expected = seq + 1;
    L->rtt_us[L->rtt_count++] = (double)(now - t) / 1000.0;
}

static void read_ready(Load *L, struct pollfd *pfd) {
    for (int i = 0; i < L->clients; ++i) {
        if (!(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        Handheld *h = &L->hh[i];
        int filled = reader_fill(&h->reader);
        if (filled == 0 || (filled < 0 && errno != EAGAIN)) {
            ++L->closed;
            pfd[i].fd = -1;
            continue;
        }
        Packet p;
        int got;
        while ((got = reader_take(&h->reader, &p)) == 1)
            if (L->rtt_count < (size_t)L->clients * L->per_client) take_answer(L, i, &p);
        if (got < 0) { ++L->stray; pfd[i].fd = -1; }
    }
}

/* Sends on schedule until the end, then waits for late answers. */
static void run(Load *L, double seconds) {
    struct pollfd *pfd = calloc((size_t)L->clients, sizeof *pfd);
    uint64_t *due = calloc((size_t)L->clients, sizeof *due);
    uint64_t period = 1000000000u / (uint64_t)L->rate, start = now_ns();
    uint64_t stop = start + (uint64_t)(seconds * 1e9), drain_end = 0;
    L->last_answer = start;
    for (int i = 0; i < L->clients; ++i) {
        pfd[i].fd = L->hh[i].fd;
        pfd[i].events = POLLIN;
        due[i] = start + period * (uint64_t)i / (uint64_t)L->clients;
    }
    for (;;) {
        uint64_t now = now_ns(), next = UINT64_MAX;
        if (now < stop) {
            for (int i = 0; i < L->clients; ++i) {
                if (due[i] <= now && pfd[i].fd >= 0 && L->hh[i].sent < L->per_client) {
                    send_one(L, i);
                    due[i] += period;
                }
                if (due[i] < next) next = due[i];
            }
        } else {
            if (!drain_end) drain_end = now + kMaxDrainMs * 1000000ull;
            long missing = 0;
            for (int i = 0; i < L->clients; ++i) {
                Handheld *h = &L->hh[i];
                if (pfd[i].fd >= 0) missing += L->echo ? h->sent - h->echo_answered : 0;
                if (!L->echo && pfd[i].fd >= 0)
                    for (uint32_t s = 0; s < h->sent && !missing; ++s) missing += !h->seen[s];
            }
            int quiet = now > L->last_answer + kQuietMs * 1000000ull;
            if (missing == 0 || quiet || now >= drain_end) break;
            next = now + 10000000u;
        }
        int wait_ms = next > now ? (int)((next - now) / 1000000u) : 0;
        if (poll(pfd, (nfds_t)L->clients, wait_ms) > 0) read_ready(L, pfd);
    }
    free(pfd);
    free(due);
}

static void report(Load *L) {
    long sent = 0;
    for (int i = 0; i < L->clients; ++i) {
        Handheld *h = &L->hh[i];
        sent += h->sent;
        for (uint32_t s = 0; s < h->sent; ++s) L->lost += !h->seen[s];
    }
    result("load_sent", (double)sent);
    result("load_lost", (double)L->lost);
    result("load_duplicated", (double)L->duplicated);
    result("load_reordered", (double)L->reordered);
    result("load_stray", (double)L->stray);
    result("load_send_stalls", (double)L->send_stalls);
    result("load_closed", (double)L->closed);
    result_latency("load_rtt", L->rtt_us, L->rtt_count);
}

int main(int argc, char **argv) {
    Load L;
    memset(&L, 0, sizeof L);
    L.clients = (int)opt_long(argc, argv, "--clients", 154);
    L.rate = (int)opt_long(argc, argv, "--rate", 20);
    double seconds = (double)opt_long(argc, argv, "--seconds", 60);
    L.size = (uint32_t)opt_long(argc, argv, "--size", 24);
    for (int i = 1; i < argc; ++i) L.echo |= strcmp(argv[i], "--echo") == 0;
    if (L.clients < 1 || L.rate < 1 || L.size < kStamp || L.size > 4096 || seconds <= 0) {
        fprintf(stderr, "load_client: bad options\n");
        return 2;
    }
    L.per_client = (uint32_t)(seconds * L.rate) + 2;
    L.hh = calloc((size_t)L.clients, sizeof *L.hh);
    L.rtt_us = calloc((size_t)L.clients * L.per_client, sizeof(double));
    if (!L.hh || !L.rtt_us) return 1;
    if (connect_all(&L, argc, argv) != 0) return 3;
    /* The driver samples the server's memory while the load runs. */
    fprintf(stderr, "load_client: %d handhelds connected\n", L.clients);
    printf("ready\n");
    fflush(stdout);
    uint64_t t0 = now_ns();
    run(&L, seconds);
    result("load_elapsed_s", (double)(now_ns() - t0) / 1e9);
    report(&L);
    for (int i = 0; i < L.clients; ++i) close(L.hh[i].fd);
    return 0;
}
