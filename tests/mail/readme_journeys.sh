#!/usr/bin/env bash
# The README's administrator journeys, walked as written on Debian's own packages, each in a
# throwaway copy of this machine: private mount, network, pid and UTS namespaces, overlays
# over /etc, /usr, /var, /srv, /home and /root (their upper layers in a scratch folder), a
# tmpfs on /run, loopback up, host name mail.example.org. The journeys:
#   store      "Installing", "Putting Postfix and Dovecot on Ostrel's accounts" and "Creating
#              the first accounts" of "Operating Ostrel"
#   directory  "Installing", then steps 1 to 4 of "Accounts in a directory" (Debian's slapd
#              set up by ostrel-setup-slapd) with the TLS and submission lines of the store's
#              block, which step 4 refers to
#   system     "Installing", the store's block, then the block of "The host's own accounts"
# Each code block runs in bash -euo pipefail as written, with these stand-ins only: apt-get
# of a package installed beforehand (by .ci/mail-servers, outside) answers as a first
# installation would, postfix and slapd configured through debconf as an administrator
# answers it, while apt-get of the package file runs for real; systemctl runs the package's
# init script, as Debian's init would; dpkg-buildpackage hands over the package built already
# (build/deb/, kept there by .ci/package-smoke for this commit, else built here the same way);
# lintian is left to .ci/package-smoke. A line that starts ostrel or doveadm to read what the
# reader types gets what the README says to type on its standard input.
# Then on each journey: logins over IMAP, POP3 and SMTP submission (587 and 465) through
# pam_ostrel.so, a message taken on port 25 and delivered by LMTP read back
# (tests/mail/journey_client.py), and the mode and owner of every file the recipes wrote.
# The machine's own files are checked unchanged afterwards. Needs root.
#
#   tests/mail/readme_journeys.sh [store|directory|system]...     (default: all three)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
repo=$PWD
export DEBIAN_FRONTEND=noninteractive
[[ $(id -u) == 0 ]] || { echo "readme-journeys: needs root" >&2; exit 1; }

