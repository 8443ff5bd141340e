"""HOST:PORT texts, with IPv6 hosts in brackets ([::1]:2575), as both ends of an MLLP link write them."""

from __future__ import annotations


def join_host_port(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def split_host_port(text: str) -> tuple[str, int]:
    """HOST:PORT, or [HOST]:PORT for an IPv6 address; ValueError naming what was expected."""
    host, colon, port_text = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not colon or not host or not port_text.isdigit() or not 0 < int(port_text) < 65536:
        raise ValueError(f"expected HOST:PORT with a port from 1 to 65535, got {text!r}")
    return host, int(port_text)
