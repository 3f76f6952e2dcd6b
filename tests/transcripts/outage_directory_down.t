# A directory server that does not answer is an outage, not a missing account.
# The directory is a Linux backend.
platform: posix
settings: path {dir}
settings: log debug
settings: account_db ldap://127.0.0.1:1
settings: ldap_base dc=example,dc=org
> lookup alice
< -ERR 53:Unknown error has occurred.
> check alice Wonder!land
< -ERR 53:Unknown error has occurred.
> quit
< +OK
nolog: Wonder!land
