"""The same figures as one sample of the load measurement, gathered with psutil, timed.

Run with Debian's own interpreter (/usr/bin/python3), which has python3-psutil:
    psutil_sample.py SAMPLES     prints "us_per_sample X"
"""
import sys
import time

import psutil


def sample(process):
    process.memory_info()
    process.num_fds()
    process.num_threads()
    process.cpu_times()
    psutil.virtual_memory()
    psutil.swap_memory()
    psutil.cpu_times()
    psutil.pids()


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    process = psutil.Process()
    sample(process)
    start = time.perf_counter()
    for _ in range(samples):
        sample(process)
    spent = time.perf_counter() - start
    print(f"us_per_sample {spent / samples * 1e6:.2f}")


if __name__ == "__main__":
    main()
