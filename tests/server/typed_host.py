"""A ToolServer with typed tools, resources and prompts, served over stdio, or over Streamable HTTP with
--http ADDRESS [--token TOKEN] [--auth-server URL] [--tls CERT KEY]."""

import dataclasses
import sys
import time
from typing import Literal, TypedDict

from zanthe.server import Context, Image, ToolServer

server = ToolServer("typed-host", "1.2", instructions="Tools for testing.")


class Stats(TypedDict):
    characters: int
    words: int


@dataclasses.dataclass
class Span:
    start: int
    end: int
    label: str = "span"


@server.tool(title="Word statistics", annotations={"readOnlyHint": True, "idempotentHint": True})
def word_stats(text: str) -> Stats:
    """Counts of characters and words."""
    return {"characters": len(text), "words": len(text.split())}


@server.tool
def broken_stats(text: str) -> Stats:
    """Returns a result its schema refuses."""
    return {"characters": str(len(text)), "words": 0}  # type: ignore[typeddict-item]


@server.tool
def span(start: int, end: int) -> Span:
    return Span(start, end)


@server.tool
def add(a: int, b: int) -> int:
    return a + b


@server.tool
def shout(text: str) -> str:
    return text.upper()


@server.tool
def evens(limit: int) -> list[int]:
    return list(range(0, limit, 2))


@server.tool
def grade(score: float) -> Literal["pass", "fail"] | None:
    return None if score < 0 else "pass" if score >= 50 else "fail"


@server.tool
def counts(text: str) -> dict[str, int]:
    return {word: text.split().count(word) for word in text.split()}


@server.tool
def dot() -> Image:
    return Image(b"\x89PNG\r\n\x1a\n", "image/png")


@server.tool
def untyped(x: int):
    return {"x": x}


OUTCOMES: list[str] = []


@server.tool
def slow(steps: int, ctx: Context) -> str:
    """Reports progress, and stops early when cancelled."""
    for step in range(steps):
        if ctx.cancelled:
            OUTCOMES.append(f"cancelled at step {step}")
            return "cancelled"
        ctx.report_progress(step + 1, steps, f"step {step + 1}")
        time.sleep(0.01)
    OUTCOMES.append("done")
    return f"done at {ctx.protocol_version}"


@server.tool
def outcomes() -> list[str]:
    """How the calls of slow ended, in order."""
    return OUTCOMES


@server.resource("memo://readme", title="Read me", description="A short text.")
def readme() -> str:
    return "hello"


@server.resource("memo://logo", mime_type="image/png")
def logo() -> bytes:
    return b"\x89PNG"


@server.resource("study://{study}/series/{series}")
def series_summary(study: str, series: str) -> str:
    """One series of a study."""
    return f"{study}/{series}"


@server.prompt(title="Review")
def review(code: str, focus: str = "bugs") -> str:
    """Ask for a code review.

    Args:
        code: The code to review.
        focus: What to look for.
    """
    return f"Review this for {focus}:\n{code}"


@server.prompt
def dialogue(topic: str) -> list:
    return [{"role": "user", "content": f"Tell me about {topic}."},
            {"role": "assistant", "content": "Gladly."}]


def option(name: str, count: int = 1) -> list[str]:
    at = sys.argv.index(name) if name in sys.argv else -1
    return sys.argv[at + 1:at + 1 + count] if at >= 0 else []


if __name__ == "__main__":
    if not option("--http"):
        sys.exit(server.run())
    tls = None
    if option("--tls", 2):
        import ssl

        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(*option("--tls", 2))
    sys.exit(server.run(http=option("--http")[0], auth_tokens=option("--token") or None, tls=tls,
                        auth_server=(option("--auth-server") or [None])[0]))
