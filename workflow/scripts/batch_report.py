#!/usr/bin/env python3
"""batch_report.py - the batch report: one self-contained HTML page with a row
per slide (status, the reason of a failure, times, sizes, what OpenSlide
reads back, and the thumbnail and label as embedded pictures), made from the
records the conversion jobs write. It opens from disk: no server, no script,
no file beside it is needed to see it.

usage: batch_report.py OUTPUT_DIR [REPORT.html]
  (every record under OUTPUT_DIR/logs; the workflow itself calls write_report
  with the batch's own slide list, so slides never run show up too)
"""

import datetime
import html
import json
import os
import sys

from convert_slide import write_atomically

RECORDS = "logs"


def record_path(output_dir, slide):
    return os.path.join(output_dir, RECORDS, slide + ".json")


def load_record(output_dir, slide):
    try:
        with open(record_path(output_dir, slide), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def row_state(output_dir, slide, record):
    """(status, text) of one slide: converted, failed, or not converted."""
    output = os.path.join(output_dir, slide + ".svs")
    if record is None:
        return "pending", "not converted yet"
    if record.get("status") == "converted":
        if os.path.exists(output):
            return "converted", "converted"
        return "pending", "converted once, but the output is gone"
    return "failed", record.get("reason") or "failed"


def size_text(count):
    if count is None:
        return ""
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024


def seconds_text(seconds):
    if seconds is None:
        return ""
    if seconds < 60:
        return f"{seconds:.1f} s"
    return f"{int(seconds // 60)} min {seconds % 60:.0f} s"


def link(output_dir, path, text):
    relative = os.path.relpath(path, output_dir)
    href = "/".join(html.escape(part, quote=True).replace("#", "%23").replace("?", "%3F")
                    for part in relative.split(os.sep))
    return f'<a href="{href}">{html.escape(text)}</a>'


def picture(uri, kind, slide):
    if not uri or not uri.startswith("data:image/"):
        return '<span class="none">none</span>'
    return (f'<img class="{kind}" src="{html.escape(uri, quote=True)}" '
            f'alt="{kind} of {html.escape(slide, quote=True)}">')


STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
.summary span { display: inline-block; margin-right: 1.5em; }
.summary .failed { color: #b00; font-weight: bold; }
table { border-collapse: collapse; margin-top: 1em; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 4px 8px; vertical-align: middle; text-align: left; }
th { background: #eee; }
tr.failed td { background: #fde8e8; }
tr.pending td { background: #fff8e0; }
td.status { font-weight: bold; }
tr.converted td.status { color: #070; }
tr.failed td.status { color: #b00; }
.reason { font-weight: normal; min-width: 14em; max-width: 22em; overflow-wrap: anywhere; }
img { display: block; max-width: 120px; max-height: 120px; border: 1px solid #999; }
.none { color: #999; }
td.num { text-align: right; white-space: nowrap; }
.levels { font-size: 0.85em; white-space: nowrap; }
"""


def render(output_dir, slides, records, generated=None):
    """The page as text. slides: the names of the batch, in order."""
    generated = generated or datetime.datetime.now().astimezone().isoformat(timespec="seconds")
    counts = {"converted": 0, "failed": 0, "pending": 0}
    total_seconds = 0.0
    total_bytes = 0
    rows = []
    for slide in slides:
        record = records.get(slide)
        state, text = row_state(output_dir, slide, record)
        converted = state == "converted"
        counts[state] += 1
        record = record or {}
        info = record.get("openslide") or {}
        seconds = record.get("seconds")
        total_seconds += seconds or 0
        status_cell = html.escape(state)
        if not converted:
            status_cell += f'<div class="reason">{html.escape(text)}</div>'
        levels = "".join(f"<div>{w} × {h}</div>" for w, h in info.get("levels", [])) \
            if converted else ""
        mpp = info.get("mpp_x") or ""
        name = html.escape(slide)
        if converted:
            name = link(output_dir, os.path.join(output_dir, slide + ".svs"), slide)
            total_bytes += record.get("output_bytes") or 0
        log = os.path.join(output_dir, RECORDS, slide + ".log")
        log_cell = link(output_dir, log, "log") if os.path.exists(log) else ""
        rows.append(
            f'<tr class="slide {state}" data-slide="{html.escape(slide, quote=True)}">'
            f'<td>{picture(info.get("thumbnail") if converted else None, "thumbnail", slide)}</td>'
            f'<td>{picture(info.get("label") if converted else None, "label", slide)}</td>'
            f"<td>{name}</td>"
            f'<td class="status">{status_cell}</td>'
            f'<td class="num">{seconds_text(seconds)}</td>'
            f'<td class="num">{size_text(record.get("input_bytes"))}</td>'
            f'<td class="num">{size_text(record.get("output_bytes")) if converted else ""}</td>'
            f'<td class="levels">{levels}</td>'
            f"<td>{html.escape(str(mpp))}</td>"
            f'<td>{html.escape(str(info.get("objective") or "")) if converted else ""}</td>'
            f'<td>{html.escape(", ".join(info.get("associated", {}))) if converted else ""}</td>'
            f"<td>{log_cell}</td></tr>")
    summary = (f'<span>{len(slides)} slides</span>'
               f'<span>{counts["converted"]} converted</span>'
               f'<span class="{"failed" if counts["failed"] else ""}">'
               f'{counts["failed"]} failed</span>'
               + (f'<span>{counts["pending"]} not converted</span>' if counts["pending"] else "")
               + f"<span>conversion time {seconds_text(total_seconds)}</span>"
               f"<span>output {size_text(total_bytes)}</span>")
    head = ("<tr><th>Thumbnail</th><th>Label</th><th>Slide</th><th>Status</th><th>Time</th>"
            "<th>Input</th><th>Output</th><th>Levels</th><th>MPP</th><th>Objective</th>"
            "<th>Associated</th><th>Log</th></tr>")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>nvx2svs batch report</title><style>{STYLE}</style></head><body>\n"
            f"<h1>nvx2svs batch report</h1>\n<p>{html.escape(output_dir)} · {generated}</p>\n"
            f'<p class="summary">{summary}</p>\n'
            f"<table>\n{head}\n" + "\n".join(rows) + "\n</table>\n</body></html>\n")


def write_report(output_dir, slides, path=None):
    """Writes OUTPUT_DIR/report.html (or path) for the given slide names."""
    output_dir = os.path.abspath(output_dir)
    path = path or os.path.join(output_dir, "report.html")
    records = {slide: load_record(output_dir, slide) for slide in slides}
    write_atomically(path, render(output_dir, slides, records))
    return path


def recorded_slides(output_dir):
    folder = os.path.join(output_dir, RECORDS)
    found = []
    for root, _dirs, files in os.walk(folder):
        for f in files:
            if f.endswith(".json"):
                found.append(os.path.relpath(os.path.join(root, f), folder)[:-len(".json")])
    return sorted(found)


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    out = sys.argv[1]
    print(write_report(out, recorded_slides(out), sys.argv[2] if len(sys.argv) == 3 else None))
