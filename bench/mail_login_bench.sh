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
build=${1:-$root/build-bench}
if [[ $(id -u) -ne 0 ]] || ! command -v dovecot >/dev/null || ! command -v postfix >/dev/null; then
  echo "mail_login_bench: needs root, dovecot and postfix; skipped"
  exit 0
fi
if [[ -z ${OSTREL_IN_NAMESPACE:-} ]]; then
  OSTREL_IN_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$build"
fi
source "$root/tests/mail/servers.sh"

store_dir=$(mktemp -d /tmp/osb.XXXXXX)
file_dir=$(mktemp -d /tmp/osb.XXXXXX)
stop_all() {
  for dir in "$store_dir" "$file_dir"; do
    [[ -f $dir/run/master.pid ]] && kill "$(cat "$dir/run/master.pid")" 2>/dev/null
  done
  sleep 0.5
  rm -rf -- "$store_dir" "$file_dir"
}
trap stop_all EXIT

# The baseline instance: the same configuration with a passwd-file in place of the store.
mail_setup "$file_dir" "$build/ostrel" store "$build/src/pam/pam_ostrel.so"
file_pop3=$MAIL_POP3_PORT
file_imap=$MAIL_IMAP_PORT
# The measured instance, and its account, with ostrel's own hash cost.
mail_setup "$store_dir" "$build/ostrel" store "$build/src/pam/pam_ostrel.so"
mount --bind "$MAIL_ETC_COPY" "$MAIL_ETC_TARGET"
(cd "$store_dir/ostrel" &&
  printf 'set alice Bench#pass1 home=%s/mail/alice\nquit\n' "$store_dir" |
  runuser -u nobody -- "$build/ostrel" >/dev/null)
hash=$(python3 -c 'import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute(
    "SELECT password_hash FROM mail_accounts WHERE login_key = ?", ("ALICE",)).fetchone()[0])' \
  "$store_dir/store/ostrel.db")
mkdir -p "$file_dir/mail/alice" && chown nobody:nogroup "$file_dir/mail/alice"
printf 'alice:{ARGON2ID}%s:65534:65534::%s/mail/alice::\n' "$hash" "$file_dir" >"$file_dir/dovecot/users"
cat >"$file_dir/dovecot/auth-passwd-file.conf.ext" <<CONF
passdb {
  driver = passwd-file
  args = $file_dir/dovecot/users
}
userdb {
  driver = passwd-file
  args = $file_dir/dovecot/users
}
CONF
sed -i -e 's|^!include auth-ostrel-sql.conf.ext|!include auth-passwd-file.conf.ext|' \
  -e 's|^!include auth-ostrel-pam.conf.ext|#&|' "$file_dir/dovecot/10-ostrel.conf"
# No Postfix here: the folder of its SASL socket is made by hand.
mkdir -p "$file_dir/postfix/queue/private" "$store_dir/postfix/queue/private"
MAIL_DIR=$file_dir MAIL_POP3_PORT=$file_pop3 MAIL_IMAP_PORT=$file_imap mail_start_dovecot
mail_start_dovecot
echo "hash parameters: $(cut -d'$' -f2-4 <<<"$hash")"

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
