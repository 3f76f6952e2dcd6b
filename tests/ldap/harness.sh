#!/usr/bin/env bash
# A private, throwaway slapd for Ostrel's directory tests.
#
#   eval "$(tests/ldap/harness.sh start)"   # starts it; prints the OSTREL_TEST_LDAP_* exports
#   tests/ldap/harness.sh stop              # stops it and removes its folder
#   eval "$(tests/ldap/harness.sh start-pair)"  # two servers that replicate each other
#   tests/ldap/harness.sh restart FOLDER N  # starts server N (1 or 2) of a pair again
#
# A pair is two providers of the same entries (multi-provider syncrepl over loopback):
# OSTREL_TEST_LDAP_URI then names both ("uri1 uri2", as account_db takes them), and
# OSTREL_TEST_LDAP_URI1, _URI2, _PID_FILE1 and _PID_FILE2 name each one.
#
# The server lives in a scratch folder under /tmp (short, because a unix socket path is
# limited to about 100 bytes), listens on that socket (ldapi://) and on a random loopback
# port, and holds: the base entry, ou=users, ou=groups with the groups Administrators,
# Users and Guests, the service account cn=svc,ou=system,<base> whose password is in a
# file only its owner can read, and the default password policy
# cn=default,ou=policies,<base>: five wrong passwords within 30 minutes lock an account for
# 30 minutes. Nothing outside the folder is touched.
#
# OSTREL_LDAP_SEED_LDIF names entries to load into a single server before it starts.
#
# Needs the packages slapd and ldap-utils (slapd preseeded with
# slapd/no_configuration=true, so that no system database is set up).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
base=${OSTREL_LDAP_SUFFIX:-dc=ostrel,dc=test}
modules=${OSTREL_LDAP_MODULES:-/usr/lib/ldap}
# A group must keep one member: when the last real one goes, the server puts this name in.
placeholder="cn=nobody,ou=system,$base"

fail() {
  echo "harness: $*" >&2
  exit 1
}

