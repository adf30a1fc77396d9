"""tfxresult: the one reader of what tfxclnt -o writes, for tfxplot and
tfxcompare. It checks every figure as tfxclnt -M does (a regular file
within a size bound, opened without waiting, JSON without NaN or
infinity, kinds and ranges, counts that add up, histograms whose counts
equal their samples), and more that -M does not read: intervals, the
percentiles named, repeated runs, sweeps and agents. A file it refuses
raises BadResult, one line naming the file and the field.

Memory stays a small multiple of the file's size: histograms, whose
buckets are most of a result, are read from the text straight into numpy
arrays, and every series is kept as arrays, never as Python objects.
docs/result.schema.json describes the same format for other readers.
"""

import array
import json
import math
import os
import re
import secrets
import stat

import numpy as np

MAX_RESULT_BYTES = 256 << 20  # as tfxclnt -M reads results: far above a day-long run
# The text parsed into Python objects, all but the buckets and intervals,
# which are read into arrays: a sweep of 1000 steps of 100 runs each writes
# 25 MiB of it, in a million values. A value takes up to about 100 bytes.
MAX_OBJECT_BYTES = 32 << 20
MAX_OBJECT_VALUES = 2 << 20
MAX_COUNT = 1 << 53  # the largest count or nanosecond figure: exact as a double
MAX_UNIX_S = 8e9
MAX_RUN_S = 1e9
MAX_MERGED_RUNS = 1024
MAX_TEXT_BYTES = 4096
MAX_REFUSAL_REASONS = 4096
MAX_SERVER_FIGURE = (1 << 32) - 1
MAX_CONNECTIONS = 200
MAX_WINDOW = 65536
MAX_REQUEST_SIZE = 1 << 20
MAX_RATE = 1e12
MAX_REPEATS = 100
MAX_SWEEP_STEPS = 1000
MAX_PERCENTILES = 64
INT32 = (-(1 << 31), (1 << 31) - 1)
END_REASONS = ("failure", "service gone", "blocked", "silence", "second interrupt", "interrupt",
               "duration", "count")
RUNS_END_REASONS = ("complete", "failure", "interrupt")  # of repeated runs and sweeps
# The figures of each repeated run, by the key the result gives them.
RUN_FIGURES = ("achieved_per_s", "p50_ns", "p99_ns", "p99.9_ns", "max_ns", "timeouts", "refused",
               "send_lag_p99_ns")
HISTOGRAMS = ("latency_ns", "uncorrected_latency_ns", "send_lag_ns", "warmup_latency_ns")
INTERVAL_PERCENTILES = ("50", "99", "99.9")


def bucket_count():
    """The buckets of tfxclnt's histogram: log-linear, 1024 a power of two
    above 2048 ns, up to an hour."""
    highest = 3600000000000
    shift = highest.bit_length() - 11
    return shift * 1024 + (highest >> shift) + 1


MAX_BUCKETS = bucket_count()


class BadResult(Exception):
    """A file that is not a result tfxclnt wrote: str() is "PATH: why"."""


class FieldError(Exception):
    """A member missing, of the wrong kind, out of range or at odds with
    others: "FIELD: why"."""


def value_text(value):
    """A value as a message shows it, cut short when long."""
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."


def number_text(value):
    return f"{value:.15g}"


def is_whole(value):
    return isinstance(value, int) and not isinstance(value, bool)


