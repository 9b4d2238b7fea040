#!/usr/bin/python3
"""Checks of Portwise's main window as the probe read it (portwise_probe dump). Prints one
"PASS name: ..." / "FAIL name: ..." line per check (and "SKIP name: ..." for a check that has
nothing to look at yet); exits 1 when a check failed.

  check_window.py layout DUMP                    caption, client area, buttons, table, label, log pane
  check_window.py log DUMP --t0 EPOCH --t1 EPOCH time stamps, colours and known texts of every line
  check_window.py table DUMP [--require-rows]    the rows: vocabulary, order, indices, device names
  check_window.py expected DUMP DEVICES          the table, row by row, against what the system offers
                                                 (DEVICES: a reading of portwise_probe devices)
  check_window.py analysis-log DUMP DEVICES      each ASIO driver's start and stop lines in the first analysis
  check_window.py tested BEFORE AFTER ROW OUTCOME  a double-click on ROW: its Test cell OUTCOME (OK or Err.),
                                                 the others unchanged, and the test's log lines
  check_window.py toned BEFORE AFTER ROW         the tone on an ASIO row: the generator's two lines only
  check_window.py unchanged BEFORE AFTER WHAT    WHAT did nothing to the table and the log
  check_window.py analysis BEFORE AFTER WHAT     WHAT ran one more analysis: two lines, same rows
  check_window.py row DUMP TYPE INOUT [INTERFACE] [CONNEXION]
                                                 print the index of the first such row (or -1)
  check_window.py cell DUMP ROW COLUMN           print a cell of the table
  check_window.py selected DUMP                  print the selected row (or -1)
  check_window.py enabled DUMP CAPTION           print True or False for the button with CAPTION
  check_window.py point DUMP WHAT                print screen x y of a button (by caption), a row
                                                 wholly in view (row:N), the table's middle (table),
                                                 or empty space of the table (empty)
  check_window.py logged DUMP TEXT               print how many log lines say TEXT (after their time)
  check_window.py place DUMP ROW                 print above, below or shown: the row against the view
  check_window.py dialogs DUMP WHAT              no message box or other window of the program is open
  check_window.py state DUMP                     print "busy|idle DIGEST" of the table and the log
  check_window.py crop DUMP                      print the window's screen geometry as WxH+X+Y
  check_window.py fixture DUMP [CLICKED]         the probe read its own fixture window right
                                                 (CLICKED: after a click on "Ajouter" and a
                                                 double-click on the second row)
  check_window.py --self-test                    the log and table checks, on made-up readings
"""

import argparse
import collections
import datetime
import hashlib
import json
import re
import sys

CAPTION = "Portwise"
CLIENT = (625, 497)
# caption, left, top, width, height (in the window's client area), enabled at start
BUTTONS = [
    ("Analyser", 16, 8, 65, 25, True),
    ("1000 Hz / -6 dBFS (1 sec)", 87, 8, 146, 25, True),
    ("Panneau ASIO", 239, 8, 90, 25, False),
]
TONE_BUTTON = BUTTONS[1][0]
ASIO_BUTTON = BUTTONS[2][0]
LIST_RECT = (0, 41, 625, 312)
COLUMNS = [("Interface", 200), ("Connexion", 200), ("Type", 50), ("Index", 50), ("In/out", 50), ("Test", 50)]
LABEL = ("Dernières actions", 8, 360)
LOG_RECT = (0, 379, 625, 118)

COLORS = {0x000000: "black", 0x008000: "green", 0x0000FF: "red", 0x0080FF: "orange"}
LINE_START = "Recherche des périphériques d'entrée / sortie (ASIO / MME / DS)..."
LINE_END = "Recherche des périphériques terminée."
# Texts whose colour is known, whatever the device they name.
KNOWN_LINES = [
    (re.escape(LINE_START), 0x000000),
    (re.escape(LINE_END), 0x000000),
    (r"\[ASIO\] .* -> Démarrage interface : OK\.", 0x008000),
    (r"\[ASIO\] .* -> Démarrage interface impossible\.", 0x0000FF),
    (r"\[ASIO\] .* -> Arrêt interface : OK\.", 0x008000),
    (r"\[ASIO\] .* -> Démarrage générateur audio", 0x000000),
    (r"\[ASIO\] .* -> Arrêt générateur audio", 0x000000),
]
TYPES = ("ASIO", "MME", "DS")
INOUT = ("In", "Out", "?")
TEST_CELLS = ("-", "?", "OK", "Err.", "Test...")
# Row groups in table order; MME and DirectShow rows name the default device "Default".
GROUPS = [("ASIO", None), ("MME", "Out"), ("DS", "Out"), ("MME", "In"), ("DS", "In")]


class Report:
    def __init__(self):
        self.failed = 0

    def check(self, ok, name, detail):
        print(f"{'PASS' if ok else 'FAIL'} {name}: {detail}", flush=True)
        if not ok:
            self.failed += 1
        return ok

    def skip(self, name, detail):
        print(f"SKIP {name}: {detail}", flush=True)


def load(path):
    with open(path, encoding="ascii") as f:
        return json.load(f)


def rect_tuple(r):
    return (r["left"], r["top"], r["width"], r["height"])


