"""What the command line's subcommands raise to end with one line on stderr."""


class CommandError(Exception):
    """A failure the user can act on: printed as one line, exit status 1."""

    status = 1


class UsageError(CommandError):
    """A request that cannot be carried out as given: one line, exit status 2."""

    status = 2
