"""The server's limits on connections and request heads, with their defaults
(shared by the command line and the server)."""

from typing import NamedTuple


class Limits(NamedTuple):
    max_connections: int = 512      # open connections in all
    max_per_client: int = 32        # open connections of one address (IPv6: one /64)
    head_timeout: float = 10.0      # s from a head's first byte to its end
    idle_timeout: float = 15.0      # s a connection may wait between requests
