#!/usr/bin/env python3
"""Driver of scripts/soak: runs two tavel daemons (the local one, A, under
test, and a remote one, B, for chained relays) and drives them at random,
from a seed, for a given time; then checks and prints the figures.

Runs inside the private network and mount namespaces that scripts/soak
makes: loopback only, 127.254.0.0/16 unreachable, its own tmpfs on
/dev/shm.  Single-threaded: one selector loop carries the traffic sources,
the sinks, the HTTP stream servers, the control clients and the timers.

Datagrams carry a stamp (magic, stream, sequence number); a relay's
stream is checked only inside a healthy window: from a moment after its
traffic was seen to settle until just before anything the driver does that
may lawfully disturb it (stopping its source, destination or remote daemon,
dropping or killing it).  Inside a window every datagram sent must arrive
once and in order.  The faults injected on purpose (full /dev/shm, low
descriptor limit, unreachable peers, connection storms, hostile and
trickled heads, a thousand keep-alive links held at once, agent messages)
must leave the relays already running untouched, so they do not close
windows.
"""
import argparse
import ctypes
import errno
import heapq
import json
import os
import random
import re
import resource
import selectors
import signal
import socket
import struct
import subprocess
import sys
import time

MAGIC = b'SOAK'
STAMP = struct.Struct('!4sIQ')  # magic, stream, sequence
TS_LEN = 188
TS_PER_TICK = 7
TICK = 0.02                 # sending period of every source
SETTLE = 1.5                # traffic seen this long before a window opens
PAUSE = 0.4                 # sources quiet before a planned disturbance
GRACE = 1.5                 # time for the last datagrams of a window
RQ_TIMEOUT = 12.0           # a control request without outcome by then
A_PORT, B_PORT, AGENT_PORT = 18100, 18200, 18190
IDLE_CPU_SECONDS = 5.0
IDLE_CPU_MAX = 0.03         # share of one CPU allowed while idle
STUCK_CPU_MAX = 0.15        # ... while relays wait and faults hold
RSS_SLACK = 24 << 20        # memory growth allowed between idle points

N_CHAIN_ROUTES = 6
N_AGENT_ROUTES = 4
UNREACH_ROUTE_SRC = '127.0.0.1:7009'


def now():
    return time.monotonic()


# --- event loop --------------------------------------------------------------------------

class Loop:
    def __init__(self):
        self.sel = selectors.DefaultSelector()
        self.timers = []
        self.count = 0

    def at(self, delay, fn):
        heapq.heappush(self.timers, (now() + delay, self.count, fn))
        self.count += 1

    def watch(self, sock, events, fn):
        try:
            self.sel.register(sock, events, fn)
        except KeyError:
            self.sel.modify(sock, events, fn)

    def unwatch(self, sock):
        try:
            self.sel.unregister(sock)
        except (KeyError, ValueError):
            pass

    def run_until(self, deadline, stop=None):
        while now() < deadline:
            if stop and stop():
                return True
            wait = deadline - now()
            if self.timers:
                wait = min(wait, self.timers[0][0] - now())
            for key, ev in self.sel.select(max(0.0, wait)):
                if key.fileobj.fileno() < 0:
                    continue
                key.data(key.fileobj, ev)
            t = now()
            while self.timers and self.timers[0][0] <= t:
                _, _, fn = heapq.heappop(self.timers)
                fn()
        return bool(stop and stop())


