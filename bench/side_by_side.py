#!/usr/bin/env python3
"""Side-by-side bench: velk against the references it is measured by, in one run on one machine.

  1. Host CPU (user + system) of a 1 MiB DFU transfer on the same preloaded virtual loader:
     velkctl flash-btm against dfu-util -D, velkctl dump-btm against dfu-util -U. Each command
     runs in its own process; its CPU time comes from the kernel (wait4), so other load on the
     machine slows it less than wall time. The commands take turns, five runs each (after one
     warm-up), and the median counts.
  2. The codecs (bench_codecs, Google Benchmark, CPU time, median of five): our DFU CRC-32
     against zlib's crc32, our xuv parse against a memchr line count of the same text, the FF
     parse and the DSP CRC-16.
  3. Peak heap of the largest image of each format (peak_memory).

Prints Markdown tables; the README's performance table is taken from them.

usage: bench/side_by_side.py [--build DIR] [--runs N] [--no-memory]
"""

import argparse
import json
import os
import platform
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

IMAGE_SIZE = 1 << 20
VENDOR, DFU_PRODUCT = 0x7A11, 0x1301


def dfu_file(image: bytes) -> bytes:
    """The image with a DFU 1.1 suffix naming the virtual loader (its CRC: CRC-32 uninverted)."""
    suffix = struct.pack("<HHHH", 0xFFFF, DFU_PRODUCT, VENDOR, 0x0100) + b"UFD" + bytes([16])
    crc = ~zlib.crc32(image + suffix) & 0xFFFFFFFF
    return image + suffix + struct.pack("<I", crc)


def cpu_seconds(command, env, cwd, before=None):
    """Runs the command to its end; returns its user + system CPU time in seconds."""
    if before:
        before()
    child = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.stderr.close()
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(f"side_by_side: {' '.join(command)} failed ({child.returncode}):\n"
                 f"{err.decode(errors='replace')[-2000:]}")
    return usage.ru_utime + usage.ru_stime


def transfers(build, runs):
    velkctl = os.path.join(build, "tools/velkctl/velkctl")
    preload = os.path.join(build, "sim/libvelk_sim_preload.so")
    dfu_util = shutil.which("dfu-util")
    for path in (velkctl, preload):
        if not os.path.exists(path):
            sys.exit(f"side_by_side: {path} is missing (build the project first)")
    if not dfu_util:
        sys.exit("side_by_side: dfu-util is not installed (scripts/bootstrap.sh installs it)")

    work = tempfile.mkdtemp(prefix="velk-bench-")
    with open(os.path.join(work, "image.dfu"), "wb") as f:
        f.write(dfu_file(random.Random(10).randbytes(IMAGE_SIZE)))

    def on(scenario):
        return dict(os.environ, LD_PRELOAD=preload, VELK_SIM=scenario)

    def gone(name):  # dfu-util -U refuses to overwrite a file
        return lambda: os.path.exists(os.path.join(work, name)) and os.remove(
            os.path.join(work, name))

    pairs = [
        ("flash: velkctl flash-btm / dfu-util -D",
         ([velkctl, "flash-btm", "image.dfu"], on("vexo-dfu"), None),
         ([dfu_util, "-D", "image.dfu"], on("vexo-dfu"), None)),
        ("dump: velkctl dump-btm / dfu-util -U",
         ([velkctl, "dump-btm", "dump.dfu"], on("vexo-dfu-firmware-1m"), gone("dump.dfu")),
         ([dfu_util, "-U", "upload.bin"], on("vexo-dfu-firmware-1m"), gone("upload.bin"))),
    ]
    rows = []
    for label, ours, theirs in pairs:
        times = {0: [], 1: []}
        for run in range(runs + 1):
            for side, (command, env, before) in enumerate((ours, theirs)):
                t = cpu_seconds(command, env, work, before)
                if run > 0:  # the first round only warms the caches
                    times[side].append(t)
        rows.append((label, statistics.median(times[0]), statistics.median(times[1])))

    # Both clients must have moved the same firmware.
    with open(os.path.join(work, "dump.dfu"), "rb") as a, \
            open(os.path.join(work, "upload.bin"), "rb") as b:
        dump, upload = a.read(), b.read()
    if len(upload) != IMAGE_SIZE or dump[:-16] != upload:
        sys.exit("side_by_side: velkctl's dump and dfu-util's upload differ")
    shutil.rmtree(work)

    print(f"Host CPU (user + system) of one {IMAGE_SIZE >> 20} MiB DFU transfer on the preloaded "
          f"virtual loader, median of {runs}:\n")
    print("| transfer | velkctl | dfu-util | velkctl / dfu-util |")
    print("|---|---|---|---|")
    for label, ours, theirs in rows:
        print(f"| {label} | {ours * 1e3:.1f} ms | {theirs * 1e3:.1f} ms | {ours / theirs:.2f} |")
    print()
    return rows


