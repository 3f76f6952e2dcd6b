#!/usr/bin/env python3
"""Soak: for a set time, clients log in through Dovecot (POP3, every password checked by
pam_ostrel.so) with right and wrong passwords while one ostrel process adds, changes and
deletes accounts, another lists them with `search *`, and every few seconds one of those
two or a Dovecot auth worker is killed with SIGKILL. Then: every acknowledged change
present and every acknowledged delete gone, no login answered wrongly, the store's
integrity check clean, the -wal not growing, the memory of long-lived processes flat.

Run by tests/mail/soak.sh once the servers are up; reads the MAIL_* variables of
tests/mail/servers.sh. Usage: soak.py SECONDS. Prints its figures; exits 1 on any error."""

import os
import poplib
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

env = os.environ
DIR = env["MAIL_DIR"]
STORE = os.path.join(DIR, "store", "ostrel.db")
PORT = int(env["MAIL_POP3_PORT"])
CLIENTS = int(env.get("SOAK_CLIENTS", "16"))
STABLE = ["stable%02d" % i for i in range(32)]  # never changed: logins only
CHURN = ["churn%02d" % i for i in range(32)]  # added, changed and deleted as the run goes
KILL_EVERY = float(env.get("SOAK_KILL_EVERY", "4"))  # seconds between kills, on average
# A temporary failure within this many seconds of an auth worker's kill is that kill's.
KILL_SHADOW = 10.0
WORKER = "dovecot/auth -w"  # an auth worker's process title
# The processes whose memory is followed, by title: every one lives the whole run (the auth
# workers are each replaced after 100 requests, and the ostrel processes when killed).
ROLES = ("dovecot/auth", WORKER, "dovecot/anvil", "dovecot/log", "dovecot/config",
         "dovecot/stats")

lock = threading.Lock()  # the figures and the error list
errors = []
figures = {"logins accepted": 0, "logins refused": 0, "logins retried after a kill": 0,
           "changes": 0, "deletes": 0, "listings": 0, "kills of the changing ostrel": 0,
           "kills of the listing ostrel": 0, "kills of an auth worker": 0}
stop = threading.Event()
last_worker_kill = [0.0]


def count(name, n=1):
    with lock:
        figures[name] += n


def error(text):
    with lock:
        errors.append(text)
    print("ERROR " + text, flush=True)


def guarded(target, *args):
    """Runs one thread's loop: an exception that ends it early is an error, not a thread
    that stops without a word while the figures go on."""
    try:
        target(*args)
    except Exception as e:
        error("%s stopped: %s: %s" % (target.__name__, type(e).__name__, e))


class Ostrel:
    """A long-lived ostrel reading commands on its standard input, as the mail account, in
    the work directory; started again when it was killed."""

    def __init__(self):
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([env["MAIL_OSTREL"]], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1,
                                     cwd=os.path.join(DIR, "ostrel"), user="nobody",
                                     group="nogroup", extra_groups=[])

    def command(self, line):
        """The reply lines of one command, or None when the process died before its end
        (it is started again)."""
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
            lines = []
            while True:
                reply = self.proc.stdout.readline()
                if not reply:
                    raise BrokenPipeError
                lines.append(reply.rstrip("\n"))
                if not reply.startswith("+DATA"):
                    return lines
        except (BrokenPipeError, ValueError):
            self.proc.wait()
            self.start()
            return None

    def close(self):
        try:
            self.proc.communicate("quit\n", timeout=30)
        except (BrokenPipeError, ValueError):
            pass


def pop3(user, password):
    """'ok', 'refused' (wrong password or unknown user), or 'temporary' with the answer."""
    try:
        client = poplib.POP3("127.0.0.1", PORT, timeout=60)
    except OSError as e:
        return "temporary", "no connection: %s" % e
    try:
        client.user(user)
        client.pass_(password)
        client.quit()
        return "ok", ""
    except poplib.error_proto as e:
        # A server's answer comes as bytes, a connection closed early as a text.
        text = e.args[0] if e.args else ""
        if isinstance(text, bytes):
            text = text.decode(errors="replace")
        return ("refused" if "[AUTH]" in text else "temporary"), text
    except OSError as e:
        return "temporary", str(e)
    finally:
        client.close()


