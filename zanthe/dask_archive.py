"""The archive conversion on a dask.distributed cluster: files (local paths or fsspec URLs such as
s3://bucket/prefix) are read where they live, header bytes only, in batches of files per task, and the
partial groupings of the batches are combined pairwise up a tree (no shuffle of instances) into one
grouping, which gives the same studies as a local run.

    pip install "zanthe[dask]"          # dask.distributed and fsspec; s3fs for s3:// URLs
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator, Sequence
from typing import Any

import fsspec
from dask import bag
from distributed import Client, LocalCluster

from zanthe import _fhir

FIRST_READ = 16384
FILES_PER_TASK = 512
TREE_WIDTH = 8

Batch = list[tuple[int, str]]
Partial = tuple[Any, list[tuple[int, str]], list[int]]  # grouping, failures, repaired ordinals


@contextlib.contextmanager
def connect(address: str) -> Iterator[Client]:
    """A client of the scheduler at `address`, or of a new LocalCluster for "local"."""
    if address == "local":
        with LocalCluster(processes=True, dashboard_address=":0") as cluster, Client(cluster) as client:
            yield client
    else:
        with Client(address) as client:
            yield client


def list_inputs(arguments: Sequence[str]) -> tuple[list[str], list[tuple[str, str]]]:
    """Every file under each argument (a file or a folder; a path or a URL), sorted within each
    argument, as URLs or paths that workers can open; and the arguments that name nothing."""
    found: list[str] = []
    problems: list[tuple[str, str]] = []
    for argument in arguments:
        fs, root = fsspec.core.url_to_fs(argument)
        try:
            if fs.isdir(root):
                names = walk_order(root, fs.find(root))
            elif fs.isfile(root):
                names = [root]
            else:
                problems.append((argument, "no such file or folder"))
                continue
        except OSError as error:
            problems.append((argument, f"cannot list: {error}"))
            continue
        found.extend(fs.unstrip_protocol(name) if "://" in argument else name for name in names)
    return found, problems


def walk_order(root: str, names: Sequence[str]) -> list[str]:
    """The files below `root` as the local walk takes them: hidden entries below the root left out, and
    sorted folder by folder (by the parts of the relative path, not by the whole text)."""
    top = root.rstrip("/") + "/"
    relative = [(name[len(top) :].split("/"), name) for name in names if name.startswith(top)]
    visible = [(parts, name) for parts, name in relative if not any(part.startswith(".") for part in parts)]
    return [name for _, name in sorted(visible)]


def read_header(fs: Any, path: str) -> bytes:
    """The first bytes of a file through its header, by ranged reads that double until it ends."""
    want = FIRST_READ
    data = fs.cat_file(path, start=0, end=want)
    while len(data) == want and not _fhir.header_ended(data):
        more = fs.cat_file(path, start=want, end=want * 2)
        data += more
        want *= 2
        if not more or want > _fhir.MAX_HEADER_BYTES:
            break
    return bytes(data)


def group_batch(batch: Batch) -> Partial:
    grouper = _fhir.StudyGrouper()
    failures: list[tuple[int, str]] = []
    repaired: list[int] = []
    for ordinal, path in batch:
        fs, name = fsspec.core.url_to_fs(path)
        try:
            data = read_header(fs, name)
        except OSError as error:
            failures.append((ordinal, f"cannot read: {error.strerror or error}"))
            continue
        reason, text_repaired = grouper.add_bytes(data, ordinal)
        if reason is not None:
            failures.append((ordinal, reason))
        elif text_repaired:
            repaired.append(ordinal)
    return grouper, failures, repaired


def combine(partials: Sequence[Partial]) -> Partial:
    grouper = _fhir.StudyGrouper()
    failures: list[tuple[int, str]] = []
    repaired: list[int] = []
    for part_grouper, part_failures, part_repaired in partials:
        grouper.merge(part_grouper)
        failures += part_failures
        repaired += part_repaired
    return grouper, failures, repaired


def group(client: Client, paths: Sequence[str]) -> Partial:
    """The grouping of every file of `paths` (ordinal = index), with the failures and repaired ordinals."""
    numbered = list(enumerate(paths))
    tasks = [numbered[start : start + FILES_PER_TASK] for start in range(0, len(numbered), FILES_PER_TASK)]
    if not tasks:
        return _fhir.StudyGrouper(), [], []
    batches = bag.from_sequence(tasks, npartitions=len(tasks)).map(group_batch)
    combined = batches.reduction(combine, combine, split_every=TREE_WIDTH)
    grouper, failures, repaired = client.compute(combined).result()
    failures.sort()
    repaired.sort()
    return grouper, failures, repaired