def controls(d, cls=None, text=None):
    out = []
    for c in d["controls"]:
        if cls is not None and not re.fullmatch(cls, c["class"], re.I):
            continue
        if text is not None and c["text"] != text:
            continue
        out.append(c)
    return out


def the_list(d):
    c = [c for c in d["controls"] if "list" in c]
    return c[0] if c else None


def the_log(d):
    c = [c for c in d["controls"] if "rich" in c]
    return c[0] if c else None


def rows(d):
    lv = the_list(d)
    return [i["cells"] for i in lv["list"]["items"]] if lv else []


def log_lines(d):
    re_ = the_log(d)
    return re_["rich"]["lines"] if re_ else []


def is_bold(ink):
    # The same renderer draws the label and the probe's references: a match is near 0, and another
    # face or size is far from both.
    return ink["distance_bold"] <= 0.25 * ink["distance_regular"]


# ---- layout -------------------------------------------------------------------------------------

def check_layout(d, rep):
    rep.check(d["title"] == CAPTION and d["visible"], "caption", f"{d['title']!r}, visible {d['visible']}")
    size = (d["client_size"]["width"], d["client_size"]["height"])
    rep.check(size == CLIENT, "client area", f"{size[0]} x {size[1]}, expected {CLIENT[0]} x {CLIENT[1]}")
    rep.check(d["system_menu"] and d["minimize_box"] and not d["maximize_box"], "border icons",
              f"system menu {d['system_menu']}, minimise {d['minimize_box']}, maximise {d['maximize_box']}")

    for caption, left, top, w, h, enabled in BUTTONS:
        found = controls(d, "button", caption)
        if not rep.check(len(found) == 1, f"button {caption!r}", f"{len(found)} button(s) with that caption"):
            continue
        b = found[0]
        r = rect_tuple(b["rect"])
        rep.check(r == (left, top, w, h), f"button {caption!r} geometry",
                  f"left {r[0]}, top {r[1]}, {r[2]} x {r[3]}; expected left {left}, top {top}, {w} x {h}")
        rep.check(b["visible"] and b["enabled"] == enabled, f"button {caption!r} state",
                  f"{'enabled' if b['enabled'] else 'disabled'}, expected {'enabled' if enabled else 'disabled'}")

    lv = the_list(d)
    if rep.check(lv is not None, "device table", "a list view" if lv else "no list view among the controls"):
        r = rect_tuple(lv["rect"])
        rep.check(r == LIST_RECT, "device table geometry", f"{r}, expected {LIST_RECT}")
        li = lv["list"]
        rep.check(li["report_view"] and li["grid_lines"] and not li["edit_labels"], "device table style",
                  f"report view {li['report_view']}, grid lines {li['grid_lines']}, "
                  f"editable captions {li['edit_labels']}")
        cols = [(c["title"], c["width"]) for c in li["columns"]]
        rep.check(cols == COLUMNS, "device table columns", ", ".join(f"{t!r} {w}" for t, w in cols) or "none")

    text, left, top = LABEL
    found = controls(d, None, text)
    if rep.check(len(found) == 1, f"label {text!r}", f"{len(found)} control(s) with that text"):
        lab = found[0]
        r = rect_tuple(lab["rect"])
        rep.check((r[0], r[1]) == (left, top), f"label {text!r} position",
                  f"left {r[0]}, top {r[1]}; expected left {left}, top {top}")
        ink = lab.get("ink")
        rep.check(bool(ink) and is_bold(ink), f"label {text!r} bold",
                  f"its pixels against Tahoma 8 pt bold differ by {ink['distance_bold']}, against regular by "
                  f"{ink['distance_regular']} (bold: at most a quarter of regular)"
                  if ink else "no pixels of it to compare (not a static control?)")

    lg = the_log(d)
    if rep.check(lg is not None, "log pane", f"a {lg['class']} control" if lg else "no rich edit among the controls"):
        r = rect_tuple(lg["rect"])
        rep.check(r == LOG_RECT, "log pane geometry", f"{r}, expected {LOG_RECT}")
        f = lg["rich"]["default_format"]
        rep.check(f["face"] == "Tahoma" and abs(f["height_twips"] - 165) <= 10 and f["charset"] == 0,
                  "log pane font", f"{f['face']} {f['height_twips']} twips, character set {f['charset']}; "
                  "expected Tahoma 8 pt, ANSI")


# ---- log ----------------------------------------------------------------------------------------

def time_pattern(loc):
    hour = r"\d{2}" if loc["leading_zero"] == "1" else r"\d{1,2}"
    if loc["time_24h"] == "1":
        return rf"(?P<h>{hour}):(?P<m>\d{{2}}):(?P<s>\d{{2}})", None
    marks = "|".join(re.escape(m) for m in (loc["am"], loc["pm"]) if m)
    core = rf"(?P<h>{hour}):(?P<m>\d{{2}}):(?P<s>\d{{2}})"
    if loc["marker_position"] == "1":
        return rf"(?P<t>{marks}) {core}", (loc["am"], loc["pm"])
    return rf"{core} (?P<t>{marks})", (loc["am"], loc["pm"])


def seconds_of_day(match, marks):
    h, m, s = int(match["h"]), int(match["m"]), int(match["s"])
    if marks:
        if not 1 <= h <= 12:
            return None
        h = h % 12 + (12 if match["t"] == marks[1] else 0)
    if h > 23 or m > 59 or s > 59:
        return None
    return h * 3600 + m * 60 + s


