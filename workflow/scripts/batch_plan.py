"""batch_plan.py - which slides a batch converts, under which names, and why
any of them cannot be converted.

A batch is a list of entries, one per slide found by the folder scan or per
row of a sample sheet. Every entry has the output name (the output path
without .svs or .dicom, relative to the output folder), a key (a short hash
of the output's path with its .svs or .dicom, used for Snakemake's rule
names and markers so that no slide name is ever read as a pattern, and so
that one name in two formats is two jobs) and, for a slide that cannot be
converted, the reason. Such entries become failed rows of the report; they
never stop the others. The log and record of a slide are named after its
output too: logs/NAME.svs.log and .json, logs/NAME.dicom.log and .json.
"""

import collections
import csv
import hashlib
import json
import math
import os
import re
import struct
import sys
import unicodedata

NAME_MAX = 255  # bytes of one file name on the file systems a batch writes to
SLIDE_SUFFIX = ".nvx"
OUTPUT_SUFFIX = ".svs"
# A slide converted with format dicom is a folder of DICOM instances.
DICOM_SUFFIX = ".dicom"
# The converter's marker in a folder of instances it published: a folder
# without it is not ours to replace.
FOLDER_MARKER = ".nvx2svs-folder"
LOGS = "logs"

# The converter's own number rules: x, y, width, height and the layer count
# are whole numbers (ASCII digits, a sign, blanks around); the scale is a
# decimal. Anything else (1e3, 1_000, full-width digits, nan) it would read
# as some other number.
WHOLE = re.compile(r"[ \t]*[+-]?[0-9]+[ \t]*")
DECIMAL = re.compile(r"[ \t]*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)[ \t]*")
INT32 = 2**31 - 1
MAX_SCALE = 80.0
REGION_COLUMNS = ("scale", "x", "y", "width", "height")
REGION_LAYERS = "9"  # the converter makes every region a nine-layer pyramid
# Names at the top of the output folder that the batch and its viewer keep
# for themselves: the report, the logs and records, Snakemake's state, and
# the viewer's own paths (/view/, /dzi/, /picture/, /osd/).
RESERVED = ("report.html", "report.csv", LOGS, ".snakemake", "view", "dzi", "picture", "osd")


# A real number as the converter reads an option's value (strtod in the C
# locale, blanks around): decimal or hexadecimal, with an exponent. "inf"
# and "nan" it reads too, and refuses as out of range.
BLANKS = " \t\n\v\f\r"
REAL = re.compile(rf"[{BLANKS}]*[+-]?(0[xX]([0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)"
                  rf"([pP][+-]?[0-9]+)?|([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)[{BLANKS}]*")
MAX_MPP = 1000.0


# The smallest positive normal 32-bit float: the converter keeps a length in
# microns as one, and refuses a value that would be kept below it.
FLOAT_MIN = 2.0 ** -126


def as_float32(number):
    return struct.unpack("f", struct.pack("f", number))[0]


def microns(name, meaning):
    """The rule of an option that takes a length in microns, 0 < X <= 1000,
    read as the converter reads it and as it keeps it (a 32-bit float, at
    least its smallest normal value); returns the text to pass."""
    def rule(text):
        text = str(text)
        word = text.strip(BLANKS)
        number = None
        if REAL.fullmatch(text):
            number = float.fromhex(word) if "x" in word.lower() else float(word)
        if number is None or not math.isfinite(number) or not 0 < number <= MAX_MPP \
                or as_float32(number) < FLOAT_MIN:
            raise ValueError(f"{name} must be a number above 0 (about 1.2e-38 at least) and up "
                             f"to 1000 ({meaning}), not {text!r}")
        return word
    return rule


# --mpp: the pixel size in microns.
pixel_size = microns("mpp", "microns per pixel")


# A whole number as the converter reads --threads and --quality: ASCII
# digits alone, as large as a 32-bit int counts (blanks around a cell or
# setting aside; the converter is given the digits).
DIGITS = re.compile(r"[0-9]+")
MAX_QUALITY = 100


