# SPDX-License-Identifier: Apache-2.0
"""Starts the helper the way systemd starts a socket-activated Type=notify service: the socket
made and listening before the helper runs, passed as descriptor 3 with LISTEN_FDS=1 and
LISTEN_PID, readiness awaited on NOTIFY_SOCKET, standard output a stream JOURNAL_STREAM names.
Prints one line per fact for the test to compare. Runs inside the sandbox, as root."""
import os, socket, subprocess, sys

H, C = os.environ["H"], os.environ["C"]
SOCK = "/var/run/com.corvellan.nimbara.helper.sock"
USER = ["setpriv", "--reuid=1000", "--regid=1000", "--clear-groups"]


def listener(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    os.chmod(path, 0o666)
    s.listen(5)
    return s


notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind("/tmp/notify.sock")
notify.settimeout(10)


def start(sock, log, journal=True, pid="$$"):
    """The helper on `sock`; with `journal`, JOURNAL_STREAM names the log file it writes to;
    LISTEN_PID names the helper's own pid unless `pid` names another."""
    os.dup2(sock.fileno(), 3)
    out = open(log, "a")
    st = os.fstat(out.fileno())
    env = dict(os.environ, LISTEN_FDS="1", NOTIFY_SOCKET="/tmp/notify.sock",
               JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino + (0 if journal else 1)}")
    # bash execs the helper in place, so $$ is the helper's own pid.
    return subprocess.Popen(["bash", "-c", f'export LISTEN_PID={pid}; exec "$0"', H],
                            pass_fds=(3,), env=env, stdout=out, stderr=out)


def fact(name, value):
    print(f"{name}={value}", flush=True)


sock = listener(SOCK)
inode = os.stat(SOCK).st_ino
helper = start(sock, "/tmp/journal.log")
fact("ready", notify.recv(64).decode())
fact("ping", subprocess.run(USER + [C, "ping"], capture_output=True).returncode)
helper.terminate()
fact("exit", helper.wait(10))
fact("socket-kept", os.stat(SOCK).st_ino == inode)
# A client that connects while no helper runs waits in the socket's queue for the next one.
queued = subprocess.Popen(USER + [C, "ping"], stdout=subprocess.DEVNULL)
try:
    queued.wait(0.5)
    fact("queued-early-exit", queued.returncode)
except subprocess.TimeoutExpired:
    pass
helper = start(sock, "/tmp/plain.log", journal=False)
fact("queued-ping", queued.wait(10))
helper.terminate()
helper.wait(10)
# Sockets meant for another process are not taken: the helper binds its own, beside a listener.
helper = start(sock, "/tmp/plain.log", journal=False, pid="1")
fact("other-pid-exit", helper.wait(10))
# A socket bound elsewhere is not the helper's socket.
helper = start(listener("/tmp/other.sock"), "/tmp/journal.log")
fact("elsewhere-exit", helper.wait(10))
sys.stdout.write(open("/tmp/journal.log").read() + "--- plain\n" + open("/tmp/plain.log").read())
