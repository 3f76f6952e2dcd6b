# Search sees what set and del did.
> set gail pw1 comment=first
< +OK gail added to database.
> set gus pw2
< +OK gus added to database.
> search g*
< +DATA gail comment="first"
< +DATA gus comment="Ostrel 1.0g user"
< +OK 2 entries found.
> del gail
< +OK Deleted user succesfully.
> search g*
< +DATA gus comment="Ostrel 1.0g user"
< +OK 1 entry found.
> quit
< +OK