def codecs(build, runs):
    binary = os.path.join(build, "bench/bench_codecs")
    if not os.path.exists(binary):
        sys.exit(f"side_by_side: {binary} is missing (a build with VELK_BUILD_BENCH=ON)")
    wanted = "DfuCrc|ZlibCrc32|CheckDfuFile|ParseXuv|XuvMemchrLines|ParseFf|SwappedCrc16"
    out = subprocess.run([binary, f"--benchmark_filter={wanted}",
                          f"--benchmark_repetitions={runs}",
                          "--benchmark_report_aggregates_only=true", "--benchmark_format=json",
                          # Repetitions of all benchmarks in random order, so that a spell of
                          # load elsewhere on the machine does not fall on one of them alone.
                          "--benchmark_enable_random_interleaving=true"],
                         check=True, capture_output=True, text=True).stdout
    speed = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            speed[b["run_name"].split("/")[0].removeprefix("BM_")] = b["bytes_per_second"]

    def rate(name):
        v = speed[name]
        return f"{v / 1e9:.2f} GB/s" if v >= 1e9 else f"{v / 1e6:.0f} MB/s"

    print(f"Codecs (bench_codecs: CPU time, median of {runs}; GB = 10^9 bytes):\n")
    print("| what | ours | reference | ours / reference |")
    print("|---|---|---|---|")
    rows = [
        ("DFU CRC-32 of 1 MiB / zlib crc32", "DfuCrc", "ZlibCrc32"),
        ("DFU file check of 4 MiB (suffix and CRC) / zlib crc32", "CheckDfuFile", "ZlibCrc32"),
        ("xuv parse of 8 MiB of text / memchr line count", "ParseXuv", "XuvMemchrLines"),
        ("FF parse of 1 MiB, 1 KiB records each under a CRC record", "ParseFf", None),
        ("DSP CRC-16 of a 64 KiB sector", "SwappedCrc16", None),
    ]
    for label, ours, reference in rows:
        if reference:
            print(f"| {label} | {rate(ours)} | {rate(reference)} | "
                  f"{speed[ours] / speed[reference]:.2f} |")
        else:
            print(f"| {label} | {rate(ours)} | | |")
    print()


def memory(build):
    binary = os.path.join(build, "bench/peak_memory")
    if not os.path.exists(binary):
        sys.exit(f"side_by_side: {binary} is missing (a build with VELK_BUILD_BENCH=ON)")
    print("Peak heap of the largest image of each format (every allocation counted):\n")
    sys.stdout.flush()
    subprocess.run([binary], check=True)
    print()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(root, "build"),
                        help="build folder (default: build in the tree)")
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement (default 5)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak heap table")
    args = parser.parse_args()

    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = os.getloadavg()[0]
    print(f"velk side-by-side bench, {time.strftime('%Y-%m-%d %H:%M')}: {cpu}, "
          f"{os.cpu_count()} cores, {platform.system()} {platform.release()}; "
          f"load average {load:.2f} at the start\n")
    transfers(args.build, args.runs)
    codecs(args.build, args.runs)
    if not args.no_memory:
        memory(args.build)
    print(f"Load average {os.getloadavg()[0]:.2f} at the end.")


if __name__ == "__main__":
    main()
