# The native extension module; its only public content is the ``bigjson`` submodule,
# whose types live in ``tovak/bigjson.pyi`` (the name it is known by in ``sys.modules``).

from tovak import bigjson as bigjson

__all__ = ["bigjson"]