def line_color(line):
    f = line["format"]
    if f is None:
        return None
    return 0 if f["auto_color"] else int(f["color"], 16)


def check_log(d, t0, t1, rep, require_analysis):
    lines = log_lines(d)
    loc = d["locale"]
    pat, marks = time_pattern(loc)
    rx = re.compile(rf"^{pat}: (?P<msg>.+)$")
    fmt = "24-hour" if loc["time_24h"] == "1" else "12-hour"
    day0 = datetime.datetime.fromtimestamp(t0)
    lo = (day0.hour * 3600 + day0.minute * 60 + day0.second - 2) % 86400
    span = int(t1 - t0) + 4
    bad_format, bad_time, bad_color, mixed, bad_known, order = [], [], [], [], [], []
    prev = None
    for i, ln in enumerate(lines):
        m = rx.match(ln["text"])
        if not m:
            bad_format.append(i)
            continue
        sod = seconds_of_day(m, marks)
        if sod is None or (sod - lo) % 86400 > span:
            bad_time.append(i)
        elif prev is not None and (sod - lo) % 86400 < (prev - lo) % 86400:
            order.append(i)
        prev = sod
        color = line_color(ln)
        if color not in COLORS:
            bad_color.append(i)
        elif not ln["format"]["uniform_color"]:
            mixed.append(i)
        for known, want in KNOWN_LINES:
            if re.fullmatch(known, m["msg"]) and color != want:
                bad_known.append(f"line {i} {m['msg']!r} is {COLORS.get(color, hex(color or 0))}, "
                                 f"expected {COLORS[want]}")

    def show(idx):
        return "; ".join(f"line {i}: {lines[i]['text']!r}" for i in idx[:3])

    n = len(lines)
    if n == 0:
        if require_analysis:
            rep.check(False, "log lines", "the log is empty")
        else:
            rep.skip("log lines", "the log is empty")
        return
    rep.check(not bad_format, "log line format",
              f"{n} line(s) as 'time: message' with the locale's {fmt} time ({loc['time_format']})"
              if not bad_format else f"{len(bad_format)} of {n} do not match: {show(bad_format)}")
    rep.check(not bad_time and not order, "log time stamps",
              f"all within the run ({day0:%H:%M:%S} + {span - 4} s), in order" if not bad_time and not order
              else f"outside the run: {show(bad_time)}; out of order: {show(order)}")
    rep.check(not bad_color and not mixed, "log line colours",
              "each line in one of black, green, red, orange: " +
              ", ".join(COLORS[line_color(ln)] for ln in lines[:12] if line_color(ln) in COLORS) +
              (" ..." if n > 12 else "") if not bad_color and not mixed
              else f"other colours: {show(bad_color)}; more than one colour: {show(mixed)}")
    rep.check(not bad_known, "log colours of known lines",
              "every known text in its colour" if not bad_known else "; ".join(bad_known[:3]))

    msgs = [rx.match(ln["text"])["msg"] for ln in lines if rx.match(ln["text"])]
    runs = msgs.count(LINE_START)
    if runs == 0 and not require_analysis:
        rep.skip("start-up analysis in the log", "no analysis lines yet")
    else:
        ok = runs >= 1 and msgs[0] == LINE_START and msgs.count(LINE_END) == runs
        rep.check(ok, "start-up analysis in the log",
                  f"{runs} run(s), each from {LINE_START!r} to {LINE_END!r}" if ok else
                  f"{runs} start line(s), {msgs.count(LINE_END)} end line(s), first line {msgs[:1]}")


# ---- table --------------------------------------------------------------------------------------

def check_table(d, rep, require_rows):
    rs = rows(d)
    if not rs:
        if require_rows:
            rep.check(False, "table rows", "the table is empty")
        else:
            rep.skip("table rows", "the table is empty")
        return
    problems = []
    for i, r in enumerate(rs):
        if len(r) != 6:
            problems.append(f"row {i} has {len(r)} cells")
            continue
        iface, _, typ, idx, inout, test = r
        if typ not in TYPES or inout not in INOUT or test not in TEST_CELLS or not re.fullmatch(r"-1|\d+", idx):
            problems.append(f"row {i} {r}")
        elif typ != "ASIO" and (iface != "Default" or inout == "?"):
            problems.append(f"row {i} {r}: MME and DirectShow rows name the interface 'Default'")
    rep.check(not problems, "table cells", f"{len(rs)} row(s) of the known vocabulary" if not problems
              else "; ".join(problems[:3]))

    order = []
    for r in rs:
        key = (r[2], None) if r[2] == "ASIO" else (r[2], r[4])
        order.append(GROUPS.index(key) if key in GROUPS else -1)
    rep.check(order == sorted(order) and -1 not in order, "table order",
              "ASIO, MME outputs, DirectShow outputs, MME inputs, DirectShow inputs")
    bad_index = []
    for g in GROUPS[1:]:
        idx = [r[3] for r in rs if (r[2], r[4]) == g]
        if idx != [str(k) for k in range(len(idx))]:
            bad_index.append(f"{g[0]} {g[1]}: {idx}")
    rep.check(not bad_index, "table indices", "counted from 0 in each device list" if not bad_index
              else "; ".join(bad_index))
    for typ, inout, name in (("MME", "Out", "Null Output"), ("MME", "In", "Monitor of Null Output")):
        names = [r[1] for r in rs if r[2] == typ and r[4] == inout]
        rep.check(any(name in n for n in names), f"table lists the audio server ({typ} {inout})",
                  f"{name!r} among {names}")


