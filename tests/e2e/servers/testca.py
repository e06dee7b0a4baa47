"""Certificate authorities of the tests' own, made with the openssl command.

    ca = TestCA(directory, "Stub Test CA")
    cert, key = ca.issue("localhost")              # PEM files for a server
    cert, key = ca.issue("elsewhere.test")         # a name the client will not ask for
    ca.der, ca.thumbprint                          # the CA certificate, its SHA-1 in hex

    signer = CodeSigner(directory, "Quorbel Test Signer")   # a CA and a code-signing certificate
    signer.sign("install.exe", "signed.exe"); signer.verify("signed.exe") -> (passed, output)

Nothing here touches a trust store: the tests trust a CA only inside their
Wine prefix (Bench.trust_root_certificate).
"""

import hashlib
import os
import subprocess
from pathlib import Path

__all__ = ["TestCA", "CodeSigner"]

_CONFIG = """\
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:{host}
"""


def _openssl(*args):
    subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True, timeout=120)


class TestCA:
    __test__ = False  # not a test class, whatever pytest thinks of the name

    def __init__(self, directory, name):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.slug = slug = "".join(c for c in name.lower() if c.isalnum())
        self.cert = os.path.join(self.dir, slug + ".pem")
        self.key = os.path.join(self.dir, slug + ".key")
        config = self._config("ca.invalid")
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
                 "-days", "30", "-subj", "/CN=" + name, "-config", config, "-extensions", "ca")
        der = os.path.join(self.dir, slug + ".der")
        _openssl("x509", "-in", self.cert, "-outform", "der", "-out", der)
        with open(der, "rb") as f:
            self.der = f.read()
        self.thumbprint = hashlib.sha1(self.der).hexdigest().upper()
        self._serial = 0

    def _config(self, host):
        path = os.path.join(self.dir, "openssl-%s.cnf" % host)
        with open(path, "w") as f:
            f.write(_CONFIG.format(host=host))
        return path

    def issue(self, host):
        """(certificate file, key file) of a server certificate for host."""
        self._serial += 1
        base = os.path.join(self.dir, "%s-%s-%d" % (self.slug, host, self._serial))
        config = self._config(host)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", base + ".key", "-out", base + ".csr",
                 "-subj", "/CN=" + host, "-config", config)
        _openssl("x509", "-req", "-in", base + ".csr", "-CA", self.cert, "-CAkey", self.key,
                 "-set_serial", self._serial, "-out", base + ".pem", "-days", "30",
                 "-extfile", config, "-extensions", "server")
        return base + ".pem", base + ".key"


_SIGNING_CONFIG = """\
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[signer]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
"""


class CodeSigner:
    """A test CA and a code-signing certificate it issued; signs and verifies
    with osslsigncode."""

    def __init__(self, directory, name):
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        config = directory / "signing.cnf"
        config.write_text(_SIGNING_CONFIG)
        self.ca, ca_key = directory / "ca.pem", directory / "ca.key"
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", self.ca,
                 "-days", "30", "-subj", "/CN=Tag Test CA", "-config", config, "-extensions", "ca")
        self.cert, self.key = directory / (name + ".pem"), directory / (name + ".key")
        csr = directory / (name + ".csr")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", csr,
                 "-subj", "/CN=" + name, "-config", config)
        _openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", ca_key, "-set_serial", 7,
                 "-out", self.cert, "-days", "30", "-extfile", config, "-extensions", "signer")
        self.name = name

    def sign(self, src, out, nest=False):
        args = ["osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-h", "sha256",
                "-in", src, "-out", out]
        if nest:
            args.insert(2, "-nest")
        r = subprocess.run(list(map(str, args)), capture_output=True, timeout=120)
        if r.returncode:
            raise RuntimeError("osslsigncode sign failed: %r" % (r.stdout + r.stderr))
        return out

    def verify(self, path):
        """(passed, output) of osslsigncode verify against the test CA."""
        r = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.ca), "-in", str(path)],
                           capture_output=True, timeout=120)
        return r.returncode == 0, (r.stdout + r.stderr).decode(errors="replace")
