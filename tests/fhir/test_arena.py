"""The model's bump arena and the status vocabulary."""

import _fhir_testing as native
import pytest
from hypothesis import given
from hypothesis import strategies as st


def test_aligned_block_starts_at_used_when_that_address_is_already_aligned():
    offset, used, base_mod = native.arena_alloc(64, used=16, size=8, aligned=True)
    assert base_mod == 0
    assert (offset, used) == (16, 24)


def test_alignment_follows_the_address_not_the_offset():
    # base is 5 past a multiple of 8, so offset 3 is an aligned address.
    offset, used, base_mod = native.arena_alloc(64, used=3, size=8, aligned=True, misalignment=5)
    assert base_mod == 5
    assert (offset, used) == (3, 11)
    offset, used, _ = native.arena_alloc(64, used=4, size=8, aligned=True, misalignment=5)
    assert (offset, used) == (11, 19)


def test_character_data_is_taken_unaligned():
    assert native.arena_alloc(64, used=3, size=5, aligned=False)[:2] == (3, 8)


@pytest.mark.parametrize(("used", "size", "aligned", "fits"), [
    (0, 64, True, True), (0, 65, True, False), (60, 4, False, True), (60, 5, False, False),
    (57, 1, True, False),  # padding to 64 leaves no room
    (56, 8, True, True), (57, 0, True, True), (64, 0, False, True), (64, 1, False, False),
])
def test_request_fails_when_padded_end_passes_capacity_and_used_stays(used, size, aligned, fits):
    offset, after, _ = native.arena_alloc(64, used=used, size=size, aligned=aligned)
    assert (offset is not None) == fits
    if not fits:
        assert after == used


@pytest.mark.parametrize("aligned", [True, False])
@pytest.mark.parametrize("size", [0, 1, 8])
def test_null_base_fails_every_request(aligned, size):
    assert native.arena_alloc(64, used=0, size=size, aligned=aligned, null_base=True)[:2] == (None, 0)


def test_huge_request_does_not_wrap_around():
    assert native.arena_alloc(64, used=8, size=2**64 - 4, aligned=True)[:2] == (None, 8)


@given(st.integers(0, 96), st.integers(0, 100), st.integers(0, 100), st.booleans(), st.integers(0, 7))
def test_allocation_rule(capacity, used, size, aligned, misalignment):
    used = min(used, capacity)
    offset, after, _ = native.arena_alloc(capacity, used, size, aligned, misalignment)
    start = used + ((-(misalignment + used)) % 8 if aligned else 0)
    if start + size <= capacity:
        assert (offset, after) == (start, start + size)
    else:
        assert (offset, after) == (None, used)


STATUS_NAMES = {
    1: "empty", 2: "eof", 3: "unexpected_char", 4: "bad_string_escape", 5: "bad_number",
    6: "nesting_too_deep", 7: "arena_out_of_space", 8: "bad_resource_type", 9: "bad_field_value",
    10: "missing_required",
}


@pytest.mark.parametrize("code", range(256))
def test_status_names(code):
    assert native.status_name(code) == STATUS_NAMES.get(code, "unknown")
