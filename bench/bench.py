#!/usr/bin/env python3
"""The hub against its floor: one benchmark run, or the median of several.

Started by scripts/bench inside the project's Wine session. Each run starts a
bare thread-per-connection echo server (the floor, bench/floor) and then
norvane.exe under the same Wine, drives both from the native clients of this
directory over loopback and a pty, and reads the servers' memory and threads
from /proc. Every figure is printed beside the floor's and their ratio, with
the target it is held to; the same table goes to a CSV file under build/bench.

Machines this runs on are shared and the floor's own figures move by a factor
of two from run to run, so only ratios taken within one run mean anything;
--runs N reports the median ratio of N runs.

Network handhelds are admitted in admit_handhelds(), the one place that knows
how an operator lets a new handheld in.
"""
import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'system'))
import norvane_harness as harness  # noqa: E402
import serial_link  # noqa: E402

BUILD_WIN = harness.BUILD_DIR
OUT_DIR = os.path.join(SOURCE, 'build', 'bench')
OBJ = os.path.join(OUT_DIR, 'obj')
HUB_EXE = os.path.join(BUILD_WIN, 'norvane.exe')
ECHO_DLL = os.path.join(BUILD_WIN, 'sdk', 'samples', 'EchoPlugin.dll')
ECHO_PLUGIN = 'EchoPlugin'
NET_PLUGIN = 'BenchNet'
FLOOR_PORT = 5343
SERIAL_PORT = 5
LOAD_PREFIX = 'BENCH-LOAD'
ONE_PREFIX = 'BENCH-ONE'   # the single handhelds: 000 measures trips, 001 bulk
MB = 1024 * 1024
WM_COMMAND = 0x111
CMD_SHOW_MAIN_DIALOG = 32774
ID_ADD_CONNECTION, ID_NETWORK, ID_HIDE = 8, 1034, 2


# --- processes -----------------------------------------------------------------------------

def client(name, *args, timeout=600, pass_fds=()):
    """Runs a native client to its end: ({figure: value}, exit code, its standard error)."""
    proc = subprocess.run([os.path.join(OBJ, name)] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, errors='replace',
                          pass_fds=pass_fds)
    return parse_results(proc.stdout), proc.returncode, proc.stderr.strip()


