# SPDX-License-Identifier: Apache-2.0
"""The torture run's driver; runs inside the sandbox as root (started by scripts/torture.sh).

Rounds: in each, some users each send one request (copy, remove or mkdir) at the same time over
their own connection, a pinger pings, and the round may kill the helper (SIGKILL or SIGTERM) a
few milliseconds in, fill the plug-in folders' file system before or during the round, or start
the helper again with file-system calls failing at random. Every action comes from one seeded
generator, so --seed N replays the same actions (where a kill lands depends on timing).

After every round: each destination a user touched is absent, its old bundle or the new one,
byte for byte (type, data, link text, mode & 0755, owned by root); a failed removal may leave
part of the old bundle. When idle on a helper without injected failures: no hidden staged item,
an empty record, and descriptors and threads at their level after start. After every start: the
same, and every destination as before. Pings are answered within PING_BOUND seconds.
"""
import argparse
import errno
import hashlib
import json
import os
import pty
import random
import re
import select
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

BUILD, SRC = os.environ["BUILD"], os.environ["SRC"]
HELPER = f"{BUILD}/helper/com.corvellan.nimbara.helper"
CLIENT = f"{BUILD}/client/nimbara-helper-client"
SHIM = f"{BUILD}/tests/libfault_shim.so"
LOG = "/tmp/helper.log"
SOCK = "/var/run/com.corvellan.nimbara.helper.sock"
STATE = "/var/lib/com.corvellan.nimbara.helper"
PLUGINS = "/Library/Audio/Plug-Ins"
ROOTS = [f"{PLUGINS}/VST3", f"{PLUGINS}/Components"]
FILLER = f"{PLUGINS}/filler"
HIDDEN = re.compile(r"^\..+\.nimbara-[0-9a-f]{12}$")
USERS = [1000, 1001, 1002, 1003, 1004, 1005]
PINGER = 1009
SLOTS = 3              # destinations per user and root
PING_BOUND = 2.0       # seconds
ANSWER_BOUND = 120.0   # seconds for a whole round's answers
STOP_BOUND = 10.0      # seconds from SIGTERM to exit
RSS_SLACK = 32 << 20   # bytes above the level after start


class Violation(Exception):
    pass


def log(msg):
    print(msg, flush=True)


# ---------------------------------------------------------------- trees and their manifests

def write_file(path, rng, size, holes):
    with open(path, "wb") as f:
        if holes and size > 0:
            f.truncate(size)
            for _ in range(rng.randint(1, 3)):  # a few data ranges, holes between
                at = rng.randrange(0, size)
                f.seek(at)
                f.write(rng.randbytes(min(size - at, rng.randint(1, 65536))))
        else:
            f.write(rng.randbytes(size))


FILE_MODES = [0o644, 0o644, 0o755, 0o600, 0o700, 0o4755, 0o2775, 0o666, 0o444]
DIR_MODES = [0o755, 0o755, 0o700, 0o775, 0o1777, 0o555]