class Fields:
    """One object or array of a result, read member by member, each checked
    for its kind and range; a read that fails raises FieldError."""

    def __init__(self, value, path=""):
        if not isinstance(value, (dict, list)):
            raise FieldError(f"{path}: {value_text(value)} is not an object")
        self.value, self.path = value, path

    def path_of(self, name):
        if name == "":
            return self.path
        if isinstance(self.value, list):
            return f"{self.path}[{name}]"
        return f"{self.path}.{name}" if self.path else name

    def fail(self, name, why):
        raise FieldError(f"{self.path_of(name)}: {why}")

    def has(self, name):
        return isinstance(self.value, dict) and name in self.value

    def member(self, name):
        if isinstance(self.value, dict):
            if name not in self.value:
                self.fail(name, "is missing")
            return self.value[name]
        if not name.isdigit() or len(name) >= 10 or int(name) >= len(self.value):
            self.fail(name, "is missing")
        return self.value[int(name)]

    def is_null(self, name):
        return self.member(name) is None

    def fields(self, name):
        member = self.member(name)
        if not isinstance(member, dict):
            self.fail(name, f"{value_text(member)} is not an object")
        return Fields(member, self.path_of(name))

    def array(self, name, most):
        member = self.member(name)
        if not isinstance(member, list):
            self.fail(name, f"{value_text(member)} is not an array")
        if len(member) > most:
            self.fail(name, f"holds {len(member)} elements, more than the {most} a result can "
                            "hold")
        return Fields(member, self.path_of(name))

    def items(self):
        """Each element of an array as Fields of its own."""
        return [self.fields(str(index)) for index in range(len(self.value))]

    def count(self, name, low=0, high=MAX_COUNT):
        member = self.member(name)
        if is_whole(member) and low <= member <= high:
            return member
        self.fail(name, f"{value_text(member)} is not a whole number from {low} to {high}")

    def integer(self, name, low, high):
        return self.count(name, low, high)

    def number(self, name, low, high):
        member = self.member(name)
        if isinstance(member, (int, float)) and not isinstance(member, bool) and \
                low <= member <= high:
            return float(member)
        self.fail(name, f"{value_text(member)} is not a number from {number_text(low)} to "
                        f"{number_text(high)}")

    def text(self, name, most=MAX_TEXT_BYTES):
        member = self.member(name)
        if isinstance(member, str) and len(member.encode("utf-8", "surrogatepass")) <= most:
            return member
        self.fail(name, f"{value_text(member)} is not a text of up to {most} bytes")

    def flag(self, name):
        member = self.member(name)
        if not isinstance(member, bool):
            self.fail(name, f"{value_text(member)} is neither true nor false")
        return member

    def maybe(self, read, name, *bounds):
        """A figure that may be null: None then, else read(name, *bounds)."""
        return None if self.is_null(name) else read(name, *bounds)


# Histogram buckets as tfxclnt writes them, [[low,high,count],...] without
# spaces, each number of at most 16 digits: read straight into arrays.
NUMBER = rb"(?:0|[1-9][0-9]{0,15})"
BUCKETS_KEY = re.compile(rb'"buckets":')
PLAIN_BUCKETS = re.compile(rb"\[(?:\[%s,%s,%s\](?:,\[%s,%s,%s\])*+)?\]" % ((NUMBER,) * 6))
# Intervals: an array of objects without arrays, whose only texts are names:
# kept as text and read one interval at a time.
INTERVALS_KEY = re.compile(rb'"intervals":')
PLAIN_INTERVALS = re.compile(rb'\[[^\[\]"]*+(?:"[a-z_0-9.]*+"[^\[\]"]*+)*+\]')


class Cut:
    """A large array cut out of a result's text, a placeholder in its place:
    the buckets of a histogram as an array, or intervals as their text."""

    def __init__(self, text, buckets=None):
        self.text, self.buckets = text, buckets


def cut_arrays(data):
    """The text with each plain bucket or interval array replaced by a
    placeholder string, and what the placeholders stand for."""
    token = "tfxresult-" + secrets.token_hex(16)
    found = [(key.end(), PLAIN_BUCKETS.match(data, key.end()), True)
             for key in BUCKETS_KEY.finditer(data)]
    found += [(key.end(), PLAIN_INTERVALS.match(data, key.end()), False)
              for key in INTERVALS_KEY.finditer(data)]
    pieces, cuts, done = [], {}, 0
    for _, match, buckets in sorted(found, key=lambda entry: entry[0]):
        if match is None or match.start() < done:
            continue
        name = f"{token}-{len(cuts)}"
        if buckets:
            span = data[match.start() + 1:match.end() - 1].translate(None, b"[]")
            cuts[name] = Cut(None, np.fromstring(span, dtype=np.int64, sep=",").reshape(-1, 3))
        else:
            cuts[name] = Cut(data[match.start():match.end()].decode("utf-8"))
        pieces += [data[done:match.start()], b'"' + name.encode() + b'"']
        done = match.end()
    if not cuts:
        return data, cuts
    pieces.append(data[done:])
    return b"".join(pieces), cuts


