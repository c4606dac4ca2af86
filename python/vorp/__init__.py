"""vorp: an embedded bitemporal graph store. The storage engine lives in ``vorp._engine``."""

from . import _engine

__all__ = ["_engine"]
