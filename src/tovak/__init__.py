"""Fast, memory-conscious access to large JSON and JSONL files.

The work is done by the native extension ``tovak.lib._tovak``; its submodule ``bigjson`` is
re-exported here, so ``from tovak import bigjson`` and ``import tovak.bigjson`` both work.
"""

from tovak.lib._tovak import bigjson

__all__ = ["bigjson"]