def refuse_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"number overflow parsing '{text}'")
    return value


def refuse_constant(name):
    raise ValueError(f"{name} is not a number JSON has")


def read_bytes(path):
    """The bytes of the regular file at path, up to MAX_RESULT_BYTES, never
    waiting on a FIFO; raises BadResult."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise BadResult(f"{path}: cannot be read ({error.strerror})") from None
    with os.fdopen(fd, "rb") as file:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise BadResult(f"{path}: not a regular file")
        data = b"" if info.st_size > MAX_RESULT_BYTES else file.read(MAX_RESULT_BYTES + 1)
    if info.st_size > MAX_RESULT_BYTES or len(data) > MAX_RESULT_BYTES:
        raise BadResult(f"{path}: larger than 256 MiB, far more than any result of tfxclnt")
    return data


def parse(data):
    """The document the bytes hold and its cut-out bucket arrays; raises
    FieldError with a path of "" for text that is not JSON."""
    data, arrays = cut_arrays(data)
    if len(data) > MAX_OBJECT_BYTES or data.count(b",") > MAX_OBJECT_VALUES:
        raise ValueError("holds more besides its histograms' buckets and its intervals than any "
                         "result of tfxclnt")
    try:
        text = data.decode("utf-8")
        del data
        document = json.loads(text, parse_float=refuse_float, parse_constant=refuse_constant)
    except RecursionError:
        raise ValueError("not JSON: nested too deep") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise ValueError(f"not JSON: {error}") from None
    return document, arrays


# The members every result of its kind holds.
KIND_MEMBERS = {
    "sweep": (("settings", dict), ("sweep", dict)),
    "repeats": (("settings", dict), ("repeats", dict)),
    "run": (("settings", dict), ("counts", dict), ("latency_ns", dict), ("intervals", list)),
}


def kind_of(document, arrays):
    """"run", "repeats" or "sweep"; raises ValueError when the document is
    not a result of tfxclnt, or lacks a member of its kind."""
    if not isinstance(document, dict) or document.get("tool") != "tfxclnt":
        raise ValueError('not a result of tfxclnt: it has no "tool": "tfxclnt"')
    kind = "sweep" if "sweep" in document else "repeats" if "repeats" in document else "run"
    for name, type_ in KIND_MEMBERS[kind]:
        member = document.get(name)
        if not isinstance(member, type_) and not (isinstance(member, str) and member in arrays):
            raise ValueError(f'not a whole result of tfxclnt: "{name}" is missing')
    return kind


def read(path):
    """The result in the file at path, checked whole; raises BadResult."""
    data = read_bytes(path)
    try:
        document, arrays = parse(data)
        del data
        kind = kind_of(document, arrays)
        return Result(path, kind, Fields(document), arrays)
    except (ValueError, FieldError, Refused) as error:
        raise BadResult(f"{path}: {error}") from None


class Refused(Exception):
    """A whole result that cannot be read: the message says why."""


class Histogram:
    """A latency histogram: samples, min, mean, max, its percentiles by name
    and its buckets as arrays (low, high, count); empty arrays when it has
    no samples."""

    def __init__(self, json, arrays):
        self.samples = json.count("samples")
        self.percentiles = {}
        if self.samples == 0:
            self.min = self.max = self.mean = None
            self.lows = self.highs = self.counts = np.zeros(0, dtype=np.int64)
            return
        self.min = json.count("min")
        self.max = json.count("max", self.min)
        self.mean = json.number("mean", 0.0, float(MAX_COUNT))
        buckets = bucket_array(json, arrays)
        self.lows, self.highs, self.counts = buckets[:, 0], buckets[:, 1], buckets[:, 2]
        check_buckets(json.path_of("buckets"), buckets, self.samples)
        if not self.min <= self.mean <= self.max:
            json.fail("mean", f"{number_text(self.mean)} is not from min to max")
        self.percentiles = read_percentiles(json.fields("percentiles"), self.min, self.max)

    def values(self):
        """Each bucket's value as tfxclnt takes it: its middle, kept within
        min and max."""
        middle = self.lows + (self.highs - self.lows) // 2
        return np.clip(middle, self.min, self.max).astype(float)


def bucket_array(json, arrays):
    """The buckets as an n by 3 array, from the text cut out or the JSON read."""
    member = json.member("buckets")
    if isinstance(member, str) and member in arrays and arrays[member].buckets is not None:
        buckets = arrays[member].buckets
        if len(buckets) > MAX_BUCKETS:
            json.fail("buckets", f"holds {len(buckets)} elements, more than the {MAX_BUCKETS} "
                                 "a result can hold")
        return buckets
    listed = json.array("buckets", MAX_BUCKETS)
    for index in range(len(listed.value)):
        bucket = listed.array(str(index), 3)
        low = bucket.count("0")
        bucket.count("1", low)
        bucket.count("2", 1)
    return np.array(listed.value, dtype=np.int64).reshape(-1, 3)


def check_buckets(path, buckets, samples):
    """Each bucket's low, high of at least low and count of at least one,
    all within MAX_COUNT, and counts that add up to the samples, as tfxclnt
    -M checks them, the first fault named."""
    lows, highs, counts = buckets[:, 0], buckets[:, 1], buckets[:, 2]
    for column, low, values in ((0, 0, lows), (1, lows, highs), (2, 1, counts)):
        bad = np.flatnonzero((values < low) | (values > MAX_COUNT))
        if len(bad):
            row = bad[0]
            lowest = low if column != 1 else lows[row]
            raise FieldError(f"{path}[{row}][{column}]: {values[row]} is not a whole number from "
                             f"{lowest} to {MAX_COUNT}")
    total = np.cumsum(counts)
    over = np.flatnonzero(total > samples)
    if len(over):
        raise FieldError(f"{path}: the counts add up to more than the {samples} samples")
    added = int(total[-1]) if len(total) else 0
    if added != samples:
        raise FieldError(f"{path}: the counts add up to {added}, not to the {samples} samples")
    if np.any(lows[1:] <= highs[:-1]):
        raise FieldError(f"{path}: the buckets are not in order, each above the one before")


def percentile_name(json, name):
    """The percent a percentile's name gives: 50 for "50", 99.9 for "99.9"."""
    try:
        percent = float(name)
    except ValueError:
        percent = math.nan
    if not 0 <= percent <= 100:
        json.fail(name, "is not the name of a percentile from 0 to 100")
    return percent


