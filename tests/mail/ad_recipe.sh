#!/usr/bin/env bash
# The README's "Accounts in an Active Directory domain", run as written, for the domain pass
# of .ci/mail-servers: its shell blocks (all but the tests') against the domain controller of
# tests/ad/harness.sh, with the realm's and the controller's names put in as a reader puts
# in their own, the passwords typed at the prompts, and the commands that restart services
# left out. Then who may read what they wrote, what the two accounts they made may and may
# not do in the domain, and the pass's mail servers switched to those accounts (ostrel binds
# as the delegated service account, Dovecot searches as the reader), so that
# tests/mail/check_logins.py runs on them. Needs the OSTREL_TEST_AD_* and MAIL_* variables,
# root, and /etc bind-mounted on the pass's scratch copy, which this host, playing the
# controller and the mail host at once, writes. Prints one line per check; exits 1 when one
# failed.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
repo=$PWD
[[ $(stat -c %d:%i /etc) == $(stat -c %d:%i "$MAIL_ETC_COPY") ]] ||
  { echo "ad_recipe: /etc is not the scratch copy" >&2; exit 1; }

work=$(mktemp -d /tmp/ad-recipe.XXXXXX)
chmod 755 "$work"
cleanup() {
  umount /usr/share/doc 2>/dev/null || true
  umount /var/log 2>/dev/null || true
  rm -rf -- "$work"
}
trap cleanup EXIT

failures=0
check() {
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok    ad recipe: $what"; else
    echo "FAIL  ad recipe: $what"
    failures=$((failures + 1))
  fi
}
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null || echo missing; }