def whole_number(name, least, most, meaning):
    """The rule of an option that takes a whole number from least to most."""
    def rule(text):
        word = str(text).strip(BLANKS)
        if not DIGITS.fullmatch(word) or not least <= int(word) <= most:
            raise ValueError(f"{name} must be {meaning}, not {text!r}")
        return str(int(word))
    return rule


def one_of(name, allowed):
    """The rule of an option that takes one of a few words, exactly as written."""
    def rule(text):
        word = str(text).strip(BLANKS)
        if word not in allowed:
            raise ValueError(f"{name} must be {' or '.join(allowed)}, not {text!r}")
        return word
    return rule


def file_path(name):
    """The rule of an option that takes a file's path: any text but an empty
    one or one with a NUL (which no path holds); it stays one word."""
    def rule(text):
        text = str(text)
        if not text.strip(BLANKS) or "\0" in text:
            raise ValueError(f"{name} must be a file's path, not {text!r}")
        return text
    return rule


def one_word(name, allowed):
    """The rule of an option that takes one word, exactly as written."""
    def rule(text):
        word = str(text).strip(BLANKS)
        if word != allowed:
            raise ValueError(f"{name} must be {allowed}, not {text!r}")
        return word
    return rule


# A yes-or-no setting or cell, letter case and blanks aside; empty means
# unset. Anything else (on, y, 2, a stray word) is refused: a typo must not
# keep a label in.
YES = ("true", "yes", "1")
NO = ("false", "no", "0")


def switch(name):
    """The rule of a yes-or-no setting: "true" or "false" as the text to pass."""
    def rule(text):
        word = str(text).strip(BLANKS).lower()
        if word in YES or word in NO:
            return "true" if word in YES else "false"
        raise ValueError(f"{name} must be true or false (yes or no, 1 or 0), not {text!r}")
    return rule


# The converter's options that a batch can set, for every slide (a setting,
# --config NAME=VALUE) or per slide (a sample sheet column NAME): the setting's
# name, the rule its value is held to (the converter's own; it returns the text
# to pass, or raises ValueError with the reason), and the words it becomes on
# the converter's command line. The value always travels inside its option's
# own word, so no value can be read as another option.
ConverterOption = collections.namedtuple("ConverterOption", "name rule words")
CONVERTER_OPTIONS = (
    ConverterOption("mpp", pixel_size, lambda value: [f"--mpp={value}"]),
    ConverterOption("no_label", switch("no_label"),
                    lambda value: ["--no-label"] if value == "true" else []),
    ConverterOption("no_macro", switch("no_macro"),
                    lambda value: ["--no-macro"] if value == "true" else []),
    ConverterOption("threads", whole_number("threads", 1, INT32,
                                            "a whole number of CPUs, at least 1"),
                    lambda value: [f"--threads={value}"]),
    ConverterOption("tiles", one_word("tiles", "copy"), lambda value: [f"--tiles={value}"]),
    ConverterOption("quality", whole_number("quality", 1, MAX_QUALITY,
                                            "a JPEG quality, a whole number from 1 to 100"),
                    lambda value: [f"--quality={value}"]),
    ConverterOption("chroma", one_word("chroma", "420"), lambda value: [f"--chroma={value}"]),
    ConverterOption("format", one_of("format", ("tiff", "dicom")),
                    lambda value: [f"--format={value}"]),
    ConverterOption("dicom_metadata", file_path("dicom_metadata"),
                    lambda value: [f"--dicom-metadata={value}"]),
    ConverterOption("section_thickness", microns("section_thickness", "microns"),
                    lambda value: [f"--section-thickness={value}"]),
)
OPTION_NAMES = tuple(option.name for option in CONVERTER_OPTIONS)
# The slide's pictures an option leaves out of the output, and so out of
# everything the batch writes and serves about that slide.
PICTURE_OPTIONS = {"no_label": "label", "no_macro": "macro"}
# deidentify: a setting of the batch alone, never a sheet column, that leaves
# out every picture that can carry a patient's name (the macro shows the
# label too), for every slide.
DEIDENTIFY = "deidentify"
# Nor does it let a DICOM metadata file put a patient's name or ID into the
# instances.
PATIENT_DETAILS = "the batch is de-identified: no patient details go into its slides"