def read_percentiles(json, low, high):
    """The percentiles by name, each from low to high."""
    if len(json.value) > MAX_PERCENTILES:
        json.fail("", f"holds {len(json.value)} percentiles, more than the {MAX_PERCENTILES} "
                      "-p takes")
    return {name: json.count(name, low, high) for name in json.value
            if percentile_name(json, name) is not None}


def read_histogram(document, name, arrays):
    """The histogram of that name, None when the result has it null."""
    return None if document.is_null(name) else Histogram(document.fields(name), arrays)


# A count of a run that never exceeds another: the one within the other.
COUNTS_WITHIN = (("closed_without_response", "completed"), ("measured_completed", "completed"),
                 ("warmup_transactions", "transactions"), ("check_failures", "checked"))
COUNT_NAMES = ("messages", "transactions", "datagrams", "completed", "refused", "timed_out",
               "closed_without_response", "notify_responses", "normal_responses", "alerts",
               "late_replies", "notify_after_normal", "unknown_request_ids", "checked",
               "check_failures", "warmup_messages", "warmup_transactions", "measured_messages",
               "measured_completed", "measured_bytes", "sends_put_off")


def read_counts(document):
    """The counts of a run, checked to add up, and its refusals by reason."""
    json = document.fields("counts")
    counts = {name: json.count(name) for name in COUNT_NAMES}
    ended = counts["completed"] + counts["refused"] + counts["timed_out"]
    if ended > counts["transactions"]:
        json.fail("", f"completed, refused and timed_out add up to {ended}, more than the "
                      f"{counts['transactions']} transactions")
    if json.count("unfinished") != counts["transactions"] - ended:
        json.fail("unfinished", "is not transactions less completed, refused and timed_out "
                                f"({counts['transactions'] - ended})")
    if (counts["transactions"] + counts["datagrams"] != counts["messages"] or
            counts["warmup_messages"] + counts["measured_messages"] != counts["messages"]):
        json.fail("messages", "is not transactions and datagrams, nor warmup_messages and "
                              "measured_messages, added")
    for part, whole in COUNTS_WITHIN:
        if counts[part] > counts[whole]:
            json.fail(part, f"is more than {whole}")
    refusals = document.array("refused_by_reason", MAX_REFUSAL_REASONS)
    refused = 0
    for refusal in refusals.items():
        count = refusal.count("count")
        if count > counts["refused"] - refused:
            refusals.fail("", f"adds up to more than the {counts['refused']} refused of counts")
        refusal.integer("reason", *INT32)
        refused += count
    if refused != counts["refused"]:
        refusals.fail("", f"adds up to {refused}, not to the {counts['refused']} refused of counts")
    return counts


