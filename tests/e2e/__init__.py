# End-to-end tests of the launcher under Wine (see run.py).
