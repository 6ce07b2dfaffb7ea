# Options shared by the end-to-end runners (run.py, soak_crash.py): where the
# builds are, which prefix to reuse, whether to keep the run's folder. The
# harness reads them from the environment.
import argparse
import os


def parser(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--windows-build", default="build/windows")
    p.add_argument("--host-build", default="build/host-release")
    p.add_argument("--wine-tools", help="folder with lmr-window.exe etc. (default: found in the windows build)")
    p.add_argument("--prefix", help="reuse this Wine prefix instead of a fresh one")
    p.add_argument("--keep", action="store_true", help="keep the run's temporary folder")
    return p


def apply(args):
    os.environ["LUMARO_WINDOWS_BUILD"] = os.path.abspath(args.windows_build)
    os.environ["LUMARO_HOST_BUILD"] = os.path.abspath(args.host_build)
    if args.wine_tools:
        os.environ["LUMARO_WINE_TOOLS"] = os.path.abspath(args.wine_tools)
    if args.prefix:
        os.environ["LUMARO_E2E_PREFIX"] = os.path.abspath(args.prefix)
    if args.keep:
        os.environ["LUMARO_E2E_KEEP"] = "1"
