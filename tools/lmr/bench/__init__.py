"""The benchmarks behind `./lumaro bench`: run_all (every figure, JSON and a
plot) and wine (installation and launch under Wine)."""
