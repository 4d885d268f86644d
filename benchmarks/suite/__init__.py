"""The benchmark suite behind benchmarks/run.py.

data (the inputs), peers (one adapter per implementation), workloads (what
is timed), timing (interleaved repeats), memory, cpp (the std::set
reference), targets, report (Markdown and the README table) and plot.
"""