def rst_close(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    except OSError:
        pass
    sock.close()


# --- the daemons ---------------------------------------------------------------------------

LIBC = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    # PR_SET_PDEATHSIG: a daemon never outlives a driver that died.
    LIBC.prctl(1, signal.SIGKILL)


class Daemon:
    def __init__(self, soak, name, port, conf):
        self.soak, self.name, self.port, self.conf = soak, name, port, conf
        self.dir = os.path.join(soak.work, name)
        os.makedirs(self.dir, exist_ok=True)
        self.conf_path = os.path.join(self.dir, 'tavel.conf')
        self.log_path = os.path.join(self.dir, 'out.log')
        self.report_path = os.path.join(self.dir, 'report.json')
        self.proc = None
        self.pids = []
        self.log_from = 0
        self.baseline = None
        self.stopping = False
        with open(self.conf_path, 'w') as f:
            f.write(conf)

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def start(self):
        env = dict(os.environ)
        env['ASAN_OPTIONS'] = ('log_path=%s/asan:detect_leaks=1:quarantine_size_mb=16:'
                               'malloc_context_size=20' % self.soak.sanitizer_dir)
        env['UBSAN_OPTIONS'] = ('log_path=%s/ubsan:print_stacktrace=1:halt_on_error=1'
                                % self.soak.sanitizer_dir)
        self.log_from = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        log = open(self.log_path, 'ab')
        self.proc = subprocess.Popen([self.soak.tavel, '-T', '-C', self.conf_path],
                                     stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                     env=env, cwd=self.dir, preexec_fn=die_with_parent)
        log.close()
        self.pids.append(self.proc.pid)
        self.stopping = False

    def started(self):
        return 'STARTING. PID=%d' % self.proc.pid in self.log_text(self.log_from)

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def log_text(self, start=0):
        try:
            with open(self.log_path, 'rb') as f:
                f.seek(start)
                return f.read().decode('utf-8', 'replace')
        except OSError:
            return ''

    def wait_started(self, timeout=20.0):
        deadline = now() + timeout
        while now() < deadline:
            if self.started():
                return True
            if not self.alive():
                return False
            time.sleep(0.05)
        return False

    def stop(self, sig=signal.SIGTERM, timeout=60.0):
        """Signals the daemon and waits for its end; its exit status."""
        if not self.alive():
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return 'hung'

    def fds(self):
        try:
            return len(os.listdir('/proc/%d/fd' % self.proc.pid))
        except OSError:
            return -1

    def fd_targets(self):
        out = []
        try:
            for fd in sorted(os.listdir('/proc/%d/fd' % self.proc.pid), key=int):
                try:
                    out.append('%s -> %s' % (fd, os.readlink('/proc/%d/fd/%s' % (self.proc.pid, fd))))
                except OSError:
                    pass
        except OSError:
            pass
        return out

    def rss(self):
        try:
            with open('/proc/%d/status' % self.proc.pid) as f:
                for line in f:
                    if line.startswith('VmRSS:'):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return -1

    def cpu_seconds(self):
        with open('/proc/%d/stat' % self.proc.pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def shm_objects():
    return sorted(os.listdir('/dev/shm'))


# --- status reports -------------------------------------------------------------------------

class Report:
    """Reads a daemon's status report and checks that every read is valid."""

    def __init__(self, soak, daemon):
        self.soak, self.d = soak, daemon
        self.reads = 0
        self.invalid = 0
        self.keys = {}
        self.mtime = 0.0
        self.seen_pid = None

    def read(self):
        try:
            with open(self.d.report_path, 'rb') as f:
                st = os.fstat(f.fileno())
                text = f.read()
        except FileNotFoundError:
            return None
        self.reads += 1
        try:
            doc = json.loads(text.decode('utf-8'))
            tasks = doc.get('task_list', [])
            ok = (isinstance(doc, dict) and isinstance(doc.get('pid'), int)
                  and isinstance(doc.get('report_time'), str)
                  and doc.get('task_count') == len(tasks)
                  and all(isinstance(t, dict) and 'key' in t for t in tasks))
        except (ValueError, UnicodeDecodeError, AttributeError):
            ok = False
        if not ok:
            self.invalid += 1
            bad = os.path.join(self.soak.work, 'invalid-report-%s-%d.json' % (self.d.name, self.invalid))
            with open(bad, 'wb') as f:
                f.write(text)
            self.soak.fail('%s: invalid status report (kept as %s)' % (self.d.name, bad))
            return None
        if doc['pid'] not in self.d.pids:
            self.soak.fail('%s: report of pid %d, not of a daemon started here' % (self.d.name, doc['pid']))
        self.seen_pid = doc['pid']
        self.keys = {t['key']: t for t in tasks}
        self.mtime = st.st_mtime
        return self.keys


# --- traffic ---------------------------------------------------------------------------------

class Window:
    """One healthy window of one stream: sequence numbers s0..s1 must all
    arrive once, in order."""

    def __init__(self, s0):
        self.s0, self.s1 = s0, None
        self.expected = s0
        self.missing = set()
        self.dups = 0
        self.reorder = 0
        self.received = 0
        self.opened = now()

    def note(self, seq):
        if seq < self.s0:
            return
        if self.s1 is not None and seq > self.s1:
            return
        self.received += 1
        if seq == self.expected:
            self.expected += 1
        elif seq > self.expected:
            if seq - self.expected > 1000000:
                self.dups += 1
                return
            self.missing.update(range(self.expected, seq))
            self.expected = seq + 1
        elif seq in self.missing:
            self.missing.discard(seq)
            self.reorder += 1
        else:
            self.dups += 1

    def lost(self):
        return len(self.missing) + max(0, self.s1 + 1 - self.expected)


class Track:
    """One stamped stream: a datagram source, or one connection of an HTTP
    stream server."""

    def __init__(self, soak, flow, label, windowed=True):
        self.soak, self.flow, self.label = soak, flow, label
        self.windowed = windowed and flow.checked
        self.sid = soak.new_stream(self)
        self.seq = 0            # next sequence number to send
        self.state = 'off'      # off, settling, healthy
        self.first_rx = None
        self.win = None
        self.rx = 0
        self.last_rx = 0.0
        self.send_errors = []
        self.closing = []       # ended windows whose last datagrams may still come

    def settle(self):
        if self.win:
            self.close_window('settling again')
        self.state = 'settling'
        self.first_rx = None

    def on_rx(self, seq):
        self.rx += 1
        self.last_rx = now()
        if self.state == 'settling' and self.first_rx is None:
            self.first_rx = now()
        if self.win:
            self.win.note(seq)
        for w in self.closing:
            w.note(seq)

    def tick(self):
        if (self.windowed and self.state == 'settling' and self.first_rx
                and not self.flow.holds and now() - self.first_rx >= SETTLE):
            self.win = Window(self.seq)
            self.state = 'healthy'
            self.soak.windows_opened += 1

    def close_window(self, why):
        """Ends the window at the last datagram sent; checked after GRACE."""
        self.state = 'off'
        self.first_rx = None
        win, self.win = self.win, None
        if win is None:
            return
        # An HTTP relay holds back its newest packet until the next one
        # begins; one that sends full-size datagrams only, the packets of
        # an unfinished one.
        win.s1 = self.seq - 1 - (self.flow.held_tail if self.label == 'http' else 0)
        if win.s1 < win.s0:
            self.soak.windows_empty += 1
            return
        self.closing.append(win)

        def check():
            self.closing.remove(win)
            self.soak.check_window(self, win, why)
        self.soak.loop.at(GRACE, check)

    def healthy(self):
        return self.state == 'healthy'


class UdpSource:
    """Sends stamped datagrams of one size to an address at every tick."""

    def __init__(self, soak, flow, addr, size, label, mcast=False):
        self.soak, self.addr, self.size = soak, addr, size
        self.track = Track(soak, flow, label, windowed=label != 'alternate')
        self.sock = soak.mcast_out if mcast else soak.udp6_out if ':' in addr[0] else soak.udp_out
        self.running = False
        self.want = True         # up unless the driver stopped it
        self.burst = 1

    def start(self):
        self.running = True
        self.track.settle()

    def stop(self, why):
        self.track.close_window(why)
        self.running = False

    def send(self):
        r = self.soak.traffic_rng
        for _ in range(self.burst if r.random() < 0.2 else 1):
            self.send_one()
        if self.burst == 1 and r.random() < 0.003:
            # Empty datagrams carry nothing to relay.
            try:
                self.sock.sendto(b'', self.addr)
            except OSError:
                pass

    def send_one(self):
        data = STAMP.pack(MAGIC, self.track.sid, self.track.seq)
        if self.size > len(data):
            data += bytes(self.size - len(data))
        try:
            self.sock.sendto(data, self.addr)
        except OSError as e:
            self.track.send_errors.append((self.track.seq, e.errno))
        self.track.seq += 1
        self.soak.sent += 1


def ts_packet(sid, seq):
    head = bytes((0x47, 0x01, 0x00, 0x10 | (seq & 0x0f)))
    body = STAMP.pack(MAGIC, sid, seq)
    return head + body + b'\xff' * (TS_LEN - 4 - len(body))


class HttpServer:
    """A stream server of one HTTP-source relay.  Modes: ts (an endless
    stamped transport stream), junk (200 and bytes that are no transport
    stream), notfound (404), silent (accepts and never answers)."""

    def __init__(self, soak, flow, port, mode):
        self.soak, self.flow, self.port, self.mode = soak, flow, port, mode
        self.lsock = None
        self.conns = {}
        self.track = None       # the track of the connection now streaming
        self.paused = False
        self.want = True         # up unless the driver stopped it

    def start(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(('127.0.0.1', self.port))
        s.listen(16)
        s.setblocking(False)
        self.lsock = s
        self.paused = False
        self.soak.loop.watch(s, selectors.EVENT_READ, self.on_accept)

    def running(self):
        return self.lsock is not None

    def on_accept(self, s, ev):
        try:
            c, _ = s.accept()
        except OSError:
            return
        c.setblocking(False)
        self.conns[c] = {'head': b'', 'out': b'', 'track': None}
        self.soak.loop.watch(c, selectors.EVENT_READ, self.on_conn)

    def on_conn(self, c, ev):
        st = self.conns.get(c)
        if st is None:
            return
        try:
            data = c.recv(4096)
        except BlockingIOError:
            return
        except OSError:
            data = b''
        if not data:
            self.drop_conn(c, unexpected=True)
            return
        if st['track'] is not None or b'\r\n\r\n' in st['head'] or b'\n\n' in st['head']:
            return
        st['head'] += data
        if b'\r\n\r\n' not in st['head'] and b'\n\n' not in st['head']:
            if len(st['head']) > 8192:
                self.drop_conn(c)
            return
        if self.mode == 'silent':
            return
        if self.mode == 'notfound':
            self.write(c, b'HTTP/1.0 404 Not Found\r\n\r\n')
            self.soak.loop.at(0.1, lambda: self.drop_conn(c))
            return
        if self.mode == 'redirect':
            self.write(c, b'HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:1/x\r\n\r\n')
            return
        if self.mode == 'hangup':
            self.write(c, b'HTTP/1.0 200 OK\r\n\r\n' + ts_packet(0, 0))
            self.soak.loop.at(0.05, lambda: self.drop_conn(c))
            return
        if self.mode == 'bighead':
            self.write(c, b'HTTP/1.0 200 OK\r\nX-Pad: ' + b'p' * 3000 + b'\r\n\r\n')
            return
        self.write(c, b'HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\n\r\n')
        if self.mode == 'junk':
            self.write(c, bytes(random.Random(self.port).randrange(0, 0x40) for _ in range(4000)))
            return
        if self.mode == 'corrupt':
            st['corrupt'] = random.Random(self.port)
            st['seq'] = 0
            return
        if self.track is not None:
            # The relay opened a second connection: the first one's
            # window cannot be vouched for any more.
            self.track.close_window('second source connection')
        st['track'] = self.track = Track(self.soak, self.flow, 'http')
        self.track.settle()
        if self.soak.traffic_rng.random() < 0.5:
            # The first packets in the same segment as the answer head.
            t = self.track
            st['out'] += b''.join(ts_packet(t.sid, t.seq + i) for i in range(3))
            t.seq += 3
            self.flush(c)

    def write(self, c, data):
        st = self.conns[c]
        st['out'] += data
        self.flush(c)

    def flush(self, c):
        st = self.conns.get(c)
        if not st or not st['out']:
            return
        try:
            n = c.send(st['out'])
            st['out'] = st['out'][n:]
        except BlockingIOError:
            pass
        except OSError:
            self.drop_conn(c, unexpected=True)

    def corrupt_chunk(self, st):
        """Transport packets with faults: runs of garbage, lost sync bytes,
        packets of other lengths, stray sync bytes."""
        r = st['corrupt']
        out = []
        for _ in range(TS_PER_TICK):
            x = r.random()
            pkt = bytearray(ts_packet(0, st['seq']))
            st['seq'] += 1
            if x < 0.05:
                pkt = bytes(r.randrange(256) for _ in range(r.randrange(1, 400)))
            elif x < 0.1:
                pkt[0] = r.randrange(256)
            elif x < 0.15:
                pkt += bytes(r.choice([16, 20, 1, 187]))
            elif x < 0.2:
                pkt = pkt[:r.randrange(1, TS_LEN)]
            elif x < 0.25:
                pkt = b'\x47' * r.randrange(1, 300)
            out.append(bytes(pkt))
        return b''.join(out)

    def tick(self):
        for c, st in list(self.conns.items()):
            if 'corrupt' in st and not self.paused and len(st['out']) < 65536:
                st['out'] += self.corrupt_chunk(st)
            t = st['track']
            if t is not None and not self.paused and len(st['out']) < 65536:
                st['out'] += b''.join(ts_packet(t.sid, t.seq + i) for i in range(TS_PER_TICK))
                t.seq += TS_PER_TICK
                self.soak.sent += TS_PER_TICK
            self.flush(c)

    def drop_conn(self, c, unexpected=False):
        st = self.conns.pop(c, None)
        if st is None:
            return
        self.soak.loop.unwatch(c)
        c.close()
        t = st['track']
        if t is not None:
            if unexpected and t.healthy() and not self.soak.fault_active():
                self.soak.fail('%s: the relay closed its healthy HTTP source connection' % self.flow.name)
            t.close_window('source connection closed')
            if self.track is t:
                self.track = None

    def pause(self):
        """Stops making packets; what was made drains."""
        self.paused = True
        for st in self.conns.values():
            if st['track'] is not None:
                st['track'].close_window('source stopped')

    def stop(self):
        self.pause()
        for c in list(self.conns):
            self.drop_conn(c)
        if self.lsock:
            self.soak.loop.unwatch(self.lsock)
            self.lsock.close()
            self.lsock = None


# --- relays ----------------------------------------------------------------------------------

class Flow:
    """One relay the driver asked for, with its sources, its destination
    (a sink) and what the driver knows of its task."""

    def __init__(self, soak, kind, name):
        self.soak, self.kind, self.name = soak, kind, name
        self.sources = []       # UdpSource
        self.server = None      # HttpServer
        self.sink = None
        self.dst = None         # (addr, port)
        self.mcast_dst = False
        self.key = None
        self.path_base = None
        self.query = ''
        self.cid = None
        self.ka = False
        self.ka_sock = None
        self.rcount = 0
        self.state = 'creating'  # creating, live, ending, gone
        self.created_at = now()
        self.live_at = None
        self.route = None
        self.group = None
        self.alt_expect_failover = False
        self.holds = set()       # disturbances of the driver under way
        self.dst_up = True
        self.checked = True      # its traffic is checked
        self.held_tail = 0       # packets an HTTP relay may hold back
        self.links = []          # connections of keep-alive joins

    @property
    def busy(self):
        return bool(self.holds)

    def hold(self, reason):
        """A disturbance begins: the windows close, the traffic pauses."""
        self.close_windows(reason)
        for s in self.sources:
            s.running = False
        if self.server:
            self.server.pause()
        self.holds.add(reason)

    def release(self, reason):
        """A disturbance ends; with none left the wanted traffic resumes."""
        self.holds.discard(reason)
        if self.holds or self.state not in ('live', 'creating'):
            return
        for s in self.sources:
            if s.want and not s.running:
                s.start()
        if self.server and self.server.want:
            if not self.server.running():
                self.server.start()
            elif self.server.paused:
                self.server.paused = False
                for t in self.tracks():
                    t.settle()

    def tracks(self):
        ts = [s.track for s in self.sources]
        if self.server:
            ts += [st['track'] for st in self.server.conns.values() if st['track']]
        return ts

    def healthy(self):
        if self.state != 'live' or self.busy:
            return False
        if self.kind == 'alt':
            return self.sources[0].track.healthy()
        ts = self.tracks()
        return bool(ts) and all(t.healthy() for t in ts)

    def close_windows(self, why):
        for t in self.tracks():
            t.close_window(why)

    def open_sink(self):
        addr, port = self.dst
        s = socket.socket(socket.AF_INET6 if ':' in addr else socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE
        except OSError:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        if self.mcast_dst:
            s.bind((addr, port))
            mreq = socket.inet_aton(addr) + socket.inet_aton('127.0.0.1')
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        else:
            s.bind((addr, port))
        s.setblocking(False)
        self.sink = s
        self.soak.loop.watch(s, selectors.EVENT_READ, self.on_sink)

    def close_sink(self):
        if self.sink:
            self.soak.loop.unwatch(self.sink)
            self.sink.close()
            self.sink = None

    def on_sink(self, s, ev):
        for _ in range(256):
            try:
                data = s.recv(65536)
            except BlockingIOError:
                return
            except OSError:
                return
            self.soak.received += 1
            if not self.checked:
                continue
            if self.kind == 'http':
                for off in range(0, len(data) - TS_LEN + 1, TS_LEN):
                    if data[off] == 0x47:
                        self.soak.on_stamp(self, data, off + 4)
            else:
                self.soak.on_stamp(self, data, 0)


# --- control clients ---------------------------------------------------------------------------

class Request:
    """One client connection to A's user listener: sends its chunks (each
    after its delay), then reads until the daemon closes (or, for a
    keep-alive request, until the answer head is complete)."""

    def __init__(self, soak, kind, chunks, expect, done=None, keep=False, close_after=None,
                 reset_after=None, half_close=False):
        self.soak, self.kind, self.chunks, self.expect = soak, kind, list(chunks), expect
        self.done, self.keep = done, keep
        self.close_after, self.reset_after = close_after, reset_after
        self.half_close = half_close
        self.data = b''
        self.finished = False
        self.t0 = now()
        first = self.chunks[0][1] if self.chunks else b''
        self.chunks_text = first.split(b'\r\n', 1)[0][:120].decode('latin-1')
        self.fault_seen = soak.fault_active()
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        self.sock = s
        if kind not in ('reset', 'reset-half', 'idle', 'close-half', 'head'):
            soak.say('request %s fd%d: %s' % (kind, s.fileno(), self.chunks_text))
        soak.open_clients += 1
        soak.client_connections += 1
        err = s.connect_ex(('127.0.0.1', A_PORT))
        if err not in (0, errno.EINPROGRESS):
            self.finish('connect-error')
            return
        soak.loop.watch(s, selectors.EVENT_WRITE, self.on_connected)
        soak.loop.at(RQ_TIMEOUT, lambda: self.finish('timeout'))
        if reset_after is not None:
            soak.loop.at(reset_after, lambda: self.finish('reset', rst=True))

    def on_connected(self, s, ev):
        err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if err:
            self.finish('connect-error')
            return
        self.soak.loop.watch(s, selectors.EVENT_READ, self.on_read)
        self.next_chunk()

    def next_chunk(self):
        if self.finished or not self.chunks:
            return
        delay, data = self.chunks.pop(0)
        if delay:
            self.soak.loop.at(delay, lambda: self.send_chunk(data))
        else:
            self.send_chunk(data)

    def send_chunk(self, data):
        if self.finished:
            return
        try:
            self.sock.send(data)
        except OSError:
            pass
        if self.chunks:
            self.next_chunk()
        elif self.half_close:
            try:
                self.sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        elif self.close_after is not None:
            self.soak.loop.at(self.close_after, lambda: self.finish('closed-by-client'))

    def on_read(self, s, ev):
        if self.soak.fault_active():
            self.fault_seen = True
        try:
            data = s.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            self.finish('reset-by-daemon')
            return
        if not data:
            self.finish(self.outcome())
            return
        self.data += data
        if self.keep and b'\r\n\r\n' in self.data:
            self.finish(self.outcome(), keep=True)

    def outcome(self):
        if not self.data:
            return 'closed'
        m = re.match(rb'HTTP/1\.1 (\d{3}) ', self.data)
        return m.group(1).decode() if m else 'garbled'

    def finish(self, outcome, rst=False, keep=False):
        if self.finished:
            return
        self.finished = True
        self.soak.open_clients -= 1
        if self.soak.fault_active():
            self.fault_seen = True
        self.soak.loop.unwatch(self.sock)
        if keep:
            sock = self.sock
        else:
            sock = None
            if rst:
                rst_close(self.sock)
            else:
                self.sock.close()
        self.soak.note_answer(self, outcome)
        if self.done:
            self.done(outcome, sock)
        elif sock is not None:
            sock.close()


# --- the soak ------------------------------------------------------------------------------------

class Soak:
    def __init__(self, args):
        self.args = args
        self.root, self.work = args.root, args.work
        self.rng = random.Random(args.seed)
        # Choices made at every tick draw from their own generator, so that
        # the actions keep their order whatever the timing.
        self.traffic_rng = random.Random(args.seed + 1)
        self.loop = Loop()
        self.failures = []
        self.tavel = os.path.join(self.root, 'build/asan/relay/tavel')
        self.sanitizer_dir = os.path.join(self.work, 'sanitizer')
        os.makedirs(self.sanitizer_dir, exist_ok=True)
        self.streams = {}
        self.next_sid = 1
        self.flows = []
        self.flow_count = 0
        self.port_next = {'src': 20000, 'dst': 30000, 'http': 40000}
        self.routes_busy = {}
        self.faults = {}         # name -> end time
        self.fault_log = []
        self.answers = {}
        self.unexpected = 0
        self.open_clients = 0
        self.client_connections = 0
        self.sent = 0
        self.received = 0
        self.windows_opened = 0
        self.windows_checked = 0
        self.windows_empty = 0
        self.win_sent = 0
        self.win_lost = 0
        self.win_dups = 0
        self.win_reorder = 0
        self.tasks_confirmed = 0
        self.agent_sent = {}
        self.b_restarts = 0
        self.b_kills = 0
        self.b_exit_codes = []
        self.idle_points = []
        self.stuck_cpu = []
        self.active = False
        self.failovers = 0
        self.trickles = []       # markers of trickled heads, and whether they were answered
        self.links_held = 0
        self.filler = '/dev/shm/soak-filler'
        self.verbose = args.verbose
        self.udp_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp6_out = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        self.mcast_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.mcast_out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton('127.0.0.1'))
        self.mcast_out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        self.agent_out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.write_configs()
        self.report_a = Report(self, self.a)
        self.report_b = Report(self, self.b)

    # --- bookkeeping -------------------------------------------------------------------------

    def say(self, text):
        if self.verbose:
            print('[%7.2f] %s' % (now() - self.t_start, text), flush=True)

    def fail(self, text):
        if len(self.failures) < 200:
            self.failures.append('[%7.2f] %s' % (now() - self.t_start, text))
        if self.verbose:
            print('FAIL: ' + text, flush=True)

    def new_stream(self, track):
        sid = self.next_sid
        self.next_sid += 1
        self.streams[sid] = track
        return sid

    def port(self, pool):
        p = self.port_next[pool]
        self.port_next[pool] = p + 1 if p + 1 < {'src': 30000, 'dst': 40000, 'http': 50000}[pool] \
            else {'src': 20000, 'dst': 30000, 'http': 40000}[pool]
        return p

    def fault_active(self):
        t = now()
        return any(end > t for end in self.faults.values())

    def on_stamp(self, flow, data, off):
        if len(data) < off + STAMP.size:
            return
        magic, sid, seq = STAMP.unpack_from(data, off)
        if magic != MAGIC:
            self.fail('%s: datagram without stamp' % flow.name)
            return
        t = self.streams.get(sid)
        if t is None or t.flow is not flow:
            self.fail('%s: datagram of another relay (stream %d)' % (flow.name, sid))
            return
        if flow.kind == 'alt':
            alt = flow.sources[1].track
            if t is alt and flow.sources[0].track.healthy():
                self.fail('%s: alternate source relayed while the primary was healthy' % flow.name)
            if t is alt and flow.alt_expect_failover:
                self.failovers += 1
                flow.alt_expect_failover = False
        t.on_rx(seq)

    def check_window(self, track, win, why):
        self.windows_checked += 1
        n = win.s1 - win.s0 + 1
        lost = win.lost()
        self.win_sent += n
        self.win_lost += lost
        self.win_dups += win.dups
        self.win_reorder += win.reorder
        if lost or win.dups or win.reorder:
            missing = sorted(win.missing) + list(range(max(win.expected, win.s0), win.s1 + 1))
            errs = [e for e in track.send_errors if win.s0 <= e[0] <= win.s1]
            self.fail('%s stream %d (%s): window %d..%d of %.1f s ended by "%s": '
                      'lost %d, duplicated %d, reordered %d; missing %s; send errors %s'
                      % (track.flow.name, track.sid, track.label, win.s0, win.s1,
                         now() - win.opened - GRACE, why, lost, win.dups, win.reorder,
                         missing[:12], errs[:5]))

    def note_answer(self, rq, outcome):
        row = self.answers.setdefault(rq.kind, {})
        row[outcome] = row.get(outcome, 0) + 1
        expect = rq.expect
        if callable(expect):
            expect = expect()
        if rq.fault_seen and outcome in ('500', '400', 'closed', 'timeout', 'reset-by-daemon'):
            return
        if expect is not None and outcome not in expect:
            self.unexpected += 1
            self.fail('%s request: outcome %s, expected %s (%s)'
                      % (rq.kind, outcome, '/'.join(sorted(expect)),
                         rq.chunks_text))

    # --- configuration ---------------------------------------------------------------------------

    def write_configs(self):
        common = '''
  max_tasks = 64;
  idle_task_timeout = 3000;
  max_retries = 3;
  retry_period_sec = 1;
  max_pkts = 16;
  socket_rcvbuf_size = 1048576;
  multicast_ifc_in = "lo";
  multicast_ifc_out = "lo";
  tcp_buffer_mb = 1;
  use_mmsg = true;
  log: { level = "info"; };
  runtime: { non_daemon = true; };
'''
        a_dir = os.path.join(self.work, 'a')
        os.makedirs(a_dir, exist_ok=True)
        routes = []
        for i in range(N_CHAIN_ROUTES):
            routes.append('127.0.0.1:%d 127.0.0.1:%d 127.0.0.1:%d 127.0.0.1:%d'
                          % (7001 + i, B_PORT, 7101 + i, 7201 + i))
        for i in range(N_AGENT_ROUTES):
            routes.append('%%239.255.0.%d:%d 127.0.0.1:%d 127.0.0.1:%d 127.0.0.1:%d'
                          % (1 + i, 7301 + i, B_PORT, 7111 + i, 7211 + i))
        routes.append('%s 127.254.0.1:%d 127.0.0.1:7109 127.0.0.1:7209' % (UNREACH_ROUTE_SRC, B_PORT))
        with open(os.path.join(a_dir, 'routes'), 'w') as f:
            f.write('# soak routes: chained relays through B, agent groups, one unreachable\n')
            f.write('\n'.join(routes) + '\n')
        conf_a = 'tavel: {' + common + '''
  route_list = "%s/routes";
  oxa: { udp-listener = "127.0.0.1:%d"; };
  report: { path = "%s/report.json"; force_refresh_sec = 1; };
  listener: { user: { alias = "soak"; ifc = "lo"; default_af = "inet"; port = "%d"; };
              max_to_accept = 64; };
};
''' % (a_dir, AGENT_PORT, a_dir, A_PORT)
        # B differs where A does not: single sends, small batches, the
        # report's other member names.
        conf_b = 'tavel: {' + common.replace('use_mmsg = true', 'use_mmsg = false')
        conf_b = conf_b.replace('max_pkts = 16', 'max_pkts = 4') + '''
  report: { path = "%s/b/report.json"; compat_dashes = true; };
  listener: { user: { alias = "remote"; ifc = "lo"; default_af = "inet"; port = "%d"; };
              max_to_accept = 64; };
};
''' % (self.work, B_PORT)
        self.a = Daemon(self, 'a', A_PORT, conf_a)
        self.b = Daemon(self, 'b', B_PORT, conf_b)

    # --- the tick --------------------------------------------------------------------------------

    def tick(self):
        for f in self.flows:
            for s in f.sources:
                if s.running:
                    s.send()
            if f.server:
                f.server.tick()
            for t in f.tracks():
                t.tick()
        self.loop.at(TICK, self.tick)

    def report_tick(self):
        keys = self.report_a.read()
        self.report_b.read()
        if keys is not None:
            self.reconcile(keys)
        if not self.a.alive():
            self.fail('a: the daemon ended (status %s)' % self.a.proc.returncode)
            raise SystemExit(self.finish())
        if not self.b.alive() and not self.b.stopping:
            self.fail('b: the daemon ended (status %s)' % self.b.proc.returncode)
            self.b_exit_codes.append(self.b.proc.returncode)
            self.b.stopping = True
            self.loop.at(0.5, self.start_b)
        self.loop.at(0.2, self.report_tick)

    def reconcile(self, keys):
        """Learns from A's report which tasks the daemon removed by itself,
        and checks that healthy relays are there and online."""
        fresh = self.report_a.mtime
        for f in self.flows:
            if f.state != 'live' or f.key is None:
                continue
            present = f.key in keys
            if f.healthy() and fresh > self.wall_of(f.healthy_since()) + 0.3:
                if not present:
                    self.fail('%s: healthy relay missing from the report (key %s)' % (f.name, f.key))
                elif keys[f.key].get('online') != 'yes':
                    self.fail('%s: healthy relay not online in the report' % f.name)
            if present:
                f.seen_in_report = fresh
            elif (not getattr(f, 'seen_in_report', 0) and not f.busy
                  and fresh > self.wall_of(f.live_at) + 5.0):
                if (f.checked and not self.fault_active() and f.b_epoch == self.b_restarts
                        and not f.fault_at_start):
                    self.fail('%s: created, yet never in the report (key %s)' % (f.name, f.key))
                self.end_flow(f, 'never in the report')
            elif getattr(f, 'seen_in_report', 0) and fresh > f.seen_in_report + 2.5 and not f.busy:
                # Gone for more than two refreshes: the daemon removed it.
                self.say('%s: removed by the daemon' % f.name)
                self.end_flow(f, 'removed by the daemon')

    def wall_of(self, mono):
        return time.time() - (now() - mono)

    # --- flows ---------------------------------------------------------------------------------

    def new_flow(self, kind):
        self.flow_count += 1
        f = Flow(self, kind, '%s%d' % (kind, self.flow_count))
        f.healthy_since = lambda: min((t.win.opened for t in f.tracks() if t.win), default=now())
        f.b_epoch = self.b_restarts
        f.fault_at_start = self.fault_active()
        self.flows.append(f)
        return f

    def create(self, kind=None, mode=None):
        r = self.rng
        kinds = ['udp', 'udp', 'udp6', 'mcast', 'http', 'alt', 'chain', 'agent', 'big', 'httpbad',
                 'flood']
        kind = kind or r.choice(kinds)
        b_up = self.b.alive() and not self.b.stopping
        if kind == 'chain':
            free = [i for i in range(N_CHAIN_ROUTES) if self.routes_busy.get(('c', i), 0) < now()]
            if not free or not b_up:
                kind = 'udp'
        if kind == 'agent':
            free = [i for i in range(N_AGENT_ROUTES) if self.routes_busy.get(('g', i), 0) < now()]
            if not free or not b_up:
                kind = 'udp'
        f = self.new_flow(kind)
        f.checked = kind not in ('big', 'httpbad', 'flood')
        size = r.randrange(64, 1400)
        dport = self.port('dst')
        f.dst = ('127.0.0.1', dport)
        if kind in ('udp', 'alt', 'big') and r.random() < 0.3:
            f.dst = ('239.255.3.%d' % r.randrange(1, 250), dport)
            f.mcast_dst = True
        if kind == 'udp':
            sport = self.port('src')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sport), size, 'udp'))
            src = r.choice(['127.0.0.1:%d', 'udp://127.0.0.1:%d', 'rtp://127.0.0.1:%d']) % sport
        elif kind == 'udp6':
            sport = self.port('src')
            f.sources.append(UdpSource(self, f, ('::1', sport), size, 'udp6'))
            f.dst = ('::1', dport)
            src = '[::1]:%d' % sport
        elif kind == 'flood':
            sport = self.port('src')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sport), size, 'flood'))
            f.sources[0].burst = r.choice([50, 200, 600])
            f.checked = False
            src = '127.0.0.1:%d' % sport
        elif kind == 'big':
            sport = self.port('src')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sport), 6000, 'big'))
            f.checked = False
            src = '127.0.0.1:%d' % sport
        elif kind == 'mcast':
            sport = self.port('src')
            group = '239.255.2.%d' % r.randrange(1, 250)
            f.sources.append(UdpSource(self, f, (group, sport), size, 'mcast', mcast=True))
            # Any source, or the one source the relay is to take it from.
            src = r.choice(['%s:%d', 'udp://127.0.0.1@%s:%d']) % (group, sport)
        elif kind == 'alt':
            sp, sa = self.port('src'), self.port('src')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sp), size, 'primary'))
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sa), size, 'alternate'))
            src = '127.0.0.1:%d' % sp
            f.query = 'asrc=127.0.0.1:%d' % sa
        elif kind in ('http', 'httpbad'):
            hport = self.port('http')
            mode = mode or ('ts' if kind == 'http' else r.choice(['junk', 'notfound', 'silent',
                                                                  'corrupt', 'corrupt', 'redirect',
                                                                  'hangup', 'bighead']))
            f.server = HttpServer(self, f, hport, mode)
            f.checked = mode == 'ts'
            src = 'http://127.0.0.1:%d/stream%d' % (hport, self.flow_count)
            # The newest packet waits for the next one to begin.
            f.held_tail = 1
            if r.random() < 0.3:
                f.query = r.choice(['opkt=1500', 'opkt=a', 'opkt=A4888', 'ttl=3'])
                # Aligned output cuts only full datagrams: up to 26 packets of
                # 188 bytes wait for the next, the newest among them
                # (opkt=a sets the letter alone, so the default of 5000
                # bytes applies).
                f.held_tail = {'opkt=a': 26, 'opkt=A4888': 26}.get(f.query, 1)
        elif kind == 'chain':
            i = r.choice(free)
            f.route = ('c', i)
            self.routes_busy[f.route] = float('inf')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', 7101 + i), size, 'chain'))
            src = '127.0.0.1:%d' % (7001 + i)
        elif kind == 'agent':
            i = r.choice(free)
            f.route = ('g', i)
            self.routes_busy[f.route] = float('inf')
            f.group = '239.255.0.%d' % (1 + i)
            f.dst = (f.group, 7301 + i)
            f.mcast_dst = True
            f.sources.append(UdpSource(self, f, ('127.0.0.1', 7111 + i), size, 'agent'))
            # The daemon keys endpoints in canonical form.
            f.key = 'udp://%s|#OXA' % f.group
            f.open_sink()
            for s in f.sources:
                s.start()
            self.agent('JOIN UDP://%s\n' % f.group, 'join')
            f.state = 'live'
            f.live_at = now()
            self.tasks_confirmed += 1
            self.say('%s: JOIN %s' % (f.name, f.group))
            return f
        # Client ids, keep-alive links and the hostile id that the report
        # must still show as valid JSON.
        if r.random() < 0.3:
            f.cid = r.choice(['soak%d' % self.flow_count, 'q%%22u%%5Co%%0A%d' % self.flow_count,
                              # the longest query value taken
                              ('L%d-' % self.flow_count).ljust(31, 'x')])
            f.query = '&'.join(x for x in (f.query, 'cid=' + f.cid) if x)
        f.ka = r.random() < 0.35
        dst = ('[%s]:%d' if ':' in f.dst[0] else '%s:%d') % f.dst
        f.path_base = '/src/%s/dst/%s' % (src, dst)
        f.key = self.task_key(src, dst, f)
        f.open_sink()
        if f.server:
            f.server.start()
        for s in f.sources:
            s.start()
        path = f.path_base + ('/keep-alive' if f.ka else '') + ('?' + f.query if f.query else '')
        self.say('%s: create %s' % (f.name, path))
        kind_name = 'create-ka' if f.ka else 'create'
        Request(self, kind_name, [(0, self.get(path))], {'200'},
                done=lambda o, s: self.created(f, o, s), keep=f.ka)
        return f

    def task_key(self, src, dst, f):
        if f.cid:
            # Decoded as the daemon does: every escape keeps its byte.
            def byte(m):
                return chr(int(m.group(1), 16))
            return re.sub('%([0-9A-Fa-f]{2})', byte, f.cid.replace('+', ' '))

        # Canonical as the daemon keys it: udp by default, rtp as udp.
        def scheme(t):
            t = t if t.find('://', 3) in (3, 4) else 'udp://' + t
            return 'udp://' + t[6:] if t.startswith('rtp://') else t
        key = scheme(src)
        if f.kind == 'alt':
            key += '+' + scheme(f.query.split('asrc=')[1].split('&')[0])
        return key + '|' + scheme(dst)

    @staticmethod
    def get(path, method='GET'):
        return ('%s %s HTTP/1.1\r\nHost: soak\r\nUser-Agent: soak\r\n\r\n' % (method, path)).encode()

    def created(self, f, outcome, sock):
        if outcome != '200':
            if sock:
                sock.close()
            self.say('%s: create answered %s' % (f.name, outcome))
            self.end_flow(f, 'not created')
            return
        self.tasks_confirmed += 1
        f.state = 'live'
        f.live_at = now()
        f.rcount = 1
        if f.ka:
            f.ka_sock = sock
            self.loop.watch(sock, selectors.EVENT_READ, lambda s, ev: self.ka_event(f))

    def ka_event(self, f):
        """The daemon closed a keep-alive link: it suspended or removed the
        task (a suspension closes the link too)."""
        try:
            data = f.ka_sock.recv(1024)
        except BlockingIOError:
            return
        except OSError:
            data = b''
        if data:
            self.fail('%s: data on a keep-alive link' % f.name)
        self.say('%s: keep-alive link closed by the daemon' % f.name)
        self.loop.unwatch(f.ka_sock)
        f.ka_sock.close()
        f.ka_sock = None
        f.ka = False
        if f.healthy() and not self.fault_active():
            self.fail('%s: keep-alive link of a healthy relay closed by the daemon' % f.name)

    def link_event(self, f, s):
        """The daemon closed the link of a joined client: the task ended."""
        try:
            data = s.recv(1024)
        except BlockingIOError:
            return
        except OSError:
            data = b''
        if data:
            self.fail('%s: data on a join link' % f.name)
        self.loop.unwatch(s)
        s.close()
        if s in f.links:
            f.links.remove(s)
            f.rcount -= 1
        if f.healthy() and not self.fault_active():
            self.fail('%s: join link of a healthy relay closed by the daemon' % f.name)

    def act_link_end(self):
        fs = self.live_flows(lambda f: f.links)
        if not fs:
            return
        f = self.rng.choice(fs)
        s = f.links.pop(0)
        self.loop.unwatch(s)
        how = self.rng.choice(['close', 'byte', 'reset'])

        def end():
            if how == 'byte':
                try:
                    s.send(b'x')
                except OSError:
                    pass
                s.close()
            elif how == 'reset':
                rst_close(s)
            else:
                s.close()
            f.rcount -= 1
            if f.rcount <= 0 and not f.ka:
                self.end_flow(f, 'last link ended')
        if f.rcount <= 1 and not f.ka:
            self.disturb(f, 'last link end', end)
        else:
            end()

    def end_flow(self, f, why):
        if f.state in ('ending', 'gone'):
            return
        self.say('%s: ends (%s)' % (f.name, why))
        f.state = 'ending'
        f.close_windows(why)
        for s in f.sources:
            s.running = False
        if f.server:
            f.server.stop()
        if f.ka_sock:
            self.loop.unwatch(f.ka_sock)
            f.ka_sock.close()
            f.ka_sock = None
        for s in f.links:
            self.loop.unwatch(s)
            s.close()
        f.links = []

        def gone():
            f.state = 'gone'
            f.close_sink()
            if f.route:
                self.routes_busy[f.route] = now() + 2.0
            if f in self.flows:
                self.flows.remove(f)
        self.loop.at(GRACE + 0.2, gone)

    def disturb(self, f, why, action, release_after=None):
        """A planned disturbance: the traffic pauses and the windows close,
        then action runs; the hold ends release_after seconds later (None:
        the caller ends it, or the relay ends)."""
        f.hold(why)

        def run():
            action()
            if release_after is not None:
                self.loop.at(release_after, lambda: f.release(why))
        self.loop.at(PAUSE, run)

    # --- actions ---------------------------------------------------------------------------------

    def live_flows(self, pred=None):
        return [f for f in self.flows if f.state == 'live' and not f.busy and (pred is None or pred(f))]

    def act_join(self):
        # Only healthy relays: a join of a task the daemon removed would make
        # a new one.
        fs = self.live_flows(lambda f: f.kind != 'agent' and f.healthy())
        if not fs:
            return
        f = self.rng.choice(fs)
        strict = True

        def expect():
            if strict and f.healthy():
                return {'403'} if f.ka else {'200'}
            return {'200', '403', '404'}
        path = f.path_base + ('?' + f.query if f.query else '')
        link = self.rng.random() < 0.25 and not f.ka
        if link:
            # A keep-alive request joining a task without a link keeps its
            # connection as that client's link.
            path = f.path_base + '/keep-alive' + ('?' + f.query if f.query else '')

        def done(o, s):
            if o == '200':
                f.rcount += 1
                if s is not None:
                    if f.state in ('ending', 'gone'):
                        s.close()
                        return
                    f.links.append(s)
                    self.loop.watch(s, selectors.EVENT_READ, lambda s_, ev: self.link_event(f, s_))
            elif o == '404':
                self.end_flow(f, 'gone at join')
            if s is not None and o != '200':
                s.close()
        Request(self, 'join-link' if link else 'join', [(0, self.get(path))], expect, done=done,
                keep=link)

    def act_drop(self, kill=False):
        fs = self.live_flows(lambda f: f.kind not in ('agent',))
        if not fs:
            return
        f = self.rng.choice(fs)
        strict = f.healthy()
        cmd = 'kill' if kill else 'drop'
        path = f.path_base + '/' + cmd + ('?' + f.query if f.query else '')
        ends = kill or (f.rcount <= 1 and not f.ka)

        def expect():
            # Strict only while nothing else changed the relay meanwhile.
            if strict and (f.healthy() or f.holds == {cmd}):
                if kill:
                    return {'200'}
                return {'403'} if f.ka else {'200'}
            return {'200', '403', '404'}

        def done(o, s):
            if o == '200':
                f.rcount -= 1
                if kill or f.rcount <= 0:
                    self.end_flow(f, cmd)
                    return
            elif o == '404':
                self.end_flow(f, 'gone at ' + cmd)
                return
            f.release(cmd)

        def send():
            Request(self, cmd, [(0, self.get(path))], expect, done=done)
        if ends:
            self.disturb(f, cmd, send)
        else:
            send()

    def act_ka_end(self):
        fs = self.live_flows(lambda f: f.ka_sock is not None)
        if not fs:
            return
        f = self.rng.choice(fs)
        how = self.rng.choice(['close', 'byte', 'reset'])

        def end():
            s = f.ka_sock
            if s is None:
                return
            self.loop.unwatch(s)
            f.ka_sock = None
            if how == 'byte':
                try:
                    s.send(b'x')
                except OSError:
                    pass
                s.close()
            elif how == 'reset':
                rst_close(s)
            else:
                s.close()
            self.end_flow(f, 'keep-alive link ended')
        self.disturb(f, 'keep-alive end', end)

    def act_agent_leave(self):
        fs = self.live_flows(lambda f: f.kind == 'agent')
        if not fs:
            return
        f = self.rng.choice(fs)

        def leave():
            self.agent('LEAVE UDP://%s\n' % f.group, 'leave')
            self.end_flow(f, 'LEAVE')
        self.disturb(f, 'LEAVE', leave)

    def act_toggle_source(self):
        fs = self.live_flows(lambda f: f.kind != 'big')
        if not fs:
            return
        f = self.rng.choice(fs)
        down = self.rng.uniform(0.3, 6.0)
        if f.kind == 'alt':
            # One source of two stops; the relay goes on from the other.
            which = self.rng.choice([0, 0, 1])
            s = f.sources[which]
            was_healthy = f.healthy()
            f.holds.add('alt-switch')
            s.want = False
            s.stop('source stopped')
            # The alternate takes over once the primary has been silent for
            # src_down_tmout_ms (600 ms); a shorter gap needs no switch.
            expect = which == 0 and f.sources[1].running and was_healthy and down >= 1.5
            f.alt_expect_failover = expect

            def back():
                if f.alt_expect_failover and f.state == 'live' and f.holds == {'alt-switch'} \
                        and not self.fault_active():
                    self.fail('%s: the alternate source did not take over within %.1f s'
                              % (f.name, down))
                f.alt_expect_failover = False
                s.want = True
                f.release('alt-switch')
            self.loop.at(down, back)
            return

        def stop():
            for s in f.sources:
                s.want = False
            if f.server:
                f.server.want = False
                f.server.stop()

        def back():
            for s in f.sources:
                s.want = True
            if f.server:
                f.server.want = True
            f.release('source stopped')
        self.disturb(f, 'source stopped', stop)
        self.loop.at(PAUSE + down, back)

    def act_toggle_dst(self):
        fs = self.live_flows(lambda f: f.sink is not None and not f.mcast_dst)
        if not fs:
            return
        f = self.rng.choice(fs)
        down = self.rng.uniform(0.2, 3.0)

        def back():
            if f.state == 'live':
                f.open_sink()
            f.release('destination closed')
        self.disturb(f, 'destination closed', f.close_sink)
        self.loop.at(PAUSE + down, back)

    def act_head(self):
        p = '/src/127.0.0.1:%d/dst/127.0.0.1:%d' % (self.port('src'), self.port('dst'))
        Request(self, 'head', [(0, self.get(p, 'HEAD'))], {'200'})

    MALFORMED = [
        b'POST /src/127.0.0.1:1/dst/127.0.0.1:2 HTTP/1.1\r\n\r\n',
        b'GETTTTTT /src/127.0.0.1:1/dst/127.0.0.1:2 HTTP/1.1\r\n\r\n',
        b'GE /src/127.0.0.1:1/dst/127.0.0.1:2 HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2 HTTX/1.1\r\n\r\n',
        b'GET /favicon.ico HTTP/1.1\r\n\r\n',
        b'GET /ping HTTP/1.1\r\n\r\n',
        b'GET /foo/bar HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/$alias HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?&cid=x HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?=x HTTP/1.1\r\n\r\n',
        b'GET / HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?cid=' + b'c' * 33 + b' HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?cid=a&cid=b HTTP/1.1\r\n\r\n',
        b'\r\n\r\n',
        b'GET\r\n\r\n',
        b'HEAD /favicon.ico HTTP/1.0\r\n\r\n',
        # Malformed escapes name nothing, and a relay to its own socket
        # however spelt is refused.
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?cid=team%GGred HTTP/1.1\r\n\r\n',
        b'GET /src/127.0.0.1:1/dst/127.0.0.1:2?cid=carol%4 HTTP/1.1\r\n\r\n',
        b'GET /src/239.1.2.3:300%zz13/dst/127.0.0.1:2 HTTP/1.1\r\n\r\n',
        b'GET /src/0.0.0.0:1/dst/localhost:1 HTTP/1.1\r\n\r\n',
    ]

    def act_malformed(self):
        r = self.rng
        choice = r.randrange(4)
        if choice == 0:
            raw = r.choice(self.MALFORMED)
        elif choice == 1:
            raw = bytes([r.randrange(1, 0x20)]) + bytes(r.randrange(1, 256) for _ in range(r.randrange(10, 600)))
            raw = raw.replace(b'\n\n', b'\n.').replace(b'\r\n\r\n', b'\r\n.\n') + b'\r\n\r\n'
        elif choice == 2:
            raw = ('GET /src/127.0.0.1:1/dst/127.0.0.1:2?cid=%s HTTP/1.1\r\n\r\n'
                   % ('q' * r.randrange(300, 900))).encode()
        else:
            raw = ('GET /src/%s/dst/127.0.0.1:2 HTTP/1.1\r\n\r\n' % ('1' * r.randrange(300, 900))).encode()
        rq = Request(self, 'malformed', [(0, raw)], {'400'})
        rq.chunks_text = repr(raw[:80])

    def act_overlong(self):
        r = self.rng
        raw = b'GET /' + b'a' * r.randrange(1100, 3000)
        if r.random() < 0.5:
            raw += b' HTTP/1.1\r\n\r\n'
        rq = Request(self, 'overlong', [(0, raw)], {'400'})
        rq.chunks_text = 'over-long head of %d bytes' % len(raw)

    def act_slow(self):
        r = self.rng
        p = '/src/127.0.0.1:%d/dst/127.0.0.1:%d' % (self.port('src'), self.port('dst'))
        raw = self.get(p, 'HEAD')
        if r.random() < 0.5:
            # Slow but complete within the request time-out.
            n = r.randrange(3, 8)
            cut = sorted(r.sample(range(1, len(raw)), n - 1))
            parts = [raw[i:j] for i, j in zip([0] + cut, cut + [len(raw)])]
            Request(self, 'slow-head', [(0.3, part) for part in parts], {'200'})
        else:
            # Never complete: a byte every half second; the request sweep
            # must close it unanswered.
            chunks = [(0.5, raw[i:i + 1]) for i in range(min(len(raw) - 4, 30))]
            Request(self, 'slowloris', chunks, {'closed', 'reset-by-daemon'})

    def act_hold_links(self, n=None):
        """Many clients join one relay on keep-alive links and hold them:
        more than the daemon's limit of requests being read, so that fresh
        requests sent meanwhile are answered only when links are kept apart
        from them.  The links are let go a moment later."""
        fs = self.live_flows(lambda f: f.kind not in ('agent',) and not f.ka and f.healthy())
        if not fs:
            return
        f = self.rng.choice(fs)
        n = n or self.rng.randrange(50, 200)
        held, answered = [], [0]
        path = f.path_base + '/keep-alive' + ('?' + f.query if f.query else '')
        self.say('%s: %d clients hold links' % (f.name, n))

        def expect():
            return {'200'} if f.healthy() else {'200', '403', '404'}

        def release():
            mine = [s for s in held if s in f.links]

            def let_go():
                for s in mine:
                    if s in f.links:
                        f.links.remove(s)
                        self.loop.unwatch(s)
                        s.close()
                        f.rcount -= 1
                if f.rcount <= 0 and f.state == 'live':
                    self.end_flow(f, 'last link ended')
            # A drop during the storm may have left the links as the relay's
            # only clients: then letting them go ends it, a planned end.
            if f.rcount - len(mine) <= 0 and f.state == 'live':
                self.disturb(f, 'held links let go', let_go)
            else:
                let_go()

        def done(o, s):
            answered[0] += 1
            if o == '200' and s is not None and f.state not in ('ending', 'gone'):
                f.rcount += 1
                f.links.append(s)
                held.append(s)
                self.links_held += 1
                self.loop.watch(s, selectors.EVENT_READ, lambda s_, ev: self.link_event(f, s_))
            elif s is not None:
                s.close()
            if answered[0] == n:
                # Every link made: fresh requests must still be answered.
                for _ in range(5):
                    self.act_head()
                self.loop.at(self.rng.uniform(1.0, 3.0), release)

        # In waves, so that the listener's backlog is not what is tested.
        for i in range(0, n, 100):
            def wave(k=min(100, n - i)):
                for _ in range(k):
                    Request(self, 'held-link', [(0, self.get(path))], expect, done=done, keep=True)
            self.loop.at(0.05 * (i // 100), wave)

    def act_trickle(self):
        """A head sent a few bytes at a time: a complete one is answered, an
        endless one refused at 1023 bytes; either is logged once (checked at
        the end by its marker)."""
        r = self.rng
        marker = 'x-trickle-%d-' % len(self.trickles)
        if r.random() < 0.7:
            p = '/src/127.0.0.1:%d/dst/127.0.0.1:%d' % (self.port('src'), self.port('dst'))
            raw = ('HEAD %s HTTP/1.1\r\nX-Mark: %s\r\nX-Pad: %s\r\n\r\n'
                   % (p, marker, 'p' * r.randrange(200, 700))).encode()
            expect = {'200'}
        else:
            raw = ('GET /%s' % marker).encode() + b'a' * r.randrange(1100, 1500)
            # Answered 400 at 1023 bytes; the bytes still trickling in
            # after the close may reset the connection before it is read.
            expect = {'400', 'reset-by-daemon'}
        chunks, at = [], 0
        while at < len(raw):
            k = r.randrange(1, 4)
            chunks.append((0.002, raw[at:at + k]))
            at += k
        entry = [marker, None]
        self.trickles.append(entry)

        def done(o, s):
            entry[1] = o
            if s is not None:
                s.close()
        rq = Request(self, 'trickle', chunks, expect, done=done)
        rq.chunks_text = 'head of %d bytes, a few at a time' % len(raw)

    def check_trickles(self):
        """Each trickled head reached A's log at most once, whatever the
        number of reads it took."""
        text = self.a.log_text()
        for marker, outcome in self.trickles:
            n = text.count(marker)
            if n > 1:
                self.fail('trickled head %s (%s) logged %d times' % (marker, outcome, n))

    def act_storm(self):
        r = self.rng
        n = r.randrange(150, 400)
        self.say('storm of %d connections' % n)
        for _ in range(n):
            x = r.random()
            if x < 0.4:
                Request(self, 'reset', [], None, reset_after=r.uniform(0, 0.3))
            elif x < 0.6:
                Request(self, 'reset-half', [(0, b'GET /src/127.0.0.1:1/d')], None,
                        reset_after=r.uniform(0.05, 0.5))
            elif x < 0.7:
                Request(self, 'idle', [], {'closed', 'reset-by-daemon'})
            elif x < 0.8:
                Request(self, 'close-half', [(0, b'GET /src/127.0.0.1:1/dst/1')], None,
                        close_after=r.uniform(0, 0.3))
            elif x < 0.85:
                # Keep-alive relays whose client is gone as soon as asked:
                # the task, if made, must end with its link.
                p = '/src/127.0.0.1:%d/dst/127.0.0.1:%d/keep-alive' % (self.port('src'),
                                                                      self.port('dst'))
                if r.random() < 0.5:
                    Request(self, 'ka-half-close', [(0, self.get(p))], None, half_close=True)
                else:
                    Request(self, 'ka-reset', [(0, self.get(p))], None,
                            reset_after=r.uniform(0, 0.01))
            else:
                self.act_head()

    AGENT_JUNK = [
        'join UDP://239.255.0.1\n', 'JOIN udp//239.255.0.1\n', 'JOIN 239.255.0.1\n',
        'JOIN UDP://239.255.9.9\n', 'LEAVE UDP://239.255.9.9\n', 'JOINUDP://239.255.0.1\n',
        'LEAVE\n', '\n', 'JOIN UDP://' + 'x' * 300 + '\n', 'LEAVE UDP://%s%s%n\n',
    ]

    def agent(self, msg, kind):
        self.agent_sent[kind] = self.agent_sent.get(kind, 0) + 1
        data = msg.encode() if isinstance(msg, str) else msg
        try:
            self.agent_out.sendto(data, ('127.0.0.1', AGENT_PORT))
        except OSError:
            pass

    def act_agent_burst(self):
        """More agent messages at once than one wake-up reads."""
        for _ in range(self.rng.randrange(9, 40)):
            self.agent(self.rng.choice(self.AGENT_JUNK), 'junk')

    def act_agent_junk(self):
        r = self.rng
        if r.random() < 0.6:
            self.agent(r.choice(self.AGENT_JUNK), 'junk')
        else:
            self.agent(bytes(r.randrange(256) for _ in range(r.randrange(1, 400))), 'junk')
        if r.random() < 0.2:
            # A repeated JOIN of a group that has its task changes nothing.
            fs = self.live_flows(lambda f: f.kind == 'agent')
            if fs:
                self.agent('JOIN UDP://%s\n' % r.choice(fs).group, 'join-again')

    # --- remote daemon and faults ---------------------------------------------------------------

    def chained(self):
        return [f for f in self.flows if f.kind in ('chain', 'agent') and f.state in ('live', 'creating')]

    def act_restart_b(self):
        if not self.b.alive() or self.b.stopping:
            return
        kill = self.rng.random() < 0.25
        down = self.rng.choice([0.0, 0.2, 1.0, 3.0])
        self.say('remote daemon %s, down %.1f s' % ('killed' if kill else 'stopped', down))
        for f in self.chained():
            f.hold('remote')
        self.b.stopping = True

        def stop():
            pid = self.b.pid
            if kill:
                self.b_kills += 1
                self.b.proc.kill()
            else:
                self.b.proc.send_signal(signal.SIGTERM)

            def wait_end(deadline=now() + 60):
                rc = self.b.proc.poll()
                if rc is None and now() < deadline:
                    self.loop.at(0.05, wait_end)
                    return
                if rc is None:
                    self.fail('b: did not end within 60 s of SIGTERM')
                    self.b.proc.kill()
                    self.b.proc.wait()
                    rc = 'hung'
                if not kill:
                    self.b_exit_codes.append(rc)
                    if rc != 0:
                        self.fail('b: exit status %s on SIGTERM' % rc)
                for name in shm_objects():
                    # A daemon killed hard leaves its objects behind.
                    if '.%d.' % pid in name:
                        os.unlink('/dev/shm/' + name)
                self.loop.at(down, self.start_b)
            wait_end()
        self.loop.at(PAUSE, stop)

    def act_hang_b(self):
        """The remote daemon stops answering for a while (SIGSTOP)."""
        if not self.b.alive() or self.b.stopping:
            return
        length = self.rng.uniform(1.0, 6.0)
        self.say('remote daemon hangs for %.1f s' % length)
        for f in self.chained():
            f.hold('remote')
        self.b.stopping = True

        def stop():
            self.b.proc.send_signal(signal.SIGSTOP)
            self.loop.at(length, resume)

        def resume():
            self.b.proc.send_signal(signal.SIGCONT)
            self.b.stopping = False
            self.release_remote()
        self.loop.at(PAUSE, stop)

    def release_remote(self):
        for f in self.flows:
            if 'remote' in f.holds:
                f.release('remote')

    def start_b(self):
        self.b_restarts += 1
        self.b.start()

        def ready(deadline=now() + 20):
            if self.b.started():
                self.b.stopping = False
                self.release_remote()
                return
            if now() > deadline or not self.b.alive():
                self.fail('b: did not start again')
                return
            self.loop.at(0.05, ready)
        ready()

    def fault_shm(self, length, creates=True):
        st = os.statvfs('/dev/shm')
        free = st.f_bavail * st.f_frsize
        self.say('fault: /dev/shm full (%d bytes filled) for %.1f s' % (free, length))
        fd = os.open(self.filler, os.O_CREAT | os.O_WRONLY, 0o600)
        try:
            os.posix_fallocate(fd, 0, free)
        except OSError:
            pass
        os.close(fd)
        self.faults['shm'] = now() + length + 1.0
        self.fault_log.append('shm-full')
        # New relays of a byte ring must be refused cleanly meanwhile.
        for i in range(self.rng.randrange(1, 4) if creates else 0):
            self.loop.at(0.2 + i * 0.3, lambda: self.create('http'))

        def end():
            try:
                os.unlink(self.filler)
            except FileNotFoundError:
                pass
        self.loop.at(length, end)

    def fault_fds(self, length, creates=True):
        pid = self.a.pid
        old = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        low = self.a.fds() + 4
        self.say('fault: descriptor limit of a at %d for %.1f s' % (low, length))
        # The soft limit only: raising a hard limit again needs a capability
        # a container may lack.
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (low, old[1]))
        self.faults['fds'] = now() + length + 1.0
        self.fault_log.append('fd-limit')
        for _ in range(self.rng.randrange(1, 4) if creates else 0):
            self.create(self.rng.choice(['udp', 'http', 'chain']))
        for _ in range(20 if creates else 0):
            self.act_head()

        def end():
            if self.a.alive():
                resource.prlimit(pid, resource.RLIMIT_NOFILE, old)
        self.loop.at(length, end)

    def fault_stall(self):
        """A stops for a moment (SIGSTOP), as on a loaded machine: the
        kernel holds what arrives meanwhile and nothing may be lost."""
        length = self.rng.uniform(0.1, 0.5)
        self.say('fault: a stalls for %.1f s' % length)
        self.fault_log.append('stall')
        self.a.proc.send_signal(signal.SIGSTOP)
        self.loop.at(length, lambda: self.a.proc.send_signal(signal.SIGCONT))

    def fault_task_limit(self):
        """Relays up to the task limit and beyond: the ones beyond are
        refused, keep-alive or not, and nothing stays behind."""
        keys = self.report_a.read() or {}
        n = 64 - len(keys) + self.rng.randrange(2, 6)
        self.say('fault: %d relays towards the task limit' % n)
        self.fault_log.append('task-limit')
        self.faults['limit'] = now() + 4.0
        for _ in range(n):
            f = self.new_flow('filler')
            f.checked = False
            f.ka = self.rng.random() < 0.5
            f.path_base = '/src/127.0.0.1:%d/dst/127.0.0.1:%d' % (self.port('src'), self.port('dst'))

            def done(o, s, f=f):
                if o == '200':
                    self.tasks_confirmed += 1
                    f.state = 'live'
                    f.live_at = now()
                    f.rcount = 1
                    if s is not None:
                        f.ka_sock = s
                        self.loop.watch(s, selectors.EVENT_READ, lambda s_, ev, f=f: self.ka_event(f))
                else:
                    if s is not None:
                        s.close()
                    self.end_flow(f, 'refused')
            Request(self, 'create-to-limit', [(0, self.get(f.path_base + ('/keep-alive' if f.ka else '')))],
                    {'200', '500'}, done=done, keep=f.ka)

        def release():
            for f in self.flows:
                if f.kind == 'filler' and f.state == 'live':
                    self.end_live(f)
        self.loop.at(3.0, release)

    def fault_unreachable(self, how=None):
        r = self.rng
        self.fault_log.append('unreachable')
        how = how or r.choice(['dst', 'http', 'route', 'dst'])
        f = self.new_flow('unreach')
        f.checked = False
        if how == 'dst':
            sport = self.port('src')
            f.sources.append(UdpSource(self, f, ('127.0.0.1', sport), 500, 'unreach'))
            path = '/src/127.0.0.1:%d/dst/127.254.%d.%d:%d' % (sport, r.randrange(256), r.randrange(1, 255),
                                                            self.port('dst'))
        elif how == 'http':
            path = '/src/http://127.254.0.1:%d/x/dst/127.0.0.1:%d' % (self.port('http'), self.port('dst'))
        else:
            path = '/src/%s/dst/127.0.0.1:%d' % (UNREACH_ROUTE_SRC, self.port('dst'))
        f.path_base = path
        for s in f.sources:
            s.start()
        self.say('%s: unreachable %s: %s' % (f.name, how, path))

        def done(o, s):
            if o == '200':
                f.state = 'live'
                f.rcount = 1
                self.tasks_confirmed += 1
            else:
                self.end_flow(f, 'not created')
        Request(self, 'create-unreachable', [(0, self.get(path))], {'200', '500', '400'}, done=done)

    # --- the plan --------------------------------------------------------------------------------

    def random_action(self):
        if not self.active:
            return
        r = self.rng
        live = len([f for f in self.flows if f.state in ('live', 'creating')])
        acts = [
            (6 if live < self.target else 0.5, self.create),
            (3, self.act_join),
            (2, self.act_drop),
            (1.5, lambda: self.act_drop(kill=True)),
            (1, self.act_ka_end),
            (1, self.act_link_end),
            (1, self.act_agent_leave),
            (2.5, self.act_toggle_source),
            (1, self.act_toggle_dst),
            (2, self.act_head),
            (2, self.act_malformed),
            (1, self.act_overlong),
            (1, self.act_slow),
            (1, self.act_trickle),
            (0.1, self.act_hold_links),
            (1.5, self.act_agent_junk),
            (0.08, self.act_storm),
            (0.05, self.act_restart_b),
            (0.03, self.act_hang_b),
            (0.05, self.act_agent_burst),
            (0.1, self.fault_unreachable),
            (0.03, self.fault_stall),
            (0.02, self.fault_task_limit),
        ]
        x = r.uniform(0, sum(w for w, _ in acts))
        for w, fn in acts:
            x -= w
            if x <= 0:
                fn()
                break
        if r.random() < 0.02:
            self.target = r.randrange(8, 28)
        self.loop.at(r.expovariate(1 / 0.15), self.random_action)

    def plan_segment(self, length):
        """Actions every segment holds at least once, at seeded times."""
        r = self.rng
        plan = [
            (0.08, lambda: [self.create(k) for k in ('udp', 'mcast', 'http', 'alt', 'chain', 'agent')]),
            (0.15, self.act_storm),
            (0.25, lambda: self.fault_shm(min(8.0, length * 0.08))),
            (0.4, lambda: self.fault_fds(min(6.0, length * 0.06))),
            (0.55, self.act_restart_b),
            (0.65, self.fault_unreachable),
            (0.7, self.act_storm),
            (0.3, lambda: [self.create(k) for k in ('flood', 'httpbad', 'big')]),
            (0.5, self.act_hang_b),
            (0.6, self.act_agent_burst),
            (0.35, self.fault_stall),
            (0.8, self.fault_task_limit),
            (0.2, lambda: self.act_hold_links(self.rng.randrange(1000, 1200))),
            (0.45, lambda: [self.act_trickle() for _ in range(20)]),
        ]
        for frac, fn in plan:
            self.loop.at(length * (frac + r.uniform(-0.03, 0.03)), self.guarded(fn))

    def guarded(self, fn):
        def run():
            if self.active:
                fn()
        return run

    # --- idle points -----------------------------------------------------------------------------

    def quiesce(self, label):
        """Ends every relay and client, waits for A and B to be idle, and
        measures descriptors, shared-memory objects, memory and CPU."""
        self.active = False
        print('== soak: %s idle point at %.0f s' % (label, now() - self.t_start), flush=True)
        self.wind_down(label)
        point = self.measure(label)
        self.idle_points.append(point)
        self.stuck_idle(label)
        return point

    def wind_down(self, label):
        """Ends every relay and client and waits until A and B are idle."""
        self.loop.run_until(now() + 0.1)
        for f in self.flows:
            f.hold('idle point')
        # What was sent last is relayed before the relays end.
        self.loop.run_until(now() + PAUSE)
        for f in list(self.flows):
            if f.state in ('live', 'creating'):
                self.end_live(f)
        deadline = now() + 12
        self.loop.run_until(deadline, lambda: all(f.state == 'gone' for f in self.flows)
                            and self.open_clients == 0 and not self.fault_active()
                            and self.b.alive() and not self.b.stopping)
        for f in list(self.flows):
            self.end_flow(f, 'idle point')
        # The daemons' reports empty, A's descriptors back.
        ok = self.loop.run_until(now() + 25, lambda: self.idle_now())
        if not ok:
            keys = self.report_a.read() or {}
            self.fail('%s idle point: not idle within 25 s: a tasks %s, b tasks %s, a fds %d (idle %d), '
                      'flows %s' % (label, sorted(keys), sorted(self.report_b.keys), self.a.fds(),
                                    self.a.baseline['fds'],
                                    [(f.name, f.state) for f in self.flows]))
            extra = set(self.a.fd_targets()) - set(self.a.baseline['fd_targets'])
            if extra:
                self.fail('a: descriptors beyond its idle set: %s' % sorted(extra))

    def stuck_idle(self, label):
        """Idle, but with everything that waits: relays whose stream server
        never answers or answers 404, whose source is silent, whose
        destination is unreachable, client connections that send nothing,
        a full /dev/shm and no descriptor to spare.  A may retry now and
        then but must not spin."""
        self.create('httpbad', mode='silent')
        self.create('httpbad', mode='notfound')
        self.create('udp')
        self.fault_unreachable('dst')
        self.loop.run_until(now() + 1.0)
        for f in self.flows:
            f.hold('waiting')
        for _ in range(10):
            Request(self, 'idle', [], None)
        self.loop.run_until(now() + 0.5)
        self.fault_shm(4.0, creates=False)
        self.fault_fds(4.0, creates=False)
        Request(self, 'during-fd-limit', [(0, self.get('/src/127.0.0.1:1/dst/127.0.0.1:2', 'HEAD'))], None)
        self.loop.run_until(now() + 0.5)
        c0, t0 = self.a.cpu_seconds(), now()
        self.loop.run_until(now() + 3.0)
        cpu = (self.a.cpu_seconds() - c0) / (now() - t0)
        print('   a with waiting relays, idle clients, /dev/shm full and no descriptor to spare: '
              'CPU %.2f %% over 3 s' % (cpu * 100), flush=True)
        self.stuck_cpu.append(cpu)
        if cpu > STUCK_CPU_MAX:
            self.fail('%s idle point: a used %.1f %% CPU while waiting under faults' % (label, cpu * 100))
        self.loop.run_until(now() + 1.5)
        self.wind_down(label + ' (after waiting relays)')
        if self.a.fds() != self.a.baseline['fds']:
            self.fail('%s idle point: a holds %d descriptors after the waiting relays, %d when idle'
                      % (label, self.a.fds(), self.a.baseline['fds']))

    def end_live(self, f):
        if f.kind == 'agent':
            self.agent('LEAVE UDP://%s\n' % f.group, 'leave')
            self.end_flow(f, 'idle point')
        elif f.state == 'live' and f.path_base:
            cmd_path = f.path_base + '/kill' + ('?' + f.query if f.query else '')
            self.end_flow(f, 'idle point')
            Request(self, 'kill', [(0, self.get(cmd_path))], {'200', '404'})
        else:
            self.end_flow(f, 'idle point')

    def idle_now(self):
        ka = self.report_a.read()
        kb = self.report_b.read()
        if ka is None or kb is None or ka or kb:
            return False
        if self.open_clients or any(f.state != 'gone' for f in self.flows):
            return False
        if self.a.fds() != self.a.baseline['fds']:
            return False
        return not any(n.startswith('mmr.') for n in shm_objects())

    def measure(self, label):
        time.sleep(0.5)
        c0 = self.a.cpu_seconds()
        t0 = now()
        time.sleep(IDLE_CPU_SECONDS)
        cpu = (self.a.cpu_seconds() - c0) / (now() - t0)
        p = {'label': label, 'fds': self.a.fds(), 'fd_targets': self.a.fd_targets(),
             'b_fds': self.b.fds(), 'rss': self.a.rss(), 'cpu': cpu, 'shm': shm_objects()}
        print('   a: %d descriptors, %.1f MiB resident, CPU %.2f %% over %.0f s idle; b: %d descriptors;'
              ' /dev/shm: %s' % (p['fds'], p['rss'] / 1048576.0, cpu * 100, IDLE_CPU_SECONDS,
                                 p['b_fds'], ' '.join(p['shm']) or '-'), flush=True)
        if self.a.baseline is None:
            return p
        base = self.a.baseline
        if p['fds'] != base['fds']:
            self.fail('%s idle point: a holds %d descriptors, %d when idle at start; extra: %s'
                      % (label, p['fds'], base['fds'],
                         sorted(set(p['fd_targets']) - set(base['fd_targets']))))
        if self.b.baseline and p['b_fds'] != self.b.baseline:
            self.fail('%s idle point: b holds %d descriptors, %d when idle' % (label, p['b_fds'], self.b.baseline))
        expect_shm = set(base['shm_a']) | {n for n in p['shm'] if n == 'tvl.%d.iflag' % self.b.pid}
        if set(p['shm']) != expect_shm:
            self.fail('%s idle point: /dev/shm holds %s, expected %s' % (label, p['shm'], sorted(expect_shm)))
        if cpu > IDLE_CPU_MAX:
            self.fail('%s idle point: a used %.1f %% CPU while idle' % (label, cpu * 100))
        return p

    # --- the run ---------------------------------------------------------------------------------

    def run(self):
        self.t_start = now()
        d = self.args.duration
        print('== soak: seed %d, %d s, work directory %s' % (self.args.seed, d, self.work), flush=True)
        self.b.start()
        if not self.b.wait_started():
            self.fail('b: did not start')
            return self.finish()
        self.a.start()
        if not self.a.wait_started():
            self.fail('a: did not start')
            return self.finish()
        self.loop.run_until(now() + 1.5)
        self.b.baseline = self.b.fds()
        base = {'fds': self.a.fds(), 'fd_targets': self.a.fd_targets(), 'rss': self.a.rss(),
                'shm_a': [n for n in shm_objects() if '.%d.' % self.a.pid in n]}
        print('   a idle at start: %d descriptors, %.1f MiB resident; b: %d descriptors; /dev/shm: %s'
              % (base['fds'], base['rss'] / 1048576.0, self.b.baseline, ' '.join(shm_objects())),
              flush=True)
        self.a.baseline = base
        self.loop.at(TICK, self.tick)
        self.loop.at(0.2, self.report_tick)
        segments = max(2, d // 150)
        seg_len = d / segments
        self.target = 16
        for i in range(segments):
            end = self.t_start + seg_len * (i + 1) - (10 if i < segments - 1 else 0)
            self.active = True
            self.plan_segment(end - now())
            self.loop.at(0.05, self.random_action)
            self.loop.run_until(end)
            label = 'final' if i == segments - 1 else 'mid-run %d' % (i + 1)
            self.quiesce(label)
        return self.finish()

    def finish(self):
        self.active = False
        self.end_faults()
        rc_a = self.a.stop() if self.a.proc else None
        self.b.stopping = True
        rc_b = self.b.stop() if self.b.proc else None
        if rc_a != 0:
            self.fail('a: exit status %s on SIGTERM' % rc_a)
        if rc_b != 0:
            self.fail('b: exit status %s on SIGTERM' % rc_b)
        self.b_exit_codes.append(rc_b)
        left = [n for n in shm_objects() if n != os.path.basename(self.filler)]
        if left:
            self.fail('/dev/shm holds %s after both daemons ended' % left)
        self.check_trickles()
        reports = sorted(os.listdir(self.sanitizer_dir))
        for name in reports:
            self.fail('sanitizer report %s:\n%s' % (name, open(os.path.join(self.sanitizer_dir, name),
                                                               errors='replace').read()[:6000]))
        self.print_figures(rc_a, rc_b, reports)
        if self.failures:
            print('== soak: FAILED (%d checks):' % len(self.failures))
            for f in self.failures:
                print('  ' + f)
            return 1
        print('== soak: passed')
        return 0

    def end_faults(self):
        try:
            os.unlink(self.filler)
        except FileNotFoundError:
            pass

    def log_counts(self, d):
        text = d.log_text()
        created = re.findall(r'Task \[([^\]]*)\] (?:is relaying data \(|goes to handshake)', text)
        ended = re.findall(r'Task \[([^\]]*)\]: ENDED', text)
        return len(created), len(ended), len(re.findall(r'Task \[[^\]]*\]: SUSPENDED', text)), \
            created, ended

    def print_figures(self, rc_a, rc_b, reports):
        d = now() - self.t_start
        print('== soak figures (seed %d, %.0f s)' % (self.args.seed, d))
        kinds = sorted(self.answers)
        cols = sorted({o for k in kinds for o in self.answers[k]})
        print('   requests answered by kind:')
        print('     %-20s' % 'kind' + ''.join('%10s' % c for c in cols))
        for k in kinds:
            print('     %-20s' % k + ''.join('%10d' % self.answers[k].get(c, 0) for c in cols))
        print('   client connections: %d (unexpected outcomes %d); links held %d; trickled heads %d'
              % (self.client_connections, self.unexpected, self.links_held, len(self.trickles)))
        print('   agent messages: %s' % ', '.join('%s %d' % kv for kv in sorted(self.agent_sent.items())))
        ca, ea, sa, created, ended = self.log_counts(self.a)
        cb, eb, _, _, _ = self.log_counts(self.b)
        print('   tasks: a created %d, removed %d, suspended %d; b created %d, removed %d; '
              'relays the driver saw created %d' % (ca, ea, sa, cb, eb, self.tasks_confirmed))
        pending = {}
        for label in created:
            pending[label] = pending.get(label, 0) + 1
        for label in ended:
            pending[label] = pending.get(label, 0) - 1
        never = [k for k, v in pending.items() if v > 0]
        if never:
            self.fail('a: tasks created and never removed: %s' % never[:20])
        print('   datagrams: sent %d, received %d; healthy windows %d (checked %d, closed before a '
              'datagram %d): %d sent in them, %d lost, %d duplicated, %d reordered; alternate '
              'take-overs %d'
              % (self.sent, self.received, self.windows_opened, self.windows_checked,
                 self.windows_empty, self.win_sent,
                 self.win_lost, self.win_dups, self.win_reorder, self.failovers))
        print('   faults: %s; remote daemon restarts %d (%d killed), exit statuses %s'
              % (', '.join('%s %d' % (k, self.fault_log.count(k)) for k in sorted(set(self.fault_log))),
                 self.b_restarts, self.b_kills, sorted(set(map(str, self.b_exit_codes)))))
        print('   status reports read: a %d, b %d; invalid %d'
              % (self.report_a.reads, self.report_b.reads, self.report_a.invalid + self.report_b.invalid))
        for p in self.idle_points:
            print('   idle %-10s a: %d fds, %.1f MiB, CPU %.2f %%' % (p['label'], p['fds'], p['rss'] / 1048576.0,
                                                                    p['cpu'] * 100))
        if self.stuck_cpu:
            print('   waiting relays under faults: a CPU %s %%'
                  % ', '.join('%.2f' % (c * 100) for c in self.stuck_cpu))
        if len(self.idle_points) >= 2:
            first = self.idle_points[0]['rss']
            last = self.idle_points[-1]['rss']
            if last > first + RSS_SLACK:
                self.fail('a: resident memory grew from %.1f to %.1f MiB between idle points'
                          % (first / 1048576.0, last / 1048576.0))
        print('   exit on SIGTERM: a %s, b %s; sanitizer reports: %s' % (rc_a, rc_b, len(reports) or 'none'))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--root', required=True)
    ap.add_argument('--work', required=True)
    ap.add_argument('--duration', type=int, default=600)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--verbose', action='store_true')
    args = ap.parse_args()
    random.seed(args.seed)
    soak = Soak(args)
    try:
        rc = soak.run()
    except SystemExit as e:
        rc = e.code if isinstance(e.code, int) else 1
    finally:
        for d in (soak.a, soak.b):
            if d.alive():
                d.proc.kill()
    sys.exit(rc)


if __name__ == '__main__':
    main()