# ---- outside: the package, then one throwaway system per journey --------------------------
if [[ -z ${JOURNEY:-} ]]; then
  arch=$(dpkg --print-architecture)
  # The package .ci/package-smoke built of this commit; else one built here as it builds it.
  deb=$(ls -t build/deb/ostrel_*_"$arch".deb 2>/dev/null | head -n 1 || true)
  [[ -n $deb && $(cat build/deb/commit 2>/dev/null) == "$(git rev-parse HEAD)" ]] || deb=""
  build_dir="" scratch=""
  trap 'rm -rf --one-file-system -- ${build_dir:+"$build_dir"} ${scratch:+"$scratch"}' EXIT
  if [[ -z $deb ]]; then
    build_dir=$(mktemp -d /tmp/ostrel-deb.XXXXXX)
    echo "readme-journeys: building the package (dpkg-buildpackage -us -uc -b)"
    git clone -q "$repo" "$build_dir/src"
    (cd "$build_dir/src" &&
      { dpkg-checkbuilddeps 2>/dev/null ||
        apt-get -o DPkg::Lock::Timeout=600 build-dep -y -qq --no-install-recommends .; } &&
      dpkg-buildpackage -us -uc -b) >"$build_dir/build.log" 2>&1 ||
      { tail -n 40 "$build_dir/build.log"; echo "FAIL dpkg-buildpackage"; exit 1; }
    mkdir -p build/deb
    rm -f build/deb/ostrel_*.deb
    cp "$build_dir"/ostrel_*_"$arch".deb build/deb/
    git -C "$build_dir/src" rev-parse HEAD >build/deb/commit
    deb=$(ls -t build/deb/ostrel_*_"$arch".deb | head -n 1)
  fi
  echo "readme-journeys: the package $deb"

  # What the recipes write on the machine, were they not in a throwaway copy of it.
  fingerprint() {
    hostname
    dpkg-query -W -f='${Status}\n' ostrel 2>&1 || true
    { find /etc/passwd /etc/shadow /etc/group /etc/gshadow /etc/hosts /etc/hostname /etc/mailname \
      /etc/corvex.ini /etc/ostrel /etc/pam.d /etc/postfix /etc/dovecot /etc/default/slapd \
      /etc/ldap /etc/ssl /etc/logrotate.d /var/lib/ldap /var/lib/ostrel /var/log/ostrel /srv \
      /home /usr/bin /usr/sbin /usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/security \
      /usr/share/doc/ostrel /var/spool/postfix -xdev -printf '%p %M %u:%g %s %T@\n' 2>/dev/null || true; } | sort
  }
  before=$(fingerprint)
  status=0
  journeys=("$@")
  ((${#journeys[@]})) || journeys=(store directory system)
  for journey in "${journeys[@]}"; do
    start=$SECONDS
    echo "== journey: $journey"
    scratch=$(mktemp -d /tmp/ostrel-journey.XXXXXX)
    JOURNEY=$journey JOURNEY_SCRATCH=$scratch JOURNEY_DEB=$repo/$deb \
      unshare --mount --net --pid --fork --kill-child --uts --propagation private --mount-proc \
      bash "$repo/tests/mail/readme_journeys.sh" || status=1
    rm -rf --one-file-system -- "$scratch"
    scratch=""
    echo "== journey $journey: $((SECONDS - start)) s"
  done
  if changed=$(diff <(printf '%s\n' "$before") <(fingerprint)); then
    echo "PASS the machine's own /etc, /usr, /var, /srv and /home are as they were"
  else
    echo "FAIL the journeys changed the machine's own files:"
    head -n 20 <<<"$changed"
    status=1
  fi
  exit "$status"
fi

# ---- inside: a throwaway copy of the machine ----------------------------------------------
scratch=$JOURNEY_SCRATCH
failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "PASS $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# "mode owner:group" of a file.
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null || echo missing; }
expect_mode() {
  local path=$1 want=$2
  check "$path is $want" test "$(mode_of "$path")" = "$want"
}

overlays=(/etc /usr /var /srv /home /root)
cleanup() {
  set +e
  local daemon
  for daemon in dovecot postfix slapd; do
    [[ -x /etc/init.d/$daemon ]] && /etc/init.d/$daemon stop >/dev/null 2>&1
  done
  umount -l /run 2>/dev/null
  for ((i = ${#overlays[@]} - 1; i >= 0; i--)); do umount -l "${overlays[i]}" 2>/dev/null; done
}
trap cleanup EXIT

for dir in "${overlays[@]}"; do
  mkdir -p "$scratch/upper$dir" "$scratch/work$dir"
  mount -t overlay overlay -o "lowerdir=$dir,upperdir=$scratch/upper$dir,workdir=$scratch/work$dir" "$dir"
done
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -m 1777 /run/lock
# Nothing below may write the machine's own files.
for dir in "${overlays[@]}"; do
  [[ $(findmnt -n -o FSTYPE --mountpoint "$dir") == overlay ]] ||
    { echo "FAIL $dir is not the throwaway copy" >&2; exit 1; }
done
hostname mail.example.org
echo mail.example.org >/etc/hostname
printf '127.0.1.1\tmail.example.org mail\n' >>/etc/hosts
ip link set lo up
ip address add 192.0.2.25/32 dev lo # a client outside mynetworks
# Package scripts start nothing; the journeys start the daemons through systemctl.
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d

# ---- the README's blocks --------------------------------------------------------------------
# The n-th (default first) sh block after the paragraph that starts with START, in SECTION.
readme_block() {
  awk -v section="## $1" -v start="$2" -v want="${3:-1}" '
    /^## / { in_section = ($0 == section); started = 0 }
    in_section && !started && index($0, start) == 1 { started = 1; n = 0 }
    started && /^```sh$/ { inside = (++n == want); next }
    /^```/ { if (inside) exit; next }
    inside' "$repo/README.md"
}

# What the reader types, put on standard input: a block whose first line starts ostrel
# with no command reads the rest of the block; a line `ostrel    # set ..., then quit` reads
# the commands of its comment; `doveadm auth test <user>    # asks for the password` reads
# the password the journey gave that user.
declare -A password_of
typed_input() {
  local block=$1 line first out="" command typed
  first=$(head -n 1 <<<"$block")
  if [[ $first =~ ^(runuser\ -u\ [a-z]+\ --\ )?ostrel[[:space:]]*$ ]]; then
    typed=$(tail -n +2 <<<"$block")
    remember_passwords "$typed"
    printf '%s <<'\''TYPED'\''\n%s\nTYPED\n' "$first" "$typed"
    return
  fi
  while IFS= read -r line; do
    if [[ $line =~ ^((runuser\ -u\ [a-z]+\ --\ )?ostrel)[[:space:]]+#[[:space:]]*(.*)$ ]]; then
      command=${BASH_REMATCH[1]} typed=${BASH_REMATCH[3]}
      typed=${typed//, then /$'\n'}
      [[ ${typed##*$'\n'} == quit ]] || typed+=$'\nquit'
      remember_passwords "$typed"
      out+="$command <<'TYPED'"$'\n'"$typed"$'\n'"TYPED"$'\n'
    elif [[ $line =~ ^(doveadm\ auth\ test\ ([^ ]+))[[:space:]]+#.*asks\ for\ the\ password ]]; then
      out+="${BASH_REMATCH[1]} <<'TYPED'"$'\n'"${password_of[${BASH_REMATCH[2]}]:-}"$'\n'"TYPED"$'\n'
    else
      out+=$line$'\n'
    fi
  done <<<"$block"
  printf '%s' "$out"
}
remember_passwords() {
  local line
  while IFS= read -r line; do
    [[ $line =~ ^set\ ([^ ]+)\ ([^ ]+) && ${BASH_REMATCH[2]} != "(NULL)" ]] &&
      password_of[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
  done <<<"$1"
  return 0
}

# The stand-ins, defined in the shell of every block.
stubs=$(
  cat <<'STUBS'
journey_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# A package installed beforehand, set up as its first installation sets it up.
journey_package() {
  if ! journey_installed "$1"; then
    case $1 in
      build-essential | dpkg-dev | devscripts | lintian) echo "  (left out: $1, for the build)"; return 0 ;;
    esac
    echo "apt-get: $1 was not installed before the journey (.ci/mail-servers installs it)" >&2
    return 1
  fi
  if [[ $1 == postfix && ! -e /etc/postfix/main.cf ]]; then
    printf '%s\n' 'postfix postfix/main_mailer_type select Internet Site' \
      'postfix postfix/mailname string mail.example.org' | debconf-set-selections
    dpkg-reconfigure -f noninteractive postfix >/dev/null 2>&1 || { echo "postfix: dpkg-reconfigure failed" >&2; return 1; }
  elif [[ $1 == slapd && ! -e /etc/ldap/slapd.d ]]; then
    local admin_pw
    admin_pw=$(head -c 18 /dev/urandom | base64)
    debconf-set-selections <<SEED
slapd slapd/no_configuration boolean false
slapd slapd/domain string example.org
slapd shared/organization string Example
slapd slapd/password1 password $admin_pw
slapd slapd/password2 password $admin_pw
slapd slapd/purge_database boolean true
slapd slapd/move_old_database boolean true
SEED
    dpkg-reconfigure -f noninteractive slapd >/dev/null 2>&1 || { echo "slapd: dpkg-reconfigure failed" >&2; return 1; }
  fi
}
apt-get() {
  local word files=""
  for word; do
    case $word in
      build-dep) echo "  (left out: apt-get build-dep, the package is built)"; return 0 ;;
      install | -*) ;;
      *.deb) files=yes ;;
      *) journey_package "$word" || return 1 ;;
    esac
  done
  if [[ -n $files ]]; then command apt-get "$@" </dev/null; fi
}
systemctl() {
  local action=$1 unit
  shift
  for unit; do /etc/init.d/"${unit%.service}" "$action" || return 1; done
}
dpkg-buildpackage() { echo "  (the package is built: $(basename "$JOURNEY_DEB"))"; cp "$JOURNEY_DEB" ..; }
lintian() { echo "  (left out: lintian; .ci/package-smoke runs it)"; }
STUBS
)

# Runs a block as written (what is typed on standard input excepted).
run_block() {
  local name=$1 block=$2 script
  [[ -n $block ]] || { echo "FAIL $name: no such block in README.md"; failures=$((failures + 1)); return 1; }
  typed_input "$block" >/run/journey-block.sh # not in a subshell: it notes the passwords
  script=$(cat /run/journey-block.sh)
  echo "-- $name"
  printf '%s\n' "$script" | sed 's/^/  | /'
  # Into a file: the daemons it starts keep their standard output open.
  # A refusal an ostrel session typed into prints fails the block too.
  if bash -euo pipefail -c "$stubs"$'\n'"$script" </dev/null >/run/journey-block.out 2>&1 &&
    ! grep -q -e '^-ERR' -e '^-DEAD' /run/journey-block.out; then
    sed 's/^/  > /' /run/journey-block.out
    echo "PASS $name runs as written"
  else
    sed 's/^/  > /' /run/journey-block.out
    echo "FAIL $name runs as written"
    failures=$((failures + 1))
    return 1
  fi
}

install_block=$(readme_block "Operating Ostrel" "**Installing.")
store_block=$(readme_block "Operating Ostrel" "**Putting Postfix and Dovecot on Ostrel's accounts.")
first_accounts_block=$(readme_block "Operating Ostrel" "**Creating the first accounts.")

# The package, from the repository root of a clone, as "Installing" says.
git -c safe.directory='*' clone -q "$repo" /root/ostrel
cd /root/ostrel
run_block "Installing" "$install_block" || exit 1
cd /

case $JOURNEY in
  store)
    run_block "the embedded store under Postfix and Dovecot" "$store_block" || exit 1
    run_block "Creating the first accounts" "$first_accounts_block" || exit 1
    login=alice.smith@example.org address=alice.smith@example.org
    ;;
  directory)
    for step in 1 2 3; do
      run_block "Accounts in a directory, step $step" \
        "$(readme_block "Accounts in a directory" "**$step. ")" || exit 1
    done
    # Step 4's "and TLS, 587, 465": the store block's lines for them, typed where it says so.
    tls_lines=$(awk '/^postconf -M / { on = 1 } on { print } on && /smtpd_tls_security_level=may/ { exit }' \
      <<<"$store_block")
    run_block "Accounts in a directory, step 4 (with the store's TLS and submission lines)" \
      "$(readme_block "Accounts in a directory" "**4. " | TLS=$tls_lines awk '
        { print } /# and TLS, 587, 465$/ { print ENVIRON["TLS"] }')" || exit 1
    login=alice.smith@example.org address=alice.smith@example.org
    ;;
  system)
    run_block "the embedded store under Postfix and Dovecot" "$store_block" || exit 1
    run_block "The host's own accounts" \
      "$(readme_block "The host's own accounts" "**Mail on the host's accounts.")" || exit 1
    login=alice@example.org address=alice@example.org
    ;;
esac

# ---- what a mail client sees --------------------------------------------------------------
user=${login%@*}
[[ $JOURNEY == system ]] || user=$login
password=${password_of[$user]:-}
check "the journey gave $user a password" test -n "$password"
log=/var/log/ostrel/ostrel.log
accepted_before=$(grep -c "PAM login from 127.0.0.1 accepted: user=$user service=ostrel" $log || true)
python3 "$repo/tests/mail/journey_client.py" "$login" "$address" 192.0.2.25 <<<"$password" ||
  failures=$((failures + 1))
accepted=$(($(grep -c "PAM login from 127.0.0.1 accepted: user=$user service=ostrel" $log || true) - accepted_before))
check "pam_ostrel.so accepted each of the client's logins ($accepted in the log)" test "$accepted" -ge 5
check "the log never holds the password" bash -c '! grep -qF -- "$0" /var/log/ostrel/ostrel.log' "$password"

# ---- who may read what the recipes wrote ------------------------------------------------
expect_mode /etc/corvex.ini "644 root:root"
expect_mode /etc/pam.d/ostrel "644 root:root"
expect_mode /etc/postfix/main.cf "644 root:root"
expect_mode /etc/postfix/master.cf "644 root:root"
expect_mode /etc/dovecot/conf.d/10-ostrel.conf "644 root:root"
expect_mode /etc/dovecot/conf.d/10-auth.conf "644 root:root"
expect_mode /etc/ssl/private/ssl-cert-snakeoil.key "640 root:ssl-cert"
check "Dovecot's certificate is the machine's" \
  test "$(readlink -f /etc/dovecot/private/dovecot.pem)" = /etc/ssl/certs/ssl-cert-snakeoil.pem
check "postconf -n warns of nothing" bash -c '! postconf -n 2>&1 >/dev/null | grep .'
home=/srv/mail/alice.smith
[[ $JOURNEY == system ]] && home=/home/$user
case $JOURNEY in
  store | directory)
    expect_mode /srv/mail "755 vmail:vmail"
    expect_mode "$home" "755 vmail:vmail"
    expect_mode "$home/Maildir" "700 vmail:vmail"
    expect_mode /var/log/ostrel "750 vmail:vmail"
    expect_mode $log "640 vmail:vmail"
    check "the mail owner vmail is a system account" test "$(id -u vmail)" -lt 1000
    ;;&
  store | directory)
    expect_mode /var/lib/ostrel "750 vmail:vmail"
    ;;&
  store)
    expect_mode /var/lib/ostrel/ostrel.db "600 vmail:vmail"
    expect_mode /etc/dovecot/dovecot-ostrel-sql.conf.ext "644 root:root"
    ;;
  directory)
    expect_mode /etc/ostrel "755 root:root"
    expect_mode /etc/ostrel/ldap.pw "600 vmail:vmail"
    expect_mode /etc/ostrel/dovecot.pw "600 root:root"
    expect_mode /etc/dovecot/dovecot-ostrel-ldap.conf.ext "600 root:root"
    check "no copy of Dovecot's file is left" test ! -e /etc/dovecot/dovecot-ostrel-ldap.conf.ext.new
    check "no store was made" test ! -e /var/lib/ostrel/ostrel.db
    expect_mode /etc/default/slapd "644 root:root"
    ;;
  system)
    expect_mode /var/log/ostrel "750 root:root"
    expect_mode $log "640 root:root"
    expect_mode /etc/passwd "644 root:root"
    expect_mode /etc/shadow "640 root:shadow"
    expect_mode /etc/group "644 root:root"
    expect_mode /etc/gshadow "640 root:shadow"
    expect_mode "$home" "700 $user:$user"
    expect_mode "$home/Maildir" "700 $user:$user"
    check "$user is a host account in the managed range" test "$(id -u "$user")" -ge 1000
    check "the files keep no lock or copy" \
      bash -c '! ls /etc/passwd- /etc/*.lock /etc/*.ostrel-journal 2>/dev/null | grep -v "^/etc/passwd-$"'
    ;;
esac
# Dovecot's files that hold a password are root's alone; no example file is left readable by
# others when it holds one.
for file in /etc/dovecot/dovecot-ostrel-*.conf.ext; do
  if grep -q '^dnpass' "$file"; then expect_mode "$file" "600 root:root"; fi
done
for file in /etc/dovecot/conf.d/auth-ostrel-*.conf.ext; do expect_mode "$file" "644 root:root"; done
# Everything in the store's and the log's directories is the user every ostrel runs as.
runs_as=vmail
[[ $JOURNEY == system ]] && runs_as=root
ostrel_dirs=(/var/log/ostrel)
[[ $JOURNEY == system ]] || ostrel_dirs+=(/var/lib/ostrel)
others=$(find "${ostrel_dirs[@]}" ! -user $runs_as)
check "everything in Ostrel's directories is $runs_as's${others:+ (not: $others)}" test -z "$others"
check "ostrel-doctor finds nothing wrong" ostrel-doctor

if ((failures)); then
  echo "-- dovecot's log"
  doveadm log errors 2>/dev/null | tail -n 20 || true
  grep -h -e dovecot -e postfix /var/log/mail.log 2>/dev/null | tail -n 30 || true
  echo "-- ostrel's log"
  tail -n 20 $log 2>/dev/null || true
  echo "journey $JOURNEY: $failures check(s) failed"
  exit 1
fi
echo "journey $JOURNEY: all checks passed"
