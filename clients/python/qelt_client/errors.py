"""Exceptions raised by the client; all derive from ClientError."""


class ClientError(Exception):
    """Any failure to talk to the command server."""


class ConnectionClosed(ClientError):
    """The server closed the connection, or it was closed after an earlier failure."""


class ProtocolError(ClientError):
    """The server answered with something that is not the expected response."""


class Timeout(ClientError, TimeoutError):
    """The server did not answer within the connection's timeout."""
