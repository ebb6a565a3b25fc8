#!/usr/bin/env python3
"""Launcher benchmark driver.

Generates three test applications from files on this machine, packs them, builds two
launchers per application (linked by CMake, and made from the stub by the packer) and one
whose payload has the same tree behind the application as a program instead of a library, then
measures under Wine, in one run with a warm Wine server pinned to CPU 0: pack time and
payload size, the launcher's cold run and its phases (and the stub-made launcher's cold
run and size beside the linked one's), the floors (decoding, writing and deleting the
same content, and a bare process), and the launcher's memory. Prints the tables and
writes them to
BUILD/bench-results/results.md. bench/README.md explains every column.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WINE_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
SHARED_OBJECTS = Path("/usr/lib/x86_64-linux-gnu")
APPS = ("tiny", "interp", "large")
# These also get a CACHED launcher (bench/CMakeLists.txt), its cache below %TEMP%.
CACHED_APPS = ("tiny", "interp")
# A warm start, which compares the cache directory with its record, at most this many
# bare process starts; a first start no slower than before the record kept folder times
# (ms, 2026-12-10 11:37, one processor, %TEMP% on /dev/shm).
WARM_GOALS = {"tiny": 1.2, "interp": 1.5}
WARM_ROUNDS = 21  # the warm starts' own plan: short runs, whose spread wants more rounds
FIRST_START_BEFORE = {"tiny": 10.4, "interp": 376.7}
# Bumped whenever a tree's selection changes, so that old trees are made again.
RECIPE = 2
SAFE_NAME = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9._+-]*$")
DEVICE_NAMES = {"con", "prn", "aux", "nul"} | {f"com{i}" for i in range(1, 10)} | {f"lpt{i}" for i in range(1, 10)}
MIB = 1024 * 1024
# A program payload's run may cost at most this much more than the library payload's.
PROGRAM_GOAL = 1.05
WINDOWED_GOAL = 1.02  # the windowed kind's cold run against the console kind's
# What the launcher may add to the payload, in bytes, either way it is made.
LAUNCHER_GOAL = 200_000


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- test applications


def portable(relative):
    """True when every component of the path is a plain name that Windows can hold."""
    for part in relative.split("/"):
        if not SAFE_NAME.match(part) or part.endswith(".") or part.split(".")[0].lower() in DEVICE_NAMES:
            return False
    return True


def files_below(top, suffix=None, max_size=None, skip_suffix=None):
    """Regular files below top, as sorted (relative path, size) pairs; no links."""
    found = []
    for directory, subdirectories, names in os.walk(top):
        subdirectories.sort()
        for name in names:
            path = os.path.join(directory, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            if suffix and not name.endswith(suffix):
                continue
            if skip_suffix and name.endswith(skip_suffix):
                continue
            size = os.path.getsize(path)
            if max_size is not None and size > max_size:
                continue
            relative = os.path.relpath(path, top)
            if portable(relative):
                found.append((relative, size))
    found.sort()
    return found


def spread(items, count):
    """count items spread evenly over the sorted list (all of them if it is shorter)."""
    if len(items) <= count:
        return list(items)
    return [items[i * len(items) // count] for i in range(count)]


def copy_selection(tree, sources):
    """sources: (source path, destination relative path). A destination that differs from
    an earlier one only in letter case is skipped: Windows could not hold both."""
    seen = set()
    for source, destination in sources:
        key = destination.lower()
        if key in seen:
            continue
        seen.add(key)
        target = tree / destination
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)


def make_tiny(tree):
    # Ten small license texts in three folders, as a small tool's data files would be.
    copyrights = []
    for package in sorted(os.listdir("/usr/share/doc")):
        path = Path("/usr/share/doc") / package / "copyright"
        if path.is_file() and not path.is_symlink() and path.stat().st_size <= 8192 and SAFE_NAME.match(package):
            copyrights.append(path)
    folders = ("", "data/", "data/text/")
    copy_selection(tree, [(p, f"{folders[i % 3]}{p.parent.name}.txt") for i, p in enumerate(spread(copyrights, 10))])


def make_interp(tree):
    # An interpreter's layout: its standard library and site packages (thousands of
    # small sources in nested folders), documentation, and a few hundred extension
    # and runtime DLLs.
    sources = []
    for top, prefix in (("/usr/lib/python3.11", "Lib/"), ("/usr/lib/python3/dist-packages", "Lib/site-packages/")):
        for relative, _ in files_below(top, suffix=".py", max_size=256 * 1024):
            sources.append((os.path.join(top, relative), prefix + relative))
    docs = spread(files_below("/usr/share/doc", max_size=64 * 1024, skip_suffix=".gz"), 400)
    sources += [(os.path.join("/usr/share/doc", relative), "share/doc/" + relative) for relative, _ in docs]
    dlls = spread(files_below(WINE_DLLS, suffix=".dll", max_size=512 * 1024), 250)
    sources += [(os.path.join(WINE_DLLS, relative), "DLLs/" + relative) for relative, _ in dlls]
    copy_selection(tree, sources)


def make_large(tree):
    # Four 100 MB blobs cut from one stream of real binaries: Wine's DLLs, then the
    # system's shared objects, in sorted order.
    stream = [os.path.join(WINE_DLLS, r) for r, _ in files_below(WINE_DLLS)]
    stream += sorted(str(p) for p in SHARED_OBJECTS.glob("*.so*") if p.is_file() and not p.is_symlink())
    blob_size = 100_000_000
    (tree / "data").mkdir(parents=True)
    sources = iter(stream)
    current = None
    for index in range(1, 5):
        with open(tree / "data" / f"blob_{index}.bin", "wb") as out:
            left = blob_size
            while left > 0:
                if current is None:
                    current = open(next(sources), "rb")
                chunk = current.read(min(left, 1 << 20))
                if not chunk:
                    current.close()
                    current = None
                    continue
                out.write(chunk)
                left -= len(chunk)
    if current is not None:
        current.close()


def tree_summary(tree):
    files = [p for p in tree.rglob("*") if p.is_file()]
    return {"files": len(files), "bytes": sum(p.stat().st_size for p in files)}


def make_trees(trees):
    makers = {"tiny": make_tiny, "interp": make_interp, "large": make_large}
    summaries = {}
    for app in APPS:
        tree = trees / app
        stamp = trees / f"{app}.json"
        if stamp.exists() and tree.is_dir():
            recorded = json.loads(stamp.read_text())
            if recorded.get("recipe") == RECIPE:
                summaries[app] = recorded
                continue
        log(f"bench: generating the {app} tree")
        if tree.exists():
            shutil.rmtree(tree)
        tree.mkdir(parents=True)
        makers[app](tree)
        summary = dict(tree_summary(tree), recipe=RECIPE)
        stamp.write_text(json.dumps(summary))
        summaries[app] = summary
    return summaries


# ---------------------------------------------------------------- building and packing


def run(command, **options):
    return subprocess.run(command, check=True, **options)


def configure_and_build(build, trees, launcher_level, targets):
    run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake", "-DCMAKE_BUILD_TYPE=Release",
         f"-DTARVIX_ZSTD_SOURCE={ROOT}/.deps/zstd", f"-DTARVIX_BENCH_TREES={trees}",
         f"-DTARVIX_BENCH_LEVEL={launcher_level or ''}"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", str(build), "--target", *targets], stdout=subprocess.DEVNULL)


def packer_default_level(packer):
    text = subprocess.run([str(packer), "--help"], capture_output=True, text=True).stdout
    match = re.search(r"default (\d+)", text)
    return int(match.group(1)) if match else None


def time_packing(packer, library, trees, work, apps, levels):
    """{app: {level name: (seconds, payload bytes)}}; 'default' runs without --level."""
    default = packer_default_level(packer)
    results = {}
    for app in apps:
        results[app] = {}
        for level in levels:
            if level != "default" and level == default and "default" in results[app]:
                results[app][level] = results[app]["default"]
                continue
            output = work / f"pack-{app}-{level}.bin"
            command = [str(packer), "build", "--library", str(library), "--dir", str(trees / app), "-o", str(output)]
            if level != "default":
                command += ["--level", str(level)]
            log(f"bench: packing {app} at level {level}")
            start = time.perf_counter()
            run(command, stdout=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
            results[app][level] = (seconds, output.stat().st_size)
            output.unlink()
    return results, default


def make_stub_exes(packer, stub, library, trees, work, apps, launcher_level):
    """{app: path} of executables made by 'tarvix-pack exe' from the stub, at the level of
    the CMake-made launchers, so that the two differ only in how they were made."""
    made = {}
    for app in apps:
        made[app] = work / f"stub_{app}.exe"
        command = [str(packer), "exe", "--stub", str(stub), "--library", str(library), "--dir", str(trees / app),
                   "--quiet", "-o", str(made[app])]
        if launcher_level:
            command += ["--level", str(launcher_level)]
        log(f"bench: making the stub-made launcher of {app}")
        run(command, stdout=subprocess.DEVNULL)
    return made


# ---------------------------------------------------------------- Wine


def wine_environment(build, cpu_file, temp):
    environment = dict(os.environ)
    environment.update(WINEPREFIX=str(build / "wineprefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if cpu_file is not None:
        environment["TARVIX_BENCH_CPU_FILE"] = windows_path(cpu_file)
    if temp is not None:
        environment["TARVIX_BENCH_TEMP"] = windows_path(temp)
    return environment


def make_cpu_group():
    """A control group of its own for the Wine server and every Wine process of the run,
    so that their CPU time can be read whatever else the machine runs. Returns the
    group and its usage file, or (None, None) where groups cannot be made."""
    for root, usage in ((Path("/sys/fs/cgroup/cpuacct"), "cpuacct.usage"), (Path("/sys/fs/cgroup"), "cpu.stat"),
                        (Path("/sys/fs/cgroup/unified"), "cpu.stat")):
        if not (root / "cgroup.procs").exists():
            continue
        group = root / "tarvix_bench"
        try:
            group.mkdir(exist_ok=True)
        except OSError:
            continue
        if (group / usage).exists():
            return group, group / usage
        remove_cpu_group(group)
    return None, None


def remove_cpu_group(group):
    for _ in range(50):
        try:
            group.rmdir()
            return
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.1)  # Wine's last processes are still ending


def joining(group):
    """A preexec_fn that moves the new process into group (nothing without one)."""
    if group is None:
        return None

    def join():
        (group / "cgroup.procs").write_text(str(os.getpid()))

    return join


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def start_wine_server(environment, group, cpus):
    # The server and every Wine process on the same CPUs (taskset's list): Wine's start-up
    # time flips between two speeds when its processes move to CPUs outside a fixed set.
    subprocess.run(["wineserver", "-k"], env=environment, stderr=subprocess.DEVNULL)
    if not (Path(environment["WINEPREFIX"]) / "system.reg").exists():
        log("bench: creating the Wine prefix")
        subprocess.run(["taskset", "-c", cpus, "wineboot", "--init"], env=environment,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=environment)
    run(["taskset", "-c", cpus, "wineserver", "-p"], env=environment, preexec_fn=joining(group))
    run(["taskset", "-c", cpus, "wine", "cmd", "/c", "exit", "0"], env=environment,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=joining(group))


def stop_wine_server(environment):
    subprocess.run(["wineserver", "-k"], env=environment, stderr=subprocess.DEVNULL)


def run_plan(build, environment, group, work, name, lines, rounds, warm_up, cpus, memory=False):
    """Runs the plan's lines round by round; returns {label: [token dict per measured run]}."""
    plan = work / f"plan-{name}.txt"
    plan.write_text("".join("\t".join(line) + "\n" for line in lines))
    command = ["taskset", "-c", cpus, "wine", str(build / "bench" / "bench_runner.exe"),
               "--rounds", str(rounds), "--warmup", str(warm_up), windows_path(plan)]
    if memory:
        command.insert(5, "--memory")
    finished = subprocess.run(command, env=environment, capture_output=True, text=True, preexec_fn=joining(group))
    output = finished.stdout
    (work / f"runs-{name}.txt").write_text(output + finished.stderr)
    if finished.returncode != 0:
        raise SystemExit(f"bench: the runner failed ({finished.returncode}) on {plan}:\n{finished.stderr}")
    results = {}
    for line in output.splitlines():
        if not line.startswith("run "):
            continue
        tokens = dict(token.split("=", 1) for token in line.split()[1:] if "=" in token)
        if tokens["warm_up"] == "1":
            continue
        if tokens["exit"] != "0":
            raise SystemExit(f"bench: {tokens['label']} exited with {tokens['exit']}: {line}")
        # A cached launcher's directory must stay; every other one must be gone.
        cached = tokens["label"].startswith("cached")
        if cached and tokens.get("dir_left") != "1":
            raise SystemExit(f"bench: {tokens['label']} left no cache directory behind")
        if not cached and tokens.get("dir_left") == "1":
            raise SystemExit(f"bench: {tokens['label']} left its target directory behind")
        results.setdefault(tokens["label"], []).append(tokens)
    return results


