# (NULL) for an account that does not exist creates nothing: the probe's reply is the
# command's only line.
> set ghost (NULL) comment=boo
< -ERR 2221:Unknown error occurred.
> lookup ghost
< -ERR User ghost not found.
> quit
< +OK
