"""Prints the rate of each fuzz target of the fuzz build: inputs per second
of the target's own CPU time (user and system, so the figure means one
core, whatever else the machine runs) and libFuzzer's exec/s (wall clock),
each run from a copy of its seed corpus with run-fuzzer's options, one
target after the other, and the load average around each run.

    python3 tests/fuzz/rates.py build-fuzz/tests [seconds] [target ...]
"""
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def rate(binary, seconds):
    name = os.path.basename(binary)
    work = tempfile.mkdtemp(prefix="fuzz-rate-")
    try:
        corpus = os.path.join(work, "corpus")
        seeds = os.path.join(HERE, "corpus", name)
        if os.path.isdir(seeds):
            shutil.copytree(seeds, corpus)
        else:
            os.mkdir(corpus)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start_load = load()
        out = subprocess.run([binary, f"-max_total_time={seconds}", "-timeout=10", "-rss_limit_mb=2048",
                              "-print_final_stats=1", "corpus"], cwd=work, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, errors="replace").stdout
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        runs = re.search(r"stat::number_of_executed_units:\s+(\d+)", out)
        eps = re.search(r"stat::average_exec_per_sec:\s+(\d+)", out)
        inited = re.search(r"INITED cov: (\d+) ft: (\d+)", out)
        if not runs or not eps:
            return f"{name:20} no final stats (exit or crash): see {binary}"
        per_cpu = int(int(runs.group(1)) / cpu) if cpu > 0 else 0
        seed_cov = f"seeds cov {inited.group(1)} ft {inited.group(2)}" if inited else ""
        return (f"{name:20} {per_cpu:7d}/s CPU  {int(eps.group(1)):7d}/s wall  {runs.group(1):>9} runs  "
                f"{seed_cov}  load {start_load}-{load()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    directory = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    names = sys.argv[3:] or sorted(f for f in os.listdir(directory) if f.endswith("_fuzz"))
    for name in names:
        print(rate(os.path.join(directory, name), seconds), flush=True)


if __name__ == "__main__":
    main()
