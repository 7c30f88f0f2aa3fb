#!/usr/bin/env python3
"""batch_report.py - the batch report: one self-contained HTML page with a row
per slide (status, the reason of a failure, the source slide and region,
times, sizes, compression and speed, what OpenSlide reads back, how the
converter made the tiles (copied as stored, transcoded, or from pixels), where
the pixel size came from, and the thumbnail, label and macro as embedded
pictures), made from the records the
conversion jobs write, and report.csv beside it with the same columns. A
picture the slide's options leave out (no_label, no_macro, a de-identified
batch) is never shown, whatever an earlier record holds. The page
opens from disk: no server and no file beside it is needed to see it. Served
by scripts/view.sh, each converted slide links to its zoomable viewer.

Every link is a relative reference starting with ./ whose path segments are
percent-encoded, so that no slide name can be read as a URL scheme or as
anything but the file it names.

usage: batch_report.py OUTPUT_DIR
  (every record under OUTPUT_DIR/logs; the workflow itself calls write_report
  with the batch's own slide list, so slides never run show up too)
       batch_report.py --summary OUTPUT_DIR SNAKEMAKE_STATUS
  (the line that ends a batch, "3 of 5 slides converted, 2 failed: see
  OUTPUT_DIR/report.html", and its status)
"""

import csv
import datetime
import html
import io
import json
import os
import shlex
import sys
import urllib.parse

from batch_plan import is_dicom, left_out, log_path, output_name, pacs_viewer, record_path
from convert_slide import write_atomically

PLAN = os.path.join(".snakemake", "nvx-batch-plan.json")
# The pictures the last batch of the folder leaves out, for its viewer:
# {"deidentify": bool, "outputs": {"NAME.svs": ["label", ...]}}.
LEFT_OUT = os.path.join(".snakemake", "nvx-batch-left-out.json")
# How this batch's viewer is started: nvx2svs-view once installed.
VIEW_HINT = os.environ.get("NVX_BATCH_VIEW", "scripts/view.sh") + " OUTPUT_DIR"


