#!/usr/bin/env bash
# POP3 logins through Dovecot: on Ostrel's store (the example configuration: passwords
# through pam_ostrel.so, homes from the store's view) against Dovecot's own passwd-file
# holding the same argon2id hash (so the same cost), two private instances on loopback,
# logins alternating, medians side by side. Runs in a private mount namespace whose
# /etc/pam.d is a scratch copy. Needs root and the Dovecot packages (.ci/mail-servers
# installs them); skipped without. Argument: the build folder holding ostrel and
# src/pam/pam_ostrel.so (bench/run passes build-bench).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build=$(cd "${1:-$root/build-bench}" && pwd)
source "$root/bench/mail_pair.sh"
mail_pair_enter mail_login_bench "$0" "$build"
# The measured instance's account, with ostrel's own hash cost; the same hash in the
# baseline's passwd-file.
mail_pair_setup "$build"
(cd "$store_dir/ostrel" &&
  printf 'set alice Bench#pass1 home=%s/mail/alice\nquit\n' "$store_dir" |
  runuser -u nobody -- "$build/ostrel" >/dev/null)
mail_pair_passwd_file alice
mail_pair_start

python3 - "$MAIL_POP3_PORT" "$file_pop3" <<'PY'
import poplib, statistics, sys, time
store_port, file_port = int(sys.argv[1]), int(sys.argv[2])
def login(port):
    start = time.perf_counter()
    client = poplib.POP3("127.0.0.1", port, timeout=30)
    client.user("alice")
    client.pass_("Bench#pass1")
    client.quit()
    return time.perf_counter() - start
for port in (store_port, file_port):  # warm both up
    for _ in range(3):
        login(port)
store, file = [], []
for _ in range(100):
    store.append(login(store_port))
    file.append(login(file_port))
a, b = statistics.median(store) * 1000, statistics.median(file) * 1000
print("store: min %.2f ms, median %.2f ms; passwd-file: min %.2f ms, median %.2f ms"
      % (min(store) * 1000, a, min(file) * 1000, b))
ratio = a / b
print("RESULT\tPOP3 login through Dovecot: pam_ostrel.so on the store against passwd-file, same argon2id cost"
      " (median)\t%.2f ms\t%.2f ms\t%.3fx\t<= 1.10x\t%s" % (a, b, ratio, "yes" if ratio <= 1.10 else "no"))
PY
