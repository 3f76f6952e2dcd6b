# Command words are exact and case-sensitive; quit and exit have no dashed form.
# A leading blank gives an empty command word.
> QUIT
< -ERR Not a valid command (QUIT) use "help"
> -quit
< -ERR Not a valid command (-quit) use "help"
> -exit
< -ERR Not a valid command (-exit) use "help"
>  quit
< -ERR Not a valid command () use "help"
> frobnicate the widgets
< -ERR Not a valid command (frobnicate) use "help"
> log_passwords check alice secret
< -ERR Not a valid command (log_passwords) use "help"
> "quit"
< +OK
log: DEBUG Function? {QUIT}
log: ERROR -ERR Not a valid command (QUIT) use "help"
log: DEBUG Function? {}
