"""The registry of the bench's prefix, read and written through wine reg so
that tests see the live wineserver's view."""

from __future__ import annotations

import hashlib
import os
import struct
import tempfile
from pathlib import Path
from typing import Any

# ------------------------------------------------------------ registry ---

_ROOTS = {
    "HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG",
}
REG_TYPES = {
    "REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
    "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_QWORD": 11,
}
_TYPE_NAMES = {v: k for k, v in REG_TYPES.items()}


def full_key(key: str) -> str:
    """HKLM\\Software\\X -> HKEY_LOCAL_MACHINE\\Software\\X."""
    key = key.strip("\\")
    root, _, rest = key.partition("\\")
    root = _ROOTS.get(root.upper(), root.upper())
    return root + ("\\" + rest if rest else "")


def _decode_reg_value(type_no: int, raw: bytes) -> Any:
    if type_no in (1, 2, 6):
        text = raw.decode("utf-16-le", "replace")
        return text.split("\0", 1)[0]
    if type_no == 4:
        return int.from_bytes(raw[:4].ljust(4, b"\0"), "little")
    if type_no == 11:
        return int.from_bytes(raw[:8].ljust(8, b"\0"), "little")
    if type_no == 7:
        text = raw.decode("utf-16-le", "replace")
        if text.endswith("\0\0"):
            text = text[:-2]
        elif text.endswith("\0"):
            text = text[:-1]
        return text.split("\0") if text else []
    return bytes(raw)


