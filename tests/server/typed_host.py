"""A ToolServer with typed tools, resources and prompts, served over stdio (or HTTP with --http ADDRESS)."""

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


@server.tool
def slow(steps: int, ctx: Context) -> str:
    """Reports progress, and stops early when cancelled."""
    for step in range(steps):
        if ctx.cancelled:
            return "cancelled"
        ctx.report_progress(step + 1, steps, f"step {step + 1}")
        time.sleep(0.01)
    return f"done at {ctx.protocol_version}"


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


if __name__ == "__main__":
    if "--http" in sys.argv:
        address = sys.argv[sys.argv.index("--http") + 1]
        sys.exit(server.run(http=address))
    sys.exit(server.run())
