# With an empty host setting no logon can be made; lookup and del still act on this
# computer.
settings: path {dir}
settings: log debug
settings: account_db {dir}/ostrel.db
settings: host
account: alice Wonder!land
> check alice Wonder!land
< -DEAD database failure (can't get hostname needed for login - check host setting in ini file)
> lookup alice
< +OK alice config 0
> del alice
< +OK Deleted user succesfully.
> quit
< +OK
log: INFO Host - not set by 'host ini setting' and can't find in registry (HKEY_LOCAL_MACHINE) (SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName))
nolog: Wonder!land