# ---- the table against the system ---------------------------------------------------------------

def ds_list_names(raw):
    """The names the DirectShow device lists show: a name whose trimmed form is empty is left out,
    and a later device whose trimmed name is already listed gets " (n)", n counting it."""
    out, seen = [], []
    for name in raw:
        std = name.strip("".join(chr(c) for c in range(33)))
        if not std:
            continue
        n = 1 + seen.count(std)
        seen.append(std)
        out.append(name if n == 1 else f"{name} ({n})")
    return out


def asio_streams(drv):
    """Whether the analysis can list a driver's channels: it is created, initialised and started."""
    return bool(drv.get("created") and drv.get("init") and drv.get("starts"))


def expected_rows(dev):
    rs = []
    for drv in dev["asio"]:
        name = drv["key"]
        ins, outs = (drv.get("inputs") or [], drv.get("outputs") or []) if asio_streams(drv) else ([], [])
        if ins or outs:
            rs += [(name, ch, "ASIO", str(i), "In", "-") for i, ch in enumerate(ins)]
            rs += [(name, ch, "ASIO", str(i), "Out", "-") for i, ch in enumerate(outs)]
        else:
            rs.append((name, "-", "ASIO", "-1", "?", "-"))

    def group(names, typ, inout):
        return [("Default", n, typ, str(i), inout, "-") for i, n in enumerate(names)]

    rs += group(dev["wave_out"]["names"], "MME", "Out")
    rs += group(ds_list_names(dev["ds_renderers"].get("names", [])), "DS", "Out")
    rs += group(dev["wave_in"]["names"], "MME", "In")
    rs += group(ds_list_names(dev["ds_capture"].get("names", [])), "DS", "In")
    return [list(r) for r in rs]


def check_expected(d, dev, rep):
    want, got = expected_rows(dev), rows(d)
    diffs = []
    for i in range(max(len(want), len(got))):
        w = want[i] if i < len(want) else None
        g = got[i] if i < len(got) else None
        if w != g:
            diffs.append(f"row {i}: expected {w}, shown {g}")
    kinds = collections.Counter("ASIO" if r[2] == "ASIO" else f"{r[2]} {r[4]}" for r in want)
    rep.check(not diffs, "table against the system",
              f"{len(got)} row(s), each as expected (" + ", ".join(f"{k} {n}" for k, n in kinds.items()) + ")"
              if not diffs else f"{len(diffs)} row(s) differ: " + "; ".join(diffs[:4]))
    for key, what in (("wave_out", "waveOut"), ("wave_in", "waveIn")):
        err = dev[key]["caps_error"]
        rep.check(err is None and dev[key]["count"] == len(dev[key]["names"]) > 0, f"system: {what} devices",
                  f"{dev[key]['count']} device(s): {dev[key]['names']}" if err is None else f"caps failed: {err}")
    for key, what in (("ds_renderers", "DirectShow renderers"), ("ds_capture", "DirectShow capture devices")):
        rep.check(bool(dev[key].get("names")), f"system: {what}", f"{dev[key]}")


def messages(lines):
    """(message, colour) of each line, without its time stamp."""
    out = []
    for ln in lines:
        t = ln["text"]
        out.append((t.split(": ", 1)[1] if ": " in t else t, line_color(ln)))
    return out


GREEN, RED, BLACK = 0x008000, 0x0000FF, 0x000000


def check_analysis_log(d, dev, rep):
    msgs = messages(log_lines(d))
    try:
        a = [m for m, _ in msgs].index(LINE_START)
        b = [m for m, _ in msgs].index(LINE_END, a)
    except ValueError:
        rep.check(False, "analysis lines of the ASIO drivers", "no complete analysis run in the log")
        return
    run = msgs[a:b + 1]
    problems, summary = [], []
    for drv in dev["asio"]:
        name = drv["key"]
        mine = [(m, c) for m, c in run if m.startswith(f"[ASIO] {name} -> ")]
        tails = [(m[len(f"[ASIO] {name} -> "):], c) for m, c in mine]
        if asio_streams(drv):
            want = [("Démarrage interface : OK.", GREEN), ("Arrêt interface : OK.", GREEN)]
            if tails != want:
                problems.append(f"{name}: {tails}, expected {want}")
            summary.append(f"{name}: started and stopped")
        else:
            ok = ("Démarrage interface impossible.", RED) in tails and not any(c == GREEN for _, c in tails)
            if not ok:
                problems.append(f"{name}: {tails}, expected the red start failure and no green line")
            summary.append(f"{name}: cannot start")
    rep.check(not problems, "analysis lines of the ASIO drivers",
              "; ".join(summary) if not problems else "; ".join(problems[:3]))


TEST_TEXTS = {
    ("MME", "In"): "[MME In] %s -> ", ("MME", "Out"): "[MME Out] %s -> ",
    ("DS", "In"): "[DS In] %s -> ", ("DS", "Out"): "[DS Out] %s -> ",
}


