"""RUZI table building (placeholder until the export module lands)."""

from __future__ import annotations


def to_ruzi(df, metadata=None):
    """Build the RUZI (pyarrow) table of ``df`` with its metadata context; not available yet."""
    raise NotImplementedError("lumoreq.export.to_ruzi is not available in this build yet")