def option_values(given):
    """{name: text to pass} of the options in `given` ({name: value}) that
    are set (empty means unset); raises ValueError with the reason of the
    first that breaks its rule or that the converter does not have."""
    rules = {option.name: option.rule for option in CONVERTER_OPTIONS}
    values = {}
    for name, value in given.items():
        if name not in rules:
            raise ValueError(f"the converter has no option --{name}")
        if value is not None and str(value) != "":
            values[name] = rules[name](value)
    return values


# The options that describe DICOM instances, which a TIFF has no place for.
DICOM_ONLY = ("dicom_metadata", "section_thickness")


def without_dicom(values):
    """The first option in `values` that describes DICOM instances while the
    format is not dicom, or None."""
    if values.get("format") == "dicom":
        return None
    return next((name for name in DICOM_ONLY if name in values), None)


def together(values):
    """Checked values that also hold together, or raises ValueError."""
    name = without_dicom(values)
    if name:
        raise ValueError(f"{name} needs format dicom")
    return values


def is_dicom(options):
    return (options or {}).get("format") == "dicom"


def output_name(item):
    """The output's path under the output folder: NAME.svs, or the folder
    NAME.dicom for a slide converted to DICOM."""
    return item["name"] + (DICOM_SUFFIX if is_dicom(item.get("options")) else OUTPUT_SUFFIX)


def ours(path):
    """Whether path is a folder of instances the converter published."""
    return (os.path.isdir(path) and not os.path.islink(path)
            and os.path.isfile(os.path.join(path, FOLDER_MARKER)))


def option_words(values):
    """The converter's option words for checked values, in the table's order."""
    return [word for option in CONVERTER_OPTIONS if option.name in values
            for word in option.words(values[option.name])]


def left_out(options):
    """The pictures (label, macro) that checked options leave out, sorted."""
    return sorted(picture for name, picture in PICTURE_OPTIONS.items()
                  if (options or {}).get(name) == "true")


def deidentified(setting):
    """Whether the batch is de-identified, read through setting(name); raises
    ValueError with the reason of a value that is not yes or no."""
    value = setting(DEIDENTIFY)
    if value is None or str(value) == "":
        return False
    try:
        return switch(DEIDENTIFY)(value) == "true"
    except ValueError as e:
        raise ValueError(f"the {DEIDENTIFY} setting: {e}") from None


# The PACS a batch uploads its DICOM slides to: pacs is its address (http or
# https, a host, an optional port and nothing else, so that no value can
# carry a path, a query, a login or another scheme); pacs_api how to talk to
# it: orthanc (its REST API, POST /instances per instance, and its whole-slide
# viewer linked in the report) or stowrs (DICOMweb STOW-RS, POST
# {pacs}{dicomweb_root}/studies; dicomweb_root is the service's path, by
# default /dicom-web as Orthanc's DICOMweb plugin serves it); pacs_timeout
# the seconds one slide's whole upload (all its instances, every answer
# read) may take before the slide fails.
PACS_APIS = ("orthanc", "stowrs")
DICOMWEB_ROOT = "/dicom-web"
PACS_TIMEOUT = 3600
MAX_PACS_TIMEOUT = 7 * 24 * 3600
pacs_timeout = whole_number("pacs_timeout", 1, MAX_PACS_TIMEOUT,
                            f"a whole number of seconds from 1 to {MAX_PACS_TIMEOUT}")
LABEL = r"[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?"  # one part of a host name
HOST_NAME = re.compile(rf"{LABEL}(\.{LABEL})*")
HOST_V6 = re.compile(r"\[[0-9A-Fa-f:.]+\]")
PORT = re.compile(r"[0-9]{1,5}")
ROOT_SEGMENT = re.compile(r"[A-Za-z0-9._~-]+")