class Account:
    """What ostrel acknowledged of an account: the password it holds, None when absent;
    while a change is unacknowledged (its ostrel was killed), the states it may be in."""

    def __init__(self, password):
        self.possible = [password]
        self.lock = threading.Lock()


accounts = {}
passwords_made = [0]


def new_password():
    passwords_made[0] += 1
    return "Soak#%d-%d" % (passwords_made[0], random.randrange(10**6))


def changer(ostrel):
    """Adds, changes and deletes the churning accounts, one command at a time."""
    while not stop.is_set():
        name = random.choice(CHURN)
        account = accounts[name]
        with account.lock:
            now = account.possible[0] if len(account.possible) == 1 else "?"
            if now is None or now == "?" or random.random() < 0.6:
                password = new_password()
                replies = ostrel.command("set %s %s home=%s/mail/%s" % (name, password, DIR, name))
                acknowledged = replies is not None and replies[-1].startswith("+OK") and \
                    replies[-1].endswith("added to database.")
                target = password
            else:
                replies = ostrel.command("del " + name)
                acknowledged = replies == ["+OK Deleted user succesfully."]
                target = None
            if replies is None:
                account.possible = list(set(account.possible + [target]))
            elif acknowledged:
                account.possible = [target]
                count("changes" if target else "deletes")
            else:
                error("%s: unexpected reply %r" % (name, replies))
        time.sleep(0.02)


def lister(ostrel):
    """Lists every account: the stable ones are always there."""
    while not stop.is_set():
        replies = ostrel.command("search *")
        if replies is not None:
            names = {line.split()[1] for line in replies if line.startswith("+DATA")}
            missing = [n for n in STABLE if n not in names]
            if missing or not replies[-1].startswith("+OK"):
                error("search *: %d stable accounts missing, last line %r" %
                      (len(missing), replies[-1]))
            count("listings")
        time.sleep(0.5)


def client(seed):
    rng = random.Random(seed)
    while not stop.is_set():
        name = rng.choice(CHURN if rng.random() < 0.3 else STABLE)
        account = accounts[name]
        if not account.lock.acquire(blocking=False):
            continue
        try:
            if len(account.possible) != 1:
                continue
            right = account.possible[0]
            if right is not None and rng.random() < 0.7:
                password, expected = right, "ok"
            else:
                # Wrong passwords vary: a repeated one would count only once.
                password, expected = "Wrong#%d" % rng.randrange(10**9), "refused"
            started = time.monotonic()
            got, text = pop3(name, password)
            if got == "temporary" and started - last_worker_kill[0] < KILL_SHADOW:
                count("logins retried after a kill")
                continue
            if got != expected:
                error("login of %s with the %s password: %s %s (%.1f s after an auth worker's "
                      "kill)" % (name, "right" if expected == "ok" else "wrong", got, text,
                                 started - last_worker_kill[0]))
            else:
                count("logins accepted" if got == "ok" else "logins refused")
        finally:
            account.lock.release()


