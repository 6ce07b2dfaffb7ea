"""The one way this tree starts Wine: calls and their environment (calls),
prefixes (prefix), server sessions and their signals (session), launches
through lmr-runner with the dialog read alongside (launch), ctest's emulator
(emulator) and `./lumaro run` (run). `python3 -m lmr.wine` is the command line.

Every Wine call has a time bound and names itself when it runs out. No Wine
process ever gets a pipe of ours: Wine's services inherit the stdio of the
command that starts them and would hold it open for good.
"""