def check_tested(a, b, row, outcome, rep):
    """A double-click tested ROW: the Test cell says OUTCOME, no other row changed, and the new log
    lines are the test's, naming the row's driver (ASIO) or its Connexion device (MME, DS)."""
    ra, rb = rows(a), rows(b)
    r = rb[row]
    iface, conn, typ, _, inout, test = r
    what = f"test of {typ} {inout} {iface if typ == 'ASIO' else conn!r}"
    others = [i for i in range(max(len(ra), len(rb)))
              if i != row and (i >= len(ra) or i >= len(rb) or ra[i] != rb[i])]
    rep.check(test == outcome and len(ra) == len(rb) and not others and ra[row][:5] == r[:5],
              f"{what}: Test cell", f"{test!r}, expected {outcome!r}; other rows "
              + ("unchanged" if not others and len(ra) == len(rb) else f"changed: {others[:3]}"))
    new = messages(log_lines(b)[len(log_lines(a)):])
    if typ == "ASIO":
        p = f"[ASIO] {iface} -> "
        start, end = (p + "Test interface...", BLACK), (p + "Fin de test", BLACK)
        ok_lines = [start, (p + "Démarrage interface : OK.", GREEN), (p + "Arrêt interface : OK.", GREEN), end]
        failed = (p + "Ouverture interface impossible.", RED)
    else:
        p = TEST_TEXTS[(typ, inout)].replace("%s", conn)
        start, end = (p + "Test interface...", BLACK), (p + "Fin de test", BLACK)
        ok_lines = [start, (p + "Ouverture interface : OK.", GREEN), end]
        failed = (p + "Ouverture interface impossible.", RED)
    shown = "; ".join(f"{m!r} {COLORS.get(c, c)}" for m, c in new[:6]) + (" ..." if len(new) > 6 else "")
    if outcome == "OK":
        rep.check(new == ok_lines, f"{what}: log lines", shown if new == ok_lines
                  else f"{shown}; expected {[m for m, _ in ok_lines]} in black, green(s), black")
    else:
        ok = (len(new) >= 3 and new[0] == start and new[-1] == end and failed in new
              and not any(c == GREEN for _, c in new))
        rep.check(ok, f"{what}: log lines", shown if ok else f"{shown}; expected {start[0]!r}, the red "
                  f"{failed[0]!r}, no green line, and {end[0]!r} last")


def check_toned(a, b, row, rep):
    iface = rows(b)[row][0]
    new = messages(log_lines(b)[len(log_lines(a)):])
    want = [(f"[ASIO] {iface} -> Démarrage générateur audio", BLACK), (f"[ASIO] {iface} -> Arrêt générateur audio", BLACK)]
    shown = "; ".join(f"{m!r} {COLORS.get(c, c)}" for m, c in new[:4]) + (" ..." if len(new) > 4 else "")
    rep.check(new == want, "ASIO tone from the window: log lines", shown if new == want else f"{shown}; expected {want}")
    rep.check(rows(a) == rows(b), "ASIO tone from the window: table unchanged", f"{len(rows(b))} row(s)")


# ---- comparisons --------------------------------------------------------------------------------

def check_unchanged(a, b, what, rep):
    ra, rb = rows(a), rows(b)
    la, lb = [ln["text"] for ln in log_lines(a)], [ln["text"] for ln in log_lines(b)]
    rep.check(ra == rb, f"{what}: table unchanged", f"{len(rb)} row(s)" if ra == rb else f"{ra} became {rb}")
    rep.check(la == lb, f"{what}: nothing logged", f"{len(lb)} line(s)" if la == lb else f"new: {lb[len(la):][:3]}")


def check_analysis(a, b, what, rep, require):
    la, lb = [ln["text"] for ln in log_lines(a)], [ln["text"] for ln in log_lines(b)]
    new = lb[len(la):]
    if not la and not lb and not require:
        rep.skip(f"{what}: analysis ran again", "no analysis lines yet")
        return
    rep.check(lb[:len(la)] == la, f"{what}: earlier lines kept", f"{len(la)} line(s) before, {len(lb)} after")
    msgs = [t.split(": ", 1)[1] if ": " in t else t for t in new]
    ok = bool(msgs) and msgs[0] == LINE_START and msgs[-1] == LINE_END
    rep.check(ok, f"{what}: analysis ran again", f"{len(new)} new line(s), from {msgs[:1]} to {msgs[-1:]}")
    rep.check(rows(a) == rows(b), f"{what}: same table", f"{len(rows(b))} row(s)" if rows(a) == rows(b)
              else f"{len(rows(a))} row(s) became {len(rows(b))}")


def centre(r):
    return r["left"] + r["width"] // 2, r["top"] + r["height"] // 2


WS_HSCROLL = 0x00100000


def row_place(d, row):
    """Where a row is against the table's visible rows: "above", "below" or "shown" (whole)."""
    lv = the_list(d)
    li = lv["list"]
    r, hdr = lv["screen_rect"], li["header_screen_rect"]
    top = hdr["top"] + hdr["height"] if hdr else r["top"] + 2
    # The client edge (2 pixels) and a horizontal scroll bar hide the bottom of the window.
    bottom = r["top"] + r["height"] - 2 - (16 if int(lv["style"], 16) & WS_HSCROLL else 0)
    it = li["items"][row]["cell_rects"][0]["screen"]
    if it["top"] < top:
        return "above"
    if it["top"] + it["height"] > bottom:
        return "below"
    return "shown"


