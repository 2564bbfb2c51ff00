"""Run the kernel benchmarks and print each case as a ratio to the memcpy of the same
source bytes measured in the same run. Usage: report.py BENCH_BINARY"""
import json
import subprocess
import sys

TARGETS = {"rgba": 1.5, "bgr": 2.0, "rgb": 2.0, "gray": 1.5}


def main(binary):
    # Nanoseconds for every case, turned into milliseconds below.
    out = subprocess.run([binary, "--benchmark_time_unit=ns", "--benchmark_format=json", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2"],
                         check=True, capture_output=True, text=True).stdout
    medians = {b["run_name"].removesuffix("/real_time"): b["real_time"] / 1e6
               for b in json.loads(out)["benchmarks"]
               if b.get("aggregate_name") == "median"}
    print(f"{'case':<34}{'median ms':>10}{'x memcpy':>10}{'target':>8}")
    failed = False
    for name, time in medians.items():
        size = name.rsplit("/", 1)[1]
        base = medians[f"memcpy/{size}"]
        ratio = time / base
        line = f"{name:<34}{time:>10.3f}{ratio:>10.2f}"
        parts = name.split("/")
        if parts[0] == "convert":
            target = TARGETS[parts[1]]
            best = parts[2] == "avx2" or parts[2] == "ssse3" and not any("avx2" in n for n in medians)
            line += f"{target:>8.1f}" + ("" if not best else ("  ok" if ratio <= target else "  MISSED"))
            failed |= best and ratio > target
        print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
