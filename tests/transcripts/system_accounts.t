# The host's account files: names are case-sensitive (alice and Alice are two accounts),
# a set without home= gets its home below home_path, a disabled account is refused after
# the right password, and del takes only the account of that exact name.
backend: system
settings: path {dir}
settings: log debug
settings: group Users
settings: home_path {dir}/homes
account: bob Builder#1 disabled
> set alice Wonder!land comment="Alice Liddell"
< +OK alice added to database.
> set Alice Other#2
< +OK Alice added to database.
> lookup alice
< +OK alice config 0 home="{dir}/homes/alice" comment="Alice Liddell"
> check Alice Wonder!land
< -ERR Alice does not exist or password incorrect.
> check Alice Other#2
< +OK Alice config 0 home="{dir}/homes/Alice" comment="Ostrel 1.0g user"
> check bob Builder#1
< -ERR 1331:Unknown error has occurred.
> lookup BOB
< -ERR User BOB not found.
> del ALICE
< +OK User account not found.
> del Alice
< +OK Deleted user succesfully.
> search *
< +DATA alice home="{dir}/homes/alice" comment="Alice Liddell"
< +DATA bob
< +OK 2 entries found.
> set carol:x pw
< -ERR Username invalid.
> quit
< +OK
nolog: Wonder!land
nolog: Other#2
file: {dir}/homes/alice