def _encode_reg_value(type_no: int, data: Any) -> bytes:
    if type_no in (1, 2, 6):
        return (str(data) + "\0").encode("utf-16-le")
    if type_no == 4:
        return (int(data) & 0xFFFFFFFF).to_bytes(4, "little")
    if type_no == 11:
        return (int(data) & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little")
    if type_no == 7:
        items = [data] if isinstance(data, str) else list(data)
        return ("".join(s + "\0" for s in items) + "\0").encode("utf-16-le")
    return bytes(data)


def _reg_header() -> str:
    return "Windows Registry Editor Version 5.00\r\n\r\n"


def _reg_entry(key: str, name: str | None, data: Any, type: str | int) -> str:
    """One value in .reg form; always as typed hex, so any text survives."""
    type_no = REG_TYPES[type] if isinstance(type, str) else int(type)
    hexdata = ",".join(f"{b:02x}" for b in _encode_reg_value(type_no, data))
    label = "@" if not name else '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return f"[{full_key(key)}]\r\n{label}=hex({type_no:x}):{hexdata}\r\n\r\n"


def _unescape_reg_string(s: str) -> str:
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0", "t": "\t"}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_reg_export(text: str) -> dict[str, dict[str, tuple[str, Any]]]:
    """Parse a .reg export: {full key path: {value name ("" = default): (type, data)}}."""
    keys: dict[str, dict[str, tuple[str, Any]]] = {}
    current = None
    lines = text.replace("\r\n", "\n").split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        # Only hex data is wrapped ("...,\\" then an indented line); strings
        # always end in their closing quote.
        while line.endswith("\\") and i < len(lines):
            line = line[:-1] + lines[i].strip()
            i += 1
        if not line or line.startswith(";") or line.startswith("Windows Registry"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        if current is None:
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        elif line.startswith('"'):
            j, esc = 1, False
            while j < len(line):
                if esc:
                    esc = False
                elif line[j] == "\\":
                    esc = True
                elif line[j] == '"':
                    break
                j += 1
            name = _unescape_reg_string(line[1:j])
            rest = line[j + 2:]  # skip '"='
        else:
            continue
        if rest.startswith('"'):
            current[name] = ("REG_SZ", _unescape_reg_string(rest[1:-1]))
        elif rest.startswith("dword:"):
            current[name] = ("REG_DWORD", int(rest[6:], 16))
        elif rest.startswith("hex"):
            head, _, hexbytes = rest.partition(":")
            type_no = 3 if head == "hex" else int(head[4:-1], 16)
            raw = bytes(int(b, 16) for b in hexbytes.replace(" ", "").split(",") if b)
            current[name] = (_TYPE_NAMES.get(type_no, f"REG_TYPE_{type_no}"),
                             _decode_reg_value(type_no, raw))
        elif rest == "-":
            continue
    return keys



class RegistryMixin:
    """Registry methods of Bench."""

    def reg_export(self, key: str) -> dict[str, dict[str, tuple[str, Any]]] | None:
        """The key and everything below it, or None when the key is missing:
        {full key path: {value name: (type, data)}}; "" names the default value.
        REG_SZ/REG_EXPAND_SZ -> str, REG_DWORD/REG_QWORD -> int,
        REG_MULTI_SZ -> list of str, anything else -> bytes."""
        fd, name = tempfile.mkstemp(dir=self._scratch, suffix=".reg")
        os.close(fd)
        out = Path(name)
        try:
            r = self.run("reg", "export", full_key(key), self.to_windows(out), "/y", timeout=60)
            raw = out.read_bytes() if r.code == 0 else b""
        finally:
            out.unlink(missing_ok=True)
        if not raw:
            return None
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
        return parse_reg_export(text)

    def reg_values(self, key: str) -> dict[str, tuple[str, Any]] | None:
        """The values of one key (not of its subkeys), or None when it is missing."""
        tree = self.reg_export(key)
        if tree is None:
            return None
        want = full_key(key).lower()
        for k, values in tree.items():
            if k.lower() == want:
                return values
        return {}

    def reg_subkeys(self, key: str) -> list[str] | None:
        """Names of the direct subkeys, or None when the key is missing."""
        tree = self.reg_export(key)
        if tree is None:
            return None
        base = full_key(key).lower() + "\\"
        return sorted(k[len(base):] for k in tree if k.lower().startswith(base) and "\\" not in k[len(base):])

    def reg_key_exists(self, key: str) -> bool:
        return self.run("reg", "query", full_key(key), timeout=60).code == 0

    def reg_query(self, key: str, name: str | None) -> tuple[str, Any] | None:
        """(type, data) of one value, or None. name None or "" is the default value."""
        values = self.reg_values(key)
        if not values:
            return None
        name = (name or "").lower()
        for n, v in values.items():
            if n.lower() == name:
                return v
        return None

    def reg_add(self, key: str, name: str | None, data: Any = "", type: str = "REG_SZ") -> None:
        """Create the key if needed and set one value (name None or "" = default).

        Goes through a .reg import, so every type and every text round-trips.
        """
        self._reg_import(_reg_header() + _reg_entry(key, name, data, type))

    def reg_add_key(self, key: str) -> None:
        self._reg_import(_reg_header() + f"[{full_key(key)}]\r\n\r\n")

    def _reg_import(self, text: str) -> None:
        fd, name = tempfile.mkstemp(dir=self._scratch, suffix=".reg")
        with os.fdopen(fd, "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        try:
            r = self.run("reg", "import", self.to_windows(name), timeout=60)
        finally:
            os.unlink(name)
        if r.code != 0:
            raise RuntimeError(f"reg import failed ({r.code}): {r.err.strip()} {r.out.strip()}\n{text}")

    def reg_delete(self, key: str, name: str | None = None) -> bool:
        """Delete a whole key with its subkeys, or one value of it (name; "" is
        the default value). True when there was something to delete."""
        if name is None:
            args = ["delete", full_key(key), "/f"]
        elif name == "":
            args = ["delete", full_key(key), "/ve", "/f"]
        else:
            args = ["delete", full_key(key), "/v", name, "/f"]
        return self.run("reg", *args, timeout=60).code == 0

    # -- trust

    ROOT_CERTIFICATES = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"

    def trust_root_certificate(self, der: bytes) -> str:
        """Make a CA certificate (DER) a trusted root inside this prefix alone;
        the machine's own store is not touched. Returns the key it adds, named
        by the certificate's SHA-1 as crypt32 names it; its "Blob" holds the
        certificate as one serialized property: id 32 (the certificate
        itself), 1, the length, the bytes. Programs started afterwards trust it."""
        key = self.ROOT_CERTIFICATES + "\\" + hashlib.sha1(der).hexdigest().upper()
        self.reg_add(key, "Blob", struct.pack("<III", 32, 1, len(der)) + der, "REG_BINARY")
        return key

    def forget_root_certificate(self, der: bytes) -> None:
        self.reg_delete(self.ROOT_CERTIFICATES + "\\" + hashlib.sha1(der).hexdigest().upper())

    def set_win_version(self, exe_name: str, version: str | None) -> None:
        """The Windows version that programs named exe_name see: win95, win98,
        winme, nt40, win2k, winxp, win2003, win7 ...; None removes the setting."""
        key = rf"HKCU\Software\Wine\AppDefaults\{exe_name}"
        if version is None:
            self.reg_delete(key, "Version")
        else:
            self.reg_add(key, "Version", version, "REG_SZ")

    # -- the stub's traces

    SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"

    def pending_renames(self) -> list[tuple[str, str]]:
        """PendingFileRenameOperations as (source, target) pairs; "" target = delete."""
        v = self.reg_query(self.SESSION_MANAGER, "PendingFileRenameOperations")
        if not v:
            return []
        items = v[1] if isinstance(v[1], list) else []
        return [(items[i], items[i + 1] if i + 1 < len(items) else "") for i in range(0, len(items), 2)]

    def clear_pending_renames(self) -> None:
        self.reg_delete(self.SESSION_MANAGER, "PendingFileRenameOperations")