def pacs_address(text):
    """The PACS address as scheme://host[:port], or raises ValueError with
    the reason."""
    text = str(text).strip(BLANKS)
    def refused(why):
        return ValueError(f"pacs must be http://HOST[:PORT] or https://HOST[:PORT] ({why}), "
                          f"not {text!r}")
    scheme, separator, rest = text.partition("://")
    if not separator or scheme not in ("http", "https"):
        raise refused("the scheme is http or https")
    rest = rest[:-1] if rest.endswith("/") else rest
    if any(c in rest for c in "/?#@ \t\\") or not rest:
        raise refused("a host and a port alone, no path, query or login")
    if rest.startswith("["):
        host, _, port = rest.partition("]")
        host += "]"
        if port and not port.startswith(":"):
            raise refused("a host and a port alone")
        port = port[1:] if port else None
        good_host = HOST_V6.fullmatch(host)
    else:
        host, colon, port = rest.partition(":")
        port = port if colon else None
        good_host = HOST_NAME.fullmatch(host)
    if not good_host:
        raise refused(f"{host!r} is not a host name or address")
    if port is not None and (not PORT.fullmatch(port) or not 1 <= int(port) <= 65535):
        raise refused(f"the port is a number from 1 to 65535, not {port!r}")
    return f"{scheme}://{host}" + (f":{int(port)}" if port is not None else "")


def dicomweb_root(text):
    """The DICOMweb service's path on the PACS: /segment/segment..."""
    text = str(text).strip(BLANKS)
    segments = text.split("/")
    if not text.startswith("/") or not all(ROOT_SEGMENT.fullmatch(s) for s in segments[1:]) \
            or any(s in (".", "..") for s in segments):
        raise ValueError("dicomweb_root must be a path of letters, digits, '.', '_', '~' "
                         f"and '-' between slashes, such as /dicom-web, not {text!r}")
    return text


def pacs_settings(setting):
    """{"address", "api", "root", "timeout"} of the PACS read through
    setting(name), or None when no pacs is set; raises ValueError naming the
    setting whose value cannot be used."""
    address = setting("pacs")
    api = setting("pacs_api")
    root = setting("dicomweb_root")
    timeout = setting("pacs_timeout")
    if address is None or str(address).strip(BLANKS) == "":
        for name, value in (("pacs_api", api), ("dicomweb_root", root),
                            ("pacs_timeout", timeout)):
            if value is not None and str(value) != "":
                raise ValueError(f"the {name} setting needs a pacs setting")
        return None
    try:
        address = pacs_address(address)
    except ValueError as e:
        raise ValueError(f"the pacs setting: {e}") from None
    api = str(api).strip(BLANKS) if api not in (None, "") else PACS_APIS[0]
    if api not in PACS_APIS:
        raise ValueError(f"the pacs_api setting: pacs_api must be orthanc or stowrs, not {api!r}")
    try:
        root = dicomweb_root(root) if root not in (None, "") else DICOMWEB_ROOT
    except ValueError as e:
        raise ValueError(f"the dicomweb_root setting: {e}") from None
    try:
        timeout = int(pacs_timeout(timeout)) if timeout not in (None, "") else PACS_TIMEOUT
    except ValueError as e:
        raise ValueError(f"the pacs_timeout setting: {e}") from None
    return {"address": address, "api": api, "root": root, "timeout": timeout}


# An id Orthanc gives a series (a SHA-1 in five groups of eight hex digits).
ORTHANC_ID = re.compile(r"[0-9a-f]{8}(-[0-9a-f]{8}){4}")


def pacs_viewer(address, series):
    """The Orthanc whole-slide viewer's address for a series, or None when
    the address or the id is not what it should be."""
    try:
        address = pacs_address(address)
    except ValueError:
        return None
    if not isinstance(series, str) or not ORTHANC_ID.fullmatch(series):
        return None
    return f"{address}/wsi/app/viewer.html?series={series}"


