#!/usr/bin/env bash
# POP3 logins under load through Dovecot: 1, 8 and 32 clients logging in and out for a fixed
# time, on Ostrel's store through pam_ostrel.so (lockout on) against Dovecot's own
# passwd-file holding the same argon2id hashes, two private instances on loopback; logins/s
# and, at 32 clients, the 99th percentile of a login's time. Then the same with 1,000,000
# more accounts in the store (seeded through the bulk path) and as many lines in the
# passwd-file. Each concurrency runs store, passwd-file, passwd-file, store, so that both
# meet the same state of the machine. Runs in a private mount namespace whose /etc/pam.d is
# a scratch copy. Needs root and the Dovecot and Postfix packages (.ci/mail-servers
# installs them); skipped without. Argument: the build folder holding ostrel,
# src/pam/pam_ostrel.so and bench/store_scale_bench (bench/run passes build-bench).
# OSTREL_BENCH_LOAD_SECONDS: the length of each run (default 15); OSTREL_BENCH_LARGE: the
# accounts added for the second part (default 1000000; 0 leaves it out).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=$(cd "${1:-$root/build-bench}" && pwd)
seconds=${OSTREL_BENCH_LOAD_SECONDS:-15}
large=${OSTREL_BENCH_LARGE:-1000000}
source "$root/bench/mail_pair.sh"
mail_pair_enter mail_load_bench "$0" "$build"
mail_pair_setup "$build"
echo "lockout_threshold 5" >>"$store_dir/ostrel/ostrel.ini"
# 64 accounts, each client logging in with accounts of its own (POP3 allows a user ten
# sessions from one address; the clients stay well below that).
for i in $(seq -w 0 63); do
  printf 'set load%s Load#pass%s home=%s/mail/load%s\n' "$i" "$i" "$store_dir" "$i"
done | (cd "$store_dir/ostrel" && runuser -u nobody -- "$build/ostrel" >/dev/null)
db=$store_dir/store/ostrel.db
mail_pair_passwd_file 'load%'
[[ $(wc -l <"$file_dir/dovecot/users") == 64 ]] || { echo "not 64 accounts in the store"; exit 1; }
# Dovecot's auth process holds the whole passwd-file in memory: a million lines need more
# than the default limit of 256 MB (the process dies, "Auth process broken"). The same limit
# on both instances.
for dir in "$file_dir" "$store_dir"; do
  echo "default_vsz_limit = 2G" >>"$dir/dovecot/dovecot.conf"
done
mail_pair_start

# One measured part: prints its rows, with label after "POP3 logins through Dovecot".
measure() {
  python3 - "$MAIL_POP3_PORT" "$file_pop3" "$seconds" "$1" <<'PY'
import poplib, sys, threading, time
store_port, file_port, seconds, label = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
ACCOUNTS = ["load%02d" % i for i in range(64)]

def run(port, clients, length):
    """Logins of clients threads for length seconds: (logins, seconds, login times, errors)."""
    times, errors, lock = [], [], threading.Lock()
    stop = time.monotonic() + length
    def client(k):
        mine = ACCOUNTS[k::clients] if clients < len(ACCOUNTS) else [ACCOUNTS[k % len(ACCOUNTS)]]
        n = 0
        while time.monotonic() < stop:
            user = mine[n % len(mine)]
            n += 1
            start = time.perf_counter()
            try:
                c = poplib.POP3("127.0.0.1", port, timeout=60)
                c.user(user)
                c.pass_("Load#pass" + user[4:])
                c.quit()
            except Exception as e:
                with lock:
                    errors.append("%s: %s" % (user, e))
                continue
            with lock:
                times.append(time.perf_counter() - start)
    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(times), time.monotonic() - began, times, errors

def p99(values):
    values = sorted(values)
    return values[min(len(values) - 1, int(0.99 * len(values)))] if values else 0

for port in (store_port, file_port):  # warm both up
    run(port, 4, 2)
failed = False
for clients in (1, 8, 32):
    sides = {store_port: [0, 0.0, []], file_port: [0, 0.0, []]}
    for port in (store_port, file_port, file_port, store_port):
        n, s, t, errors = run(port, clients, seconds)
        if errors:
            print("%d failed logins, first: %s" % (len(errors), errors[0]))
            failed = True
        side = sides[port]
        side[0] += n
        side[1] += s
        side[2] += t
    store, file = sides[store_port], sides[file_port]
    if not store[0] or not file[0]:
        print("no logins on one side at %d clients" % clients)
        sys.exit(1)
    rs, rf = store[0] / store[1], file[0] / file[1]
    print("%d clients: store %d logins in %.1f s, p99 %.1f ms; passwd-file %d in %.1f s, p99 %.1f ms"
          % (clients, store[0], store[1], p99(store[2]) * 1000, file[0], file[1], p99(file[2]) * 1000))
    ratio = rs / rf
    print("RESULT\tPOP3 logins/s through Dovecot%s, %d client%s: pam_ostrel.so on the store against "
          "passwd-file, same argon2id cost\t%.1f/s\t%.1f/s\t%.3fx\t>= 0.95x\t%s"
          % (label, clients, "" if clients == 1 else "s", rs, rf, ratio, "yes" if ratio >= 0.95 else "no"))
    if clients == 32:
        a, b = p99(store[2]) * 1000, p99(file[2]) * 1000
        print("RESULT\tPOP3 login time through Dovecot%s, 32 clients, 99th percentile: pam_ostrel.so "
              "on the store against passwd-file\t%.1f ms\t%.1f ms\t%.3fx\t<= 1.20x\t%s"
              % (label, a, b, a / b, "yes" if a / b <= 1.2 else "no"))
sys.exit(1 if failed else 0)
PY
}

measure ""
if [[ $large -gt 0 ]]; then
  # A million more accounts: through the bulk path into the store (as the account that
  # owns it), the same names into the passwd-file with a hash each.
  start=$(date +%s)
  runuser -u nobody -- "$build/bench/store_scale_bench" --seed "$db" "$large"
  echo "store seeded with $large accounts in $(($(date +%s) - start)) s;" \
    "$(($(stat -c %s "$db") / 1024 / 1024)) MB"
  python3 - "$large" "$(head -n 1 "$file_dir/dovecot/users" | cut -d: -f2)" \
    >>"$file_dir/dovecot/users" <<'PY'
import sys
count, password = int(sys.argv[1]), sys.argv[2]
out = sys.stdout
for i in range(count):
    name = "%cuser%06d" % (chr(ord("a") + i % 26), i)
    out.write("%s:%s:65534:65534::/srv/mail/%s::\n" % (name, password, name))
PY
  echo "passwd-file: $(wc -l <"$file_dir/dovecot/users") lines"
  [[ $large == 1000000 ]] && label=" (1,000,000 more accounts)" || label=" ($large more accounts)"
  measure "$label"
fi
