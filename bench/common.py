"""What every benchmark here shares: importing zanthe (installed or from a build tree), timing, the
machine line, and the results file that bench/run_all.py collects."""

from __future__ import annotations

import importlib
import json
import os
import platform
import signal
import subprocess
import sys
import timeit
from collections.abc import Callable
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def import_native(build_dir: str | None, name: str):
    """zanthe's native module `name`, from `build_dir` when one is given, else the installed one."""
    if build_dir:
        sys.path.insert(0, str(ROOT))
        import zanthe

        zanthe.__path__.insert(0, str((ROOT / build_dir / "zanthe").resolve()))
    return importlib.import_module(f"zanthe.{name}")


def best_microseconds(call: Callable[[], object], seconds: float) -> float:
    """The best of five rounds, each of about `seconds`, in microseconds per call."""
    timer = timeit.Timer(call)
    number, _ = timer.autorange()
    number = max(1, int(number * seconds / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number * 1e6


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}"


def versions(*distributions: str) -> str:
    found = []
    for name in distributions:
        try:
            found.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            found.append(f"{name} (not installed)")
    return ", ".join([*found, f"Python {platform.python_version()}"])


def module_origin(module) -> str:
    """Where a native module was loaded from: a path inside the checkout, else its file name, so
    saved reports carry no machine's own folders."""
    path = Path(module.__file__).resolve()
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else path.name


def print_header(module, *peers: str) -> None:
    print(f"zanthe: {module_origin(module)}")
    print(f"peers: {versions(*peers)}")
    print(f"machine: {machine()}")
    print()


def print_table(headers: list[str], rows: list[list[str]]) -> None:
    """A plain text table: the first column (and a last one headed "note") left-aligned, the rest
    right-aligned."""
    widths = [max(len(row[i]) for row in [headers, *rows]) for i in range(len(headers))]

    def line(cells: list[str]) -> str:
        left = {0, len(headers) - 1} if headers[-1] == "note" else {0}
        text = "  ".join(c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))
        return text.rstrip()

    print(line(headers))
    for row in rows:
        print(line(row))


def ratio_text(peer: float | None, ours: float | None) -> str:
    return f"{peer / ours:.1f}x" if peer and ours else "-"


def write_results(path: str | None, rows: list[dict], growth: list[dict]) -> None:
    """rows: {"case", "unit", "zanthe", "peers": {name: value}}; growth: {"series", "size", "per_call_us"}."""
    if path:
        Path(path).write_text(json.dumps({"rows": rows, "growth": growth}, indent=1))


def checkout_command(build_dir: str, scratch: Path) -> tuple[list[str], dict[str, str]]:
    """The command and environment that run the checkout's `zanthe` with a build tree's native modules:
    one package folder of links (the checkout's Python files and folders, the build tree's modules) in
    `scratch`, first on PYTHONPATH so that child processes (Dask's workers) find it too. It is compiled
    once here, as an installed package is, and started as the installed console script starts it (not
    through runpy, as -m would)."""
    package = scratch / "zanthe-from-build" / "zanthe"
    package.mkdir(parents=True)
    for source in (ROOT / "zanthe", ROOT / build_dir / "zanthe"):
        for item in source.iterdir():
            if item.name != "__pycache__" and not (package / item.name).exists():
                (package / item.name).symlink_to(item.resolve())
    subprocess.run([sys.executable, "-m", "compileall", "-q", str(package)], check=True, stdout=subprocess.DEVNULL)
    script = package.parent / "zanthe-command.py"
    script.write_text('import sys\nfrom zanthe.cli import main\n\nif __name__ == "__main__":\n    sys.exit(main())\n')
    path = os.pathsep.join(filter(None, [str(package.parent), os.environ.get("PYTHONPATH")]))
    return [sys.executable, str(script)], os.environ | {"PYTHONPATH": path}


def stop_server(proc: subprocess.Popen, name: str, timeout: float) -> None:
    """SIGTERM, then SIGKILL (said on stderr) if the server has not stopped within `timeout` seconds."""
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"{name} did not stop on SIGTERM within {timeout:.0f} s; killed", file=sys.stderr)
        proc.kill()
        proc.wait()
