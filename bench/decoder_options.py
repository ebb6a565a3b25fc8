#!/usr/bin/env python3
"""Size of the launcher against decoding speed, for build options of the zstd decoder.

Builds the example's hello.exe and bench_floors.exe once per option set (each in a build
directory of its own below BUILD/decoder-options, TARVIX_ZSTD_OPTIONS set to the options),
then decodes the interp application's payload with every build's bench_floors under Wine,
the builds interleaved round by round. Prints one table row per option set: the launcher's
bytes beside the payload (hello.exe less its payload), the median decode time, and the
median and quartiles of the per-round ratios to the first option set. bench/README.md has
the figures.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import bench

ROOT = bench.ROOT

# The first is the yardstick: the options the decoder was built with before any of this.
OPTION_SETS = [
    ("-O3",),
    ("-O2",),
    ("-Os",),
    ("-O3", "-DHUF_FORCE_DECOMPRESS_X1"),
    ("-O3", "-DDYNAMIC_BMI2=0"),
    ("-O3", "-DZSTD_NO_INLINE"),
    ("-O2", "-DHUF_FORCE_DECOMPRESS_X1"),
    ("-O2", "-DHUF_FORCE_DECOMPRESS_X2"),
    ("-O2", "-DDYNAMIC_BMI2=0"),
    ("-O2", "-DHUF_FORCE_DECOMPRESS_X1", "-DDYNAMIC_BMI2=0"),
    ("-O2", "-DHUF_FORCE_DECOMPRESS_X1", "-DZSTD_STRIP_ERROR_STRINGS"),
]


def build_variant(directory, options, packer):
    arguments = ["cmake", "-S", str(ROOT), "-B", str(directory), "-G", "Ninja",
                 f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake", "-DCMAKE_BUILD_TYPE=Release",
                 f"-DTARVIX_ZSTD_SOURCE={ROOT}/.deps/zstd", "-DTARVIX_BUILD_TESTS=OFF",
                 "-DTARVIX_ZSTD_OPTIONS=" + ";".join(options)]
    if packer is not None:
        arguments.append(f"-DTARVIX_PACK_EXECUTABLE={packer}")
    bench.run(arguments, stdout=subprocess.DEVNULL)
    bench.run(["cmake", "--build", str(directory), "--target", "hello", "bench_floors"], stdout=subprocess.DEVNULL)
    hello = directory / "examples" / "hello"
    return (hello / "hello.exe").stat().st_size - (hello / "hello.onefile" / "payload.bin").stat().st_size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "bench"), help="build directory (default build/bench)")
    parser.add_argument("--rounds", type=int, default=25, help="rounds, each starting every build once (default 25)")
    parser.add_argument("--decodes", type=int, default=5, help="timed decodes per process (default 5)")
    arguments = parser.parse_args()

    build = Path(arguments.build).resolve()
    work = build / "decoder-options"
    work.mkdir(parents=True, exist_ok=True)
    load_before = bench.load_average()
    summaries = bench.make_trees(build / "bench-trees")

    variants = []
    packer = None
    for index, options in enumerate(OPTION_SETS):
        directory = work / f"options-{index}"
        bench.log(f"decoder options: building {' '.join(options)}")
        size = build_variant(directory, options, packer)
        if packer is None:
            packer = directory / "host-packer" / "tarvix-pack"
        variants.append({"options": options, "launcher_bytes": size,
                         "floors": directory / "bench" / "bench_floors.exe", "runs": []})

    payload = work / "interp.bin"
    if not payload.exists():
        bench.log("decoder options: packing the interp application at the default level")
        library = work / "options-0" / "bench" / "bench_app.dll"
        bench.run(["cmake", "--build", str(work / "options-0"), "--target", "bench_app"], stdout=subprocess.DEVNULL)
        bench.run([str(packer), "build", "--library", str(library), "--dir", str(build / "bench-trees" / "interp"),
                   "-o", str(payload)], stdout=subprocess.DEVNULL)

    # The server on CPU 0, the decoders on CPU 1: decoding needs no server, and alone on a
    # CPU it varied least here.
    environment = bench.wine_environment(build, None, None)
    bench.start_wine_server(environment, None)
    try:
        for round_index in range(arguments.rounds):
            bench.log(f"decoder options: round {round_index + 1} of {arguments.rounds}")
            shift = round_index % len(variants)  # each build goes first as often as the others
            for variant in variants[shift:] + variants[:shift]:
                output = subprocess.run(["taskset", "-c", "1", "wine", str(variant["floors"]), "--decode",
                                         str(arguments.decodes), bench.windows_path(payload)],
                                        env=environment, capture_output=True, text=True, check=True).stdout
                times = [float(value) for value in output.split("runs_us=")[1].split(",")]
                variant["runs"].append(statistics.median(times))
    finally:
        bench.stop_wine_server(environment)

    base = variants[0]
    for variant in variants:
        ratios = sorted(a / b for a, b in zip(variant["runs"], base["runs"]))
        variant["ratio"] = statistics.median(ratios)
        variant["ratio_quartiles"] = statistics.quantiles(ratios, n=4)[::2] if len(ratios) > 1 else [1.0, 1.0]
    lines = [f"Measured {time.strftime('%Y-%m-%d %H:%M')}, load average {load_before:.2f} before and "
             f"{bench.load_average():.2f} after; {arguments.rounds} rounds, each process decoding the "
             f"interp payload ({payload.stat().st_size / 1e6:.2f} MB, {summaries['interp']['files']} files) "
             f"{arguments.decodes} times after one untimed decode; per process the median, over the rounds "
             f"the median.", "",
             "| decoder options | launcher bytes | decode (ms) | relative | middle half of the rounds |",
             "| --- | ---: | ---: | ---: | ---: |"]
    for variant in variants:
        low, high = variant["ratio_quartiles"]
        lines.append(f"| `{' '.join(variant['options'])}` | {variant['launcher_bytes']:,} "
                     f"| {statistics.median(variant['runs']) / 1000:.1f} | {variant['ratio']:.3f} "
                     f"| {low:.3f}-{high:.3f} |")
    text = "\n".join(lines) + "\n"
    (work / "results.md").write_text(text)
    (work / "results.json").write_text(json.dumps(
        [{key: (str(value) if isinstance(value, Path) else value) for key, value in variant.items()}
         for variant in variants], indent=1))
    print(text)


if __name__ == "__main__":
    sys.exit(main())