def parse_results(text):
    values = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                values[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return values


class Server:
    """A Windows program under Wine whose memory is read from /proc of its process."""

    def __init__(self, name, argv, port, cwd, env=None):
        self.name, self.port = name, port
        self.out = open(os.path.join(cwd, name + '-output.txt'), 'wb')
        started = time.monotonic()
        self.proc = subprocess.Popen(['wine'] + argv, cwd=cwd, env=env or harness.wine_environment(),
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
        self.launch_s = None
        while port is not None and self.proc.poll() is None and time.monotonic() - started < 60:
            if harness.accepts_connections(port, timeout=0.2):
                self.launch_s = time.monotonic() - started
                break
            time.sleep(0.005)

    def status(self):
        """{'rss': bytes, 'vsize': bytes, 'threads': n, 'handles': n or None}."""
        fields = {}
        try:
            with open('/proc/%d/status' % self.proc.pid) as f:
                for line in f:
                    key, _, value = line.partition(':')
                    fields[key] = value.split()
        except OSError:
            return {}
        return {'rss': int(fields['VmRSS'][0]) * 1024, 'vsize': int(fields['VmSize'][0]) * 1024,
                'threads': int(fields['Threads'][0]), 'handles': self.handles()}

    def handles(self):
        image = os.path.basename(self.proc.args[1])
        result = harness.wine([os.path.join(OBJ, 'floor', 'probe.exe'), image], timeout=30)
        counts = [int(line.split()[2]) for line in result.stdout.splitlines() if len(line.split()) == 3]
        return counts[0] if counts and counts[0] >= 0 else None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        harness.end_process(self.proc, 15)
        self.out.close()


class Hub(Server):
    """norvane.exe from a private directory with the echo plug-in beside it."""

    def __init__(self, run_dir, name, args=(), preload=None):
        home = os.path.join(run_dir, name)
        os.makedirs(home, exist_ok=True)
        for f in (HUB_EXE, ECHO_DLL):
            shutil.copy2(f, home)
        env = dict(harness.wine_environment(), **({'LD_PRELOAD': preload} if preload else {}))
        super().__init__(name, [os.path.join(home, 'norvane.exe')] + list(args), harness.USER_PORT, home, env)

    def stop(self):
        # As the operator's Exit would; Server.stop kills it only when it hangs.
        if self.proc.poll() is None and harness.close_window():
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                pass
        super().stop()


def cpu_seconds(pid):
    """User plus system CPU time a process (all its threads) has used so far, or None."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')
    except (OSError, IndexError, ValueError):
        return None


def wineserver_pid():
    """The wine server of this session's prefix (other sessions on the machine have their own)."""
    prefix = ('WINEPREFIX=' + harness.wine_environment()['WINEPREFIX']).encode()
    for entry in os.listdir('/proc'):
        try:
            with open('/proc/%s/comm' % entry) as f:
                if not f.read().startswith('wineserver'):
                    continue
            with open('/proc/%s/environ' % entry, 'rb') as f:
                if prefix in f.read().split(b'\0'):
                    return int(entry)
        except (OSError, ValueError):
            continue
    return None


class CpuShare:
    """Share of one core that a process used between start() and stop(), in percent."""

    def __init__(self, pid):
        self.pid, self.percent, self.seconds = pid, None, None

    def start(self):
        self.t0, self.c0 = time.monotonic(), cpu_seconds(self.pid) if self.pid else None

    def stop(self):
        c1 = cpu_seconds(self.pid) if self.pid else None
        if self.c0 is not None and c1 is not None:
            self.seconds = c1 - self.c0
            self.percent = 100 * self.seconds / (time.monotonic() - self.t0)
        return self.percent


class ServerCalls:
    """Counts a Wine process's requests to the wine server while it is active. Each request
    is a write or writev on the process's request pipe, answered by the single wine server
    one at a time; the program's own writes (to a serial line, say) are among the count
    but are few. Needs strace and the right to trace."""

    def __init__(self, server):
        self.server, self.calls = server, None
        if server:
            self.out = os.path.join(os.path.dirname(server.out.name), server.name + '-strace.txt')

    def __enter__(self):
        if not self.server:
            return self
        self.proc = subprocess.Popen(['strace', '-f', '-c', '-e', 'trace=write,writev', '-o', self.out,
                                      '-p', str(self.server.proc.pid)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)   # attaching to every thread
        return self

    def __exit__(self, *exc):
        if not self.server:
            return
        self.proc.send_signal(2)
        self.proc.wait(30)
        try:
            with open(self.out) as f:
                rows = [line.split() for line in f]
            self.calls = sum(int(r[3]) for r in rows if len(r) >= 5 and r[-1] in ('write', 'writev'))
        except (OSError, ValueError):
            self.calls = None


def per_trip(calls, values, trips_key):
    trips = (values or {}).get(trips_key)
    return calls / trips if calls is not None and trips else None


# --- admission -----------------------------------------------------------------------------

def admit_handhelds(ruid_groups):
    """Lets the handhelds of [(RUID prefix, count)] (RUIDs prefix000, prefix001, ...) in as
    an operator does: through the add-connection wizard's network page, opened from the
    main dialog, while each handheld attaches once. Afterwards the hub knows them and
    serves them without pairing. Returns None when they are admitted, else why not."""
    if not harness.post_command(CMD_SHOW_MAIN_DIALOG):
        return 'the hub window did not take the command to show its main dialog'
    main = harness.find_window('Norvane', '#32770', wait_ms=5000)
    if not main:
        return 'the main dialog did not show'
    try:
        harness.post_message(WM_COMMAND, ID_ADD_CONNECTION, 0, hwnd=main)
        if not harness.wait_box('Connection Wizard', 5000):
            return 'this build has no pairing page ("Add Connection..." opens no "Connection Wizard")'
        harness.dismiss_box('Connection Wizard', button=ID_NETWORK)
        harness.dismiss_box('Connection Wizard', button='IDOK')
        if not harness.wait_box('Add Palm Client', 5000):
            return 'the wizard did not open the "Add Palm Client" page'
        try:
            for prefix, count in ruid_groups:
                _, code, err = client('tcp_client', 'admit', '--port', harness.USER_PORT, '--plugin', ECHO_PLUGIN,
                                      '--prefix', prefix, '--count', count)
                if code != 0:
                    return 'handhelds were not admitted on the pairing page (%s)' % err
        finally:
            harness.dismiss_box('Add Palm Client', button='IDOK', wait_ms=2000)
    finally:
        harness.dismiss_box('Norvane', button=ID_HIDE, wait_ms=1000)
    return None


# --- figures -------------------------------------------------------------------------------

class Figure:
    """One line of the report: the hub's value, the floor's, their ratio (unless ratio=False)
    and, for a target, check(hub, floor, ratio) -> bool."""

    def __init__(self, key, label, unit, hub, floor=None, target='', check=None, note='', ratio=True):
        self.key, self.label, self.unit, self.hub, self.floor = key, label, unit, hub, floor
        self.target, self.check, self.note = target, check, note
        self.ratio = hub / floor if ratio and hub is not None and floor else None

    def verdict(self):
        if self.hub is None:
            return 'n/a'
        if self.check is None:
            return ''
        return 'PASS' if self.check(self.hub, self.floor, self.ratio) else 'FAIL'


def ratio_at_most(limit):
    return lambda hub, floor, ratio: ratio is not None and ratio <= limit


def value_at_most(limit):
    return lambda hub, floor, ratio: hub <= limit


def value_at_least(limit):
    return lambda hub, floor, ratio: hub >= limit


class Run:
    """One complete run: the floor and the hub side by side over TCP, then the hub on a pty.

    Single-handheld figures are taken from both servers in alternating blocks by one client
    (tcp_client --floor-port), so both see the same moments of a shared machine; the load
    runs on one server at a time, since two loads at once would measure each other."""

    def __init__(self, opts, index):
        self.opts, self.index = opts, index
        self.dir = os.path.join(OUT_DIR, 'run-%d' % index)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.floor, self.hub, self.notes = {}, {}, []
        self.figures = []

    def say(self, text):
        print('  [run %d] %s' % (self.index, text), flush=True)

    def pair(self, key, mode, hub_args, *args):
        """One tcp_client measurement of the hub and the floor together; the hub's side is left
        out (hub_args None) when the hub cannot serve it, and the floor is then measured alone."""
        if hub_args is None:
            values, code, err = client('tcp_client', mode, '--port', FLOOR_PORT, *args)
            self.floor[key] = values
        else:
            values, code, err = client('tcp_client', mode, '--port', harness.USER_PORT, '--floor-port', FLOOR_PORT,
                                       *hub_args, *args)
            self.hub[key] = {k: v for k, v in values.items() if not k.startswith('floor_')}
            self.floor.setdefault(key, {k[6:]: v for k, v in values.items() if k.startswith('floor_')})
        if code:
            self.notes.append('%s %s: %s' % (key, mode, err))

    def measure_single(self, key_prefix, hub_args):
        rtt = ['--ruid', ONE_PREFIX + '000', '--size', 8, '--count', self.opts.count]
        bulk = ['--ruid', ONE_PREFIX + '001', '--size', 61440, '--count', self.opts.bulk]
        self.pair(key_prefix + 'rtt', 'rtt', hub_args, *rtt)
        self.pair(key_prefix + 'bulk', 'bulk', hub_args, *bulk)

    def measure_load(self, server, into, port, extra):
        """The many-handheld load, with the server's memory sampled half-way and its CPU and
        the wine server's counted from the first packet to the last answer."""
        into['before_load_status'] = server.status()
        argv = [os.path.join(OBJ, 'load_client'), '--port', str(port), '--clients', str(self.opts.clients),
                '--rate', str(self.opts.rate), '--seconds', str(self.opts.load_seconds)] + [str(a) for a in extra]
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                errors='replace')
        own, wineserver = CpuShare(server.proc.pid), CpuShare(wineserver_pid())
        if proc.stdout.readline().strip() == 'ready':
            own.start()
            wineserver.start()
            time.sleep(self.opts.load_seconds / 2)
            into['load_status'] = server.status()
        out, err = proc.communicate(timeout=self.opts.load_seconds + 600)
        into['load_cpu'], into['load_wineserver_cpu'] = own.stop(), wineserver.stop()
        if own.seconds is not None and wineserver.seconds is not None:
            into['load_cpu_s'] = own.seconds + wineserver.seconds
        if proc.returncode != 0:
            self.notes.append('load on %s: %s' % (server.name, err.strip()))
            return
        into['load'] = parse_results(out)
        into['load_seconds'] = self.opts.load_seconds
        time.sleep(3)   # closed connections' threads end
        into['after_status'] = server.status()

    def trace(self, server, into, key, client_name, *args, also=None, pass_fds=()):
        """Server requests per round trip of one short client run, when --trace asks for them;
        with also=(server, key), that process's requests are counted in the same run."""
        if not self.opts.trace:
            return
        trips_key = 'serial_rtt_trips' if client_name == 'serial_client' else 'rtt_trips'
        with ServerCalls(server) as counter, ServerCalls(also[0] if also else None) as other:
            values, _, _ = client(client_name, *args, pass_fds=pass_fds)
        into[key] = per_trip(counter.calls, values, trips_key)
        if also:
            into[also[1]] = per_trip(other.calls, values, trips_key)

    def start_tcp_servers(self):
        if harness.busy_ports():
            raise RuntimeError('ports %s are taken: is another hub running in this namespace?' % harness.busy_ports())
        floor = Server('floor', [os.path.join(OBJ, 'floor', 'floor.exe'), str(FLOOR_PORT)], FLOOR_PORT, self.dir)
        if floor.launch_s is None:
            floor.stop()
            raise RuntimeError('the floor server did not listen on %d' % FLOOR_PORT)
        hub = Hub(self.dir, 'hub-tcp')
        if hub.launch_s is None or not harness.find_window(harness.HUB_TITLE, wait_ms=10000):
            floor.stop()
            hub.stop()
            raise RuntimeError('norvane.exe did not start listening on %d' % harness.USER_PORT)
        time.sleep(1)
        for server, into in ((floor, self.floor), (hub, self.hub)):
            into['launch_s'] = server.launch_s
            into['idle_status'] = server.status()
        return floor, hub

    def run_tcp(self):
        self.say('floor and hub over TCP')
        floor, hub = self.start_tcp_servers()
        try:
            self.pair('echo', 'rtt', [], '--cmd', 5, '--size', 0, '--count', self.opts.count)
            for server, into, port in ((floor, self.floor, FLOOR_PORT), (hub, self.hub, harness.USER_PORT)):
                self.trace(server, into, 'echo_calls', 'tcp_client', 'rtt', '--port', port, '--cmd', 5,
                           '--size', 0, '--count', 300)
            why = admit_handhelds([(ONE_PREFIX, 2), (LOAD_PREFIX, self.opts.clients)])
            self.hub['admission'] = why
            if why:
                self.say('network handhelds not admitted: ' + why)
            self.measure_single('', None if why else ['--plugin', ECHO_PLUGIN])
            for server, into, port, extra in ((floor, self.floor, FLOOR_PORT, []),
                                              (hub, self.hub, harness.USER_PORT, ['--plugin', ECHO_PLUGIN])):
                if why and server is hub:
                    continue
                self.trace(server, into, 'rtt_calls', 'tcp_client', 'rtt', '--port', port, *extra,
                           '--ruid', ONE_PREFIX + '000', '--count', 300)
            if not why:
                self.run_netplugin(hub)
            if self.opts.no_load:
                return
            self.say('load on the floor')
            self.measure_load(floor, self.floor, FLOOR_PORT, [])
            self.say('load on the hub')
            load = ['--echo'] if why else ['--plugin', ECHO_PLUGIN, '--prefix', LOAD_PREFIX]
            self.measure_load(hub, self.hub, harness.USER_PORT, load)
        finally:
            hub.stop()
            floor.stop()

    def run_netplugin(self, hub):
        """The path through a network plug-in, once with each build of tools/netplugin: the
        native one carries the target, like every other peer of the hub here; the one under
        Wine shows what a plug-in program on the same PC adds of its own."""
        commands = netplugin_commands()
        if not commands:
            self.hub['netplugin'] = 'tools/netplugin is not built'
        for prefix, command in commands:
            self.run_one_netplugin(hub, prefix, command)

    def run_one_netplugin(self, hub, prefix, command):
        plugin = Server('netplugin', command[1:], None, self.dir) if command[0] == 'wine' else None
        proc = plugin.proc if plugin else subprocess.Popen(command, env=harness.wine_environment(),
                                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                                           stderr=subprocess.DEVNULL)
        try:
            time.sleep(2)   # connects and names itself
            self.measure_single(prefix, ['--plugin', NET_PLUGIN])
            # A plug-in program under Wine has its requests counted apart, in the same trips.
            self.trace(hub, self.hub, prefix + 'calls', 'tcp_client', 'rtt', '--port', harness.USER_PORT,
                       '--plugin', NET_PLUGIN, '--ruid', ONE_PREFIX + '000', '--count', 300,
                       also=(plugin, prefix + 'plugin_calls') if plugin else None)
        finally:
            if plugin:
                plugin.stop()
            else:
                proc.terminate()
                proc.wait(15)
            time.sleep(1)   # the hub lets the name go before the next one registers

    def run_hub_serial(self):
        self.say('hub on a pty')
        with serial_link.Cable(serial_link.serial_environment(), SERIAL_PORT) as line:
            hub = Hub(self.dir, 'hub-serial', [str(SERIAL_PORT)], preload=serial_link.build_shim())
            try:
                values, code, err = client('serial_client', line.device, '--plugin', ECHO_PLUGIN, '--count',
                                           self.opts.count // 4, '--seconds', self.opts.serial_seconds,
                                           pass_fds=line.fds)
                self.hub['serial'] = values
                if code:
                    self.notes.append('serial: ' + err)
                self.trace(hub, self.hub, 'serial_calls', 'serial_client', line.device, '--plugin', ECHO_PLUGIN,
                           '--count', 200, '--seconds', 0, '--no-beacon', pass_fds=line.fds)
            finally:
                hub.stop()

    def run(self):
        if self.opts.only in ('all', 'tcp'):
            self.run_tcp()
        if self.opts.only in ('all', 'serial'):
            self.run_hub_serial()
        self.figures = build_figures(self.hub, self.floor, self.opts.clients, self.opts.rate)


def netplugin_commands():
    """[(key prefix, command)] of the network plug-in simulator set to echo: 'net_' for the
    native build (scripts/bench builds it without sanitizers), 'netw_' for the Windows build
    under the same Wine as the hub. NORVANE_NETPLUGIN names another command (its arguments
    included) that takes the native one's place."""
    args = ['--name', NET_PLUGIN, '--echo', '--quiet']
    native = os.path.join(OUT_DIR, 'native', 'tools', 'netplugin', 'netplugin')
    if os.environ.get('NORVANE_NETPLUGIN'):
        commands = [('net_', os.environ['NORVANE_NETPLUGIN'].split())]
    else:
        commands = [('net_', [native] + args)] if os.path.exists(native) else []
    windows = os.path.join(BUILD_WIN, 'tools', 'netplugin', 'netplugin.exe')
    if os.path.exists(windows):
        commands.append(('netw_', ['wine', windows] + args))
    return commands


def get(d, *keys):
    for k in keys:
        if not isinstance(d, dict) or d.get(k) is None:
            return None
        d = d[k]
    return d


def build_figures(hub, floor, clients, rate):
    F = []
    mb = lambda v: v / MB if v is not None else None  # noqa: E731
    F.append(Figure('echo_p50', "hub's ECHO, RTT p50", 'us', get(hub, 'echo', 'rtt_p50_us'),
                    get(floor, 'echo', 'rtt_p50_us'), 'ratio <= 1.3', ratio_at_most(1.3)))
    F.append(Figure('echo_p99', "hub's ECHO, RTT p99", 'us', get(hub, 'echo', 'rtt_p99_us'),
                    get(floor, 'echo', 'rtt_p99_us')))
    na = hub.get('admission')
    F.append(Figure('plugin_p50', 'TCP -> echo plug-in -> TCP, 8 B, RTT p50', 'us', get(hub, 'rtt', 'rtt_p50_us'),
                    get(floor, 'rtt', 'rtt_p50_us'), 'ratio <= 2', ratio_at_most(2), na))
    F.append(Figure('plugin_p99', 'TCP -> echo plug-in -> TCP, 8 B, RTT p99', 'us', get(hub, 'rtt', 'rtt_p99_us'),
                    get(floor, 'rtt', 'rtt_p99_us'), note=na))
    F.append(Figure('plugin_bulk', 'TCP -> echo plug-in -> TCP, 60 KB packets', 'MB/s',
                    mb(get(hub, 'bulk', 'bulk_bytes_per_s')), mb(get(floor, 'bulk', 'bulk_bytes_per_s')),
                    'higher is better', note=na))
    net_na = na or (hub.get('netplugin') if isinstance(hub.get('netplugin'), str) else None)
    for prefix, what, target in (('net_', 'TCP -> tools/netplugin -> TCP', 2.5),
                                 ('netw_', 'TCP -> tools/netplugin under Wine -> TCP', None)):
        missing = net_na or (None if prefix + 'rtt' in hub else 'not measured')
        F.append(Figure(prefix + 'p50', what + ', 8 B, RTT p50', 'us', get(hub, prefix + 'rtt', 'rtt_p50_us'),
                        get(floor, prefix + 'rtt', 'rtt_p50_us'), 'ratio <= %g' % target if target else '',
                        ratio_at_most(target) if target else None, missing))
        F.append(Figure(prefix + 'p99', what + ', 8 B, RTT p99', 'us', get(hub, prefix + 'rtt', 'rtt_p99_us'),
                        get(floor, prefix + 'rtt', 'rtt_p99_us'), note=missing))
        F.append(Figure(prefix + 'bulk', what + ', 60 KB packets', 'MB/s',
                        mb(get(hub, prefix + 'bulk', 'bulk_bytes_per_s')),
                        mb(get(floor, prefix + 'bulk', 'bulk_bytes_per_s')), 'higher is better', note=missing))
    F += load_figures(hub, floor, clients, rate)
    if 'echo_calls' in hub:
        F += [Figure('echo_calls', "hub's ECHO, wine server requests per trip", '', hub.get('echo_calls'),
                     floor.get('echo_calls')),
              Figure('plugin_calls', 'TCP -> echo plug-in -> TCP, wine server requests per trip', '',
                     hub.get('rtt_calls'), floor.get('rtt_calls'), note=na),
              Figure('net_calls', 'TCP -> tools/netplugin -> TCP, wine server requests per trip, hub', '',
                     hub.get('net_calls'), floor.get('echo_calls'), note=net_na),
              Figure('netw_calls', 'TCP -> tools/netplugin under Wine -> TCP, wine server requests per trip, '
                     'hub', '', hub.get('netw_calls'), floor.get('echo_calls'), note=net_na),
              Figure('netw_plugin_calls', 'TCP -> tools/netplugin under Wine -> TCP, wine server requests per '
                     'trip, netplugin', '', hub.get('netw_plugin_calls'), floor.get('echo_calls'), note=net_na)]
    F += serial_figures(hub)
    F += resource_figures(hub, floor)
    return F


def load_figures(hub, floor, clients, rate):
    na = hub.get('admission')
    what = 'load %dx%d/s %s' % (clients, rate, "hub's ECHO" if na else 'plug-in')
    zero = value_at_most(0)
    return [
        Figure('load_p50', what + ', RTT p50', 'ms', ms(get(hub, 'load', 'load_rtt_p50_us')),
               ms(get(floor, 'load', 'load_rtt_p50_us'))),
        Figure('load_p99', what + ', RTT p99', 'ms', ms(get(hub, 'load', 'load_rtt_p99_us')),
               ms(get(floor, 'load', 'load_rtt_p99_us')), 'ratio <= 3', ratio_at_most(3)),
        Figure('load_lost', what + ', lost', 'packets', get(hub, 'load', 'load_lost'),
               get(floor, 'load', 'load_lost'), '0', zero),
        Figure('load_duplicated', what + ', duplicated', 'packets', get(hub, 'load', 'load_duplicated'),
               get(floor, 'load', 'load_duplicated'), '0', zero),
        Figure('load_reordered', what + ', reordered', 'packets', get(hub, 'load', 'load_reordered'),
               get(floor, 'load', 'load_reordered'), '0', zero,
               "the hub's ECHO answers are empty: order not visible" if na else ''),
        Figure('load_sent', what + ', packets sent', 'packets', get(hub, 'load', 'load_sent'),
               get(floor, 'load', 'load_sent')),
        Figure('load_stalls', what + ', not sent: server not reading', 'packets', get(hub, 'load', 'load_send_stalls'),
               get(floor, 'load', 'load_send_stalls'), ratio=False),
        Figure('load_closed', what + ', connections the server closed', '', get(hub, 'load', 'load_closed'),
               get(floor, 'load', 'load_closed'), '0', value_at_most(0), ratio=False),
        Figure('load_drain', what + ', last answer after last send', 's', drain(hub), drain(floor), ratio=False),
        Figure('load_cpu_per_packet', what + ', CPU per packet (process + wine server)', 'us',
               cpu_per_packet(hub), cpu_per_packet(floor)),
        Figure('load_cpu', what + ', CPU of the server', '% core', hub.get('load_cpu'),
               floor.get('load_cpu')),
        Figure('load_wineserver_cpu', what + ', CPU of the wine server', '% core',
               hub.get('load_wineserver_cpu'), floor.get('load_wineserver_cpu')),
    ]


def cpu_per_packet(side):
    answered = (get(side, 'load', 'load_sent') or 0) - (get(side, 'load', 'load_lost') or 0)
    return side['load_cpu_s'] * 1e6 / answered if side.get('load_cpu_s') is not None and answered > 0 else None


def drain(side):
    elapsed, load = get(side, 'load', 'load_elapsed_s'), side.get('load_seconds')
    return max(0.0, elapsed - load) if elapsed is not None and load else None


def ms(us):
    return us / 1000 if us is not None else None


def serial_figures(hub):
    # Shown on its own too, for runs that measure only the serial path.
    calls = [Figure('serial_calls', 'pty -> echo plug-in -> pty, wine server requests per trip', '',
                    hub.get('serial_calls'))] if 'serial_calls' in hub else []
    return calls + [
        Figure('serial_p50', 'pty -> echo plug-in -> pty, 8 B, RTT p50', 'us',
               get(hub, 'serial', 'serial_rtt_p50_us'), None, '<= 1000 us', value_at_most(1000)),
        Figure('serial_p99', 'pty -> echo plug-in -> pty, 8 B, RTT p99', 'us',
               get(hub, 'serial', 'serial_rtt_p99_us')),
        Figure('serial_rate', 'pty -> echo plug-in -> pty, 1 KB packets, each way', 'KB/s',
               kb(get(hub, 'serial', 'serial_bytes_per_s')), None, '>= 11.5 KB/s', value_at_least(11.5),
               'line rate 5.76 KB/s'),
    ]


def kb(v):
    return v / 1000 if v is not None else None


def resource_figures(hub, floor):
    mb = lambda d, *k: get(d, *k) / MB if get(d, *k) is not None else None  # noqa: E731
    F = [Figure('launch', 'launch to listening', 'ms', ms_of(get(hub, 'launch_s')), ms_of(get(floor, 'launch_s')))]
    for phase, label in (('idle_status', 'idle'), ('load_status', 'under load'), ('after_status', 'after load')):
        F.append(Figure('rss_' + phase.split('_')[0], 'VmRSS, ' + label, 'MB', mb(hub, phase, 'rss'),
                        mb(floor, phase, 'rss')))
        F.append(Figure('vsize_' + phase.split('_')[0], 'VmSize, ' + label, 'MB', mb(hub, phase, 'vsize'),
                        mb(floor, phase, 'vsize')))
        F.append(Figure('threads_' + phase.split('_')[0], 'threads, ' + label, '', get(hub, phase, 'threads'),
                        get(floor, phase, 'threads')))
        handles = get(hub, phase, 'handles')
        F.append(Figure('handles_' + phase.split('_')[0], 'handles, ' + label, '', handles,
                        get(floor, phase, 'handles'),
                        note='' if handles is not None else 'no handle count from Wine'))
    growth = lambda d: mb(d, 'load_status', 'rss') - mb(d, 'idle_status', 'rss') \
        if mb(d, 'load_status', 'rss') is not None and mb(d, 'idle_status', 'rss') is not None else None  # noqa: E731
    F.append(Figure('rss_growth', 'VmRSS growth under load', 'MB', growth(hub), growth(floor), 'ratio <= 1.1',
                    ratio_at_most(1.1)))
    # What the load leaves behind is read against the hub just before it: by then the operator
    # has admitted the handhelds, and the rows and dialogs that took are kept by design.
    # Against the start (the first figure) that admission counts too.
    since = lambda d, phase: mb(d, 'after_status', 'rss') - mb(d, phase, 'rss') \
        if mb(d, 'after_status', 'rss') is not None and mb(d, phase, 'rss') is not None else None  # noqa: E731
    F.append(Figure('rss_after_start', 'VmRSS after load minus idle at start', 'MB', since(hub, 'idle_status'),
                    since(floor, 'idle_status'), ratio=False))
    F.append(Figure('rss_after', 'VmRSS after load minus just before it', 'MB', since(hub, 'before_load_status'),
                    None, '<= 5 MB', value_at_most(5)))
    return F


def ms_of(seconds):
    return seconds * 1000 if seconds is not None else None


# --- report --------------------------------------------------------------------------------

def fmt(v):
    if v is None:
        return '-'
    if abs(v) >= 100 or v == int(v):
        return '%.0f' % v
    if abs(v) < 0.01:
        return '0'
    return '%.3g' % v


def print_table(figures, title, opts):
    print('\n' + title)
    print('  load AxB/s: A handhelds at B packets/s each for %d s, numbered packets through the echo plug-in,' %
          opts.load_seconds)
    print("  or, where handhelds cannot be admitted, the hub's own ECHO. Ratio: hub / floor.")
    rows = [('Figure', 'Unit', 'Hub', 'Floor', 'Ratio', 'Target', 'Mark')]
    for f in figures:
        mark = f.verdict() + ('  (%s)' % f.note if f.note else '')
        rows.append((f.label, f.unit, fmt(f.hub), fmt(f.floor), fmt(f.ratio) + 'x' if f.ratio else '-',
                     f.target, mark.strip()))
    widths = [max(len(r[i]) for r in rows) for i in range(6)]
    for r in rows:
        cells = [r[0].ljust(widths[0]), r[1].ljust(widths[1])] + [r[i].rjust(widths[i]) for i in (2, 3, 4)]
        print('  '.join(cells + [r[5].ljust(widths[5]), r[6]]).rstrip())


def median_figures(runs):
    """Per figure the median of the runs' values and of their ratios."""
    out = []
    for i, first in enumerate(runs[0].figures):
        fs = [r.figures[i] for r in runs]
        med = lambda vals: statistics.median(vals) if vals else None  # noqa: E731
        f = Figure(first.key, first.label, first.unit, med([x.hub for x in fs if x.hub is not None]),
                   med([x.floor for x in fs if x.floor is not None]), first.target, first.check, first.note)
        f.ratio = med([x.ratio for x in fs if x.ratio is not None])
        out.append(f)
    return out


def write_csv(path, runs, median):
    with open(path, 'w', newline='') as f:
        w = csv.writer(f)
        w.writerow(['run', 'figure', 'label', 'unit', 'hub', 'floor', 'ratio', 'target', 'verdict', 'note'])
        tables = [(str(r.index), r.figures) for r in runs] + ([('median', median)] if median else [])
        for name, figures in tables:
            for x in figures:
                w.writerow([name, x.key, x.label, x.unit, '' if x.hub is None else '%.6g' % x.hub,
                            '' if x.floor is None else '%.6g' % x.floor,
                            '' if x.ratio is None else '%.4g' % x.ratio, x.target, x.verdict(), x.note])


def parse_args():
    p = argparse.ArgumentParser(description='norvane.exe against a bare echo server under the same Wine')
    p.add_argument('--quick', action='store_true', help='short load (15 s) and fewer samples')
    p.add_argument('--runs', type=int, default=1, help='repeat N runs and report the median of the ratios')
    p.add_argument('--load-seconds', type=int, help='duration of the many-handheld load (60)')
    p.add_argument('--clients', type=int, default=154, help='handhelds in the load (154)')
    p.add_argument('--rate', type=int, default=20, help='packets per second per handheld (20)')
    p.add_argument('--trace', action='store_true',
                   help='also count wine server requests per round trip (strace; slows those trips down)')
    p.add_argument('--only', choices=('all', 'tcp', 'serial'), default='all',
                   help='measure only the TCP paths or only the serial path (while working on one)')
    p.add_argument('--no-load', action='store_true', help='leave out the many-handheld load')
    opts = p.parse_args()
    opts.load_seconds = opts.load_seconds or (15 if opts.quick else 60)
    opts.count = 500 if opts.quick else 2000
    opts.bulk = 50 if opts.quick else 200
    opts.serial_seconds = 5 if opts.quick else 10
    return opts


def main():
    opts = parse_args()
    for f in (HUB_EXE, ECHO_DLL, os.path.join(OBJ, 'floor', 'floor.exe'), harness.WINTOOL_EXE):
        if not os.path.exists(f):
            sys.exit('bench: %s is not built (scripts/bench builds it)' % f)
    runs = []
    for i in range(1, opts.runs + 1):
        run = Run(opts, i)
        run.run()
        runs.append(run)
        print_table(run.figures, 'Run %d of %d' % (i, opts.runs), opts)
        for note in run.notes:
            print('  note: ' + note)
    median = median_figures(runs) if len(runs) > 1 else None
    if median:
        print_table(median, 'Median of %d runs (ratio column: median of the ratios)' % len(runs), opts)
    stamp = time.strftime('%Y%m%d-%H%M%S')
    path = os.path.join(OUT_DIR, 'bench-%s.csv' % stamp)
    write_csv(path, runs, median)
    shutil.copy2(path, os.path.join(OUT_DIR, 'latest.csv'))
    print('\nCSV: ' + os.path.relpath(path, SOURCE))
    failed = [f.label for f in (median or runs[-1].figures) if f.verdict() == 'FAIL']
    print('%d of the targets missed' % len(failed) if failed else 'every measured target met')
    return 0


if __name__ == '__main__':
    sys.exit(main())