def point(d, what):
    if what == "empty":
        lv = the_list(d)
        li = lv["list"]
        r = lv["screen_rect"]
        bottom = li["header_screen_rect"]["top"] + li["header_screen_rect"]["height"] if li["header_screen_rect"] else r["top"]
        for it in li["items"]:
            if it["screen_rect"]:
                bottom = max(bottom, it["screen_rect"]["top"] + it["screen_rect"]["height"])
        y = bottom + 20
        if y >= r["top"] + r["height"] - 20:
            return None
        return r["left"] + 100, y
    if what.startswith("row:"):
        return centre(the_list(d)["list"]["items"][int(what[4:])]["cell_rects"][0]["screen"]) \
            if row_place(d, int(what[4:])) == "shown" else None
    if what == "table":
        return centre(the_list(d)["screen_rect"])
    found = controls(d, "button", what)
    return centre(found[0]["screen_rect"]) if found else None


# ---- the probe on its own fixture -----------------------------------------------------------------

def check_fixture(d, rep, clicked):
    """The fixture window (portwise_probe fixture) has known content: reading it back shows that
    the probe reads controls, cells, lines and colours right before it is trusted with Portwise."""
    lv = the_list(d)
    li = lv["list"] if lv else {"columns": [], "items": []}
    want = [("noir", 0), ("vert", 0x8000), ("rouge", 0xFF), ("orange", 0x80FF)]
    got = [(ln["text"], line_color(ln)) for ln in log_lines(d)]
    if clicked:
        # "Ajouter" appends a green line, a double-click on a row a red one naming the row.
        want += [("clic", 0x8000), ("double 1 1", 0xFF)]
        rep.check(got == want, "probe: a click and a double-click reach the fixture",
                  ", ".join(f"{t!r} {hex(c) if c is not None else None}" for t, c in got[4:]))
        sel = [i for i, it in enumerate(li["items"]) if it["selected"]]
        rep.check(sel == [1], "probe: the double-clicked row is selected", f"selected rows {sel}")
        return
    rep.check(got == want, "probe: rich edit lines and colours",
              ", ".join(f"{t!r} {hex(c) if c is not None else None}" for t, c in got))
    b = controls(d, "button", "Inactif")
    rep.check(len(b) == 1 and not b[0]["enabled"] and rect_tuple(b[0]["rect"]) == (90, 8, 70, 25),
              "probe: controls", "disabled button 'Inactif' at (90, 8), 70 x 25" if b else "no 'Inactif' button")
    labels = controls(d, "static", "Dernières actions")
    weights = [is_bold(lab["ink"]) for lab in labels if lab.get("ink")]
    rep.check(weights == [True, False], "probe: bold told from regular", f"bold as seen: {weights}")
    cols = [(c["title"], c["width"]) for c in li["columns"]]
    cells = [i["cells"] for i in li["items"]]
    rep.check(cols == [("Interface", 150), ("Réglage", 60)] and cells == [["Premier", "-1"], ["Deuxième", "Oui"]],
              "probe: list view", f"columns {cols}, cells {cells}")