# ---- what came before: the package, the store's steps, a fresh domain ---------------------
realm_dn=DC=ostrel,DC=test realm=ostrel.test dc=dc1.ostrel.test
ip=${OSTREL_TEST_AD_URI#ldaps://}
# This host is the controller too: samba-tool finds the harness's DC through smb.conf.
mkdir -p /etc/samba
cp "$OSTREL_TEST_AD_DIR/etc/smb.conf" /etc/samba/smb.conf
samba-tool ou delete "OU=Mail,$realm_dn" >/dev/null # the harness's; a new domain has none
# A new domain's password rules (the harness relaxes them): every password typed below and
# every change check_logins.py makes through ostrel must pass them. The history stays off:
# with one, Samba lets the previous password log on for an hour after a reset unless the
# DC's smb.conf says `old password allowed period = 0` (the README says so), and the
# harness's smb.conf does not.
samba-tool domain passwordsettings set --complexity=on --min-pwd-length=7 --min-pwd-age=1 \
  >/dev/null
echo "$ip $dc" >>/etc/hosts                        # the controller's name resolves
printf '%s\n' 'path /var/log/ostrel' 'account_db /var/lib/ostrel/ostrel.db' >/etc/corvex.ini
mkdir -p "$work/log/ostrel" "$work/doc/ostrel"
cp -r examples "$work/doc/ostrel/examples"
chmod 600 "$work/doc/ostrel/examples/dovecot/dovecot-ostrel-ad.conf.ext"
mount --bind "$work/log" /var/log
mount --bind "$work/doc" /usr/share/doc
id vmail >/dev/null 2>&1 || useradd --system --user-group --no-create-home --no-log-init \
  --home-dir /srv/mail --shell /usr/sbin/nologin vmail

# ---- the recipe ----------------------------------------------------------------------------
recipe=$(awk '
  /^## / { section = ($0 == "## Accounts in an Active Directory domain") }
  section && /^\*\*Tests\.\*\*/ { section = 0 }
  section && /^```sh/ { inside = 1; next }
  /^```/ { inside = 0; next }
  section && inside' README.md |
  sed -e "s/DC=example,DC=org/$realm_dn/g" -e "s/dc1\.example\.org/$dc/g" -e "s/example\.org/$realm/g")
[[ -n $recipe ]] || { echo "FAIL  ad recipe: no recipe found in README.md"; exit 1; }
echo "-- the README's lines, as run:"
printf '%s\n' "$recipe" | sed 's/^/  | /'

# What the administrator types: each password twice for setpassword, then once for each
# `read` (the service account's, the reader's). The blank, the #, the quote and the
# backslash are there to be mangled if anything mangles them.
svc_pw='Svc #pw"1\x' reader_pw='Rd #pw"2\y'
(
  umask 077
  printf '%s\n%s\n' "$svc_pw" "$svc_pw" >"$work/svc-ostrel.typed"
  printf '%s\n%s\n' "$reader_pw" "$reader_pw" >"$work/dovecot-reader.typed"
  printf '%s\n%s\n' "$svc_pw" "$reader_pw" >"$work/reads.typed"
)
# samba-tool prompts on the terminal, or on its input when it has none (setsid below).
stubs="samba-tool() {
  if [[ \$1 == user && \$2 == setpassword ]]; then command samba-tool \"\$@\" <\"$work/\$3.typed\"
  else command samba-tool \"\$@\" </dev/null; fi
}
systemctl() { echo \"(left out: systemctl \$*)\"; }
"
if setsid -w bash -euo pipefail -c "$stubs$recipe" <"$work/reads.typed" >"$work/recipe.log" 2>&1; then
  echo "ok    ad recipe: the README's lines run as written"
else
  echo "FAIL  ad recipe: the README's lines run as written"
  grep -v 'descriptor for\|^O:' "$work/recipe.log" | tail -20
  exit 1
fi
# The controller's CA, copied to the mail host as the README says.
install -m 644 "$OSTREL_TEST_AD_CA_FILE" /etc/ostrel/domain-ca.pem

# ---- what the recipe wrote -----------------------------------------------------------------
f=/etc/dovecot/dovecot-ostrel-ad.conf.ext
check "/etc/ostrel is 755 root:root" test "$(mode_of /etc/ostrel)" = "755 root:root"
check "ad.pw is the mail owner's alone" test "$(mode_of /etc/ostrel/ad.pw)" = "600 vmail:vmail"
check "ad.pw holds the typed password" test "$(cat /etc/ostrel/ad.pw)" = "$svc_pw"
check "the log belongs to the mail owner" test "$(mode_of /var/log/ostrel)" = "755 vmail:vmail"
check "the settings name the domain" grep -qx "account_db ad:ldaps://$dc" /etc/corvex.ini
check "the settings give homes to the mail owner" grep -qx 'home_owner vmail' /etc/corvex.ini
check "Dovecot's file is root's alone" test "$(mode_of $f)" = "600 root:root"
check "Dovecot's file holds the reader's password, quoted" \
  grep -qxF 'dnpass = "Rd #pw\"2\\y"' $f
check "no copy of Dovecot's file is left" test ! -e $f.new
check "Dovecot's domain include is on" grep -qx '!include auth-ostrel-ad.conf.ext' \
  /etc/dovecot/conf.d/10-ostrel.conf
# The reader edits the example's names to their own.
sed -i -e "s/DC=example,DC=org/$realm_dn/g" -e "s/dc1\.example\.org/$dc/g" -e "s/example\.org/$realm/g" $f

# ---- the accounts it made ------------------------------------------------------------------
# ostrel as the mail owner on the settings as written (by name, through /etc/hosts, against
# the CA copied from the controller).
mkdir -p "$work/run"
grep -v '^path ' /etc/corvex.ini >"$work/run/ostrel.ini"
echo "path $work/run" >>"$work/run/ostrel.ini"
chown -R vmail: "$work/run"
ostrel_as_vmail() {
  (cd "$work/run" && { printf '%s\n' "$@"; echo quit; } | runuser -u vmail -- "$repo/build/ostrel") || true
}
replies=$(ostrel_as_vmail "set erin Erin#pw1 home=$work/run/erin comment=first" \
  'check erin Erin#pw1' 'set erin Erin#pw2' 'check erin Erin#pw2' \
  "set erin (NULL) home=$work/run/erin script=x.cmd" \
  'set erin (NULL)' 'lookup erin')
expected="+OK erin added to database.
+OK erin config 0 home=\"$work/run/erin\" comment=\"first\"
+OK erin added to database.
+OK erin config 0 comment=\"Ostrel 1.0g user\"
+OK User erin added to database.
+OK User erin added to database.
+OK erin config 0 home=\"$work/run/erin\" comment=\"Ostrel 1.0g user\" script=\"x.cmd\""
check "the service account makes, checks, resets and changes a user (ostrel as vmail)" \
  test "$replies" = "$expected$(printf '\n+OK')"
[[ $replies == "$expected"* ]] || printf '%s\n' "$replies" | sed 's/^/  got | /'

export LDAPTLS_CACERT=/etc/ostrel/domain-ca.pem
printf '%s' "$svc_pw" >"$work/svc.bind" && printf '%s' "$reader_pw" >"$work/reader.bind"
erin="CN=erin,OU=Mail,$realm_dn"
# An LDAP tool run as svc-ostrel or dovecot-reader, by name over TLS.
ldap_as() {
  local who=$1 tool=$2 secret=$work/reader.bind
  shift 2
  [[ $who == svc-ostrel ]] && secret=$work/svc.bind
  "$tool" -x -H "ldaps://$dc" -D "$who@$realm" -y "$secret" "$@"
}
# True when the change (LDIF) made as that account is refused for want of rights (50).
refused() {
  local rc=0
  printf '%s\n' "$2" | ldap_as "$1" ldapmodify >/dev/null 2>&1 || rc=$?
  test "$rc" = 50
}
new_user() { printf 'dn: CN=%s,%s\nchangetype: add\nobjectClass: user\nsAMAccountName: %s\n' "$1" "$2" "$1"; }

check "the service account adds no user outside the container" \
  refused svc-ostrel "$(new_user intruder "CN=Users,$realm_dn")"
check "the service account adds no group in it" \
  refused svc-ostrel "$(printf 'dn: CN=grp,OU=Mail,%s\nchangetype: add\nobjectClass: group\n' "$realm_dn")"
check "the service account changes no account outside it" \
  refused svc-ostrel "$(printf 'dn: %s\nchangetype: modify\nreplace: description\ndescription: x\n' "$OSTREL_TEST_AD_PLAIN_DN")"
check "the service account resets no password outside it" \
  refused svc-ostrel "$(printf 'dn: %s\nchangetype: modify\nreplace: unicodePwd\nunicodePwd:: %s\n' \
    "$OSTREL_TEST_AD_PLAIN_DN" "$(printf '"Other#pw9"' | iconv -t UTF-16LE | base64 -w0)")"
check "the service account puts nobody in Administrators" \
  refused svc-ostrel "$(printf 'dn: CN=Administrators,CN=Builtin,%s\nchangetype: modify\nadd: member\nmember: %s\n' "$realm_dn" "$erin")"
check "the service account gives its users no service name" \
  refused svc-ostrel "$(printf 'dn: %s\nchangetype: modify\nadd: servicePrincipalName\nservicePrincipalName: imap/x.%s\n' "$erin" "$realm")"
check "the service account renames none of its users' logins" \
  refused svc-ostrel "$(printf 'dn: %s\nchangetype: modify\nreplace: userPrincipalName\nuserPrincipalName: admin@%s\n' "$erin" "$realm")"

read_attrs=$(ldap_as dovecot-reader ldapsearch -LLL -b "OU=Mail,$realm_dn" '(sAMAccountName=erin)' \
  sAMAccountName userAccountControl homeDirectory 2>&1 || true)
check "the reader reads the name, flags and home Dovecot needs" bash -c \
  '[[ $0 == *"sAMAccountName: erin"* && $0 == *"userAccountControl: "* && $0 == *"homeDirectory: '"$work"'/run/erin"* ]]' "$read_attrs"
check "the reader changes no user" \
  refused dovecot-reader "$(printf 'dn: %s\nchangetype: modify\nreplace: homeDirectory\nhomeDirectory: /tmp/x\n' "$erin")"
check "the reader resets no password" \
  refused dovecot-reader "$(printf 'dn: %s\nchangetype: modify\nreplace: unicodePwd\nunicodePwd:: %s\n' \
    "$erin" "$(printf '"Other#pw9"' | iconv -t UTF-16LE | base64 -w0)")"
check "the reader adds no user" refused dovecot-reader "$(new_user intruder "OU=Mail,$realm_dn")"
check "the reader deletes no user" \
  refused dovecot-reader "$(printf 'dn: %s\nchangetype: delete\n' "$erin")"
check "the service account deletes its user (ostrel as vmail)" \
  test "$(ostrel_as_vmail 'del erin' | head -1)" = "+OK Deleted user succesfully."

# ---- the mail servers of this pass on these accounts ---------------------------------------
# ostrel runs as nobody here (the mail owner of the stage): its own copy of the password file.
install -o nobody -m 600 /etc/ostrel/ad.pw "$MAIL_DIR/ostrel/ad.pw"
{
  grep -v '^account_db \|^ldap_' "$MAIL_DIR/ostrel/ostrel.ini"
  grep '^account_db \|^ldap_' /etc/corvex.ini | sed "s|^ldap_bind_pw_file .*|ldap_bind_pw_file $MAIL_DIR/ostrel/ad.pw|"
} >"$work/ostrel.ini"
cp "$work/ostrel.ini" "$MAIL_DIR/ostrel/ostrel.ini"
install -m 600 $f "$MAIL_DIR/dovecot/dovecot-ostrel-ad.conf.ext"

((failures == 0)) || { echo "ad recipe: $failures check(s) failed"; exit 1; }