def make_item(path, rng, kind):
    """Makes one item of `kind` at `path`; returns False for kinds that fail a copy."""
    if kind == "file":
        size = rng.choice([0, rng.randint(1, 512), rng.randint(1, 65536), rng.randint(1, 1 << 20)])
        write_file(path, rng, size, holes=rng.random() < 0.15)
        os.chmod(path, rng.choice(FILE_MODES))
    elif kind == "link":
        os.symlink(rng.choice(["target", "../x", "/etc/passwd", "/", "dangling/" * 3, "é"]), path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        s = socket.socket(socket.AF_UNIX)
        s.bind(path)
        s.close()
    elif kind == "unreadable":
        write_file(path, rng, 10, False)
        os.chmod(path, 0)


def make_tree(top, rng):
    """A random bundle at `top`: returns whether a copy of it should be able to succeed."""
    shape = rng.choices(["file", "link", "small", "deep", "wide", "big", "special"],
                        [10, 4, 50, 6, 5, 4, 6])[0]
    if shape in ("file", "link"):
        make_item(top, rng, shape)
        return True
    if shape == "big":
        os.mkdir(top)
        for i in range(rng.randint(1, 2)):
            write_file(f"{top}/big{i}", rng, rng.randint(1 << 20, 8 << 20), rng.random() < 0.3)
        return True
    os.mkdir(top)
    ok = True
    if shape == "deep":
        depth = rng.choice([rng.randint(2, 40), rng.randint(120, 135)])
        d = top
        for i in range(depth):
            d = f"{d}/d"
            os.mkdir(d)
        make_item(f"{d}/leaf", rng, "file")
        ok = depth < 128  # copies stop at 128 levels
    elif shape == "wide":
        for i in range(rng.randint(100, 800)):
            with open(f"{top}/f{i}", "wb") as f:
                f.write(rng.randbytes(rng.randint(0, 64)))
    else:
        folders = [top]
        for i in range(rng.randint(1, 25)):
            parent = rng.choice(folders)
            name = f"{parent}/{rng.choice(['a', 'b', 'c', 'Contents', 'x y', 'ü'])}{i}"
            kind = rng.choices(["file", "dir", "link"], [6, 2, 1])[0]
            if kind == "dir":
                os.mkdir(name)
                folders.append(name)
            else:
                make_item(name, rng, kind)
        if shape == "special":
            kind = rng.choice(["fifo", "socket", "unreadable"])
            make_item(f"{rng.choice(folders)}/special", rng, kind)
            ok = False
        for d in reversed(folders[1:]):
            os.chmod(d, rng.choice(DIR_MODES))
    os.chmod(top, rng.choice(DIR_MODES))
    return ok


def chown_tree(top, uid):
    os.lchown(top, uid, uid)
    if os.path.isdir(top) and not os.path.islink(top):
        for dirpath, dirs, files in os.walk(top):
            for n in dirs + files:
                os.lchown(os.path.join(dirpath, n), uid, uid)


def manifest(top, copied=False):
    """What a bundle is: relative path -> (type, mode, data digest or link text). `copied`:
    as the helper's copy of it must be (mode & 0755, owned by root)."""
    try:
        st = os.lstat(top)
    except FileNotFoundError:
        return None
    out = {}
    stack = [("", st)]
    while stack:
        rel, st = stack.pop()
        path = top + rel
        mode = stat.S_IMODE(st.st_mode) & (0o755 if copied else 0o7777)
        if stat.S_ISLNK(st.st_mode):
            out[rel] = ("l", os.readlink(path))
        elif stat.S_ISREG(st.st_mode):
            h = hashlib.sha1()
            with open(path, "rb") as f:
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    h.update(chunk)
            out[rel] = ("f", mode, h.hexdigest())
        elif stat.S_ISDIR(st.st_mode):
            out[rel] = ("d", mode)
            for name in os.listdir(path):
                stack.append((f"{rel}/{name}", os.lstat(f"{path}/{name}")))
        else:
            out[rel] = ("?", mode)
        if copied and st.st_uid != 0:
            out[rel] += ("uid", st.st_uid)
    return out


def is_remainder(seen, old):
    """A removal that stopped part way: what is left is some of the old bundle's files, links
    and folders (the folders possibly taken over, their modes changed)."""
    if seen is None or old is None:
        return False
    return all(rel in old and (v[0] == "d" == old[rel][0] or v == old[rel])
               for rel, v in seen.items())


# ---------------------------------------------------------------- the helper and its clients

class Client:
    """One user's signed client in raw mode, kept running: one request line in, one answer out."""

    def __init__(self, uid):
        self.uid = uid
        master, slave = pty.openpty()  # a terminal: the client's output is line-buffered
        self.proc = subprocess.Popen(
            ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", CLIENT, "--json",
             "raw"], stdin=subprocess.PIPE, stdout=slave, stderr=subprocess.DEVNULL)
        os.close(slave)
        self.master, self.buf = master, b""

    def send(self, request):
        try:
            self.proc.stdin.write((json.dumps(request) + "\n").encode())
            self.proc.stdin.flush()
            return True
        except (BrokenPipeError, OSError):
            return False

    def answer(self, deadline):
        """The next answer, or None when the client ended (its helper went away) or time ran out."""
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                return None
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        answer = json.loads(line.strip(b"\r"))
        # The client reports a lost connection as a line of its own and ends: not the helper's
        # answer, but its going away.
        if answer.get("client_error") in ("CONNECTION_LOST", "NO_HELPER"):
            return None
        return answer

    def close(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc.kill()
        self.proc.wait()
        os.close(self.master)


class Helper:
    def __init__(self):
        self.proc = None
        self.faults = 0

    def start(self, fault_seed, fault_ppm):
        env = {"PATH": "/usr/bin:/bin"}
        if fault_ppm:
            env.update(LD_PRELOAD=SHIM, NIMBARA_FAULT_SEED=str(fault_seed),
                       NIMBARA_FAULT_PPM=str(fault_ppm), ASAN_OPTIONS="verify_asan_link_order=0")
        self.faults = fault_ppm
        if os.path.exists(LOG):
            os.replace(LOG, LOG + ".before")
        out = open(LOG, "wb")
        self.proc = subprocess.Popen([HELPER], stdout=out, stderr=subprocess.STDOUT, env=env)
        out.close()
        # It listens once the leftovers of the last run are swept.
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise Violation(f"the helper exited with {self.proc.returncode} at start")
            with open(LOG, "rb") as f:
                if b"] [helper] Listening on" in f.read():
                    return
            time.sleep(0.005)
        raise Violation("the helper did not listen within 20 s")

    def stop(self, sig):
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout=STOP_BOUND)
        except subprocess.TimeoutExpired:
            raise Violation(f"the helper did not stop within {STOP_BOUND} s of SIGTERM")
        if sig == signal.SIGTERM and code != 0:
            raise Violation(f"the helper exited with {code} on SIGTERM")
        return time.monotonic() - t0

    def threads(self):
        """Each thread's name and state, for a report."""
        out = []
        for tid in os.listdir(f"/proc/{self.proc.pid}/task"):
            try:
                with open(f"/proc/{self.proc.pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)
                with open(f"/proc/{self.proc.pid}/task/{tid}/wchan") as f:
                    out.append(f"{fields[0].split('(', 1)[1]}:{fields[1].split()[0]}:{f.read()}")
            except OSError:
                pass
        return out

    def stacks(self):
        """The operation thread's stack, for a report (when gdb is there)."""
        try:
            return subprocess.run(["gdb", "-p", str(self.proc.pid), "-batch", "-ex",
                                   "thread apply all bt 30"], capture_output=True, text=True,
                                  timeout=60).stdout[-6000:]
        except (OSError, subprocess.TimeoutExpired):
            return ""

    def resources(self):
        pid = self.proc.pid
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        threads = len(os.listdir(f"/proc/{pid}/task"))
        rss = 0
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1]) * 1024
        return fds, threads, rss