def read_server_view(document):
    json = document.fields("server_view")
    total = json.count("total", 0, MAX_SERVER_FIGURE)
    json.count("transactions", 0, total)
    for name in ("size_min", "size_max", "size_total"):
        json.count(name, 0, MAX_SERVER_FIGURE)


def read_settings(json):
    """The settings of a run, checked as tfxclnt -M checks them."""
    settings = {"element": json.text("element", 255)}
    settings["connections"] = json.count("connections", 1, MAX_CONNECTIONS * MAX_MERGED_RUNS)
    settings["window"] = json.count("window", 1, MAX_WINDOW)
    settings["rate"] = json.maybe(json.number, "rate", 0.0, MAX_RATE)
    settings["count"] = json.maybe(json.count, "count")
    settings["duration_s"] = json.maybe(json.number, "duration_s", 0.0, MAX_RUN_S)
    settings["size_min"] = json.count("size_min", 0, MAX_REQUEST_SIZE)
    settings["size_max"] = json.count("size_max", settings["size_min"], MAX_REQUEST_SIZE)
    settings["datagram_percent"] = json.number("datagram_percent", 0.0, 100.0)
    settings["timeout_s"] = json.number("timeout_s", 0.0, MAX_RUN_S)
    settings["warmup_s"] = json.number("warmup_s", 0.0, MAX_RUN_S)
    json.flag("verify")
    json.count("seed", 0, (1 << 64) - 1)
    return settings


def identity_of(json, name):
    """A run's identity (id, host, pid), None for a run written without one."""
    if not json.has(name) or json.is_null(name):
        return None
    run = json.fields(name)
    return run.text("id", 64), run.text("host", 255), run.count("pid", 0, (1 << 32) - 1)


def check_merged_runs(path, document):
    """The runs merged into the result, each once, as tfxclnt -M takes them."""
    if not document.has("merged_from") or document.is_null("merged_from"):
        return
    seen = set()
    for run in document.array("merged_from", MAX_MERGED_RUNS).items():
        identity = identity_of(run, "run")
        started = run.number("started_unix_s", 0, MAX_UNIX_S)
        seed = run.count("seed", 0, (1 << 64) - 1)
        run.text("file", MAX_TEXT_BYTES)
        key = identity or f"{started:.6f}/{seed}"
        if key in seen:
            raise Refused(f"holds {run_text(identity, started, seed)}, which {path} holds too: "
                          "a run is merged once")
        seen.add(key)


def run_text(identity, started, seed):
    """How a message names a run."""
    if identity is None:
        return f"the run without id started at {started:.6f} with seed {seed}"
    return f"run {identity[0]} (host {identity[1]}, pid {identity[2]})"


def read_failure(document):
    if document.is_null("failure"):
        return
    failure = document.fields("failure")
    failure.text("call", 64)
    failure.integer("reason", *INT32)
    failure.text("text", MAX_TEXT_BYTES)
    failure.text("detail", MAX_TEXT_BYTES)


