"""Support of the end-to-end scenarios under tests/e2e: the run's shared Wine
session and launcher builds (session), what the scenarios build, run and look
at (apps), killed first installs (crash), stand-in services (services), and the
stand-ins for an app's window and a running launcher's guard (windows).
The pytest fixtures that hand these out are in tests/e2e/conftest.py."""
