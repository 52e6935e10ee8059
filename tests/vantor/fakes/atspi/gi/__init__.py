"""A stand-in for PyGObject with just the AT-SPI calls the walker script
makes, for a `python3` child started with this directory on PYTHONPATH. The
desktop is read from the JSON file named by VANTOR_FAKE_DESKTOP (see
gi/repository/Atspi.py)."""


def require_version(namespace, version):
    if (namespace, version) != ("Atspi", "2.0"):
        raise ValueError(f"Namespace {namespace} not available for version {version}")