def cut_elements(text):
    """Each element of the array that text holds, parsed one at a time."""
    decoder = json.JSONDecoder(parse_float=refuse_float, parse_constant=refuse_constant)
    space = re.compile(r"[ \t\n\r]*")
    at = space.match(text, 1).end()
    while text[at] != "]":
        element, at = decoder.raw_decode(text, at)
        yield element
        at = space.match(text, at).end()
        if text[at] == ",":
            at = space.match(text, at + 1).end()


def interval_list(document, arrays):
    """The intervals, a list or elements parsed one at a time."""
    member = document.member("intervals")
    if isinstance(member, str) and member in arrays and arrays[member].text is not None:
        return cut_elements(arrays[member].text)
    return document.array("intervals", int(MAX_RUN_S)).value


INTERVAL_COLUMNS = ("start", "duration", "warmup", "completed", "rate", "max", "p50", "p99")


def read_intervals(document, arrays):
    """The run's seconds as columns: start, duration, warm-up, completed,
    throughput, max, p50, p99 (NaN where a second completed nothing)."""
    columns = {name: array.array("d") for name in INTERVAL_COLUMNS}
    start = 0.0
    for index, entry in enumerate(interval_list(document, arrays)):
        interval = Fields(entry, f"intervals[{index}]") if isinstance(entry, dict) else \
            Fields([entry], "intervals").fields("0")
        start = interval.number("start_s", start, MAX_RUN_S)
        figures = [start, interval.number("duration_s", 0.0, MAX_RUN_S), interval.flag("warmup")]
        interval.count("messages")
        completed = interval.count("completed")
        interval.count("refused")
        interval.count("timed_out")
        figures += [completed, interval.number("transactions_per_s", 0.0, float(MAX_COUNT))]
        latency = interval.fields("latency_ns")
        percentiles = latency.fields("percentiles")
        latencies = [latency.maybe(latency.count, "max")] + [
            percentiles.maybe(percentiles.count, name) for name in INTERVAL_PERCENTILES]
        if any((figure is None) != (completed == 0) for figure in latencies):
            latency.fail("", "has figures exactly when the second completed transactions")
        figures += [math.nan if figure is None else figure for figure in latencies[:3]]
        for name, figure in zip(INTERVAL_COLUMNS, figures):
            columns[name].append(figure)
    intervals = {name: np.frombuffer(column, dtype=float) for name, column in columns.items()}
    intervals["warmup"] = intervals["warmup"] != 0
    return intervals


def read_figures(json):
    """The figures of a repeated run, or their median, min or max: each
    None or a number from 0 to MAX_COUNT."""
    return {key: json.maybe(json.number, key, 0.0, float(MAX_COUNT)) for key in RUN_FIGURES}


class Repeats:
    """Repeated runs: each run's figures as arrays by key (NaN where a run
    has none), and their median, min and max."""

    def __init__(self, json, most):
        runs = json.array("runs", most).items()
        figures = [read_figures(run) for run in runs]
        for run in runs:
            run.flag("passed")
            run.maybe(run.text, "fault")
        self.size = len(runs)
        self.figures = {key: np.array([math.nan if run[key] is None else run[key]
                                       for run in figures]) for key in RUN_FIGURES}
        self.median, self.min, self.max = (read_figures(json.fields(which))
                                           for which in ("median", "min", "max"))
        json.flag("noisy")


class Step(Repeats):
    """One rate of a sweep."""

    def __init__(self, json, most):
        super().__init__(json, most)
        self.target = json.number("target_per_s", 0.0, MAX_RATE)
        self.met = json.flag("met")
        json.maybe(json.text, "reason")
        json.maybe(json.text, "condition")


class Sweep:
    """A sweep's steps and its knee: the highest rate that met the conditions."""

    def __init__(self, json):
        self.start = json.number("start_per_s", 0.0, MAX_RATE)
        self.stop = json.number("stop_per_s", 0.0, MAX_RATE)
        self.step = json.maybe(json.number, "step_per_s", 0.0, MAX_RATE)
        self.search = json.flag("search")
        self.runs_per_step = json.count("runs_per_step", 1, MAX_REPEATS)
        conditions = json.array("conditions", MAX_PERCENTILES)
        for index in range(len(conditions.value)):
            conditions.text(str(index))
        self.steps = [Step(step, MAX_REPEATS)
                      for step in json.array("steps", MAX_SWEEP_STEPS).items()]
        self.highest_met = json.maybe(json.number, "highest_met_per_s", 0.0, MAX_RATE)
        json.maybe(json.number, "first_failed_per_s", 0.0, MAX_RATE)
        targets = {step.target for step in self.steps if step.met}
        if self.highest_met is not None and self.highest_met not in targets:
            json.fail("highest_met_per_s", "is no step that met the conditions")
        read_runs_end(json)


