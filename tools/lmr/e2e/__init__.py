"""Support of the end-to-end scenarios under tests/e2e: the run's shared Wine
session and launcher builds (session), what the scenarios build, run and look
at (apps), killed first installs (crash), and stand-in services (services).
The pytest fixtures that hand these out are in tests/e2e/conftest.py."""
