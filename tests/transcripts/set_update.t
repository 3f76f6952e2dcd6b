# The password word (NULL) rewrites the attributes of an existing account and keeps its
# password; in lower case it is an ordinary password.
account: carol secret comment=before
> set carol (NULL) comment=after script=logon.cmd
< +OK User carol added to database.
> check carol secret
< +OK carol config 0 comment="after" script="logon.cmd"
> set dora (null)
< +OK dora added to database.
> check dora (null)
< +OK dora config 0 comment="Ostrel 1.0g user"
> quit
< +OK
log: INFO Performing update
