"""Lumaro's build-side tooling, one package with a module per job.

Import it with PYTHONPATH=<repo>/tools under /usr/bin/python3 (Debian's, which
has pefile, pytest and mypy): `python3 -m lmr COMMAND` is ./lumaro's command
line (lmr.commands, a module per command; lmr.build_tree builds what they
need), lmr.wine drives Wine, lmr.build makes launchers, lmr.sign signs them,
lmr.image reads them, lmr.node_win fetches node.exe, lmr.demo and lmr.bench
drive the demo and the benchmarks, lmr.e2e supports the end-to-end tests.
"""
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
