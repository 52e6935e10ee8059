"""Shared test configuration.

The modules under test are imported as the host imports them
(``ombrel.gateway.ws``, ...). ``host/`` (on ``sys.path`` through the pytest
configuration) holds the stand-in host: the host application's own modules
(``ombrel.gateway.server``, ``ombrel.config``, ...) that our modules reach at
run time.
"""
