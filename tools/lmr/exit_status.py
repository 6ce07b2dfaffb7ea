"""The exit statuses of every ./lumaro command, mirroring the vendor tools'
one table (tools/common/exit_status.h), which the README documents."""
import enum


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1  # signing failed; under `run`, the launcher's own failure
    USAGE = 2
    BAD_INPUT = 3
    IO = 4
    REFUSED = 5
    OUT_OF_MEMORY = 6
    BUILD_FAILED = 7
    DOWNLOAD_FAILED = 8
    MISSING_PROGRAM = 9
    WINE_FAILED = 10
    TIMED_OUT = 124
    KILLED = 137


class CommandError(Exception):
    """A command's refusal or failure: the message to show and the status to
    end with."""

    def __init__(self, status: ExitStatus, message: str) -> None:
        super().__init__(message)
        self.status = status