def option_settings(setting):
    """The options set for every slide, read through setting(name), with
    both pictures left out where the batch is de-identified; raises
    ValueError naming the setting whose value breaks its rule, or that would
    keep a picture a de-identified batch leaves out."""
    values = {}
    for name in OPTION_NAMES:
        try:
            values.update(option_values({name: setting(name)}))
        except ValueError as e:
            raise ValueError(f"the {name} setting: {e}") from None
    if deidentified(setting):
        for name, picture in PICTURE_OPTIONS.items():
            if values.get(name) == "false":
                raise ValueError(f"the {name} setting: false would keep the {picture} of a "
                                 f"batch that is de-identified ({DEIDENTIFY}=true)")
            values[name] = "true"
        if "dicom_metadata" in values:
            raise ValueError(f"the dicom_metadata setting: {PATIENT_DETAILS}")
    name = without_dicom(values)
    if name:
        raise ValueError(f"the {name} setting: {name} needs format dicom")
    return values


def keeps_out(row_options, deidentify):
    """A row's options, once a de-identified batch has had its say: a cell
    that would keep a picture fails its row (ValueError), never the batch's
    promise."""
    if deidentify:
        for name, picture in PICTURE_OPTIONS.items():
            if row_options.get(name) != "true":
                raise ValueError(f"{name} is false, but the batch is de-identified: the "
                                 f"{picture} stays out of every slide")
        if "dicom_metadata" in row_options:
            raise ValueError(f"dicom_metadata is given, but {PATIENT_DETAILS}")
    return row_options


class SheetError(Exception):
    """A sample sheet that cannot be read at all (as opposed to a bad row)."""


def key_of(text):
    return hashlib.sha1(text.encode("utf-8", "surrogateescape")).hexdigest()[:12]


def encoded_length(text):
    return len(text.encode("utf-8", "surrogateescape"))


def layer_count(text):
    """The layer count as text, or raises ValueError with the reason."""
    text = str(text)
    if not WHOLE.fullmatch(text) or not 1 <= int(text) <= 9:
        raise ValueError(f"layers must be a whole number from 1 to 9, not {text!r}")
    return str(int(text))


def region_values(region):
    """The five region values checked as the converter reads them, as the
    texts to pass it; raises ValueError with the reason."""
    scale, *whole = region
    if not DECIMAL.fullmatch(scale) or not 0 < float(scale) <= MAX_SCALE:
        raise ValueError(f"scale must be a decimal number above 0 and up to 80, not {scale!r}")
    for column, text in zip(REGION_COLUMNS[1:], whole):
        if not WHOLE.fullmatch(text) or abs(int(text)) > INT32:
            raise ValueError(f"{column} must be a whole number, not {text!r}")
        if column in ("width", "height") and int(text) < 0:
            raise ValueError(f"{column} must not be negative, not {text!r}")
    return [scale.strip()] + [str(int(text)) for text in whole]


def side_path(name, suffix):
    """logs/NAME+suffix, with the file name shortened (and made unique by a
    hash of the name) when it would not fit the file system's limit."""
    folder, base = os.path.split(name)
    if encoded_length(base + suffix) > NAME_MAX:
        tag = "~" + key_of(name)
        room = NAME_MAX - encoded_length(tag + suffix)
        raw = base.encode("utf-8", "surrogateescape")[:room]
        base = raw.decode("utf-8", "ignore") + tag
    return os.path.join(LOGS, folder, base + suffix)


def log_path(item):
    """logs/NAME.svs.log (or NAME.dicom.log): the converter's output."""
    return side_path(output_name(item), ".log")


def record_path(item):
    """logs/NAME.svs.json (or NAME.dicom.json): the slide's record."""
    return side_path(output_name(item), ".json")


def names(path, item):
    """Whether an absolute path a job wrote (into its marker or record) is
    the item's output: the same path under the output folder, wherever the
    folder was then (it may have been moved since)."""
    return isinstance(path, str) and path.endswith(os.sep + output_name(item))


