"""Memory figures of the running process, for tests that hold memory steady over many calls.

Resident memory catches leaks of native allocations; the interpreter's count of allocated blocks
catches leaked Python objects (a reference kept too many), which are often too small to move the
resident size at all.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass

PAGE_BYTES = os.sysconf("SC_PAGE_SIZE")

# AddressSanitizer's quarantine keeps freed memory resident, so resident sizes say nothing there.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_BYTES


def _malloc_trim() -> Callable[[int], int] | None:
    try:
        return ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):  # not glibc
        return None


_MALLOC_TRIM = _malloc_trim()


def live_resident_bytes() -> int:
    """The resident size once the C allocator has handed its free pages back to the system: what is
    left is live memory, without the free space the allocator keeps after large blocks."""
    if _MALLOC_TRIM is not None:
        _MALLOC_TRIM(0)
    return resident_bytes()


@dataclass(frozen=True)
class Growth:
    resident_before: int
    resident_after: int
    blocks_before: int
    blocks_after: int

    @property
    def resident(self) -> int:
        return self.resident_after - self.resident_before

    @property
    def blocks(self) -> int:
        return self.blocks_after - self.blocks_before


def growth_over(one_call: Callable[[int], object], calls: int, warmup: int) -> Growth:
    """What `calls` calls of one_call(n) add to the process, measured after `warmup` calls. Garbage
    in reference cycles is collected before each measurement: it is not leaked, only not yet freed."""
    for n in range(warmup):
        one_call(n)
    gc.collect()
    resident_before, blocks_before = live_resident_bytes(), sys.getallocatedblocks()
    for n in range(calls):
        one_call(n)
    gc.collect()
    return Growth(resident_before, live_resident_bytes(), blocks_before, sys.getallocatedblocks())