def children_of(parent):
    """(pid, command line) of the processes whose parent is parent."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                ppid = int(stat.read().rsplit(")", 1)[1].split()[1])
            if ppid != parent:
                continue
            with open("/proc/%s/cmdline" % entry, "rb") as cmd:
                found.append((int(entry), cmd.read().replace(b"\0", b" ").decode().strip()))
        except (OSError, IndexError, ValueError):
            pass
    return found


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def master_pid():
    with open(os.path.join(DIR, "run", "master.pid")) as f:
        return int(f.read().strip())


def killer(changing, listing):
    rng = random.Random(7)
    while not stop.wait(rng.uniform(0.5, 1.5) * KILL_EVERY):
        target = rng.choice(["changing", "listing", "worker"])
        if target == "worker":
            workers = [pid for pid, cmd in children_of(master_pid()) if cmd == WORKER]
            if not workers:
                continue
            last_worker_kill[0] = time.monotonic()
            os.kill(rng.choice(workers), signal.SIGKILL)
            count("kills of an auth worker")
        else:
            proc = (changing if target == "changing" else listing).proc
            try:
                proc.send_signal(signal.SIGKILL)
            except ProcessLookupError:
                continue
            count("kills of the %s ostrel" % target)


samples = []  # (time, {role: rss KB}, wal bytes)


def monitor(changing, listing):
    master = master_pid()
    while not stop.wait(1.0):
        roles = {"dovecot master": rss_kb(master)}
        for pid, cmd in children_of(master):
            if cmd in ROLES:
                roles[cmd] = max(roles.get(cmd) or 0, rss_kb(pid) or 0)
        roles["changing ostrel"] = rss_kb(changing.proc.pid)
        roles["listing ostrel"] = rss_kb(listing.proc.pid)
        try:
            wal = os.path.getsize(STORE + "-wal")
        except OSError:
            wal = 0
        samples.append((time.monotonic(), roles, wal))


def tenth_median(role, part):
    """The median sample of role in the first (part 0) or last (part 9) tenth: an ostrel
    holds the hash's memory only while it hashes."""
    n = len(samples)
    chosen = samples[: max(1, n // 10)] if part == 0 else samples[n - max(1, n // 10):]
    values = sorted(s[1].get(role) for s in chosen if s[1].get(role))
    return values[len(values) // 2] if values else None


def final_checks():
    ostrel = Ostrel()
    try:
        for name in STABLE + CHURN:
            account = accounts[name]
            reply = ostrel.command("lookup " + name)[-1]
            present = reply.startswith("+OK")
            if not present and reply != "-ERR User %s not found." % name:
                error("lookup %s: %s" % (name, reply))
                continue
            allowed = [p for p in account.possible if (p is not None) == present]
            if not allowed:
                error("%s is %s after an acknowledged %s" %
                      (name, "present" if present else "gone",
                       "delete" if present else "change"))
                continue
            if present:
                checks = [ostrel.command("check %s %s" % (name, p))[-1] for p in allowed]
                if not any(c.startswith("+OK") for c in checks):
                    error("%s: the acknowledged password does not check: %r" % (name, checks))
    finally:
        ostrel.close()


def main():
    seconds = float(sys.argv[1])
    setup = Ostrel()
    for name in STABLE + CHURN:
        password = new_password()
        replies = setup.command("set %s %s home=%s/mail/%s" % (name, password, DIR, name))
        if not replies or not replies[-1].endswith("added to database."):
            print("set %s: %r" % (name, replies))
            return 1
        accounts[name] = Account(password)
    setup.close()

    changing, listing = Ostrel(), Ostrel()
    loops = [(changer, changing), (lister, listing), (killer, changing, listing),
             (monitor, changing, listing)] + [(client, i) for i in range(CLIENTS)]
    threads = [threading.Thread(target=guarded, args=loop) for loop in loops]
    started = time.monotonic()
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - started
    changing.close()
    listing.close()

    final_checks()
    db = sqlite3.connect("file:%s?mode=ro" % STORE, uri=True)
    integrity = db.execute("PRAGMA integrity_check").fetchall()
    db.close()
    if integrity != [("ok",)]:
        error("integrity check: %r" % integrity[:5])

    n = len(samples)
    print("soak: %.0f s, %d clients, %d samples" % (elapsed, CLIENTS, n))
    if n >= 10:
        wal_first = max(s[2] for s in samples[: n // 2])
        wal_last = max(s[2] for s in samples[n - n // 10:])
        print("-wal: largest %d KB in the first half, %d KB in the last tenth" %
              (wal_first // 1024, wal_last // 1024))
        if wal_last > 2 * wal_first + (1 << 20):
            error("the -wal keeps growing")
        roles = sorted({r for s in samples for r in s[1]})
        for role in roles:
            first, last = tenth_median(role, 0), tenth_median(role, 9)
            if first is None or last is None:
                continue
            print("memory of %s: %d KB in the first tenth, %d KB in the last" %
                  (role, first, last))
            # Flat: within a tenth and 1 MB.
            if last > first * 1.10 + 1024:
                error("%s grows: %d KB to %d KB" % (role, first, last))
    for name, value in figures.items():
        print("%s: %d" % (name, value))
    logins = figures["logins accepted"] + figures["logins refused"]
    print("logins done: %d (%.1f/s); changes done: %d; kills survived: %d; errors: %d" %
          (logins, logins / elapsed, figures["changes"] + figures["deletes"],
           sum(v for k, v in figures.items() if k.startswith("kills")), len(errors)))
    return 1 if errors or logins == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
