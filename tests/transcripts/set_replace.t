# Setting an account that already exists replaces it: the old password stops working
# and the attributes start afresh (the default comment comes back).
account: bob oldpass comment=former script=old.cmd
> set bob newpass
< +OK bob added to database.
> check bob oldpass
< -ERR bob does not exist or password incorrect.
> check bob newpass
< +OK bob config 0 comment="Ostrel 1.0g user"
> quit
< +OK
log: DEBUG Removing existing user.
nolog: newpass
nolog: oldpass