def read_runs_end(json):
    """How repeated runs or a sweep ended."""
    ended_by = json.text("ended_by", 64)
    if ended_by not in RUNS_END_REASONS:
        json.fail("ended_by", f'"{ended_by}" is not a way repeated runs end')
    return ended_by


CONTROL_DROP_REASONS = ("malformed", "unauthentic", "replayed", "out_of_place", "overflow")


def read_agents(document):
    """The agents of a run on agents (-D) and the control messages dropped, checked."""
    if not document.has("agents"):
        return
    for agent in document.array("agents", MAX_MERGED_RUNS).items():
        agent.text("host", 255)
        agent.count("pid", 0, (1 << 32) - 1)
        sent = agent.count("sent")
        agent.count("completed", 0, sent)
        agent.count("timed_out", 0, sent)
        agent.maybe(agent.count, "p50_ns")
        agent.maybe(agent.count, "p99_ns")
        agent.number("clock_offset_s", -MAX_RUN_S, MAX_RUN_S)
        agent.number("clock_uncertainty_s", 0.0, MAX_RUN_S)
        agent.flag("lost")
        agent.maybe(agent.number, "lost_at_s", 0.0, MAX_RUN_S)
    if document.has("lower_bounds"):
        bounds = document.fields("lower_bounds")
        bounds.count("lost_agents", 1, MAX_MERGED_RUNS)
        bounds.count("unknown_ends")
    if not document.has("control_drops"):
        return
    drops = document.fields("control_drops")
    reasons = sum(drops.count(name) for name in CONTROL_DROP_REASONS)
    if drops.count("total") != reasons:
        drops.fail("total", f"is not the sum of the reasons ({reasons})")


class Result:
    """A result read whole: path, kind ("run", "repeats" or "sweep"), the
    settings, and what the kind holds: for a run its histograms, counts and
    intervals; for repeated runs their figures; for a sweep its steps."""

    def __init__(self, path, kind, document, arrays):
        self.path, self.kind = path, kind
        self.settings = read_settings(document.fields("settings"))
        self.merged = False
        self.latency = self.intervals = self.repeats = self.sweep = None
        if kind == "run":
            self.read_run(document, arrays)
            return
        if document.has("failure"):
            read_failure(document)
        if kind == "repeats":
            repeats = document.fields("repeats")
            asked = repeats.count("runs_asked", 1, MAX_REPEATS)
            self.ended_by = read_runs_end(repeats)
            self.repeats = Repeats(repeats, asked)
        else:
            self.sweep = Sweep(document.fields("sweep"))

    def read_run(self, document, arrays):
        """A single run, every check of tfxclnt -M made."""
        if not document.has("started_unix_s"):
            raise Refused('has no "started_unix_s": written by a tfxclnt that does not say when '
                          "it ran")
        document.number("started_unix_s", 0.0, MAX_UNIX_S)
        elapsed = document.number("elapsed_s", 0.0, MAX_RUN_S)
        self.measured_s = document.number("measured_s", 0.0, elapsed)
        document.number("sending_s", 0.0, elapsed)
        identity_of(document, "run")
        check_merged_runs(self.path, document)
        self.merged = document.has("merged_from") and not document.is_null("merged_from")
        self.counts = read_counts(document)
        read_server_view(document)
        histograms = {name: read_histogram(document, name, arrays) for name in HISTOGRAMS}
        self.latency = histograms["latency_ns"]
        self.ended_by = document.text("ended_by", 64)
        if self.ended_by not in END_REASONS:
            document.fail("ended_by", f'"{self.ended_by}" is not a way a run ends')
        read_failure(document)
        document.maybe(document.text, "first_check_failure")
        self.intervals = read_intervals(document, arrays)
        read_agents(document)

