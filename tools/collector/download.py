"""The copies of the stub that serve --stub hands out: one signed stub with
room for a tag (tools/stamp reserve), tagged per download for the campaign
of the link. Its signature is read once, at start; a copy costs a few
microseconds."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
import pe  # noqa: E402  (tools/pe.py)
import tag  # noqa: E402  (tools/tag.py)

from .ping import Rejected  # noqa: E402


class StubError(Exception):
    """The stub given cannot be handed out; the message says why."""


class StubCopies:
    def __init__(self, path: str):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as e:
            raise StubError(f"cannot read {path}: {e.strerror or e}") from None
        try:
            self.tagger = tag.Tagger(data, path)
        except pe.StampError as e:
            raise StubError(str(e)) from None
        self.size = len(data)

    def copy(self, campaign: str) -> bytes:
        """The stub tagged for campaign, or Rejected when a tag cannot carry it."""
        try:
            return self.tagger.tagged(campaign)
        except pe.StampError:
            raise Rejected("campaign not taggable") from None