# Stops the server of folder $1 (bounded wait, then KILL; a stopped one is continued
# first, so that it can end).
stop_server() {
  local dir=$1 pid=""
  [[ -f $dir/slapd.pid ]] && pid=$(cat "$dir/slapd.pid" 2>/dev/null || true)
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

# Stops the server (or both servers of a pair) of folder $1 and removes the folder.
stop_dir() {
  local dir=$1
  # Only a folder this script made (it holds slapd.d, or a pair's s1 and s2) is removed.
  if [[ -n $dir && -d $dir/s1/slapd.d ]]; then
    stop_server "$dir/s1"
    stop_server "$dir/s2"
  elif [[ -n $dir && -d $dir/slapd.d ]]; then
    stop_server "$dir"
  else
    return 0
  fi
  rm -rf -- "$dir"
}

# write_config FOLDER [SERVER_ID PEER_URI PASSWORD_FILE]: the server's cn=config; with the
# last three, a provider that also replicates from its peer.
write_config() {
  local dir=$1 sid=${2:-} peer=${3:-} pwfile=${4:-} uid gid
  uid=$(id -u)
  gid=$(id -g)
  # A part not wanted stays an LDIF comment: an empty line would end its entry.
  local server_id="#" sync_module="#" syncrepl="#" syncprov="#"
  if [[ -n $sid ]]; then
    server_id="olcServerID: $sid"
    sync_module="olcModuleLoad: syncprov"
    syncrepl="olcSyncrepl: rid=00$sid provider=$peer bindmethod=simple binddn=\"cn=svc,ou=system,$base\" credentials=$(cat "$pwfile") searchbase=\"$base\" type=refreshAndPersist retry=\"1 +\" timeout=3 network-timeout=3
olcMultiProvider: TRUE"
    syncprov="
dn: olcOverlay={3}syncprov,olcDatabase={1}mdb,cn=config
objectClass: olcOverlayConfig
objectClass: olcSyncProvConfig
olcOverlay: {3}syncprov
olcSpCheckpoint: 100 1"
  fi
  cat >"$dir/config.ldif" <<CONFIG
dn: cn=config
objectClass: olcGlobal
cn: config
olcPidFile: $dir/slapd.pid
olcArgsFile: $dir/slapd.args
$server_id

dn: cn=module{0},cn=config
objectClass: olcModuleList
cn: module{0}
olcModulePath: $modules
olcModuleLoad: back_mdb
olcModuleLoad: argon2 m=19456 t=2 p=1
olcModuleLoad: ppolicy
olcModuleLoad: refint
olcModuleLoad: sssvlv
$sync_module

dn: cn=schema,cn=config
objectClass: olcSchemaConfig
cn: schema

include: file:///etc/ldap/schema/core.ldif
include: file:///etc/ldap/schema/cosine.ldif
include: file:///etc/ldap/schema/inetorgperson.ldif
include: file://$here/ostrel-schema.ldif

dn: olcDatabase={-1}frontend,cn=config
objectClass: olcDatabaseConfig
objectClass: olcFrontendConfig
olcDatabase: {-1}frontend
olcPasswordHash: {ARGON2}

dn: olcDatabase={0}config,cn=config
objectClass: olcDatabaseConfig
olcDatabase: {0}config
olcAccess: to * by dn.exact=gidNumber=$gid+uidNumber=$uid,cn=peercred,cn=external,cn=auth manage by * none

dn: olcDatabase={1}mdb,cn=config
objectClass: olcDatabaseConfig
objectClass: olcMdbConfig
olcDatabase: {1}mdb
olcSuffix: $base
olcDbDirectory: $dir/db
olcDbMaxSize: 1073741824
# A throwaway server: no flush to disk after each write.
olcDbNoSync: TRUE
olcRootDN: gidNumber=$gid+uidNumber=$uid,cn=peercred,cn=external,cn=auth
olcDbIndex: objectClass eq
olcDbIndex: uid eq,sub
olcDbIndex: member eq
olcDbIndex: entryCSN,entryUUID eq
$syncrepl
olcLimits: dn.exact="cn=svc,ou=system,$base" size=unlimited size.prtotal=unlimited time=unlimited
olcAccess: to attrs=userPassword by dn.exact="cn=svc,ou=system,$base" write by anonymous auth by * none
olcAccess: to dn.subtree="ou=users,$base" by dn.exact="cn=svc,ou=system,$base" write by self read by * none
olcAccess: to dn.subtree="ou=groups,$base" by dn.exact="cn=svc,ou=system,$base" write by * none
olcAccess: to * by dn.exact="cn=svc,ou=system,$base" read by * none

dn: olcOverlay={0}ppolicy,olcDatabase={1}mdb,cn=config
objectClass: olcOverlayConfig
objectClass: olcPPolicyConfig
olcOverlay: {0}ppolicy
olcPPolicyDefault: cn=default,ou=policies,$base
olcPPolicyHashCleartext: TRUE
# A locked account's bind carries accountLocked in the password policy response.
olcPPolicyUseLockout: TRUE

dn: olcOverlay={1}refint,olcDatabase={1}mdb,cn=config
objectClass: olcOverlayConfig
objectClass: olcRefintConfig
olcOverlay: {1}refint
olcRefintAttribute: member
olcRefintNothing: $placeholder

dn: olcOverlay={2}sssvlv,olcDatabase={1}mdb,cn=config
objectClass: olcOverlayConfig
objectClass: olcSssVlvConfig
olcOverlay: {2}sssvlv
olcSssVlvMax: 64
olcSssVlvMaxKeys: 2
olcSssVlvMaxPerConn: 16
$syncprov
CONFIG
}

write_base() {
  local dir=$1 hash group rdn=${base%%,*}
  hash=$(slappasswd -o module-path="$modules" -o module-load=argon2 -h '{ARGON2}' \
    -T "$dir/svc.pw") || fail "slappasswd failed"
  {
    cat <<BASE
dn: $base
objectClass: dcObject
objectClass: organization
dc: ${rdn#*=}
o: Ostrel test directory

dn: ou=system,$base
objectClass: organizationalUnit
ou: system

dn: cn=svc,ou=system,$base
objectClass: applicationProcess
objectClass: simpleSecurityObject
cn: svc
userPassword: $hash

dn: ou=policies,$base
objectClass: organizationalUnit
ou: policies

dn: cn=default,ou=policies,$base
objectClass: applicationProcess
objectClass: pwdPolicy
cn: default
pwdAttribute: userPassword
pwdLockout: TRUE
pwdMaxFailure: 5
pwdLockoutDuration: 1800
pwdFailureCountInterval: 1800

dn: ou=users,$base
objectClass: organizationalUnit
ou: users

dn: ou=groups,$base
objectClass: organizationalUnit
ou: groups
BASE
    for group in Administrators Users Guests; do
      printf '\ndn: cn=%s,ou=groups,%s\nobjectClass: groupOfNames\ncn: %s\nmember: %s\n' \
        "$group" "$base" "$group" "$placeholder"
    done
  } >"$dir/base.ldif"
}

start() {
  command -v slapd >/dev/null || fail "slapd is not installed"
  command -v ldapsearch >/dev/null || fail "ldap-utils is not installed"
  local dir
  dir=$(mktemp -d /tmp/osl.XXXXXX)
  trap 'stop_dir "$dir"' ERR
  chmod 700 "$dir"
  mkdir -p "$dir/slapd.d" "$dir/db"
  (umask 077 && printf %s "$(head -c 24 /dev/urandom | base64 | tr -d "/+=")" >"$dir/svc.pw")
  write_config "$dir"
  write_base "$dir"
  slapadd -q -n0 -F "$dir/slapd.d" -l "$dir/config.ldif" >"$dir/slapadd.log" 2>&1 ||
    { cat "$dir/slapadd.log" >&2; stop_dir "$dir"; fail "cn=config could not be loaded"; }
  slapadd -q -n1 -F "$dir/slapd.d" -l "$dir/base.ldif" >>"$dir/slapadd.log" 2>&1 ||
    { cat "$dir/slapadd.log" >&2; stop_dir "$dir"; fail "the base entries could not be loaded"; }
  # Entries given in bulk (benchmarks) are loaded offline: far faster than adding them.
  if [[ -n ${OSTREL_LDAP_SEED_LDIF:-} ]]; then
    slapadd -q -n1 -F "$dir/slapd.d" -l "$OSTREL_LDAP_SEED_LDIF" >>"$dir/slapadd.log" 2>&1 ||
      { cat "$dir/slapadd.log" >&2; stop_dir "$dir"; fail "the seed entries could not be loaded"; }
  fi

  local ldapi port uri="" tries
  ldapi="ldapi://$(printf %s "$dir/ldapi" | sed 's,/,%2F,g')"
  # A random port may be taken: try a few. slapd detaches once it listens (or fails).
  for tries in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    if timeout 20 slapd -F "$dir/slapd.d" -h "$ldapi ldap://127.0.0.1:$port/" \
      >>"$dir/slapd.log" 2>&1; then
      uri="ldap://127.0.0.1:$port"
      break
    fi
  done
  [[ -n $uri ]] || { cat "$dir/slapd.log" >&2; stop_dir "$dir"; fail "slapd did not start"; }
  local ready=""
  for _ in $(seq 100); do
    if timeout 5 ldapsearch -LLL -x -H "$uri" -s base -b "" namingContexts >/dev/null 2>&1; then
      ready=yes
      break
    fi
    sleep 0.1
  done
  [[ -n $ready ]] || { cat "$dir/slapd.log" >&2; stop_dir "$dir"; fail "slapd does not answer"; }
  trap - ERR

  local name value
  for name in DIR URI LDAPI_URI BASE BIND_DN BIND_PW_FILE; do
    case $name in
      DIR) value=$dir ;;
      URI) value=$uri ;;
      LDAPI_URI) value=$ldapi ;;
      BASE) value=$base ;;
      BIND_DN) value="cn=svc,ou=system,$base" ;;
      BIND_PW_FILE) value="$dir/svc.pw" ;;
    esac
    if [[ $name == LDAPI_URI ]]; then
      printf 'export OSTREL_TEST_LDAPI_URI=%q\n' "$value"
    else
      printf 'export OSTREL_TEST_LDAP_%s=%q\n' "$name" "$value"
    fi
  done
}