def self_test():
    """The log and table checks on made-up readings: each fault they exist for is caught."""
    rep = Report()

    def dump(lines, loc=None, table=()):
        loc = loc or {"leading_zero": "1", "time_24h": "1", "marker_position": "0", "am": "AM", "pm": "PM",
                      "time_format": "HH:mm:ss"}
        return {"locale": loc, "controls": [
            {"class": "RichEdit50W", "text": "", "rich": {"lines": [
                {"text": t, "format": {"color": hex(c), "auto_color": False, "uniform_color": u}}
                for t, c, u in lines]}},
            {"class": "SysListView32", "text": "", "list": {"items": [{"cells": list(r)} for r in table]}}]}

    def failures(fn, *a):
        sub = Report()
        with open("/dev/null", "w") as null:
            saved, sys.stdout = sys.stdout, null
            try:
                fn(*a, sub, False)
            finally:
                sys.stdout = saved
        return sub.failed

    t0 = datetime.datetime(2026, 5, 4, 14, 3, 7).timestamp()
    good = [(f"14:03:07: {LINE_START}", 0, True), ("14:03:08: [ASIO] Test -> Démarrage interface : OK.", 0x8000, True),
            ("14:03:08: [ASIO] Test -> Arrêt interface : OK.", 0x8000, True), ("14:03:09: erreur", 0xFF, True),
            ("14:03:09: attention", 0x80FF, True), (f"14:03:09: {LINE_END}", 0, True)]
    cases = [
        ("a good log passes", good, None, 0),
        ("a 12-hour stamp in a 24-hour locale", [("2:03:07 PM: x", 0, True)], None, 1),
        ("a stamp without its leading zero", [("4:03:07: x", 0, True)], None, 1),
        ("a stamp from before the run", [("14:02:00: x", 0, True)], None, 1),
        ("lines out of order", [("14:03:09: x", 0, True), ("14:03:08: y", 0, True)], None, 1),
        ("a colour outside the four", [("14:03:07: x", 0x808080, True)], None, 1),
        ("a line in two colours", [("14:03:07: x", 0, False)], None, 1),
        ("a success line in red", [("14:03:08: [ASIO] Test -> Démarrage interface : OK.", 0xFF, True)], None, 1),
        ("a run that never ends", good[:-1], None, 1),
        ("the 12-hour format, marker after", [("2:03:07 PM: x", 0, True)],
         {"leading_zero": "0", "time_24h": "0", "marker_position": "0", "am": "AM", "pm": "PM", "time_format": ""}, 0),
        ("the 12-hour format, marker before", [("PM 2:03:07: x", 0, True)],
         {"leading_zero": "0", "time_24h": "0", "marker_position": "1", "am": "AM", "pm": "PM", "time_format": ""}, 0),
        ("a morning marker in the afternoon", [("2:03:07 AM: x", 0, True)],
         {"leading_zero": "0", "time_24h": "0", "marker_position": "0", "am": "AM", "pm": "PM", "time_format": ""}, 1),
    ]
    for name, lines, loc, want in cases:
        got = failures(lambda d, r, q: check_log(d, t0, t0 + 10, r, q), dump(lines, loc))
        rep.check(got == want, f"log check: {name}", f"{got} failure(s), expected {want}")

    mme = [("Default", "Null Output", "MME", "0", "Out", "-"), ("Default", "PulseAudio", "MME", "1", "Out", "-"),
           ("Default", "Monitor of Null Output", "MME", "0", "In", "-")]
    asio = ("Test", "Out 1", "ASIO", "0", "Out", "-")
    tables = [
        ("a good table passes", [asio] + mme, 0),
        ("an ASIO row after MME rows", mme + [asio], 1),
        ("indices not counted from 0", [mme[1], mme[0], mme[2]], 1),
        ("an unknown Test cell", [asio[:5] + ("ok",)] + mme, 1),
        ("an MME row not named Default", [("Null Output",) + mme[0][1:]] + mme[1:], 1),
        ("no null sink among the outputs", [mme[1][:3] + ("0",) + mme[1][4:], mme[2]], 1),
    ]
    for name, table, want in tables:
        got = failures(lambda d, r, q: check_table(d, r, q), dump([], None, table))
        rep.check(got == want, f"table check: {name}", f"{got} failure(s), expected {want}")

    # The table against what the system offers.
    dev = {"asio": [{"key": "Two", "created": True, "init": True, "starts": True, "inputs": ["I1"], "outputs": ["O1"]},
                    {"key": "Silent", "created": True, "init": True, "starts": True, "inputs": [], "outputs": []},
                    {"key": "Refuses", "created": True, "init": True, "starts": False, "inputs": ["I1"], "outputs": []},
                    {"key": "Absent", "created": False}],
           "wave_out": {"count": 1, "names": ["Null Output"], "caps_error": None},
           "wave_in": {"count": 1, "names": ["Monitor of Null Output"], "caps_error": None},
           "ds_renderers": {"names": ["Null Output", " ", "Null Output "]}, "ds_capture": {"names": ["Mic"]}}
    fail_row = ["-", "ASIO", "-1", "?", "-"]
    good = [["Two", "I1", "ASIO", "0", "In", "-"], ["Two", "O1", "ASIO", "0", "Out", "-"], ["Silent"] + fail_row,
            ["Refuses"] + fail_row, ["Absent"] + fail_row, ["Default", "Null Output", "MME", "0", "Out", "-"],
            ["Default", "Null Output", "DS", "0", "Out", "-"], ["Default", "Null Output  (2)", "DS", "1", "Out", "-"],
            ["Default", "Monitor of Null Output", "MME", "0", "In", "-"], ["Default", "Mic", "DS", "0", "In", "-"]]
    swapped = good[:5] + [good[6], good[5]] + good[7:]
    expected_cases = [
        ("the system's table passes", good, 0),
        ("a driver that cannot start with channel rows", good[:3] + [["Refuses", "I1", "ASIO", "0", "In", "-"]] + good[4:], 1),
        ("a row missing", good[:-1], 1),
        ("groups out of order", swapped, 1),
        ("a duplicate renderer not told apart", good[:7] + [["Default", "Null Output ", "DS", "1", "Out", "-"]] + good[8:], 1),
    ]
    for name, table, want in expected_cases:
        got = failures(lambda d, r, q: check_expected(d, dev, r), dump([], None, table))
        rep.check(got == want, f"table against the system: {name}", f"{got} failure(s), expected {want}")

    def t(msg, c):
        return (f"14:03:08: {msg}", c, True)
    run_ok = [t(LINE_START, 0), t("[ASIO] Two -> Démarrage interface : OK.", GREEN),
              t("[ASIO] Two -> Arrêt interface : OK.", GREEN), t("[ASIO] Silent -> Démarrage interface : OK.", GREEN),
              t("[ASIO] Silent -> Arrêt interface : OK.", GREEN), t("[ASIO] Refuses -> ASE_InvalidMode", RED),
              t("[ASIO] Refuses -> Démarrage interface impossible.", RED),
              t("[ASIO] Absent -> Démarrage interface impossible.", RED), t(LINE_END, 0)]
    log_cases = [
        ("each driver's lines", run_ok, 0),
        ("a start reported as success for a driver that cannot start",
         run_ok[:6] + [t("[ASIO] Refuses -> Démarrage interface : OK.", GREEN)] + run_ok[7:], 1),
        ("a stop line missing", run_ok[:2] + run_ok[3:], 1),
    ]
    for name, lines, want in log_cases:
        got = failures(lambda d, r, q: check_analysis_log(d, dev, r), dump(lines))
        rep.check(got == want, f"analysis lines: {name}", f"{got} failure(s), expected {want}")

    before = dump(run_ok, None, good)
    asio_ok = [t("[ASIO] Two -> Test interface...", 0), t("[ASIO] Two -> Démarrage interface : OK.", GREEN),
               t("[ASIO] Two -> Arrêt interface : OK.", GREEN), t("[ASIO] Two -> Fin de test", 0)]
    mme_err = [t("[MME Out] Null Output -> Test interface...", 0), t("[MME Out] Null Output -> erreur", RED),
               t("[MME Out] Null Output -> Ouverture interface impossible.", RED),
               t("[MME Out] Null Output -> Fin de test", 0)]

    def cell(table, row, text):
        return [r if i != row else r[:5] + [text] for i, r in enumerate(table)]
    tested_cases = [
        ("an ASIO row that streams", 1, "OK", asio_ok, cell(good, 1, "OK"), 0),
        ("an ASIO test with one green line", 1, "OK", asio_ok[:2] + asio_ok[3:], cell(good, 1, "OK"), 1),
        ("a Test cell written in another row", 1, "OK", asio_ok, cell(cell(good, 1, "OK"), 0, "OK"), 1),
        ("an MME output that cannot open", 5, "Err.", mme_err, cell(good, 5, "Err."), 0),
        ("a failed MME test naming the default device", 5, "Err.",
         [(x.replace("Null Output", "Default"), c, u) for x, c, u in mme_err], cell(good, 5, "Err."), 1),
    ]
    for name, row, outcome, lines, table, want in tested_cases:
        after = dump(run_ok + lines, None, table)
        got = failures(lambda d, r, q: check_tested(before, after, row, outcome, r), None)
        rep.check(got == want, f"interface test check: {name}", f"{got} failure(s), expected {want}")
    return rep.failed


