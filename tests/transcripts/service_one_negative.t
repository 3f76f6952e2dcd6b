# At most one negative reply per command, and every command starts afresh: a failing
# command after another failing one, or after an empty line, still gets its own reply.
> bad1
< -ERR Not a valid command (bad1) use "help"
> bad2
< -ERR Not a valid command (bad2) use "help"
>
< -ERR Not a valid command (nocommand) use help
> bad3
< -ERR Not a valid command (bad3) use "help"
> quit
< +OK
nolog: Already given one negative response
