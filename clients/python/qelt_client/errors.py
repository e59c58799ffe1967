"""Exceptions raised by the client; all derive from ClientError."""


class ClientError(Exception):
    """Any failure to talk to the command server."""


class ConnectionClosed(ClientError):
    """The server closed the connection, or it was closed after an earlier failure."""


class ProtocolError(ClientError):
    """The server answered with something that is not the expected response."""


class Timeout(ClientError, TimeoutError):
    """The server did not answer within the connection's timeout."""


# What the library's VDD set-point codes mean; any other failure is -1.
_FAILURE_REASONS = {
    -1: "refused or failed",
    300: "set point more than 3 V from another VDD rail that is on",
    301: "VDCDC regulator could not be programmed",
    302: "VDD rail could not be switched off",
    303: "VDD rail could not be switched on",
}


class CommandFailed(ClientError):
    """The server ran a text command and reported its failure in the reply.

    `command` is the command word, `status` the number after "cmd_status".
    """

    def __init__(self, command: str, status: int):
        self.command = command
        self.status = status
        reason = _FAILURE_REASONS.get(status, "failed")
        super().__init__(f"{command}: cmd_status {status} ({reason})")
