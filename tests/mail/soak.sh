#!/usr/bin/env bash
# Soak test: a private Dovecot on the store (tests/mail/servers.sh, lockout on) and
# tests/mail/soak.py against it for SECONDS (default 3600): logins with right and wrong
# passwords, accounts changed and listed, processes killed; then nothing lost, no login
# answered wrongly, the store whole, nothing growing. Runs in a private mount namespace
# whose /etc/pam.d is a scratch copy; everything lives in a scratch folder removed on every
# way out. Needs root and the packages .ci/soak installs.
# Usage: tests/mail/soak.sh [BUILD_DIR [SECONDS]]   (BUILD_DIR holds ostrel and src/pam)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-3600}
[[ $(id -u) == 0 ]] || { echo "soak: needs root" >&2; exit 1; }
if [[ -z ${OSTREL_IN_NAMESPACE:-} ]]; then
  OSTREL_IN_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$build" "$seconds"
fi
source "$root/tests/mail/servers.sh"

scratch=$(mktemp -d /tmp/oss.XXXXXX)
cleanup() {
  mail_stop 2>/dev/null || true
  sleep 0.5
  [[ -n ${MAIL_ETC_TARGET:-} ]] && umount "$MAIL_ETC_TARGET" 2>/dev/null
  rm -rf -- "$scratch"
}
trap cleanup EXIT
mail_setup "$scratch" "$build/ostrel" store "$build/src/pam/pam_ostrel.so"
mount --bind "$MAIL_ETC_COPY" "$MAIL_ETC_TARGET"
# The lockout counts every wrong password; the clients' wrong passwords vary and stay far
# below the thresholds, so that no account of the soak locks.
printf 'lockout_threshold 999\nlockout_account_threshold 9999\nlockout_window 1\n' \
  >>"$scratch/ostrel/ostrel.ini"
mkdir -p "$scratch/postfix/queue/private"  # Dovecot's SASL socket; no Postfix here
mail_start_dovecot
status=0
python3 "$root/tests/mail/soak.py" "$seconds" || status=1
if [[ $status != 0 ]]; then
  echo "-- dovecot.log (errors)"
  grep -v -e 'Info:' "$scratch/dovecot.log" | tail -n 30 || true
  echo "-- ostrel.log"
  tail -n 30 "$scratch/ostrel/ostrel.log" || true
fi
exit "$status"