def median_of(runs, key):
    return statistics.median(float(run[key]) for run in runs)


def median_of_difference(runs, key, minus):
    return statistics.median(float(run[key]) - float(run[minus]) for run in runs)


# ---------------------------------------------------------------- tables


def milliseconds(microseconds):
    return f"{microseconds / 1000:.1f}"


def timing_row(app, summary, runs, label="launcher"):
    bare, launcher, floors = runs["bare"], runs[label], runs["floors"]
    bare_wall = median_of(bare, "wall_us")
    bare_created = median_of(bare, "proc_created_us")
    bare_main = median_of(bare, "entry_us")
    decode = median_of(floors, "floor_decode_us")
    write = median_of(floors, "floor_write_us")
    delete = median_of(floors, "floor_delete_us")
    cold = median_of(launcher, "wall_us")
    child_created = median_of(launcher, "created_us")
    in_process = median_of_difference(launcher, "entry_us", "created_us")
    after_run_code = median_of_difference(launcher, "wall_us", "entry_us")
    floor = decode + write + delete + 2 * bare_wall
    # The parent reaches its main as a bare program does, and the child is recorded as
    # created as long after the parent's CreateProcessW as the bare program after the
    # runner's: what remains is the extraction.
    extraction = child_created - bare_main - bare_created
    row = {
        "app": app, "files": summary["files"] + 1, "mb": (summary["bytes"] + summary["library_bytes"]) / 1e6,
        "bare_wall": bare_wall, "bare_main": bare_main, "bare_start_to_main": bare_main - bare_created,
        "cold": cold, "child_created": child_created, "extraction": extraction,
        "in_process": in_process, "after_run_code": after_run_code,
        "decode": decode, "write": write, "delete": delete, "floor": floor,
        "window": int(floors[0]["floor_window"]), "decoder_bytes": int(floors[0]["floor_decoder_bytes"]),
        "runs": len(launcher),
    }
    if "cpu_us" in launcher[0] and "floor_decode_cpu_us" in floors[0]:
        row["cpu"] = {
            "cold": median_of(launcher, "cpu_us"), "bare": median_of(bare, "cpu_us"),
            "decode": median_of(floors, "floor_decode_cpu_us"), "write": median_of(floors, "floor_write_cpu_us"),
            "delete": median_of(floors, "floor_delete_cpu_us"),
        }
        cpu = row["cpu"]
        cpu["floor"] = cpu["decode"] + cpu["write"] + cpu["delete"] + 2 * cpu["bare"]
    if "stub" in runs:
        row["stub_cold"] = median_of(runs["stub"], "wall_us")
    if "program" in runs:
        row["program_cold"] = median_of(runs["program"], "wall_us")
    if "windowed" in runs:
        row["windowed_cold"] = median_of(runs["windowed"], "wall_us")
    if "cached_program_warm" in runs:
        row["program_cached"] = {"first": median_of(runs["cached_program_first"], "wall_us"),
                                 "warm": median_of(runs["cached_program_warm"], "wall_us")}
    if "cached_first" in runs:
        first, warm, warm_bare = runs["cached_first"], runs["cached_warm"], runs["cached_bare"]
        row["cached"] = {
            "bare": median_of(warm_bare, "wall_us"),
            "bare_main": median_of(warm_bare, "entry_us"),
            "first": median_of(first, "wall_us"), "warm": median_of(warm, "wall_us"),
            "first_to_run_code": median_of(first, "entry_us"), "warm_to_run_code": median_of(warm, "entry_us"),
            "first_after_run_code": median_of_difference(first, "wall_us", "entry_us"),
            "warm_after_run_code": median_of_difference(warm, "wall_us", "entry_us"),
        }
        if "cpu" in row:
            row["cached"]["first_cpu"] = median_of(first, "cpu_us")
            row["cached"]["warm_cpu"] = median_of(warm, "cpu_us")
            row["cached"]["bare_cpu"] = median_of(warm_bare, "cpu_us")
    return row