def marks(marker, item):
    """Whether a slide's marker names the item's output (the job writes the
    output's absolute path into it)."""
    try:
        with open(marker, encoding="utf-8") as f:
            text = f.read()
    except (OSError, ValueError):
        return False
    return text.endswith("\n") and names(text[:-1], item)


def adopt_earlier_names(item, output_dir, marker, pacs=None):
    """Moves what a slide's conversion left under the names the batch gave
    before they were named after the output (the marker .snakemake/nvx-batch/
    done/<hash of NAME>, logs/NAME.log and logs/NAME.json) to today's (the
    marker at `marker`, log_path, record_path), when they are this output's
    and hold for this batch: the marker names the output, the record says it
    was converted with the same layers, region and options (and, for a DICOM
    slide while a PACS is set, uploaded to that PACS through that API).
    Anything else stays as it is, and the slide is converted again. Returns
    whether it moved them."""
    name = item["name"]
    earlier_marker = os.path.join(os.path.dirname(marker), key_of(name))
    earlier_log = os.path.join(output_dir, side_path(name, ".log"))
    earlier_record = os.path.join(output_dir, side_path(name, ".json"))
    log = os.path.join(output_dir, log_path(item))
    record = os.path.join(output_dir, record_path(item))
    try:
        if os.path.lexists(marker) or os.path.lexists(record) \
                or not os.path.isfile(earlier_marker):
            return False
        if not marks(earlier_marker, item):
            return False
        with open(earlier_record, encoding="utf-8") as f:
            earlier = json.load(f)
        if not isinstance(earlier, dict) or earlier.get("status") != "converted" \
                or not names(earlier.get("output"), item) \
                or earlier.get("options") != item["options"] \
                or str(earlier.get("layers")) != str(item["layers"]) \
                or (earlier.get("region") or []) != list(item["region"]):
            return False
        if pacs and pacs.get("address") and is_dicom(item["options"]):
            uploaded = earlier.get("pacs")
            if not isinstance(uploaded, dict) or (uploaded.get("address"), uploaded.get("api")) \
                    != (pacs["address"], pacs["api"]):
                return False
        os.makedirs(os.path.dirname(record), exist_ok=True)
        if os.path.isfile(earlier_log) and not os.path.lexists(log):
            os.replace(earlier_log, log)
        os.replace(earlier_record, record)
        os.replace(earlier_marker, marker)
    except (OSError, ValueError, RecursionError):
        return False
    return True


def entry(name, source, layers, region=(), shown=None, reason=None, line=None, options=None):
    output = name + (DICOM_SUFFIX if is_dicom(options) else OUTPUT_SUFFIX) \
        if name is not None else None
    return {
        "key": key_of(output if output is not None else f"\0{source}\0{line}"),
        "name": name,
        "source": source,
        "shown": shown or name or source,
        "layers": REGION_LAYERS if region else layers,
        "region": list(region),
        "options": dict(options or {}),
        "line": line,
        "reason": reason,
    }


