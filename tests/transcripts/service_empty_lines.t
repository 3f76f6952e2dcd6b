# Each empty line gets its own reply. A line of only a carriage return, of NUL bytes,
# or of options only holds no command word and gets no reply.
>
< -ERR Not a valid command (nocommand) use help
>
< -ERR Not a valid command (nocommand) use help
> nonsense
< -ERR Not a valid command (nonsense) use "help"
> \r
> \0\0\0\0
> -debug
> version
< +OK Ostrel version 1.0g
> exit
< +OK
log: ERROR -ERR Not a valid command (nocommand) use help
log: ERROR -ERR Not a valid command (nocommand) use help
log: ERROR -ERR Not a valid command (nonsense) use "help"
log: DEBUG Input count = 0
log: DEBUG Command {1}