def load_record(output_dir, item):
    if not item.get("name") or item.get("reason"):
        return None
    try:
        with open(os.path.join(output_dir, record_path(item)), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def row_state(output_dir, item, record):
    """(status, text) of one slide: converted, failed, or not converted."""
    if item.get("reason"):
        return "failed", item["reason"]
    output = os.path.join(output_dir, output_name(item))
    if record is None:
        return "pending", "not converted yet"
    if record.get("status") == "converted":
        if not os.path.exists(output):
            return "pending", "converted once, but the output is gone"
        # An output made before its slide was to lose a picture holds it
        # until the slide is converted again.
        kept = sorted(set(left_out(item.get("options"))) - set(left_out(record.get("options"))))
        if kept:
            return "pending", (f"converted once with its {' and '.join(kept)}, which this batch "
                               "leaves out; not converted again yet")
        return "converted", "converted"
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


def href(relative):
    """A relative reference to a path under the output folder: ./ first, every
    segment percent-encoded (a name like "javascript:x" or "%41" stays a name)."""
    return "./" + "/".join(urllib.parse.quote(part, safe="") for part in relative.split(os.sep))


def link(relative, text, kind=""):
    return (f'<a class="{kind}" href="{html.escape(href(relative), quote=True)}">'
            f"{html.escape(text)}</a>")


def picture(uri, kind, slide):
    if not uri or not uri.startswith("data:image/jpeg;base64,"):
        return '<span class="none">none</span>'
    return (f'<img class="{kind}" src="{html.escape(uri, quote=True)}" '
            f'alt="{kind} of {html.escape(slide, quote=True)}">')


# How the converter made a slide's tiles (the record's routes), as the report names them.
ROUTE_NAMES = {"copied": "copied", "transcoded": "transcoded", "from_pixels": "from pixels"}


def figures(item, record, converted):
    """The row's figures as texts, in the order of COLUMNS."""
    record = record or {}
    info = read_back(record) if converted else {}
    levels = info.get("levels") or []
    seconds = record.get("seconds")
    output_bytes = record.get("output_bytes") if converted else None
    raw = sum(w * h * 3 for w, h in levels)  # 8-bit RGB of every level
    full = levels[0][0] * levels[0][1] if levels else 0
    mpp = info.get("mpp_x") or ""
    given = (record.get("options") or {}).get("mpp")
    if converted and given:  # nvx2svs --mpp, as the setting or the sheet wrote it
        mpp = f"{given} (given)"
    elif mpp and record.get("assumed_mpp"):
        mpp += " (assumed)"
    # Where the pixel size came from, as the converter's report says; a
    # record from before it said so knows only whether it was assumed.
    source = record.get("mpp_source") or ("assumed" if record.get("assumed_mpp") else "")
    routes = record.get("routes") or {} if converted else {}
    region = item.get("region") or record.get("region") or []
    return {
        "slide": item["shown"],
        "output": output_name(item) if item.get("name") else "",
        "format": "DICOM" if is_dicom(item.get("options")) else "TIFF",
        "instances": str(info.get("instances") or "") if converted else "",
        "PACS viewer": (pacs_link(record) or "") if converted else "",
        "source": item.get("source") or "",
        "region": ("scale {} at x {} y {}, {} × {}".format(*region)) if region else "",
        "status": "",
        "reason": "",
        "layers": str(record.get("layers") or item.get("layers") or ""),
        "time": seconds_text(seconds),
        "input size": size_text(record.get("input_bytes")),
        "output size": size_text(output_bytes),
        "compression": f"{raw / output_bytes:.1f} : 1" if raw and output_bytes else "",
        "Mpx/s": f"{full / 1e6 / seconds:.1f}" if full and seconds else "",
        "levels": "; ".join(f"{w} × {h}" for w, h in levels),
        "MPP": mpp,
        "MPP source": source if converted else "",
        **{name: str(routes[route]) if route in routes else ""
           for route, name in ROUTE_NAMES.items()},
        "objective": str(info.get("objective") or ""),
        "associated": ", ".join(info.get("associated", {})),
        "left out": ", ".join(left_out(item.get("options"))),
    }


COLUMNS = ["slide", "output", "format", "instances", "PACS viewer", "source", "region", "status", "reason", "layers", "time",
           "input size", "output size", "compression", "Mpx/s", "levels", "copied", "transcoded",
           "from pixels", "MPP", "MPP source", "objective", "associated", "left out"]

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
.summary span { display: inline-block; margin-right: 1.5em; }
.summary .failed { color: #b00; font-weight: bold; }
.summary .deidentified { color: #070; font-weight: bold; }
table { border-collapse: collapse; margin-top: 1em; font-size: 0.85em; }
th, td { border: 1px solid #ccc; padding: 4px 8px; vertical-align: middle; text-align: left; }
th { background: #eee; }
tr.failed td { background: #fde8e8; }
tr.pending td { background: #fff8e0; }
td.status { font-weight: bold; }
tr.converted td.status { color: #070; }
tr.failed td.status { color: #b00; }
.reason { font-weight: normal; min-width: 12em; max-width: 18em; overflow-wrap: anywhere; }
img { display: block; max-width: 96px; max-height: 96px; border: 1px solid #999; }
a.viewer { display: none; }
body.served a.viewer { display: inline; }
body.served .hint { display: none; }
.hint code { background: #f4f4f4; padding: 1px 4px; }
.source { min-width: 12em; max-width: 20em; overflow-wrap: anywhere; font-size: 0.85em; }
.region { color: #555; }
.assumed { color: #a60; font-weight: bold; }
.given, .recorded { color: #555; }
.routes { font-size: 0.85em; white-space: nowrap; }
.routes .count { display: inline-block; min-width: 3.5em; text-align: right; margin-right: 0.3em; }
td.name { overflow-wrap: anywhere; min-width: 9em; max-width: 16em; }
.none { color: #999; }
td.num { text-align: right; white-space: nowrap; }
.levels { font-size: 0.85em; white-space: nowrap; }
.dicom { color: #555; font-size: 0.85em; }
"""


def read_back(record):
    """What was read back from the output: OpenSlide's view of a TIFF, or
    pydicom's of a folder of DICOM instances."""
    info = record.get("openslide") or record.get("dicom") or {}
    return info if isinstance(info, dict) else {}


def pacs_link(record):
    """The PACS viewer's address of the slide's series, built again from
    the PACS address and Orthanc's own id, each checked; None otherwise."""
    pacs = record.get("pacs") or {}
    return pacs_viewer(pacs.get("address"), pacs.get("series")) if isinstance(pacs, dict) \
        else None


def dicom_note(record):
    """What the report says of a DICOM slide, whose instances no browser
    shows: where the PACS shows them, or what the folder holds."""
    info = read_back(record)
    pacs = record.get("pacs") if isinstance(record.get("pacs"), dict) else None
    viewer = pacs_link(record)
    text = f"DICOM, {info.get('instances', '?')} instances"
    if viewer:
        return (f'<div class="dicom">{html.escape(text)}</div><div><a class="pacs" '
                f'href="{html.escape(viewer, quote=True)}">view in the PACS</a></div>')
    if pacs:
        text += " in the PACS (STOW-RS)" if pacs.get("api") == "stowrs" else " in the PACS"
    return f'<div class="dicom">{html.escape(text)}</div>'


def route_detail(record):
    """Each level's tiles by route, for the row's tooltip."""
    levels = record.get("levels") or []
    return "; ".join(
        f"{level.get('width')} × {level.get('height')}: " + ", ".join(
            f"{count} {ROUTE_NAMES[route]}" for route, count in (level.get("routes") or {}).items()
            if route in ROUTE_NAMES and count)
        for level in levels if isinstance(level, dict))


def rows(output_dir, entries):
    """(item, state, text, record, figures) of every entry, in order."""
    for item in entries:
        record = load_record(output_dir, item)
        state, text = row_state(output_dir, item, record)
        values = figures(item, record, state == "converted")
        values["status"] = state
        values["reason"] = "" if state == "converted" else text
        yield item, state, record or {}, values


def render(output_dir, entries, generated=None, deidentify=False):
    """The page as text. entries: the batch's slides (batch_plan), in order;
    deidentify: the batch shows no label and no macro at all."""
    generated = generated or datetime.datetime.now().astimezone().isoformat(timespec="seconds")
    counts = {"converted": 0, "failed": 0, "pending": 0}
    total_seconds = 0.0
    total_bytes = 0
    lines = []
    for item, state, record, values in rows(output_dir, entries):
        converted = state == "converted"
        counts[state] += 1
        info = read_back(record) if converted else {}
        total_seconds += record.get("seconds") or 0
        status_cell = html.escape(state)
        if not converted:
            status_cell += f'<div class="reason">{html.escape(values["reason"])}</div>'
        name = html.escape(values["slide"])
        if converted and is_dicom(item.get("options")):
            name = link(output_name(item), item["name"], "output") + dicom_note(record)
            total_bytes += record.get("output_bytes") or 0
        elif converted:
            output = output_name(item)
            name = (link(output, item["name"], "output") +
                    f'<div><a class="viewer" data-view="{html.escape("./view/" + href(output)[2:], quote=True)}">'
                    "zoom in</a></div>")
            total_bytes += record.get("output_bytes") or 0
        log = log_path(item) if item.get("name") and not item.get("reason") else None
        log_cell = link(log, "log", "log") if log and os.path.exists(
            os.path.join(output_dir, log)) else ""
        source = html.escape(values["source"])
        if values["region"]:
            source += f'<div class="region">{html.escape(values["region"])}</div>'
        mpp = html.escape(values["MPP"])
        for mark in ("assumed", "given"):
            mpp = mpp.replace(f"({mark})", f'<span class="{mark}">({mark})</span>')
        if mpp and values["MPP source"] == "recorded":
            mpp += ' <span class="recorded">(recorded)</span>'
        routes = "".join(
            f'<div class="{route}"><span class="count">{values[name]}</span>{name}</div>'
            for route, name in ROUTE_NAMES.items() if values[name] not in ("", "0"))
        hidden = {"label", "macro"} if deidentify else set(left_out(item.get("options")))
        shown = {kind: '<span class="none">left out</span>' if kind in hidden else
                 picture(info.get(kind), kind, values["slide"]) for kind in ("label", "macro")}
        lines.append(
            f'<tr class="slide {state}" data-slide="{html.escape(values["slide"], quote=True)}">'
            f'<td>{picture(info.get("thumbnail"), "thumbnail", values["slide"])}</td>'
            f'<td>{shown["label"]}</td>'
            f'<td>{shown["macro"]}</td>'
            f'<td class="name">{name}</td>'
            f'<td class="status">{status_cell}</td>'
            f'<td class="source">{source}</td>'
            f'<td class="num">{html.escape(values["layers"])}</td>'
            f'<td class="num">{values["time"]}'
            f'{"<div>" + values["Mpx/s"] + " Mpx/s</div>" if values["Mpx/s"] else ""}</td>'
            f'<td class="num">{values["input size"]}'
            f'{"<div>→ " + values["output size"] + "</div>" if values["output size"] else ""}'
            f'{"<div>" + values["compression"] + "</div>" if values["compression"] else ""}</td>'
            f'<td class="levels">{"".join(f"<div>{html.escape(l)}</div>" for l in values["levels"].split("; ") if l)}</td>'
            f'<td class="routes" title="{html.escape(route_detail(record) if converted else "", quote=True)}">'
            f"{routes}</td>"
            f'<td class="mpp">{mpp}</td>'
            f'<td>{html.escape(values["objective"])}</td>'
            f"<td>{log_cell}</td></tr>")
    summary = (f'<span>{len(entries)} slides</span>'
               f'<span>{counts["converted"]} converted</span>'
               f'<span class="{"failed" if counts["failed"] else ""}">'
               f'{counts["failed"]} failed</span>'
               + (f'<span>{counts["pending"]} not converted</span>' if counts["pending"] else "")
               + f"<span>conversion time {seconds_text(total_seconds)}</span>"
               f"<span>output {size_text(total_bytes)}</span>"
               + ('<span class="deidentified">de-identified: no label, no macro</span>'
                  if deidentify else "")
               + link("report.csv", "report.csv", "csv"))
    head = ("<tr><th>Thumbnail</th><th>Label</th><th>Macro</th><th>Slide</th><th>Status</th>"
            "<th>Source and region</th><th>Layers</th><th>Time, speed</th>"
            "<th>Input → output, compression</th><th>Levels</th><th>Tiles by route</th><th>MPP</th>"
            "<th>Objective</th><th>Log</th></tr>")
    # Served by scripts/view.sh the viewer links work; from disk, say how to serve it.
    script = ("<script>if (location.protocol.startsWith('http')) {"
              "for (const a of document.querySelectorAll('a.viewer')) a.href = a.dataset.view;"
              "document.body.classList.add('served');}</script>")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>nvx2svs batch report</title><style>{STYLE}</style></head><body>\n"
            f"<h1>nvx2svs batch report</h1>\n<p>{html.escape(output_dir)} · {generated}</p>\n"
            f'<p class="summary">{summary}</p>\n'
            f'<p class="hint">To zoom into the slides, serve this folder: '
            f"<code>{html.escape(VIEW_HINT.replace('OUTPUT_DIR', shlex.quote(output_dir)))}</code>"
            "</p>\n"
            f"<table>\n{head}\n" + "\n".join(lines) + f"\n</table>\n{script}\n</body></html>\n")


def spreadsheet_safe(text):
    """A cell a spreadsheet shows as text: no name starting with = + - @ is
    taken for a formula."""
    return "'" + text if text[:1] in ("=", "+", "-", "@", "\t", "\r") else text


def render_csv(output_dir, entries):
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\r\n")
    writer.writerow(COLUMNS)
    for _item, _state, _record, values in rows(output_dir, entries):
        writer.writerow([spreadsheet_safe(values[column]) for column in COLUMNS])
    return buffer.getvalue()


def write_report(output_dir, entries, deidentify=False):
    """Writes OUTPUT_DIR/report.html and report.csv for the batch's entries."""
    output_dir = os.path.abspath(output_dir)
    html_path = os.path.join(output_dir, "report.html")
    csv_path = os.path.join(output_dir, "report.csv")
    write_atomically(html_path, render(output_dir, entries, deidentify=deidentify))
    write_atomically(csv_path, render_csv(output_dir, entries))
    return html_path, csv_path


def forget_pictures(output_dir, item):
    """Takes the pictures the slide's options leave out from its record, where
    an earlier conversion that kept them wrote them."""
    hidden = left_out(item.get("options"))
    record = load_record(output_dir, item) if hidden else None
    info = read_back(record or {})
    if info and any(kind in info for kind in hidden):
        for kind in hidden:
            info.pop(kind, None)
        write_atomically(os.path.join(output_dir, record_path(item)),
                         json.dumps(record, indent=1, ensure_ascii=False) + "\n")


def write_plan(output_dir, entries, deidentify=False):
    """The batch's entries with their record paths, for the tools beside it,
    before any job runs. First what it leaves out: the list for the viewer,
    which hides those pictures from then on, and, where any is left out, the
    records and the report of earlier runs without them."""
    outputs = {output_name(item): left_out(item.get("options"))
               for item in entries if item.get("name") and left_out(item.get("options"))}
    write_atomically(os.path.join(output_dir, LEFT_OUT),
                     json.dumps({"deidentify": bool(deidentify), "outputs": outputs},
                                ensure_ascii=False, indent=1) + "\n")
    if outputs or deidentify:
        for item in entries:
            forget_pictures(output_dir, item)
        write_report(output_dir, entries, deidentify)
    plan = [dict(item, record=os.path.join(output_dir, record_path(item))
                 if item.get("name") else None) for item in entries]
    write_atomically(os.path.join(output_dir, PLAN),
                     json.dumps(plan, ensure_ascii=False, indent=1) + "\n")


def recorded_entries(output_dir):
    """The entries of the last batch of output_dir (its plan)."""
    with open(os.path.join(output_dir, PLAN), encoding="utf-8") as f:
        return json.load(f)


def recorded_deidentify(output_dir):
    """Whether the last batch of output_dir was de-identified; a record of it
    that cannot be read counts as de-identified, so that no picture shows."""
    try:
        with open(os.path.join(output_dir, LEFT_OUT), encoding="utf-8") as f:
            return json.load(f).get("deidentify") is not False
    except FileNotFoundError:
        return False
    except (OSError, ValueError, AttributeError):
        return True


def summary(output_dir, entries):
    """The batch's last line, and its status: 1 when a slide failed or was
    not converted."""
    counts = {"converted": 0, "failed": 0, "pending": 0}
    for _item, state, _record, _values in rows(output_dir, entries):
        counts[state] += 1
    line = (f"{counts['converted']} of {len(entries)} slide{'' if len(entries) == 1 else 's'}"
            f" converted, {counts['failed']} failed"
            + (f", {counts['pending']} not converted" if counts["pending"] else "")
            + f": see {os.path.join(output_dir, 'report.html')}")
    return line, 1 if counts["failed"] or counts["pending"] else 0


def main(argv):
    if len(argv) == 3 and argv[0] == "--summary":
        # batch.sh after Snakemake: the counts of the plan it ran, else
        # Snakemake's own status.
        output_dir, status = os.path.abspath(argv[1]), int(argv[2])
        try:
            entries = recorded_entries(output_dir)
        except (OSError, ValueError):
            return status
        line, failed = summary(output_dir, entries)
        print(line, file=sys.stderr)
        return failed or status
    if len(argv) != 1:
        sys.exit(__doc__)
    print(*write_report(argv[0], recorded_entries(argv[0]), recorded_deidentify(argv[0])),
          sep="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
