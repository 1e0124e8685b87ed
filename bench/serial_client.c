/*
 * serial_client: a handheld on the master side of a pty whose slave the hub
 * opens as a COM port (or on the far end of a relayed pty pair).
 *
 *   serial_client DEVICE|fd:N --plugin NAME [--count N] [--size 8] [--seconds S] [--stream-size 1024]
 *                 [--no-beacon]
 *
 * It waits for the hub's beacon (unless told the hub's end is attached
 * already, when the hub sends none), attaches to the plug-in, then measures the
 * round trip of small packets one at a time and after that the rate a steady
 * stream of larger packets reaches: a few packets stay in flight so that
 * neither side ever waits for the other, which is what a handheld sending
 * slides or drawings does. The rate counts the bytes on the line (headers
 * included) in each direction; with an echo plug-in both directions carry the
 * same bytes at the same time.
 */
#include "proto.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { kTimeoutMs = 10000, kBeaconWaitMs = 20000, kWarmup = 20, kWindow = 4 };

/* DEVICE is a path, or fd:N for a pty master the caller holds open for us
   (opening a master by a path would make a new pty). */
static int open_line(const char *device) {
    int fd = strncmp(device, "fd:", 3) == 0 ? atoi(device + 3) : open(device, O_RDWR | O_NOCTTY);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

static size_t make_packet(uint8_t *out, uint32_t size, uint32_t seq) {
    size_t h = put_header(out, CMD_DATA, size);
    memset(out + h, 0x3C, size);
    if (size >= 4) memcpy(out + h, &seq, 4);
    return h + size;
}

static int is_answer(const Packet *p, uint32_t size, uint32_t seq) {
    return p->command == CMD_DATA && p->length == size && (size < 4 || memcmp(p->payload, &seq, 4) == 0);
}

static int measure_rtt(int fd, Reader *r, long count, uint32_t size) {
    uint8_t packet[7 + 4096];
    double *samples = malloc(sizeof(double) * (size_t)count);
    long taken = 0;
    if (!samples || size > 4096) return -1;
    for (long i = -kWarmup; i < count; ++i) {
        size_t n = make_packet(packet, size, (uint32_t)i);
        uint64_t t0 = now_ns();
        Packet p;
        if (write_all(fd, packet, n) != 0 || reader_next_skipping_beacons(r, &p, kTimeoutMs) != 1 ||
            !is_answer(&p, size, (uint32_t)i)) {
            fprintf(stderr, "serial_client: no answer to packet %ld\n", i);
            break;
        }
        if (i >= 0) samples[taken++] = (double)(now_ns() - t0) / 1000.0;
    }
    result_latency("serial_rtt", samples, (size_t)taken);
    result("serial_rtt_trips", (double)(taken + kWarmup));
    free(samples);
    return taken == count ? 0 : -1;
}

/* Keeps kWindow packets in flight for the given time; every answer must be the next one sent. */
static int measure_stream(int fd, Reader *r, double seconds, uint32_t size) {
    uint8_t packet[7 + 4096];
    uint32_t sent = 0, got = 0;
    uint64_t t0 = now_ns(), stop = t0 + (uint64_t)(seconds * 1e9);
    int ok = 1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (ok && (now_ns() < stop || got < sent)) {
        if (now_ns() < stop && sent - got < kWindow) {
            size_t n = make_packet(packet, size, sent);
            if (write_all(fd, packet, n) != 0) { ok = 0; break; }
            ++sent;
            continue;
        }
        Packet p;
        int next = reader_next_skipping_beacons(r, &p, kTimeoutMs);
        if (next != 1 || !is_answer(&p, size, got)) {
            fprintf(stderr, "serial_client: stream packet %u lost or changed\n", got);
            ok = 0;
            break;
        }
        ++got;
    }
    double elapsed = (double)(now_ns() - t0) / 1e9;
    result("serial_stream_packets", got);
    result("serial_bytes_per_s", (double)got * (size + 3) / elapsed);
    return ok ? 0 : -1;
}

int main(int argc, char **argv) {
    if (argc < 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: serial_client DEVICE --plugin NAME [--count N] [--size N] [--seconds S]\n");
        return 2;
    }
    int fd = open_line(argv[1]);
    Reader r;
    if (fd < 0 || reader_init(&r, fd, 1u << 16) != 0) {
        fprintf(stderr, "serial_client: cannot open %s\n", argv[1]);
        return 1;
    }
    Packet p;
    int beacon = 1;
    for (int i = 2; i < argc; ++i) beacon &= strcmp(argv[i], "--no-beacon") != 0;
    if (beacon && (reader_next(&r, &p, kBeaconWaitMs) != 1 || p.command != CMD_BEACON)) {
        fprintf(stderr, "serial_client: no beacon from the hub\n");
        return 3;
    }
    if (attach(fd, &r, "BENCH-SERIAL", opt_str(argc, argv, "--plugin", "EchoPlugin"), "Bench", kTimeoutMs) != 1) {
        fprintf(stderr, "serial_client: not attached\n");
        return 3;
    }
    int failed = measure_rtt(fd, &r, opt_long(argc, argv, "--count", 500), (uint32_t)opt_long(argc, argv, "--size", 8));
    failed |= measure_stream(fd, &r, (double)opt_long(argc, argv, "--seconds", 10),
                             (uint32_t)opt_long(argc, argv, "--stream-size", 1024));
    return failed ? 1 : 0;
}