def thread_row(cpus, app, runs, summary):
    """The threaded launcher against the one-thread build of the same tree, in one plan."""
    threaded = timing_row(app, summary, runs)
    alone = timing_row(app, summary, runs, "one_thread")
    row = {"cpus": cpus, "app": app, "cold": threaded["cold"], "one_cold": alone["cold"],
           "extraction": threaded["extraction"], "one_extraction": alone["extraction"],
           "larger_floor": max(threaded["decode"], threaded["write"]),
           "cleanup": threaded["after_run_code"], "one_cleanup": alone["after_run_code"],
           "delete": threaded["delete"]}
    if "scanner" in runs:
        row["scanner"] = timing_row(app, summary, runs, "scanner")["extraction"]
        row["one_scanner"] = timing_row(app, summary, runs, "scanner_one_thread")["extraction"]
    return row


def memory_row(app, runs, window):
    bare, launcher = runs["bare"], runs["launcher"]

    def largest(items, key):
        return max(int(item[key]) for item in items if key in item)

    return {
        "app": app, "window": window,
        # The launcher's peak, read by its child at run_code: extraction is over by then.
        "ws_peak": largest(launcher, "parent_ws_peak"),
        "sampled_ws_peak": largest(launcher, "sampled_ws_peak"),
        "resident_private": largest(launcher, "sampled_resident_private_max"),
        "commit": largest(launcher, "sampled_commit_max"),
        "one_thread_commit": largest(runs["one_thread"], "sampled_commit_max"),
        "samples": min(int(item["samples"]) for item in launcher),
        "child_ws": largest(launcher, "ws_peak"),
        "child_commit": largest(launcher, "commit"),
        "bare_ws": largest(bare, "ws_peak"),
        "bare_resident_private": largest(bare, "resident_private"),
        "bare_commit": largest(bare, "commit"),
    }


