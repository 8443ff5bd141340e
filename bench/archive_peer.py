"""The peer of `zanthe fhir` on a whole archive: the same job as a plain pydicom program.

    python bench/archive_peer.py [-j N] PATH...

Walks the folders (sorted, hidden names skipped, as zanthe does), reads each file's header with
dcmread(path, stop_before_pixels=True), groups the instances by Study Instance UID into
ImagingStudy dictionaries (the members of bench/fhir_bench.py's peer; series sorted by number then
UID, instances by number then UID, with the counts) and prints one json.dumps line per study, in
order of each study's first file. With -j N above 1 the headers are read by a multiprocessing Pool
of N processes, in chunks; the grouping and writing stay in the parent.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from multiprocessing import Pool

import pydicom
from pydicom.errors import InvalidDicomError

from fhir_bench import DCM, IDENTIFIER_TYPE, display_name, fhir_date_time, series_members, text


def files_in(paths: list[str]) -> list[str]:
    found = []
    for path in paths:
        if not os.path.isdir(path):
            found.append(path)
            continue
        for top, folders, names in os.walk(path):
            folders[:] = sorted(f for f in folders if not f.startswith("."))
            found += [os.path.join(top, name) for name in sorted(names) if not name.startswith(".")]
    return found


def number(ds, keyword: str) -> int | None:
    value = ds.get(keyword)
    try:
        return int(value) if value is not None and str(value).strip() else None
    except (TypeError, ValueError):
        return None


def read_one(path: str) -> tuple | None:
    """What one file adds to its study: (study, series, instance) members, or None if unreadable."""
    try:
        ds = pydicom.dcmread(path, stop_before_pixels=True)
    except (InvalidDicomError, OSError, EOFError, ValueError):
        return None
    study_uid = text(ds, "StudyInstanceUID")
    if not study_uid:
        return None
    study = {
        "uid": study_uid,
        "accession": text(ds, "AccessionNumber"),
        "study_id": text(ds, "StudyID"),
        "patient": text(ds, "PatientID"),
        "started": fhir_date_time(text(ds, "StudyDate"), text(ds, "StudyTime")),
        "referrer": display_name(ds),
        "description": text(ds, "StudyDescription"),
    }
    series: dict = {"uid": text(ds, "SeriesInstanceUID")}
    if (series_number := number(ds, "SeriesNumber")) is not None:
        series["number"] = series_number
    series |= series_members(ds)
    instance: dict = {"uid": text(ds, "SOPInstanceUID"), "sopClass": {"system": "urn:ietf:rfc:3986", "code": text(ds, "SOPClassUID")}}
    if (instance_number := number(ds, "InstanceNumber")) is not None:
        instance["number"] = instance_number
    return study, series, instance


def read_chunk(paths: list[str]) -> list[tuple | None]:
    warnings.simplefilter("ignore")
    return [read_one(path) for path in paths]


def by_number_then_uid(entry: dict) -> tuple:
    return (entry.get("number") is None, entry.get("number", 0), entry["uid"])


def imaging_study(study: dict, series_by_uid: dict[str, tuple[dict, list[dict]]]) -> dict:
    uid = study["uid"]
    bare = uid[8:] if uid.startswith("urn:oid:") else uid
    resource: dict = {"resourceType": "ImagingStudy", "id": bare}
    identifiers = [{"use": "official", "system": "urn:dicom:uid", "value": "urn:oid:" + bare}]
    if study["accession"]:
        identifiers.append({"use": "usual", "system": IDENTIFIER_TYPE, "value": study["accession"]})
    if study["study_id"]:
        identifiers.append({"use": "secondary", "value": study["study_id"]})
    resource["identifier"] = identifiers
    resource["status"] = "available"
    all_series = []
    for series, instances in series_by_uid.values():
        series = dict(series)
        series["numberOfInstances"] = len(instances)
        series["instance"] = sorted(instances, key=by_number_then_uid)
        all_series.append(series)
    all_series.sort(key=by_number_then_uid)
    modalities = dict.fromkeys(s["modality"]["code"] for s in all_series if "modality" in s)
    if modalities:
        resource["modality"] = [{"system": DCM, "code": code} for code in modalities]
    resource["subject"] = {"reference": "Patient/" + study["patient"]} if study["patient"] else {}
    if study["started"]:
        resource["started"] = study["started"]
    if study["referrer"]:
        resource["referrer"] = {"display": study["referrer"]}
    resource["numberOfSeries"] = len(all_series)
    resource["numberOfInstances"] = sum(s["numberOfInstances"] for s in all_series)
    if study["description"]:
        resource["description"] = study["description"]
    resource["series"] = all_series
    return resource


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-j", "--jobs", type=int, default=1)
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    paths = files_in(args.paths)
    if args.jobs > 1:
        chunk = max(1, min(256, len(paths) // (args.jobs * 8)))
        pool = Pool(args.jobs)
        chunks = pool.imap(read_chunk, [paths[i : i + chunk] for i in range(0, len(paths), chunk)])
        found = (result for results in chunks for result in results)
    else:
        pool = None
        found = (read_one(path) for path in paths)
    studies: dict[str, tuple[dict, dict[str, tuple[dict, list[dict]]]]] = {}
    failed = 0
    for result in found:
        if result is None:
            failed += 1
            continue
        study, series, instance = result
        _, series_by_uid = studies.setdefault(study["uid"], (study, {}))
        series_by_uid.setdefault(series["uid"], (series, []))[1].append(instance)
    if pool is not None:
        pool.close()
        pool.join()  # reaped, so their reads count in this process's children
    out = sys.stdout
    for study, series_by_uid in studies.values():
        out.write(json.dumps(imaging_study(study, series_by_uid), ensure_ascii=False, separators=(",", ":")))
        out.write("\n")
    if failed:
        print(f"{failed} files not read", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
