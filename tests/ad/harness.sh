#!/usr/bin/env bash
# A private, throwaway Active Directory domain controller (Samba) for Ostrel's domain tests.
#
#   eval "$(tests/ad/harness.sh start)"        # provisions and starts one; prints the
#                                              # OSTREL_TEST_AD_* exports
#   tests/ad/harness.sh stop [FOLDER]          # stops it and removes its folder
#   tests/ad/harness.sh age-password FOLDER USER DAYS
#                                              # sets USER's password DAYS days back (the
#                                              # DC is stopped and started around it)
#
# The DC serves the realm OSTREL.TEST on loopback only, at OSTREL_AD_IP (default
# 127.0.0.2, clear of services on 127.0.0.1), with LDAPS and StartTLS under a certificate
# of its own test CA (ca.pem in the folder). The harness adds the container
# OU=Mail,DC=ostrel,DC=test for the tests' accounts, the service account svc (a domain
# administrator) whose password is in a file only its owner can read, the plain user
# plain (password in plain.pw) and a domain policy the account transcripts can live with:
# no complexity, no minimum length or age, no history, no lockout. Tests that need the
# domain's stricter rules set them and put them back.
#
# Needs root and the packages samba-ad-dc, samba-ad-provision, ldap-utils and openssl.
set -euo pipefail

ip_addr=${OSTREL_AD_IP:-127.0.0.2}
realm=OSTREL.TEST
base=DC=ostrel,DC=test
adminpass='Adm1n-Pass.2024'

fail() {
  echo "ad harness: $*" >&2
  exit 1
}

tool() { samba-tool "$@" -s "$dir/etc/smb.conf" >/dev/null; }

# Every process of the DC's tree, the master first.
tree() {
  local p
  echo "$1"
  for p in $(ps -o pid= --ppid "$1" 2>/dev/null); do tree "$p"; done
}

stop_dc() {
  local pid all left i
  [[ -f $1/run/harness.pid ]] || return 0
  pid=$(cat "$1/run/harness.pid")
  if kill -0 "$pid" 2>/dev/null; then
    all=$(tree "$pid")
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 150); do
      left=""
      for p in $all; do kill -0 "$p" 2>/dev/null && left="$left $p"; done
      [[ -z $left ]] && break
      sleep 0.1
    done
    [[ -n $left ]] && kill -KILL $left 2>/dev/null || true
  fi
  rm -f "$1/run/harness.pid"
}

start_dc() {
  local i pid
  samba -i -M single -s "$dir/etc/smb.conf" --maximum-runtime=7200 \
    </dev/null >"$dir/log/samba.out" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/run/harness.pid"
  for i in $(seq 1 240); do
    kill -0 "$pid" 2>/dev/null || { tail -20 "$dir/log/samba.out" >&2; fail "samba ended during start"; }
    if ldapsearch -x -H "ldap://$ip_addr" -b '' -s base dsServiceName >/dev/null 2>&1 &&
      LDAPTLS_CACERT=$dir/tls/ca.pem ldapsearch -x -H "ldaps://$ip_addr" -b '' -s base \
        dsServiceName >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.25
  done
  stop_dc "$dir"
  fail "not ready after 60 s"
}

make_tls() {
  local d=$dir/tls
  mkdir -p "$d"
  chmod 700 "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ostrel test CA" \
    -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=dc1.ostrel.test" -keyout "$d/key.pem" \
    -out "$d/req.pem" 2>/dev/null
  printf 'subjectAltName=DNS:dc1.ostrel.test,DNS:dc1,IP:%s\nextendedKeyUsage=serverAuth\n' \
    "$ip_addr" >"$d/ext.cnf"
  openssl x509 -req -in "$d/req.pem" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
    -days 30 -extfile "$d/ext.cnf" -out "$d/cert.pem" 2>/dev/null
  chmod 600 "$d/key.pem" "$d/ca.key"
}