ldapi_of() {
  printf 'ldapi://%s' "$(printf %s "$1/ldapi" | sed 's,/,%2F,g')"
}

# Starts the configured server of folder $1 on the port in $1/port and waits until it
# answers. False when it does not start or answer.
launch() {
  local dir=$1 port uri
  port=$(cat "$dir/port")
  uri="ldap://127.0.0.1:$port"
  timeout 20 slapd -F "$dir/slapd.d" -h "$(ldapi_of "$dir") $uri/" >>"$dir/slapd.log" 2>&1 ||
    return 1
  for _ in $(seq 100); do
    timeout 5 ldapsearch -LLL -x -H "$uri" -s base -b "" namingContexts >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# Two providers of the same entries, each replicating from the other. Server 2 starts
# from a copy of server 1's entries (the same entryUUIDs), so that they agree at once.
start_pair() {
  command -v slapd >/dev/null || fail "slapd is not installed"
  command -v ldapsearch >/dev/null || fail "ldap-utils is not installed"
  local dir attempt n started=""
  dir=$(mktemp -d /tmp/osl.XXXXXX)
  trap 'stop_dir "$dir"' ERR
  chmod 700 "$dir"
  (umask 077 && printf %s "$(head -c 24 /dev/urandom | base64 | tr -d "/+=")" >"$dir/svc.pw")
  # Random ports may be taken: try a few pairs.
  for attempt in 1 2 3 4 5; do
    stop_server "$dir/s1"
    stop_server "$dir/s2"
    rm -rf "$dir/s1" "$dir/s2"
    for n in 1 2; do
      mkdir -p "$dir/s$n/slapd.d" "$dir/s$n/db"
      echo $((20000 + RANDOM % 30000)) >"$dir/s$n/port"
    done
    for n in 1 2; do
      write_config "$dir/s$n" "$n" "ldap://127.0.0.1:$(cat "$dir/s$((3 - n))/port")" "$dir/svc.pw"
      slapadd -q -n0 -F "$dir/s$n/slapd.d" -l "$dir/s$n/config.ldif" >"$dir/s$n/slapadd.log" 2>&1 ||
        { cat "$dir/s$n/slapadd.log" >&2; fail "cn=config of server $n could not be loaded"; }
    done
    cp "$dir/svc.pw" "$dir/s1/svc.pw"
    write_base "$dir/s1"
    slapadd -q -n1 -F "$dir/s1/slapd.d" -l "$dir/s1/base.ldif" >>"$dir/s1/slapadd.log" 2>&1 ||
      { cat "$dir/s1/slapadd.log" >&2; fail "the base entries could not be loaded"; }
    slapcat -n1 -F "$dir/s1/slapd.d" -l "$dir/copy.ldif" 2>>"$dir/s1/slapadd.log"
    slapadd -q -n1 -F "$dir/s2/slapd.d" -l "$dir/copy.ldif" >>"$dir/s2/slapadd.log" 2>&1 ||
      { cat "$dir/s2/slapadd.log" >&2; fail "the copy could not be loaded into server 2"; }
    if launch "$dir/s1" && launch "$dir/s2"; then
      started=yes
      break
    fi
  done
  [[ -n $started ]] || { cat "$dir"/s*/slapd.log >&2; stop_dir "$dir"; fail "the pair did not start"; }
  trap - ERR
  local uri1 uri2
  uri1="ldap://127.0.0.1:$(cat "$dir/s1/port")"
  uri2="ldap://127.0.0.1:$(cat "$dir/s2/port")"
  printf 'export OSTREL_TEST_LDAP_DIR=%q\n' "$dir"
  printf 'export OSTREL_TEST_LDAP_URI=%q\n' "$uri1 $uri2"
  printf 'export OSTREL_TEST_LDAP_URI1=%q\n' "$uri1"
  printf 'export OSTREL_TEST_LDAP_URI2=%q\n' "$uri2"
  printf 'export OSTREL_TEST_LDAP_PID_FILE1=%q\n' "$dir/s1/slapd.pid"
  printf 'export OSTREL_TEST_LDAP_PID_FILE2=%q\n' "$dir/s2/slapd.pid"
  printf 'export OSTREL_TEST_LDAPI_URI=%q\n' "$(ldapi_of "$dir/s1")"
  printf 'export OSTREL_TEST_LDAP_BASE=%q\n' "$base"
  printf 'export OSTREL_TEST_LDAP_BIND_DN=%q\n' "cn=svc,ou=system,$base"
  printf 'export OSTREL_TEST_LDAP_BIND_PW_FILE=%q\n' "$dir/svc.pw"
}

# Starts server $2 of the pair in folder $1 again, on its own port, with its own entries.
restart() {
  local dir=$1 n=$2
  [[ -d $dir/s$n/slapd.d ]] || fail "no server $n in $dir"
  stop_server "$dir/s$n"
  launch "$dir/s$n" || { cat "$dir/s$n/slapd.log" >&2; fail "server $n did not start again"; }
}

case ${1:-} in
  start) start ;;
  start-pair) start_pair ;;
  restart) restart "${2:-}" "${3:-}" ;;
  stop) stop_dir "${2:-${OSTREL_TEST_LDAP_DIR:-}}" ;;
  *)
    echo "usage: $0 start | start-pair | restart folder n | stop [folder]" >&2
    exit 2
    ;;
esac
