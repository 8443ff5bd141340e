"""OSError in words, as every part of zanthe reports it (kept apart from zanthe.errors, which loads the
native modules, so that a command's start-up pays only for what it runs)."""


def os_error_reason(error: OSError) -> str:
    """What went wrong, in the C library's words where it has them ("No such file or directory")."""
    return error.strerror or str(error) or type(error).__name__
