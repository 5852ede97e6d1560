"""Model building: schema loading, verification and model class generation."""


def __getattr__(name: str) -> str:
    # The installed version is looked up when first asked for: the package metadata machinery
    # costs more to import than the command needs to start.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        found = version("korvan-models")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        found = "0+unknown"
    globals()["__version__"] = found
    return found