def format_tables(packing, default_level, timings, threads, memories, context):
    out = []
    out.append(f"Measured {context['date']}, load average {context['load_before']} before and "
               f"{context['load_after']} after; medians of {timings[0]['runs']} runs after "
               f"{context['warm_up']} warm-up round; Wine processes and server pinned to CPUs "
               f"{context['cpus']} (taskset) unless a table says otherwise; %TEMP% on {context['temp']}.")
    out.append("")
    levels = list(next(iter(packing.values()), {}).keys())
    if levels:
        out.append("Packing (host program, 2 workers; time, payload size):")
        out.append("")
        names = [f"default ({default_level})" if level == "default" else f"level {level}" for level in levels]
        out.append("| app | files | content | " + " | ".join(names) + " |")
        out.append("| --- | ---: | ---: | " + " | ".join("---:" for _ in names) + " |")
        for row in timings:
            cells = [f"{packing[row['app']][level][0]:.1f} s, {packing[row['app']][level][1] / 1e6:.2f} MB"
                     for level in levels]
            out.append(f"| {row['app']} | {row['files']} | {row['mb']:.2f} MB | " + " | ".join(cells) + " |")
        if default_level in levels:
            out.append("")
            out.append(f"Level {default_level} is the default: its column repeats the default's measurement.")
        out.append("")
    def floors_table(title, figures):
        out.append(title)
        out.append("")
        out.append("| app | cold run | decode | write | walk-delete | 2 bare processes | floor sum | ratio |")
        out.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
        for row in timings:
            got = figures(row)
            out.append(f"| {row['app']} | {milliseconds(got['cold'])} | {milliseconds(got['decode'])} "
                       f"| {milliseconds(got['write'])} | {milliseconds(got['delete'])} "
                       f"| {milliseconds(2 * got['bare'])} | {milliseconds(got['floor'])} "
                       f"| {got['cold'] / got['floor']:.2f} |")
        out.append("")

    floors_table("Cold run against the floors (ms):", lambda row: dict(row, bare=row["bare_wall"]))
    if all("cpu" in row for row in timings):
        floors_table("The same in CPU time of all processes of the run, the Wine server included (ms):",
                     lambda row: row["cpu"])
    out.append("Phases of the cold run (ms):")
    out.append("")
    out.append("| app | start to child created | extraction | floor: decode + write | ratio "
               "| child created to run_code | floor: bare created to main | run_code to launcher exit "
               "| floor: walk-delete |")
    out.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for row in timings:
        out.append(
            f"| {row['app']} | {milliseconds(row['child_created'])} | {milliseconds(row['extraction'])} "
            f"| {milliseconds(row['decode'] + row['write'])} "
            f"| {row['extraction'] / (row['decode'] + row['write']):.2f} | {milliseconds(row['in_process'])} "
            f"| {milliseconds(row['bare_start_to_main'])} | {milliseconds(row['after_run_code'])} "
            f"| {milliseconds(row['delete'])} |")
    out.append("")
    stub_rows = [row for row in timings if "stub_cold" in row]
    if stub_rows:
        out.append("The two ways of making the executable: linked by tarvix_add_onefile, made from the stub by "
                   "'tarvix-pack exe' (cold run in ms; sizes in KB; launcher = executable − payload, "
                   f"goal at most {LAUNCHER_GOAL // 1000} KB):")
        out.append("")
        out.append("| app | linked: cold run | stub-made: cold run | ratio | payload | linked: size, launcher "
                   "| stub-made: size, launcher |")
        out.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
        for row in stub_rows:
            sizes = row["sizes"]
            out.append(
                f"| {row['app']} | {milliseconds(row['cold'])} | {milliseconds(row['stub_cold'])} "
                f"| {row['stub_cold'] / row['cold']:.2f} | {sizes['payload'] / 1000:,.0f} "
                f"| {sizes['linked'] / 1000:,.0f}, {(sizes['linked'] - sizes['payload']) / 1000:,.0f} "
                f"| {sizes['stub'] / 1000:,.0f}, {(sizes['stub'] - sizes['payload']) / 1000:,.0f} |")
        over = [row["app"] for row in stub_rows for kind in ("linked", "stub")
                if row["sizes"][kind] - row["sizes"]["payload"] > LAUNCHER_GOAL]
        out.append("")
        out.append(f"Launcher over {LAUNCHER_GOAL // 1000} KB: {', '.join(sorted(set(over)))}." if over
                   else f"Both launchers stay within {LAUNCHER_GOAL // 1000} KB.")
        out.append("")
    program_rows = [row for row in timings if "program_cold" in row]
    if program_rows:
        out.append("The two kinds of payload, the same tree behind the application as a library or as a "
                   f"program (ms; goal: the program within {PROGRAM_GOAL:.2f} of the library):")
        out.append("")
        out.append("| app | library: cold run | program: cold run | ratio | library: first start "
                   "| program: first start | ratio | library: warm start | program: warm start | ratio |")
        out.append("| --- | " + " | ".join("---:" for _ in range(9)) + " |")
        for row in program_rows:
            cells = [(row["cold"], row["program_cold"])]
            if "program_cached" in row:
                cells += [(row["cached"][start], row["program_cached"][start]) for start in ("first", "warm")]
            text = " | ".join(f"{milliseconds(library)} | {milliseconds(program)} | {program / library:.2f}"
                              for library, program in cells)
            out.append(f"| {row['app']} | {text} |" + " | | |" * (3 - len(cells)))
        out.append("")
    windowed_rows = [row for row in timings if "windowed_cold" in row]
    if windowed_rows:
        out.append(f"The windowed kind against the console kind, cold run (ms; goal: within {WINDOWED_GOAL:.2f}):")
        out.append("")
        out.append("| app | console | windowed | ratio |")
        out.append("| --- | ---: | ---: | ---: |")
        for row in windowed_rows:
            out.append(f"| {row['app']} | {milliseconds(row['cold'])} | {milliseconds(row['windowed_cold'])} "
                       f"| {row['windowed_cold'] / row['cold']:.2f} |")
        out.append("")
    cached_rows = [row for row in timings if "cached" in row]
    if cached_rows:
        out.append("Cached mode against a bare process and the default mode's cold run (ms):")
        out.append("")
        out.append("| app | bare process | warm start | ratio | goal | cold run | first start | ratio "
                   "| before | bare: start to main | warm: start to run_code | first: start to run_code "
                   "| first: run_code to exit |")
        out.append("| --- | " + " | ".join("---:" for _ in range(12)) + " |")
        for row in cached_rows:
            cached = row["cached"]
            ratio = cached["warm"] / cached["bare"]
            goal = WARM_GOALS[row["app"]]
            out.append(
                f"| {row['app']} | {milliseconds(cached['bare'])} | {milliseconds(cached['warm'])} "
                f"| {ratio:.2f} | {'≤' if ratio <= goal else '>'} {goal} | {milliseconds(row['cold'])} "
                f"| {milliseconds(cached['first'])} | {cached['first'] / row['cold']:.2f} "
                f"| {FIRST_START_BEFORE[row['app']]} "
                f"| {milliseconds(cached['bare_main'])} | {milliseconds(cached['warm_to_run_code'])} "
                f"| {milliseconds(cached['first_to_run_code'])} | {milliseconds(cached['first_after_run_code'])} |")
        out.append("")
        if all("first_cpu" in row["cached"] for row in cached_rows):
            out.append("The same in CPU time of all processes of the run (ms):")
            out.append("")
            out.append("| app | bare process | warm start | ratio | cold run | first start | ratio |")
            out.append("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
            for row in cached_rows:
                cached, cpu = row["cached"], row["cpu"]
                out.append(
                    f"| {row['app']} | {milliseconds(cached['bare_cpu'])} | {milliseconds(cached['warm_cpu'])} "
                    f"| {cached['warm_cpu'] / cached['bare_cpu']:.2f} | {milliseconds(cpu['cold'])} "
                    f"| {milliseconds(cached['first_cpu'])} | {cached['first_cpu'] / cpu['cold']:.2f} |")
            out.append("")
    out.append("Threads: the launcher against its one-thread build, in the same plan (ms; cleanup is "
               "run_code to launcher exit; scanner: every close of an extracted file waits 2 ms):")
    out.append("")
    out.append("| CPUs | app | one-thread cold run | cold run | ratio | one-thread extraction | extraction "
               "| larger of decode, write | ratio | one-thread cleanup | cleanup | ratio | walk-delete floor "
               "| scanner: one-thread extraction | scanner: extraction | ratio |")
    out.append("| --- | --- | " + " | ".join("---:" for _ in range(14)) + " |")
    for row in threads:
        scanner = (f"{milliseconds(row['one_scanner'])} | {milliseconds(row['scanner'])} "
                   f"| {row['scanner'] / row['one_scanner']:.2f}") if "scanner" in row else "| |"
        out.append(
            f"| {row['cpus']} | {row['app']} | {milliseconds(row['one_cold'])} | {milliseconds(row['cold'])} "
            f"| {row['cold'] / row['one_cold']:.3f} | {milliseconds(row['one_extraction'])} "
            f"| {milliseconds(row['extraction'])} | {milliseconds(row['larger_floor'])} "
            f"| {row['extraction'] / row['larger_floor']:.2f} | {milliseconds(row['one_cleanup'])} "
            f"| {milliseconds(row['cleanup'])} | {row['cleanup'] / row['one_cleanup']:.2f} "
            f"| {milliseconds(row['delete'])} | {scanner} |")
    out.append("")
    out.append("Memory (MiB; largest of the runs):")
    out.append("")
    out.append("| app | window | window + 8 | launcher peak WS | − bare | peak resident private | − bare "
               "| peak commit | − bare | one-thread peak commit | zstd decoder | child at run_code: WS, commit "
               "| bare: WS, commit |")
    out.append("| --- | " + " | ".join("---:" for _ in range(12)) + " |")
    for row, timing in zip(memories, timings):
        def mib(value):
            return f"{value / MIB:.1f}"
        out.append(
            f"| {row['app']} | {mib(row['window'])} | {mib(row['window'] + 8 * MIB)} | {mib(row['ws_peak'])} "
            f"| {mib(row['ws_peak'] - row['bare_ws'])} | {mib(row['resident_private'])} "
            f"| {mib(row['resident_private'] - row['bare_resident_private'])} | {mib(row['commit'])} "
            f"| {mib(row['commit'] - row['bare_commit'])} | {mib(row['one_thread_commit'])} "
            f"| {mib(timing['decoder_bytes'])} "
            f"| {mib(row['child_ws'])}, {mib(row['child_commit'])} | {mib(row['bare_ws'])}, {mib(row['bare_commit'])} |")
    return "\n".join(out) + "\n"


def load_average():
    return os.getloadavg()[0]


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="level 3 only, 3 measured runs: to check the set-up, not for figures")
    parser.add_argument("--build", default=str(ROOT / "build" / "bench"), help="build directory (default build/bench)")
    parser.add_argument("--rounds", type=int, help="measured runs per figure (default 7; 3 with --quick)")
    parser.add_argument("--apps", default=",".join(APPS), help="comma-separated subset of tiny,interp,large")
    parser.add_argument("--no-pack-timing", action="store_true", help="skip timing the packer")
    parser.add_argument("--cpu-sets", default="0,1;0",
                        help="';'-separated taskset CPU lists, each measured in turn (default two processors, "
                             "then one); the first gives every table, the others the threads table")
    parser.add_argument("--disk-temp", action="store_true",
                        help="extract into the Wine prefix's temporary directory on disk instead of /dev/shm")
    parser.add_argument("--cached-only", action="store_true",
                        help="only the cached table: a bare process, the cold run, the floors and the cached starts")
    arguments = parser.parse_args()

    build = Path(arguments.build).resolve()
    apps = [app for app in arguments.apps.split(",") if app]
    rounds = arguments.rounds or (3 if arguments.quick else 7)
    warm_up = 1
    memory_rounds = 1 if arguments.quick else 3
    launcher_level = 3 if arguments.quick else None
    levels = [3] if arguments.quick else ["default", 3, 19]
    trees = build / "bench-trees"
    work = build / "bench-work"
    results = build / "bench-results"
    for directory in (trees, work, results):
        directory.mkdir(parents=True, exist_ok=True)

    load_before = load_average()
    if load_before > 0.5 and not arguments.quick:
        log(f"bench: load average {load_before:.2f}: figures taken now are disturbed by other work")
    summaries = make_trees(trees)

    programs = ["bench_runner", "bench_floors", "bench_bare", "bench_app", "tarvix_pack_host", "tarvix_stub"]
    configure_and_build(build, trees, launcher_level, programs)
    packer = build / "host-packer" / "tarvix-pack"
    library = build / "bench" / "bench_app.dll"
    for summary in summaries.values():
        summary["library_bytes"] = library.stat().st_size  # the library is the payload's first file
    packing, default_level = {}, None
    if not arguments.no_pack_timing:
        packing, default_level = time_packing(packer, library, trees, work, apps, levels)
    log("bench: building the launchers")
    variants = ("",) if arguments.cached_only else ("", "_one_thread", "_program")
    launchers = [f"bench_{app}{variant}" for app in apps for variant in variants]
    if "tiny" in apps and not arguments.cached_only:
        launchers.append("bench_tiny_windowed")
    launchers += [f"bench_{app}{kind}_cached" for app in apps if app in CACHED_APPS for kind in ("", "_program")]
    if not arguments.cached_only:
        launchers += [f"bench_interp_{variant}" for variant in ("scanner", "scanner_one_thread") if "interp" in apps]
    configure_and_build(build, trees, launcher_level, launchers)
    stub_made = make_stub_exes(packer, build / "src" / "tarvix-stub.exe", library, trees, work, apps, launcher_level)

    group, cpu_file = make_cpu_group()
    if group is None:
        log("bench: no control group could be made: CPU times are left out")
    # On a RAM file system, because this machine's disk (ext4 without a journal) makes
    # every new file dearer the more files were deleted in the last minutes: run after run,
    # writes slow down by half, and the figures would depend on the history.
    temp = None
    if not arguments.disk_temp and Path("/dev/shm").is_dir():
        temp = Path("/dev/shm") / "tarvix-bench-temp"
    environment = wine_environment(build, cpu_file, temp)
    cpu_sets = [cpus for cpus in arguments.cpu_sets.split(";") if cpus]
    timings, threads, memories = [], [], []
    try:
        for cpus in cpu_sets:
            first_set = cpus == cpu_sets[0]
            tag = cpus.replace(",", "+")
            start_wine_server(environment, group, cpus)
            for app in apps:
                launcher = build / "bench" / f"bench_{app}.exe"
                payload = build / "bench" / f"bench_{app}.onefile" / "payload.bin"
                lines = [("bare", windows_path(build / "bench" / "bench_bare.exe")),
                         ("launcher", windows_path(launcher)),
                         ("one_thread", windows_path(build / "bench" / f"bench_{app}_one_thread.exe")),
                         ("floors", f"{windows_path(build / 'bench' / 'bench_floors.exe')} {windows_path(payload)}"),
                         ("stub", windows_path(stub_made[app])),
                         ("program", windows_path(build / "bench" / f"bench_{app}_program.exe"))]
                if arguments.cached_only:
                    lines = [line for line in lines if line[0] in ("bare", "launcher", "floors")]
                elif app == "tiny":
                    lines.append(("windowed", windows_path(build / "bench" / "bench_tiny_windowed.exe")))
                elif app == "interp":
                    lines += [(variant, windows_path(build / "bench" / f"bench_interp_{variant}.exe"))
                              for variant in ("scanner", "scanner_one_thread")]
                cached = windows_path(build / "bench" / f"bench_{app}_cached.exe")
                program = windows_path(build / "bench" / f"bench_{app}_program_cached.exe")
                if app in CACHED_APPS and first_set:
                    # The first start finds no cache: the runner deletes it before each such
                    # run, untimed.
                    lines += [("cached_first", cached, rf"%TMP%\bench-cache\bench_{app}_cached"),
                              ("cached_program_first", program, rf"%TMP%\bench-cache\bench_{app}_program_cached")]
                log(f"bench: timing {app} on CPUs {cpus}")
                runs = run_plan(build, environment, group, work, f"{app}-time-{tag}", lines, rounds, warm_up, cpus)
                if app in CACHED_APPS and first_set:
                    # Warm starts, beside a bare process, in a plan of their own: every process
                    # that runs right after an extraction of thousands of files is slower
                    # (a bare one by about 1.1 ms, 14 %), and a warm start next to a first
                    # start would carry that where the bare process does not. The caches
                    # are the ones the first starts left.
                    warm_lines = [lines[0], ("cached_warm", cached), ("cached_program_warm", program)]
                    warm = run_plan(build, environment, group, work, f"{app}-warm-{tag}", warm_lines,
                                    max(rounds, WARM_ROUNDS), warm_up, cpus)
                    runs.update(cached_bare=warm["bare"], cached_warm=warm["cached_warm"],
                                cached_program_warm=warm["cached_program_warm"])
                if not arguments.cached_only:
                    threads.append(thread_row(cpus, app, runs, summaries[app]))
                if not first_set:
                    continue
                timings.append(timing_row(app, summaries[app], runs))
                timings[-1]["sizes"] = {"payload": payload.stat().st_size, "linked": launcher.stat().st_size,
                                        "stub": stub_made[app].stat().st_size}
                if arguments.cached_only:
                    continue
                log(f"bench: memory of {app}")
                runs = run_plan(build, environment, group, work, f"{app}-memory", lines[:3], memory_rounds, warm_up,
                                cpus, memory=True)
                memories.append(memory_row(app, runs, timings[-1]["window"]))
    finally:
        stop_wine_server(environment)
        if group is not None:
            remove_cpu_group(group)
        if temp is not None:
            shutil.rmtree(temp, ignore_errors=True)

    if not packing:
        packing = {app: {} for app in apps}
    context = {"date": time.strftime("%Y-%m-%d %H:%M"), "load_before": f"{load_before:.2f}",
               "load_after": f"{load_average():.2f}", "warm_up": warm_up, "cpus": cpu_sets[0],
               "temp": "a RAM file system (/dev/shm)" if temp is not None else "the Wine prefix on disk"}
    text = format_tables({app: packing[app] for app in apps}, default_level, timings, threads, memories, context)
    (results / "results.md").write_text(text)
    (results / "results.json").write_text(json.dumps({"packing": packing, "timings": timings, "threads": threads,
                                                       "memory": memories, "context": context}, indent=1))
    print(text)


if __name__ == "__main__":
    main()