cmd_start() {
  dir=$(mktemp -d /tmp/ostrel-ad-XXXXXX)
  trap 'stop_dc "$dir"; rm -rf "$dir"' EXIT
  mkdir -p "$dir/log" "$dir/run"
  : >"$dir/empty.conf"
  make_tls
  samba-tool domain provision -s "$dir/empty.conf" --targetdir="$dir" --realm="$realm" \
    --domain=OSTREL --server-role=dc --dns-backend=NONE --host-name=dc1 \
    --host-ip="$ip_addr" --adminpass="$adminpass" \
    --option="interfaces=$ip_addr/8" --option="bind interfaces only=yes" \
    --option="log file=$dir/log/log.%m" --option="pid directory=$dir/run" \
    --option="ncalrpc dir=$dir/run/ncalrpc" --option="panic action=" \
    --option="server services=-nbt -wrepl -ntp_signd -dnsupdate -dns" \
    --option="tls enabled=yes" --option="tls keyfile=$dir/tls/key.pem" \
    --option="tls certfile=$dir/tls/cert.pem" --option="tls cafile=$dir/tls/ca.pem" \
    --option="old password allowed period=0" \
    --option="ldb:nosync=true" >"$dir/log/provision.log" 2>&1 ||
    { tail -20 "$dir/log/provision.log" >&2; fail "provision failed"; }
  # Provisioning leaves this option out of the smb.conf it writes, and the DC's default then
  # takes a replaced password for another hour.
  grep -qi '^[[:space:]]*old password allowed period' "$dir/etc/smb.conf" ||
    sed -i '/^\[global\]/a\\told password allowed period = 0' "$dir/etc/smb.conf"
  tool user setexpiry Administrator --noexpiry
  tool domain passwordsettings set --complexity=off --min-pwd-length=0 --min-pwd-age=0 \
    --max-pwd-age=0 --history-length=0 --account-lockout-threshold=0
  tool ou create "OU=Mail,$base"
  head -c 18 /dev/urandom | base64 | tr -d '\n' >"$dir/svc.pw"
  printf 'Aa1!' >>"$dir/svc.pw"
  chmod 600 "$dir/svc.pw"
  tool user create svc "$(cat "$dir/svc.pw")" --userou=CN=Users
  tool user setexpiry svc --noexpiry
  tool group addmembers "Domain Admins" svc
  printf 'Plain-User.1' >"$dir/plain.pw"
  chmod 600 "$dir/plain.pw"
  tool user create plain "$(cat "$dir/plain.pw")" --userou=CN=Users
  start_dc
  trap - EXIT
  printf 'export OSTREL_TEST_AD_DIR=%q\n' "$dir"
  printf 'export OSTREL_TEST_AD_HARNESS=%q\n' "$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
  printf 'export OSTREL_TEST_AD_URI=%q\n' "ldaps://$ip_addr"
  printf 'export OSTREL_TEST_AD_STARTTLS_URI=%q\n' "ldap://$ip_addr"
  printf 'export OSTREL_TEST_AD_BASE=%q\n' "OU=Mail,$base"
  printf 'export OSTREL_TEST_AD_BIND_DN=%q\n' "CN=svc,CN=Users,$base"
  printf 'export OSTREL_TEST_AD_BIND_PW_FILE=%q\n' "$dir/svc.pw"
  printf 'export OSTREL_TEST_AD_PLAIN_DN=%q\n' "CN=plain,CN=Users,$base"
  printf 'export OSTREL_TEST_AD_PLAIN_PW_FILE=%q\n' "$dir/plain.pw"
  printf 'export OSTREL_TEST_AD_CA_FILE=%q\n' "$dir/tls/ca.pem"
}

cmd_age_password() {
  dir=$1
  local part value
  ip_addr=$(sed -n 's/^[[:space:]]*interfaces = \([0-9.]*\).*/\1/p' "$dir/etc/smb.conf")
  stop_dc "$dir"
  part="$dir/private/sam.ldb.d/$(echo "$base" | tr 'a-z' 'A-Z').ldb"
  value=$((($(date +%s) - $3 * 86400 + 11644473600) * 10000000))
  # The DC accepts only 0 and -1 for pwdLastSet; its partition file takes any value.
  /usr/bin/python3 - "$part" "$2" "$value" <<'PY'
import sys, ldb
part, dn, value = sys.argv[1:4]
db = ldb.Ldb()
db.connect("tdb://" + part)
m = ldb.Message()
m.dn = ldb.Dn(db, dn)
m["pwdLastSet"] = ldb.MessageElement(value, ldb.FLAG_MOD_REPLACE, "pwdLastSet")
db.modify(m)
PY
  start_dc
}

case ${1:-} in
  start) cmd_start ;;
  stop)
    dir=${2:-${OSTREL_TEST_AD_DIR:-}}
    [[ -n $dir && -d $dir ]] || exit 0
    stop_dc "$dir"
    [[ $dir == /tmp/ostrel-ad-* ]] && rm -rf "$dir"
    ;;
  age-password) cmd_age_password "$2" "$3" "$4" ;;
  *)
    sed -n '2,20p' "$0"
    exit 2
    ;;
esac
