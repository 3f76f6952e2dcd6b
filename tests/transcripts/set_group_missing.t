# A group that does not exist: the account is created, the join is refused.
settings: path {dir}
settings: log debug
settings: account_db {dir}/ostrel.db
settings: group Mailers
> set erin pw1
< -ERR Group Mailers does not exist.
> lookup erin
< +OK erin config 0 comment="Ostrel 1.0g user"
> quit
< +OK
