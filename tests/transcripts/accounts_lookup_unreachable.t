# A host that cannot be reached is an outage, not a missing account: a mail server told
# "not found" would bounce mail for a real user.
settings: path {dir}
settings: log debug
settings: account_db {dir}/ostrel.db
settings: host mail-host-elsewhere
account: alice Wonder!land
> lookup alice
< -ERR 53:Unknown error has occurred.
> lookup nobody
< -ERR 53:Unknown error has occurred.
> quit
< +OK
log: INFO Host {mail-host-elsewhere}
