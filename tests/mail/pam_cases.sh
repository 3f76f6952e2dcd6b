#!/usr/bin/env bash
# The module's own cases through pamtester, on the service file mail_setup made (run after
# it, with /etc/pam.d bind-mounted; the servers need not run): the right password, a wrong
# one, an unknown name, a password holding a double quote, the account step alone (a known
# and an unknown name), and an unreadable store. Prints one line per case; exit 1
# when any failed.
set -uo pipefail
failed=0
ostrel() { (cd "$MAIL_DIR/ostrel" && runuser -u nobody -- "$MAIL_OSTREL" >/dev/null); }
# pamtester as the auth worker runs: as the mail account.
try() {
  local expect=$1 user=$2 password=$3
  shift 3
  local out
  out=$(printf '%s\n' "$password" | setpriv --reuid nobody --regid nogroup --clear-groups \
    pamtester ostrel "$user" "$@" 2>&1)
  if [[ $out == *"$expect"* ]]; then
    echo "ok    pamtester $user $*: $expect"
  else
    echo "FAIL  pamtester $user $*: expected '$expect', got: $out"
    failed=1
  fi
}
printf 'set pam-user Pam#pw1\n' | ostrel
try "successfully authenticated" pam-user 'Pam#pw1' authenticate acct_mgmt
try "Authentication failure" pam-user 'wrong' authenticate
try "Authentication failure" no-such-user 'Pam#pw1' authenticate
try "Authentication failure" pam-user 'Pam#pw1"' authenticate
try "account management done" pam-user '' acct_mgmt
try "User not known" no-such-user '' acct_mgmt
store=$MAIL_DIR/store/ostrel.db
chmod 000 "$store"
try "cannot retrieve authentication info" pam-user 'Pam#pw1' authenticate
chmod 600 "$store"
printf 'del pam-user\n' | ostrel
exit "$failed"