def scan(folder, layers, options=None):
    """Every *.nvx under folder, subfolders included; hidden entries skipped;
    each with the options set for the batch ({name: checked value})."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for f in sorted(files):
            if f.lower().endswith(SLIDE_SUFFIX) and not f.startswith("."):
                path = os.path.join(root, f)
                name = os.path.relpath(path, folder)[: -len(SLIDE_SUFFIX)]
                found.append(entry(name, path, layers, shown=os.path.relpath(path, folder),
                                   options=options))
    return found


def read_sheet(sheet, folder, layers, options=None, warn=None, deidentify=False):
    """A CSV with the columns slide, and optionally layers, name, the region
    scale, x, y, width, height (all five or none) and a column for each of
    the converter's options (OPTION_NAMES); header names in any case.
    slide is a path relative to the input folder (or absolute); name is the
    output's name without .svs (default: the slide's path relative to the
    input folder, without .nvx). An empty cell of an option leaves the
    batch's setting (`options`); in a de-identified batch a cell that would
    keep a picture fails its row. A bad row becomes an entry with its reason.
    warn(text), when given, hears of every column the batch does not read."""
    try:
        with open(sheet, newline="", encoding="utf-8-sig") as f:
            lines = list(csv.reader(f))
    except UnicodeDecodeError as e:
        raise SheetError(f"{sheet}: the sample sheet is not UTF-8 text (byte {e.start}); "
                         "save it as CSV in UTF-8") from None
    except OSError as e:
        raise SheetError(f"{sheet}: the sample sheet cannot be read: {e.strerror}") from None
    except csv.Error as e:
        raise SheetError(f"{sheet}: the sample sheet is not a CSV file: {e}") from None
    header = [column.strip().lower() for column in lines[0]] if lines else []
    if "slide" not in header:
        raise SheetError(f"{sheet}: the sample sheet needs a 'slide' column")
    known = ("slide", "name", "layers", *REGION_COLUMNS, *OPTION_NAMES)
    for column in header:
        if warn and column == DEIDENTIFY:
            warn(f"{sheet}: the sample sheet's column {column!r} is not used: a batch is "
                 f"de-identified as a whole (--config {DEIDENTIFY}=true); per slide the "
                 "columns no_label and no_macro leave a picture out")
        elif warn and column and column not in known:
            warn(f"{sheet}: the sample sheet's column {column!r} is not used "
                 f"(the batch reads {', '.join(known)})")
    found = []
    for number, cells in enumerate(lines[1:], start=2):
        row = {column: cell.strip() for column, cell in zip(header, cells)}
        if not row.get("slide"):
            continue
        where = f"sheet line {number}"
        path = os.path.normpath(os.path.join(folder, row["slide"]))
        inside = path.startswith(folder.rstrip(os.sep) + os.sep)
        name = row.get("name") or os.path.splitext(
            os.path.relpath(path, folder) if inside else os.path.basename(path))[0]
        name = os.path.normpath(name)
        shown = f"{row['slide']} ({where})"
        reason = None
        region = [row.get(k, "") for k in REGION_COLUMNS]
        try:
            if name.startswith("..") or os.path.isabs(name):
                raise ValueError(f"the name {name!r} leaves the output folder")
            row_layers = layer_count(row["layers"]) if row.get("layers") else layers
            if not all(region):
                if any(region):
                    raise ValueError("a region needs scale, x, y, width and height")
                region = []
            else:
                region = region_values(region)
            cells = option_values({column: row.get(column) for column in OPTION_NAMES})
            if "dicom_metadata" in cells:  # a path in the sheet, from the input folder
                cells["dicom_metadata"] = os.path.join(folder, cells["dicom_metadata"])
            row_options = together(keeps_out(dict(options or {}, **cells), deidentify))
        except ValueError as e:
            reason, row_layers, region, row_options = str(e), layers, [], {}
        found.append(entry(None if reason else name, path, row_layers, region, shown=shown,
                           reason=reason, line=number, options=row_options))
    return found


def refuse(item, reason):
    item["reason"] = reason


def simple_fold(character):
    """Unicode simple case folding, one character for one, as file systems
    that ignore case compare names ('ẞ' is 'ß', but 'ß' is not 'ss')."""
    full = character.casefold()
    if len(full) == 1:
        return full
    lower = character.lower()
    return lower if len(lower) == 1 else character


def name_key(name):
    """A name as a share that ignores letter case and normalises Unicode
    (macOS, many NAS) sees it: 'café' in NFC and in NFD are one name there."""
    decomposed = unicodedata.normalize("NFD", name)
    return unicodedata.normalize("NFC", "".join(simple_fold(c) for c in decomposed))


def reserved_place(output):
    """The batch's own name at the top of the output folder that this output
    would take or go into, or None."""
    first = name_key(output.split(os.sep)[0])
    return next((name for name in RESERVED if name_key(name) == first and os.sep in output),
                None)


def check(entries, output_dir):
    """Marks every entry that cannot be converted with its reason. The first
    of two entries with one output name (letter case and Unicode
    normalisation aside, so that a share that ignores case or normalises
    names cannot mix them up) keeps it."""
    taken = {}
    folders = set()
    for item in entries:
        name = item["name"]
        if item["reason"] or name is None:
            continue
        for parent in _parents(name):
            folders.add(name_key(parent))
    for item in entries:
        if item["reason"]:
            continue
        name, source = item["name"], item["source"]
        output = output_name(item)
        try:
            name.encode("utf-8")
            source.encode("utf-8")
        except UnicodeEncodeError:
            refuse(item, "the name is not UTF-8 text")
            continue
        if "?" in source:
            refuse(item, "the path contains '?', which the converter reads as a blank")
        elif os.path.islink(source) and not os.path.exists(source):
            refuse(item, f"the slide is a link to a missing file ({os.readlink(source)})")
        elif not os.path.exists(source):
            refuse(item, "the slide does not exist")
        elif not os.path.isfile(source):
            refuse(item, "the slide is not a file")
        elif any(encoded_length(part) > NAME_MAX for part in output.split(os.sep)):
            refuse(item, f"the output name is longer than {NAME_MAX} bytes")
        elif reserved_place(output):
            refuse(item, f"the output would go into {output.split(os.sep)[0]}, which the "
                         f"batch keeps for its own {reserved_place(output)}")
        elif name_key(output) in taken:
            shown, other = taken[name_key(output)]
            aside = ("in another Unicode normalisation" if other != output and
                     unicodedata.normalize("NFC", other) == unicodedata.normalize("NFC", output)
                     else "letter case aside")
            refuse(item, f"{shown} has the same output name ({output}, {aside})")
        elif name_key(output) in folders:
            refuse(item, f"{output} is also a folder of other outputs")
        elif output.endswith(OUTPUT_SUFFIX) and os.path.isdir(os.path.join(output_dir, output)):
            refuse(item, f"{output} is a folder in the output folder")
        elif (output.endswith(DICOM_SUFFIX) and os.path.lexists(os.path.join(output_dir, output))
              and not ours(os.path.join(output_dir, output))):
            refuse(item, f"{output} is in the output folder and is not a folder of DICOM "
                         "instances the converter made")
        else:
            taken[name_key(output)] = (item["shown"], output)
    return entries


def _parents(name):
    parts = name.split(os.sep)[:-1]
    return [os.sep.join(parts[: i + 1]) for i in range(len(parts))]


def snakemake_literal(path):
    """A path as a Snakemake file pattern that matches only itself."""
    return path.replace("{", "{{").replace("}", "}}")


def check_settings(environment, warn=None):
    """The message that stops a batch before Snakemake starts, or None: a
    setting or sample sheet that cannot be used at all. warn(text) hears of
    what is only worth a warning."""
    try:
        layers = layer_count(environment.get("NVX_BATCH_LAYERS") or 4)
    except ValueError as e:
        return f"the layers setting: {e}"
    setting = lambda name: environment.get("NVX_BATCH_" + name.upper())  # noqa: E731
    try:
        options = option_settings(setting)
        deidentify = deidentified(setting)
        pacs_settings(setting)
    except ValueError as e:
        return str(e)
    sheet = environment.get("NVX_BATCH_SAMPLES")
    if sheet:
        try:
            read_sheet(sheet, environment.get("NVX_BATCH_INPUT") or ".", layers, options, warn,
                       deidentify)
        except SheetError as e:
            return str(e)
    return None


if __name__ == "__main__":
    # scripts/batch.sh: --option-settings lists the settings of the
    # converter's options; otherwise the settings are checked.
    if sys.argv[1:] == ["--option-settings"]:
        print(*OPTION_NAMES)
        sys.exit(0)
    problem = check_settings(
        os.environ, lambda text: print(f"batch: warning: {text}", file=sys.stderr))
    if problem:
        print(f"batch: {problem}", file=sys.stderr)
        sys.exit(2)
