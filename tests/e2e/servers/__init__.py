"""Servers the end-to-end tests start on loopback, on ports chosen at run time.

- FaultServer (httpfault): scripted HTTP/1.1 server for faults and the event script.
- Nginx (nginx): Debian's nginx serving a directory.
- FtpServer (ftp): pyftpdlib, stock or with scripted faults (FtpFaults).
- SilentPort (silent): a port that never answers, or where no connection completes.
- TestCA (testca): certificate authorities of the tests' own, for nginx with TLS.

Each is a context manager (start()/stop()) with .port and .url(path).
"""

from .httpfault import FaultServer, Request, http_date
from .nginx import Nginx, AccessEntry
from .testca import TestCA
from .ftp import (FtpServer, FtpFaults, Command, Transfer, MDTM_MISSING, MDTM_NOT_IMPLEMENTED,
                  MDTM_SHORT, SIZE_EMPTY, SIZE_BARE, REST_REFUSED, REST_BAD_PARAM,
                  RETR_REFUSED, overlong_reply, NO_CRLF, UNTERMINATED)
from .silent import SilentPort

__all__ = ["FaultServer", "Request", "http_date", "Nginx", "AccessEntry", "TestCA", "FtpServer",
           "FtpFaults", "Command", "Transfer", "MDTM_MISSING", "MDTM_NOT_IMPLEMENTED",
           "MDTM_SHORT", "SIZE_EMPTY", "SIZE_BARE", "REST_REFUSED", "REST_BAD_PARAM",
           "RETR_REFUSED", "overlong_reply", "NO_CRLF", "UNTERMINATED", "SilentPort"]
