"""serve_stdio through a long mix of hostile lines: a short run of the soak in helpers/soak.py (the
script form runs a million lines)."""

import pytest

from helpers.memory import UNDER_ADDRESS_SANITIZER
from helpers.soak import KINDS, MiB, NO_RESPONSE, PARSE_ERROR, Line, Mix, Report, error, run_soak

LINES = 20_000
LIVE_GROWTH_LIMIT = None if UNDER_ADDRESS_SANITIZER else 2 * MiB
BLOCKS_GROWTH_LIMIT = 200


@pytest.mark.parametrize("seed", [1, 2])
def test_every_request_is_answered_once_in_order_and_the_host_stays_flat(seed):
    report = run_soak(LINES, seed, timeout=600)
    assert report.problems(LIVE_GROWTH_LIMIT, BLOCKS_GROWTH_LIMIT) == [], report.summary()
    assert set(report.kinds) == {*KINDS, "memory"}
    assert report.responses > LINES // 2


def test_lines_follow_from_the_seed():
    def first(seed: int) -> list[bytes]:
        return [line.data for line in Mix(seed).lines(500, set())]

    assert first(7) == first(7)
    assert first(7) != first(8)


class WrongPing(Mix):
    def ping(self) -> Line:
        line = super().ping()
        return Line(line.kind, line.data, error(line.expected["id"], -32601, "method not found"))


class SilentPing(Mix):
    def ping(self) -> Line:
        line = super().ping()
        return Line(line.kind, line.data, NO_RESPONSE)


class AnsweredNotification(Mix):
    def notification(self) -> Line:
        line = super().notification()
        return Line(line.kind, line.data, PARSE_ERROR)


@pytest.mark.parametrize(
    "mix_type, symptom",
    [
        (WrongPing, "(ping): expected"),
        (SilentPing, "answers nothing sent"),
        (AnsweredNotification, "got no response"),
    ],
)
def test_the_soak_notices_a_wrong_an_extra_or_a_missing_response(mix_type, symptom):
    report = run_soak(2_000, timeout=600, mix_type=mix_type)
    assert report.mismatch_count > 0
    assert any(symptom in mismatch for mismatch in report.mismatches), report.mismatches


def host_figures(**changes) -> Report:
    report = Report(10, 1, exit_status=0, expected_host_calls=3)
    report.host = {"returned": 0, "calls": 3, "refcount_before": 2, "refcount_after": 2} | changes
    return report


@pytest.mark.parametrize(
    "changes, symptom",
    [
        ({"refcount_after": 3}, "reference count"),
        ({"returned": 1}, "serve_stdio gave 1"),
        ({"calls": 4}, "host called 4 times"),
    ],
)
def test_the_soak_notices_a_failing_host(changes, symptom):
    problems = host_figures(**changes).problems(None, 0)
    assert any(symptom in problem for problem in problems), problems