def main():
    if sys.argv[1:] == ["--self-test"]:
        return 1 if self_test() else 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what")
    ap.add_argument("files", nargs="+")
    ap.add_argument("--t0", type=float)
    ap.add_argument("--t1", type=float)
    ap.add_argument("--require-rows", action="store_true")
    ap.add_argument("--require-analysis", action="store_true")
    a = ap.parse_args()
    rep = Report()
    d = load(a.files[0])
    if a.what == "layout":
        check_layout(d, rep)
    elif a.what == "log":
        check_log(d, a.t0, a.t1, rep, a.require_analysis)
    elif a.what == "table":
        check_table(d, rep, a.require_rows)
    elif a.what == "unchanged":
        check_unchanged(d, load(a.files[1]), a.files[2], rep)
    elif a.what == "analysis":
        check_analysis(d, load(a.files[1]), a.files[2], rep, a.require_analysis)
    elif a.what == "row":
        typ, inout = a.files[1], a.files[2]
        iface = a.files[3] if len(a.files) > 3 else None
        conn = a.files[4] if len(a.files) > 4 else None
        print(next((i for i, r in enumerate(rows(d)) if r[2] == typ and r[4] == inout
                    and iface in (None, r[0]) and conn in (None, r[1])), -1))
    elif a.what == "expected":
        check_expected(d, load(a.files[1]), rep)
    elif a.what == "logged":
        print([m for m, _ in messages(log_lines(d))].count(a.files[1]))
    elif a.what == "place":
        print(row_place(d, int(a.files[1])))
    elif a.what == "toned":
        check_toned(d, load(a.files[1]), int(a.files[2]), rep)
    elif a.what == "analysis-log":
        check_analysis_log(d, load(a.files[1]), rep)
    elif a.what == "tested":
        check_tested(d, load(a.files[1]), int(a.files[2]), a.files[3], rep)
    elif a.what == "fixture":
        check_fixture(d, rep, len(a.files) > 1)
    elif a.what == "dialogs":
        others = d.get("other_windows", [])
        rep.check(not others, f"{a.files[1]}: no message box",
                  "only the main window is open" if not others else
                  "; ".join(f"{w['class']} {w['title']!r}: {' | '.join(w['texts'])}" for w in others))
    elif a.what == "state":
        msgs = [ln["text"].split(": ", 1)[-1] for ln in log_lines(d)]
        busy = msgs.count(LINE_START) > msgs.count(LINE_END)
        digest = hashlib.sha1(json.dumps([rows(d), [(ln["text"], ln["format"]) for ln in log_lines(d)]])
                              .encode()).hexdigest()
        print("busy" if busy else "idle", digest)
    elif a.what == "crop":
        r = d["window_rect"]
        print(f"{r['width']}x{r['height']}+{max(r['left'], 0)}+{max(r['top'], 0)}")
    elif a.what == "cell":
        print(rows(d)[int(a.files[1])][int(a.files[2])])
    elif a.what == "selected":
        print(the_list(d)["list"]["next_selected"])
    elif a.what == "enabled":
        found = controls(d, "button", a.files[1])
        if not found:
            return 2
        print(found[0]["enabled"])
    elif a.what == "point":
        p = point(d, a.files[1])
        if p is None:
            return 2
        print(*p)
    else:
        ap.error(f"unknown check {a.what}")
    return 1 if rep.failed else 0


if __name__ == "__main__":
    sys.exit(main())