# ---------------------------------------------------------------- the run

class Torture:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.helper = Helper()
        self.clients = {}
        self.model = {}      # destination -> manifest of what must be there (None: absent)
        self.counts = dict(ops=0, ok=0, failed=0, unanswered=0, kills=0, terms=0, fills=0,
                           faulty_starts=0, remainders=0, rounds=0, pings=0)
        self.ping_max = 0.0
        self.stop_max = 0.0
        self.idle = None
        self.serial = 0
        self.start_time = time.monotonic()

    # setup ------------------------------------------------------------------
    def setup(self):
        for root in ROOTS:
            os.makedirs(root, mode=0o755, exist_ok=True)
            os.chmod(root, 0o755)
        os.chmod("/Library/Audio", 0o755)
        os.chmod(PLUGINS, 0o755)
        os.chmod("/Users", 0o755)
        for uid in USERS:
            os.mkdir(f"/Users/u{uid}", 0o700)
            os.chown(f"/Users/u{uid}", uid, uid)
            for root in ROOTS:
                for k in range(SLOTS):
                    self.model[self.dest(uid, root, k)] = None

    @staticmethod
    def dest(uid, root, k):
        return f"{root}/u{uid}-{k}.vst3" if k % 2 == 0 else f"{root}/u{uid}/n{k}/b.vst3"

    def start_helper(self, clean=False):
        faulty = self.rng.random() < self.args.fault_share and not clean
        ppm = self.rng.choice([500, 2000, 10000, 40000]) if faulty else 0
        self.helper.start(self.rng.getrandbits(32), ppm)
        self.counts["faulty_starts"] += faulty
        for c in self.clients.values():
            c.close()
        self.clients = {uid: Client(uid) for uid in USERS + [PINGER]}
        self.check_after_start()

    # checks -----------------------------------------------------------------
    def hidden_items(self):
        found = []
        for root in ROOTS:
            for dirpath, dirs, files in os.walk(root):
                found += [f"{dirpath}/{n}" for n in dirs + files if HIDDEN.match(n)]
        return found

    def record(self):
        try:
            with open(f"{STATE}/staged") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def check_clean(self, when):
        hidden = self.hidden_items()
        if hidden:
            raise Violation(f"{when}: hidden items left: {hidden[:5]}")
        if self.record().strip():
            raise Violation(f"{when}: the record of staged copies is not empty:\n{self.record()}")

    def check_dest(self, dest, allowed, remainder_of=None):
        seen = manifest(dest, copied=True)
        for m in allowed:
            if seen == m:
                self.model[dest] = m
                return
        if remainder_of is not None and is_remainder(seen, remainder_of):
            self.counts["remainders"] += 1
            self.model[dest] = seen
            return
        raise Violation(f"{dest} is neither of {len(allowed)} allowed states: "
                        f"{describe(seen)} vs {[describe(m) for m in allowed]}")

    def check_after_start(self):
        self.check_clean("after a start")
        for dest, m in self.model.items():
            self.check_dest(dest, [m])
        # Every client connected and served once: the level to come back to when idle.
        for uid, c in self.clients.items():
            self.exchange({c: {"id": "hello", "v": 1, "op": "ping"}})
        self.idle = self.helper.resources()

    def check_idle(self):
        fds, threads, rss = self.helper.resources()
        base_fds, base_threads, base_rss = self.idle
        if self.helper.faults == 0:
            self.check_clean("idle")
        for _ in range(200):  # a connection thread may still be finishing its last answer
            if (fds, threads) == (base_fds, base_threads) and rss <= base_rss + RSS_SLACK:
                return
            time.sleep(0.01)
            fds, threads, rss = self.helper.resources()
        raise Violation(f"idle: descriptors {fds} (level {base_fds}), threads {threads} "
                        f"(level {base_threads}), RSS {rss >> 20} MiB (level {base_rss >> 20} MiB)")

    # requests ---------------------------------------------------------------
    def new_request(self, uid):
        rng = self.rng
        self.serial += 1
        rid = f"r{self.serial}"
        root, k = rng.choice(ROOTS), rng.randrange(SLOTS)
        dest = self.dest(uid, root, k)
        op = rng.choices(["copy", "remove", "mkdir"], [6, 3, 1])[0]
        if op == "copy":
            src = f"/Users/u{uid}/s{self.serial}"
            can = make_tree(src, rng)
            chown_tree(src, uid)
            # What the helper's copy of it must be.
            new = {rel: (v[0], v[1] & 0o755, *v[2:]) if v[0] != "l" else v
                   for rel, v in manifest(src).items()}
            return {"id": rid, "v": 1, "op": "copy", "source": src, "dest": dest}, \
                dict(kind="copy", dests=[dest], new=new, can=can, src=src)
        if op == "remove":
            target = dest if rng.random() < 0.8 else f"{root}/u{uid}"
            dests = [d for d in self.model if d == target or d.startswith(target + "/")]
            return {"id": rid, "v": 1, "op": "remove", "path": target}, \
                dict(kind="remove", dests=dests or [dest])
        target = f"{root}/m{uid}/{rng.choice(['a', 'b'])}/{rng.choice(['c', 'd'])}"
        return {"id": rid, "v": 1, "op": "mkdir", "path": target}, dict(kind="mkdir", dests=[],
                                                                         target=target)

    def exchange(self, requests, kill=None, fill=None):
        """Sends every request at once, disrupts as told, collects answers: client -> answer."""
        for c, r in requests.items():
            c.send(r)
        sent = time.monotonic()
        killed = None
        filler = None
        if fill is not None and fill[0] == "during":
            filler = threading.Thread(target=self.fill, args=(fill[1], fill[2]))
            filler.start()
        if kill is not None:
            time.sleep(kill[1])
            killed = kill[0]
            self.stop_max = max(self.stop_max, self.helper.stop(killed))
        answers = {}
        deadline = sent + ANSWER_BOUND
        for c in requests:
            answers[c] = c.answer(deadline)
            if answers[c] is None and killed is None:
                raise Violation(f"uid {c.uid}: no answer to {requests[c]} within the bound "
                                f"(client {c.proc.poll()}, helper {self.helper.proc.poll()}, "
                                f"failing calls {self.helper.faults} ppm, "
                                f"helper threads {self.helper.threads()})\n{self.helper.stacks()}")
        if filler:
            filler.join()
        return answers, sent, killed

    def fill(self, delay, leave):
        time.sleep(delay)
        st = os.statvfs(PLUGINS)
        free = st.f_bavail * st.f_frsize
        try:
            fd = os.open(FILLER, os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                os.posix_fallocate(fd, 0, max(1, free - leave))
            finally:
                os.close(fd)
        except OSError:
            pass

    # one round --------------------------------------------------------------
    def round(self):
        rng = self.rng
        users = [u for u in USERS if rng.random() < 0.6] or [rng.choice(USERS)]
        planned = {uid: self.new_request(uid) for uid in users}
        kill = None
        if rng.random() < self.args.kill_rate:
            sig = signal.SIGKILL if rng.random() < 0.7 else signal.SIGTERM
            kill = (sig, rng.choice([0, 0.001, 0.003, 0.01, 0.03, 0.1]) * rng.random())
        fill = None
        if rng.random() < 0.05:
            fill = (rng.choice(["before", "during"]), rng.random() * 0.02,
                    rng.choice([0, 4096, 1 << 20, 8 << 20]))
            self.counts["fills"] += 1
            if fill[0] == "before":
                self.fill(0, fill[2])
        old = {d: self.model[d] for _, p in planned.values() for d in p["dests"]}
        requests = {self.clients[u]: planned[u][0] for u in users}
        requests[self.clients[PINGER]] = {"id": "p", "v": 1, "op": "ping"}
        answers, sent, killed = self.exchange(requests, kill, fill)
        if os.path.exists(FILLER):
            os.unlink(FILLER)
        self.check_ping(answers[self.clients[PINGER]], sent, killed)
        for uid in users:
            self.judge(planned[uid][1], answers[self.clients[uid]], old)
        self.counts["ops"] += len(users)
        self.counts["rounds"] += 1
        if killed is not None:
            self.counts["kills" if killed == signal.SIGKILL else "terms"] += 1
            self.start_helper()
        else:
            self.check_idle()
        for _, p in planned.values():
            if p.get("src"):
                subprocess.run(["rm", "-rf", p["src"]], check=True)

    def check_ping(self, answer, sent, killed):
        if answer is None:
            return  # the helper went away this round
        took = time.monotonic() - sent
        self.counts["pings"] += 1
        self.ping_max = max(self.ping_max, took)
        if not answer.get("ok") or took > PING_BOUND:
            raise Violation(f"ping answered {answer} after {took:.3f} s (bound {PING_BOUND} s)")

    def judge(self, plan, answer, old):
        ok = answer is not None and answer.get("ok") is True
        if answer is None:
            self.counts["unanswered"] += 1
        else:
            self.counts["ok" if ok else "failed"] += 1
        if plan["kind"] == "copy":
            dest, new = plan["dests"][0], plan["new"]
            if ok and not plan["can"]:
                raise Violation(f"a copy of {plan['src']} that must fail succeeded")
            if ok:
                allowed = [new]
            elif answer is not None or not plan["can"]:
                allowed = [old[dest]]
            else:
                allowed = [old[dest], new]
            self.check_dest(dest, allowed)
        elif plan["kind"] == "remove":
            for dest in plan["dests"]:
                if ok:
                    self.check_dest(dest, [None])
                else:
                    self.check_dest(dest, [old[dest], None], remainder_of=old[dest])
        elif ok and not os.path.isdir(plan["target"]):
            raise Violation(f"mkdir {plan['target']} answered ok, but there is no folder")

    def done(self):
        a = self.args
        return (a.ops and self.counts["ops"] >= a.ops) or \
            (a.seconds and time.monotonic() - self.start_time >= a.seconds)

    def run(self):
        self.setup()
        self.start_helper()
        while not self.done():
            self.round()
        self.helper.stop(signal.SIGTERM)
        self.start_helper(clean=True)  # the last check: what every earlier helper left
        self.helper.stop(signal.SIGTERM)


def describe(m):
    if m is None:
        return "absent"
    return f"{len(m)} items, top {m.get('', ('?',))[:2]}"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--ops", type=int, default=0, help="stop after this many operations")
    p.add_argument("--seconds", type=float, default=0, help="stop after this long")
    p.add_argument("--kill-rate", type=float, default=0.03, help="share of rounds with a kill")
    p.add_argument("--fault-share", type=float, default=0.5,
                   help="share of starts with failing file-system calls")
    args = p.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    if not args.ops and not args.seconds:
        args.seconds = 90
    log(f"torture: seed {args.seed} (replay: scripts/torture.sh --seed {args.seed})")
    t = Torture(args)
    t0 = time.monotonic()
    status = 0
    try:
        t.run()
    except Violation as v:
        log(f"VIOLATION in round {t.counts['rounds'] + 1}: {v}")
        status = 1
    finally:
        took = time.monotonic() - t0
        c = t.counts
        log(f"torture: seed {args.seed}, {took:.0f} s, {c['rounds']} rounds, {c['ops']} operations "
            f"({c['ok']} ok, {c['failed']} failed, {c['unanswered']} unanswered), "
            f"{c['kills']} SIGKILL + {c['terms']} SIGTERM, {c['fills']} fills, "
            f"{c['faulty_starts']} starts with failing calls, {c['remainders']} removal remainders, "
            f"{c['pings']} pings (slowest {t.ping_max * 1000:.0f} ms, bound {PING_BOUND * 1000:.0f}"
            f" ms), slowest stop {t.stop_max * 1000:.0f} ms")
        if status:
            log("--- helper log (last 30 lines)")
            with open(LOG, errors="replace") as f:
                log("".join(f.readlines()[-30:]))
    sys.exit(status)


if __name__ == "__main__":
    main()
