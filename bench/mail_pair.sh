# Two private Dovecot instances for the login benchmarks, sourced by them: one on Ostrel's store through pam_ostrel.so (the example
# configuration), one on Dovecot's own passwd-file holding the same argon2id hashes, so that
# a login costs the same hash on both. Run in a private mount namespace (the store's PAM
# service is bind-mounted over /etc/pam.d).
#
#   mail_pair_enter NAME SCRIPT BUILD  skips the benchmark without root, Dovecot and Postfix;
#                                    else runs SCRIPT again in a private mount namespace
#   mail_pair_setup BUILD            both configured; store_dir, file_dir, file_pop3 set
#   <add the accounts to the store with ostrel>
#   mail_pair_passwd_file PATTERN    the store's accounts whose login is LIKE PATTERN, with
#                                    their hashes, into the passwd-file (homes made for them)
#   mail_pair_start                  starts both Dovecots; stopped and removed at exit
#
# After mail_pair_setup the MAIL_* variables are the store instance's.

source "$(dirname "${BASH_SOURCE[0]}")/../tests/mail/servers.sh"

mail_pair_enter() {
  local name=$1 script=$2 build=$3
  if [[ $(id -u) -ne 0 ]] || ! command -v dovecot >/dev/null || ! command -v postfix >/dev/null; then
    echo "$name: needs root, dovecot and postfix; skipped"
    exit 0
  fi
  if [[ -z ${OSTREL_IN_NAMESPACE:-} ]]; then
    OSTREL_IN_NAMESPACE=1 exec unshare --mount --propagation private "$script" "$build"
  fi
}

mail_pair_stop() {
  local dir
  for dir in "$store_dir" "$file_dir"; do
    [[ -f $dir/run/master.pid ]] && kill "$(cat "$dir/run/master.pid")" 2>/dev/null
  done
  sleep 0.5
  rm -rf -- "$store_dir" "$file_dir"
}

mail_pair_setup() {
  local build=$1
  store_dir=$(mktemp -d /tmp/osb.XXXXXX)
  file_dir=$(mktemp -d /tmp/osb.XXXXXX)
  trap mail_pair_stop EXIT
  mail_setup "$file_dir" "$build/ostrel" store "$build/src/pam/pam_ostrel.so"
  file_pop3=$MAIL_POP3_PORT
  file_imap=$MAIL_IMAP_PORT
  mail_setup "$store_dir" "$build/ostrel" store "$build/src/pam/pam_ostrel.so"
  mount --bind "$MAIL_ETC_COPY" "$MAIL_ETC_TARGET"
}

mail_pair_passwd_file() {
  python3 - "$store_dir/store/ostrel.db" "$file_dir" "$1" >"$file_dir/dovecot/users" <<'PY'
import os, sqlite3, sys
rows = sqlite3.connect(sys.argv[1]).execute(
    "SELECT login, password_hash FROM mail_accounts WHERE login LIKE ? ORDER BY login", (sys.argv[3],))
for login, hash in rows:
    home = os.path.join(sys.argv[2], "mail", login)
    os.makedirs(home, exist_ok=True)
    os.chown(home, 65534, 65534)
    print("%s:{ARGON2ID}%s:65534:65534::%s::" % (login, hash, home))
PY
  [[ -s $file_dir/dovecot/users ]] || { echo "no hashes in the store"; exit 1; }
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
  echo "hash parameters: $(cut -d'$' -f3-4 <<<"$(head -n 1 "$file_dir/dovecot/users")")"
}

mail_pair_start() {
  # No Postfix here: the folder of Dovecot's SASL socket is made by hand.
  mkdir -p "$file_dir/postfix/queue/private" "$store_dir/postfix/queue/private"
  MAIL_DIR=$file_dir MAIL_POP3_PORT=$file_pop3 MAIL_IMAP_PORT=$file_imap mail_start_dovecot
  mail_start_dovecot
}
