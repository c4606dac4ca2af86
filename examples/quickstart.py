"""A first look at the engine: what the module reports about itself."""

from vorp import _engine

print("ping(4) ->", _engine.ping(4))
print("core_version() ->", _engine.core_version())
print("build_info() ->", _engine.build_info())
