"""The HTML timeline: what the page holds, and what headless Chromium draws
from it, checked in the DOM Chromium leaves behind and, for the bars and
marks painted on the canvas, through the page's read-only window.vornView."""

import base64
import hashlib
import http.server
import json
import re
import shutil
import subprocess
import threading
from html import unescape
from itertools import accumulate
from types import SimpleNamespace

import pytest

from _py_vorn import StlLogger
import vorn.outputs.view
from conftest import instant_text, run_python, run_vorn, scope_text, write_trace
from python_view_lane import reference_lane
from test_vorn_async import SPANS_ON_TRACKS
from vorn.reading.trace_files import TraceFile, find_trace_files
from vorn.reading.trace_reader import TraceFormatError
from vorn.outputs.view import render_view, write_view

CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")

# Texts that would end the data block or the page's script, open a comment,
# end a line in old JavaScript, or become markup that fetches from the test's
# server, with quotes, backslashes, control characters and a character
# outside the BMP.
HOSTILE = (
    "</script><script>document.title='pwned'</script><!-- -->\u2028\u2029"
    ' "quoted" \'single\' back\\slash \x01\x1b\x7f\t\n\r 😀 &amp; ]]> ${x} `t`'
    " <img src=http://127.0.0.1:{port}/img onerror=\"document.title='pwned'\">"
    " <style>@import url(http://127.0.0.1:{port}/css);</style>"
)
# A directory or file name may hold anything but "/".
OTHER_HOST = '<b onmouseover="alert(1)">&amp; \u2028 😀'
OTHER_THREAD = "<img src=x onerror=alert(1)>"

# Run in a fresh interpreter with VORN_LOG_DIR set; prints what each thread
# wrote, by native thread id: its scopes as [depth, invoker, args, open] and
# its records as [index of the enclosing scope, invoker, args], in file order.
GENERATOR = r"""
import json, os, threading
from _py_vorn import StlLogger

hostile = os.environ["HOSTILE"]
keep = []  # scopes still open when their thread ends


def nested():
    with StlLogger("load", invoker="main", file="job.py", line=10) as load:
        load.log("x")
        with StlLogger("parse", invoker="main", file="job.py", line=20) as parse:
            parse.log(hostile)
            with StlLogger(hostile, invoker=hostile, file=hostile, line=30):
                pass
        load.log("after parse")
    StlLogger("", invoker="main").close()
    return ([[0, "main", "load", False], [1, "main", "parse", False],
             [2, hostile, hostile, False], [0, "main", "", False]],
            [[0, "main", "x"], [1, "main", hostile], [0, "main", "after parse"]])


def worker():
    for i in range(3):
        with StlLogger(f"task {i}", invoker="worker") as task:
            task.log(f"done {i}")
    return ([[0, "worker", f"task {i}", False] for i in range(3)],
            [[i, "worker", f"done {i}"] for i in range(3)])


def ends_open():
    outer = StlLogger("left open", invoker="opener", file="o.py", line=1)
    outer.log("before the end")
    StlLogger("closed inside", invoker="opener").close()
    keep.extend([outer, StlLogger("inner open", invoker="opener")])
    return ([[0, "opener", "left open", True], [1, "opener", "closed inside", False],
             [1, "opener", "inner open", True]],
            [[0, "opener", "before the end"]])


written = {}
for body in (nested, worker, ends_open):
    thread = threading.Thread(target=lambda: written.update(
        {threading.get_native_id(): dict(zip(("scopes", "records"), body()))}))
    thread.start()
    thread.join()
print(json.dumps(written), flush=True)
os._exit(0)  # no later destruction may close the open scopes
"""


class RequestCounter(http.server.BaseHTTPRequestHandler):
    paths = []

    def do_GET(self):
        RequestCounter.paths.append(self.path)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    """A local server that notes what the page asks for: it must ask for nothing."""
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), RequestCounter) as httpd:
        threading.Thread(target=httpd.serve_forever, daemon=True).start()
        yield httpd
        httpd.shutdown()


@pytest.fixture(scope="module")
def known(tmp_path_factory, server):
    """The known trace, one thread's file copied under a second host, and its
    page; `written` maps "host/thread" to what that file holds."""
    root = tmp_path_factory.mktemp("view")
    hostile = HOSTILE.replace("{port}", str(server.server_address[1]))
    generated = run_python(GENERATOR, env={"VORN_LOG_DIR": str(root / "logs"), "VORN_LOG_PREFIX": "stl_",
                                           "HOSTILE": hostile})  # fmt: skip
    files = {trace.thread: trace for trace in find_trace_files([root / "logs"])}
    host = next(iter(files.values())).host
    written = {f"{host}/{tid}": lane for tid, lane in json.loads(generated.stdout).items()}
    worker = next(key for key, lane in written.items() if lane["scopes"][0][1] == "worker")
    (root / "logs/vorn" / OTHER_HOST).mkdir()
    shutil.copy(files[worker.split("/")[1]].path, root / "logs/vorn" / OTHER_HOST / f"{OTHER_THREAD}.log")
    written[f"{OTHER_HOST}/{OTHER_THREAD}"] = written[worker]
    page = root / "trace.html"
    assert write_view([root / "logs"], page) == 4
    return SimpleNamespace(host=host, written=written, page=page, root=root,
                           data=embedded_data(read(page)))


def read(path):
    return path.read_text(encoding="utf-8")


def embedded_data(html):
    """The page's data, each lane's columns read back into rows:
    scope [parent, depth, enter, exit or None, invoker, file, line, args, measured, raised or -1],
    record [parent, time, invoker, file, line, args, measured]; texts as indices."""
    data = json.loads(re.search(r'id="vorn-data">(.*?)</script>', html, re.S).group(1))
    for host in data["hosts"]:
        for process in host["processes"]:
            for lane in process["lanes"]:
                lane["scopes"], lane["instants"] = scope_rows(lane["scopes"]), record_rows(lane["instants"])
    return data


def columns(table, *names):
    """The named columns of a page table, a lone number standing for a whole column."""
    return [table[name] if isinstance(table[name], list) else [table[name]] * table["count"] for name in names]


def scope_rows(table):
    parent, depth, steps, length, invoker, file, line, args, measured, raised = columns(
        table, "parent", "depth", "enter", "length", "invoker", "file", "line", "args", "measured", "raised")
    enter, args = list(accumulate(steps)), list(accumulate(args))  # steps from the row before
    return [[row - up if up else -1, depth[row], enter[row] / 1e6,
             None if length[row] < 0 else (enter[row] + length[row]) / 1e6, invoker[row], file[row], line[row],
             args[row], measured[row], raised[row] - 1] for row, up in enumerate(parent)]  # fmt: skip


def record_rows(table):
    parent, steps, invoker, file, line, args, measured = columns(
        table, "parent", "time", "invoker", "file", "line", "args", "measured")
    return [list(row) for row in zip([up - 1 for up in parent], [time / 1e6 for time in accumulate(steps)],
                                     invoker, file, line, accumulate(args), measured)]  # fmt: skip


def chromium_dom(page, user_dir, fragment=""):
    """The DOM of `page` after its scripts ran, as Chromium serialises it."""
    flags = ("headless no-sandbox disable-gpu disable-background-networking disable-extensions "
             "no-first-run no-default-browser-check window-size=1200,800 dump-dom").split()
    command = [CHROMIUM, *(f"--{flag}" for flag in flags), f"--user-data-dir={user_dir}",
               page.as_uri() + fragment]  # fmt: skip
    return subprocess.run(command, capture_output=True, timeout=60, check=True).stdout.decode()


# Gathers what the page drew, as it stands once the driver's body has run:
# each lane's rows as the page decoded them, by host, thread and task.
SNAPSHOT = r"""
const texts = (selector) => [...document.querySelectorAll(selector)].map((node) => node.textContent);
const nodes = [...document.querySelectorAll("*")];
out.page = {
  state: document.documentElement.dataset.state, tags: nodes.map((node) => node.localName),
  handlers: nodes.flatMap((node) => node.getAttributeNames()).filter((name) => name.startsWith("on")),
  hosts: texts(".host-name"), labels: texts(".lane-label"), summary: texts("#summary"), view: vornView.view(),
  lanes: Object.fromEntries([...document.querySelectorAll("section")].map((lane) => {
    const key = `${lane.dataset.host}/${lane.dataset.thread}${lane.dataset.task === undefined ? "" : "/" + lane.dataset.task}`;
    return [key, vornView.rows(key)];
  })),
};
"""

# What a user's hand does, for every driver: keys, pointers, hovers, and what
# the page then shows. find() gives the painted bar or mark of a message,
# brought into sight, with its centre in the window (x, y).
HANDS = r"""
const box = () => { const v = vornView.view(); return [v.from, 0, v.to - v.from, 0]; };
const shown = () => {
  const message = document.querySelector("#details .message");
  const fields = [...document.querySelectorAll("#details dt")].map(
    (term) => [term.textContent, term.nextElementSibling.textContent]);
  return [message ? message.firstChild.textContent : document.querySelector("#details").textContent,
          Object.fromEntries(fields)];
};
const key = (name, target = window, shiftKey = false) => target.dispatchEvent(
  new KeyboardEvent("keydown", {key: name, shiftKey, bubbles: true}));
const centre = (node) => {
  if (node.x !== undefined) return [node.x, node.y];
  const r = node.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2];
};
const pointer = (type, node, x, y) => node.dispatchEvent(new PointerEvent(type,
  {bubbles: true, button: 0, pointerId: 1, isPrimary: true, clientX: x, clientY: y}));
const find = (kind, args) => vornView.find(kind, args);
const viewport = document.getElementById("viewport");
const hover = (target) => { const [x, y] = centre(target); pointer("pointermove", viewport, x, y); };
const kept = () => document.querySelector("#details .pinned") !== null;
const click = (node) => {
  const [x, y] = centre(node);
  pointer("pointerdown", node.x === undefined ? node : document.elementFromPoint(x, y), x, y);
  pointer("pointerup", viewport, x, y);
};
const typed = (text) => {
  const input = document.getElementById("search");
  input.value = text;
  input.dispatchEvent(new Event("input", {bubbles: true}));
  return document.getElementById("search-count").textContent;
};
"""


def drive(page, body, tmp_path, fragment=""):
    """Loads `page` with `body` run after the page's own script, as a user's
    hand would; `body` fills the object `out`, which comes back with what the
    page drew (`out["page"]`) and the titles of the final DOM. The page's
    policy stays as it is, with the driver allowed by its hash."""
    script = (f"(() => {{ const out = {{}};\n{HANDS}\n{{\n{body}\n}}\n{SNAPSHOT}\n"
              "const report = document.createElement('pre');"
              " report.id = 'driver'; report.textContent = JSON.stringify(out);"
              " document.body.append(report); })();")
    digest = base64.b64encode(hashlib.sha256(script.encode()).digest()).decode()
    html = read(page).replace("script-src ", f"script-src 'sha256-{digest}' ", 1)
    driven = tmp_path / "driven.html"
    driven.write_text(html.replace("</body>", f"<script>{script}</script></body>"), encoding="utf-8")
    dom = chromium_dom(driven, tmp_path / "profile", fragment)
    out = json.loads(unescape(re.search(r'<pre id="driver">(.*?)</pre>', dom, re.S)[1]))
    assert out["page"]["state"] == "ready"
    return out, re.findall(r"<title>(.*?)</title>", dom, re.S)


def write_lanes(root, *lanes):
    """Trace files of host alpha, threads 1, 2, ..., from lists of elements."""
    for thread, elements in enumerate(lanes, start=1):
        write_trace(root / f"logs/vorn/alpha/stl_{thread}.log", *elements)
    assert write_view([root / "logs"], root / "trace.html") == len(lanes)
    return root / "trace.html"


# ---- the page as written ------------------------------------------------------


def test_the_page_fetches_nothing_and_lets_run_only_its_own_script_and_style(known):
    html = read(known.page)
    csp = re.search(r'<meta http-equiv="Content-Security-Policy" content="([^"]*)">', html)[1]
    assert csp.startswith("default-src 'none'; ") and "unsafe" not in csp
    blocks = re.findall(r"<(script|style)>(.*?)</\1>", html, re.S)
    assert [kind for kind, _ in blocks] == ["style", "script"]
    for kind, body in blocks:
        digest = base64.b64encode(hashlib.sha256(body.encode()).digest()).decode()
        assert f"{kind}-src 'sha256-{digest}';" in csp
    data = re.search(r'id="vorn-data">(.*?)</script>', html, re.S)[1]
    assert data.isascii() and not set(data) & set("<>&")
    assert not re.search(r"(src|href)\s*=|@import|url\((?!#)", html.replace(data, ""))


# ---- what Chromium draws -------------------------------------------------------


@needs_chromium
def test_chromium_draws_every_scope_and_record_nested_with_its_texts(known, tmp_path):
    RequestCounter.paths.clear()
    out, titles = drive(known.page, "", tmp_path)
    dom = out["page"]

    # Nothing in the traces or the file names became markup, ran, or fetched.
    assert titles == ["vorn trace"] and dom["tags"].count("script") == 3  # data, page, driver
    assert not {"img", "iframe", "object", "embed", "link"} & set(dom["tags"]) and dom["handlers"] == []
    assert RequestCounter.paths == []

    assert dom["hosts"] == sorted([known.host, OTHER_HOST])
    assert sorted(dom["lanes"]) == sorted(known.written)
    domain = max(known.data["end"] - known.data["start"], 1) * 1.02  # a little room at the end
    assert dom["view"] == {"from": known.data["start"], "to": pytest.approx(known.data["start"] + domain)}
    for key, expected in known.written.items():
        scopes, marks = dom["lanes"][key]["bars"], dom["lanes"][key]["records"]
        assert [[s["depth"], s["invoker"], s["args"], s["open"]] for s in scopes] == expected["scopes"]
        assert [[m["parent"], m["invoker"], m["args"]] for m in marks] == expected["records"]

        # Bars lie within their parents' bars one row further down, marks
        # within their scope's bar on its row, open bars run to the end.
        def within(start, end, bar):
            return bar["enter"] <= start <= end <= bar["exit"]

        for bar in scopes:
            if bar["open"]:
                assert bar["exit"] == pytest.approx(known.data["start"] + domain)
            if bar["parent"] >= 0:
                assert bar["depth"] == scopes[bar["parent"]]["depth"] + 1
                assert within(bar["enter"], bar["exit"], scopes[bar["parent"]])
        for mark in marks:
            scope = scopes[mark["parent"]]
            assert mark["depth"] == scope["depth"] and within(mark["time"], mark["time"], scope)

    def plural(items, noun):
        return f"{len(items)} {noun}{'' if len(items) == 1 else 's'}"

    # Each lane is named as the data says, marked when its times are its own.
    names = {f"{lane['host']}/{lane['thread']}": (lane["member"] or lane["name"])  # shorter in a pool
             + ("" if lane["aligned"] else "(not aligned)")
             for host in known.data["hosts"] for process in host["processes"] for lane in process["lanes"]}
    labels = []
    for key, lane in known.written.items():
        still_open = sum(scope[3] for scope in lane["scopes"])
        labels.append(f"{names[key]}{plural(lane['scopes'], 'scope')} · "
                      f"{plural(lane['records'], 'record')}" + (f"{still_open} never closed" * bool(still_open)))
    assert sorted(dom["labels"]) == sorted(labels)
    total = sum(len(lane["scopes"]) for lane in known.written.values())
    assert f"{total} scopes (2 never closed)" in dom["summary"][0]


MARKUP = '<img src=x onerror="document.title=1"> & "q" </div>'

# Hovers, clicks, keys, a wheel turn and a drag, as a user's hand would.
USER = r"""
const track = document.getElementById("axis").getBoundingClientRect();
out.width = track.width;
out.opened = box();
key("0");
out.labels = vornView.blocks().filter((b) => b.kind === "scope" && b.right - b.left >= 36).map((b) => b.args);

// What lies under the pointer is what was painted there.
const inner = find("scope", "inner");
const deep = find("instant", "deep");
out.hits = [vornView.at(...centre(inner)).args === "inner", vornView.at(...centre(deep)).args === "deep"];
hover(inner);
out.hoverScope = shown();
hover(deep);
out.hoverRecord = shown();
const open = find("scope", "open");
const [x, y] = centre(open);
pointer("pointerdown", document.elementFromPoint(x, y), x, y);
pointer("pointerup", viewport, x, y);
out.clicked = [kept(), shown()];
hover(inner);
out.hoverWhileKept = shown();
key("Escape");
out.released = [kept(), shown()[0]];

key("+"); out.zoomIn = box();
key("ArrowRight"); out.panRight = box();
key("Home"); out.home = box();
key("0");
viewport.dispatchEvent(new WheelEvent("wheel", {bubbles: true, cancelable: true, ctrlKey: true,
  deltaY: -200, clientX: track.left + track.width / 4, clientY: y}));
out.wheel = box();
const long = find("scope", "long");
const longY = centre(long)[1];
pointer("pointerdown", document.elementFromPoint(track.left + 500, longY), track.left + 500, longY);
pointer("pointermove", viewport, track.left + 400, longY);
pointer("pointerup", viewport, track.left + 400, longY);
out.drag = box();
out.selectedAfterDrag = Number(kept());
for (let i = 0; i < 40; i++) key("+");
out.deepest = [box(), [...document.querySelectorAll("#axis .tick")].map((t) => t.textContent)];
for (let i = 0; i < 40; i++) key("-");
out.widest = [box(), [...document.querySelectorAll("#axis .tick")].map((t) => t.textContent)];
"""


@needs_chromium
def test_hover_click_keys_wheel_and_drag_show_details_zoom_and_pan(tmp_path):
    page = write_lanes(
        tmp_path,
        [scope_text("outer", 100, 900, instant_text("marked", 200),
                    scope_text("inner", 300, 600, instant_text("deep", 450), invoker=MARKUP, line=20)),
         scope_text("open", 950, None, instant_text("before the end", 960))],
        [scope_text("long", 0, 1000, scope_text(MARKUP, 0, 1000))],
    )  # fmt: skip
    out, titles = drive(page, USER, tmp_path, "#t=250,750")
    assert "img" not in out["page"]["tags"] and titles == ["vorn trace"]
    # 0 to 1000.5 ms (the open scope's last moment) and a little room at the end
    domain, height = 1000.5 * 1.02, out["opened"][3]
    assert out["opened"] == [250, 0, 500, height]  # the range the fragment asks for
    assert sorted(out["labels"]) == sorted(["outer", "inner", "open", "long", MARKUP])

    assert out["hits"] == [True, True]
    assert out["hoverScope"] == ["inner", {
        "invoker": MARKUP, "file": "f.py", "line": "20", "enter": "300 ms", "exit": "600 ms",
        "duration": "300 ms", "depth": "1", "thread": "1 on alpha"}]
    assert out["hoverRecord"] == ["deep", {
        "invoker": "w", "file": "f.py", "line": "7", "time": "450 ms", "in scope": "inner",
        "thread": "1 on alpha"}]
    kept, (message, fields) = out["clicked"]
    assert kept and message == "open"
    assert fields["exit"] == "—" and fields["duration"] == "at least 50.5 ms"
    assert out["hoverWhileKept"] == out["clicked"][1]
    assert out["released"] == [
        False, "Point at a bar or a mark to see its message, invoker, file, line and times."]

    scale = domain / 1020
    assert out["zoomIn"] == [pytest.approx(170 * scale), 0, pytest.approx(680 * scale), height]  # middle
    assert out["panRight"] == [pytest.approx((170 + 136) * scale), 0, pytest.approx(680 * scale), height]
    assert out["home"] == [0, 0, pytest.approx(680 * scale), height]
    start, _, span, _ = out["wheel"]  # the time under the wheel stays under it
    assert span < domain and start + span / 4 == pytest.approx(domain / 4)
    assert out["drag"][0] == pytest.approx(start + span * 100 / out["width"])
    assert out["selectedAfterDrag"] == 0
    (_, _, span, _), ticks = out["deepest"]
    assert span == pytest.approx(1)  # no closer than a millisecond across
    assert all(re.fullmatch(r"\d+\.\d+ ms", tick) for tick in ticks)
    box, ticks = out["widest"]
    assert box == [0, 0, domain, height]
    times = [float(tick.removesuffix(" ms")) for tick in ticks]
    assert times == [i * (times[1] - times[0]) for i in range(len(times))]
    assert times[1] in (100, 200, 500)


@needs_chromium
def test_a_deep_zoom_late_into_a_long_trace_lands_on_the_pixel(tmp_path):
    # Near 10 000 000 ms the page's single precision geometry is coarser
    # than the pixels of a view two milliseconds wide.
    page = write_lanes(tmp_path, [scope_text("early", 0, 10), scope_text("late", 9999996, 9999997)])
    body = """
      const bar = find("scope", "late");
      const width = vornView.width();
      out.bar = [bar.left / width, (bar.right - bar.left) / width];
      out.label = vornView.at(bar.x, bar.y).args;
    """
    out, _ = drive(page, body, tmp_path, "#t=9999995.5,9999997.5")
    assert out["bar"] == [pytest.approx(0.25, abs=0.003), pytest.approx(0.5, abs=0.003)]
    assert out["label"] == "late"


def nested_scopes(depth, exit, *events):
    """A scope `depth` levels deep down to `events`, each level a millisecond
    inside its parent, from 0 to `exit`."""
    inner = ",\n".join(events)
    for level in reversed(range(depth)):
        inner = scope_text(f"level {level}", level, exit - level, *([inner] if inner else []))
    return inner


def span_record(text, ts):
    """A record as vorn.span writes it."""
    return "{ " + json.dumps({"ts": ts, "invoker": "span", "file": "<python>", "line": 0, "args": text})[1:-1] + " }"


# Scrolls a deep lane, folds lanes and the host, searches and steps through
# the matches, and aims at a mark's edges.
CONTROLS = r"""
const frameTop = viewport.getBoundingClientRect().top;
const fromTop = (node) => Math.round(node.getBoundingClientRect().top - frameTop);
const heads = () => [...document.querySelectorAll(".lane-label")];
const lane = (n) => document.querySelectorAll("section.lane")[n];
viewport.scrollTop = 300;
out.sticky = [viewport.scrollTop, ...[".axis-row", ".host", ".lane-label"].map(
  (selector) => fromTop(document.querySelector(selector)))];
viewport.scrollTop = 0;

out.fold = [fromTop(lane(1))];
click(heads()[0]);
out.fold.push(lane(0).classList.contains("folded"), lane(0).querySelector(".track").offsetHeight,
              lane(0).offsetHeight);
key("Enter", heads()[0]);
out.fold.push(lane(0).classList.contains("folded"), fromTop(lane(1)));
click(document.querySelector(".host"));
out.hostFolded = [0, 1].map((n) => lane(n).offsetHeight);
key("Enter", document.querySelector(".host"));
out.hostOpen = [0, 1].map((n) => lane(n).offsetHeight > 0);

const input = document.getElementById("search");
out.counts = Object.fromEntries(["BETA", "loader", "f.py", "zzz"].map((query) => [query, typed(query)]));
typed("beta");
click(heads()[1]);  // a match in a folded lane unfolds it
const before = box();
key("w", input);   // letters in the search box are not shortcuts
out.typing = [before, box()];
out.steps = [false, false, false, true].map((shift) => {
  key("Enter", input, shift);
  return [document.getElementById("search-count").textContent, shown()[0], box(),
          lane(1).classList.contains("folded"), vornView.blocks().filter((b) => b.matched).length];
});

key("0");
const axis = document.getElementById("axis").getBoundingClientRect();
out.ticksInside = [...document.querySelectorAll("#axis .tick span")].map(
  (label) => label.getBoundingClientRect().right <= axis.right + 0.5);
const mark = find("instant", "hit me");
const [mx, my] = centre(mark);
out.markHits = [[0, 0], [-3, 0], [3, 0], [0, -5], [0, 5]].map(
  ([dx, dy]) => vornView.at(mx + dx, my + dy)?.args === "hit me");
"""


@needs_chromium
def test_labels_stick_lanes_fold_and_the_search_steps_through_matches(tmp_path):
    page = write_lanes(
        tmp_path,
        [nested_scopes(35, 1000, instant_text("hit me", 900))],
        [scope_text("beta job", 500, 501, instant_text("beta note", 500), invoker="loader"),
         scope_text("gamma", 600, 700)],
    )  # fmt: skip
    out, _ = drive(page, CONTROLS, tmp_path)
    # Scrolled into the deep lane, the axis, the host and the lane's label
    # stay stacked at the top.
    assert out["sticky"][0] == 300 and out["sticky"][1:] == [0, 28, 54]
    top, folded, height, thin, unfolded, back = out["fold"]
    assert (folded, height, unfolded, back) == (True, 20, False, top) and thin < 26  # one thin row
    assert out["hostFolded"] == [0, 0] and out["hostOpen"] == [True, True]

    assert out["counts"] == {"BETA": "2 matches", "loader": "1 match", "f.py": "39 matches", "zzz": "no match"}
    assert out["typing"][0] == out["typing"][1]
    expected = [("1 of 2", "beta job"), ("2 of 2", "beta note"), ("1 of 2", "beta job"), ("2 of 2", "beta note")]
    assert [tuple(step[:2]) for step in out["steps"]] == expected
    for _, message, (start, _, span, _), lane_folded, marked in out["steps"]:
        assert not lane_folded and marked == 2
        # zoomed onto the match: the bar (500 to 501 ms) fills most of the view
        assert start <= 500 and 501 <= start + span < 503 if message == "beta job" else start <= 500.5 <= start + span
    assert out["ticksInside"] and all(out["ticksInside"])
    assert out["markHits"] == [True] * 5


@needs_chromium
def test_spans_are_drawn_in_a_lane_per_task_under_the_thread_that_began_them(tmp_path):
    span_thread = scope_text("vorn spans", 0, None, invoker="span").replace('"f.py"', '"<vorn.span>"')
    page = write_lanes(
        tmp_path,
        [scope_text("main", 0, 1000, span_record("span 1.9 begin: fetch [Task-1]", 100),
                    span_record("span 2.9 begin: parse [Task-1]", 200), span_record("span 2.9 end: parse [Task-1]", 300),
                    span_record("span 3.9 begin: loose []", 400),
                    span_record("span 3.9 end: loose [] (raised KeyError)", 450)),
         span_record("span 4.9 begin: never [Task-2]", 1200), instant_text("late", 1500)],
        [scope_text("other", 0, 900, span_record("span 1.9 end: fetch [Task-1]", 800))],
        [span_thread],
    )  # fmt: skip
    lanes = embedded_data(read(page))["hosts"][0]["processes"][0]["lanes"]
    assert [lane["thread"] for lane in lanes] == ["1", "2"]  # the span logger's own thread is left out
    strings = embedded_data(read(page))["strings"]
    assert [(task["task"], [(level, begin, end, strings[message], open_) for level, begin, end, message, open_, *_
                            in task["spans"]]) for task in lanes[0]["tasks"]] == [
        ("Task-1", [(0, 100, 800, "fetch", False), (1, 200, 300, "parse", False)]),
        (None, [(0, 400, 450, "loose", False)]),
        ("Task-2", [(0, 1200, 1500, "never", True)]),  # runs to its thread's last moment
    ]  # fmt: skip

    body = """
      out.details = ["never", "loose"].map((args) => { hover(find("span", args)); return shown(); });
    """
    out, _ = drive(page, body, tmp_path)
    dom = out["page"]
    assert sorted(dom["lanes"]) == ["alpha/1", "alpha/1/0", "alpha/1/1", "alpha/1/2", "alpha/2"]
    assert [label for label in dom["labels"] if not label.startswith("thread")] == [
        "task Task-12 spans", "spans1 span1 raised", "task Task-21 span1 never ended"]
    bars = {key: [(b["args"], b["depth"], b["open"], round(b["exit"], 3)) for b in dom["lanes"][key]["bars"]]
            for key in ("alpha/1/0", "alpha/1/2")}  # fmt: skip
    assert bars == {"alpha/1/0": [("fetch", 0, False, 800), ("parse", 1, False, 300)],
                    "alpha/1/2": [("never", 0, True, 1500)]}  # fmt: skip
    assert out["details"] == [
        ["never", {"span": "4.9", "task": "Task-2", "begin": "1200 ms", "end": "—", "duration": "at least 300 ms",
                   "thread": "1 on alpha"}],
        ["loose", {"span": "3.9", "task": "(none)", "begin": "400 ms", "end": "450 ms", "duration": "50 ms",
                   "raised": "KeyError", "thread": "1 on alpha"}],
    ]


# Tallies the painted blocks of the tiny scopes (depth 1) and of the records.
DETAIL = r"""
const tally = (kind, depth) => {
  const blocks = vornView.blocks().filter((b) => b.kind === kind && b.depth === depth);
  return [blocks.length, blocks.filter((b) => b.count > 1).length, ...["count", "raised", "matched"].map(
    (field) => blocks.reduce((sum, b) => sum + b[field], 0))];
};
typed("tiny 15");  // tiny 15, 150 to 159, 1500 to 1599
out.whole = [tally("scope", 1), tally("instant", 1)];
hover(vornView.blocks().find((b) => b.kind === "scope" && b.count > 1));
out.block = shown();
for (let i = 0; i < 12; i++) key("+");
out.zoomed = [tally("scope", 1), vornView.view()];
"""


@needs_chromium
def test_scopes_thinner_than_a_pixel_merge_into_blocks_that_count_them(tmp_path):
    # 3000 scopes of a third of a millisecond under one scope of a second,
    # one of them raised, a record in every tenth.
    tiny = [scope_text(f"tiny {i}", i // 3, i // 3, *[instant_text("raised KeyError: k", i // 3)] * (i == 1501),
                       *[instant_text(f"note {i}", i // 3)] * (i % 10 == 0)) for i in range(3000)]  # fmt: skip
    page = write_lanes(tmp_path, [scope_text("long", 0, 1000, *tiny)])
    out, _ = drive(page, DETAIL, tmp_path)
    (blocks, merged, count, raised, matched), marks = out["whole"]
    # Nothing drops out of sight: the blocks count every scope and record.
    assert (count, raised, matched) == (3000, 1, 111) and merged and blocks < 10
    assert marks[2] == 301 and marks[1]
    message, fields = out["block"]
    assert re.fullmatch(r"[\d,]+ scopes", message) and fields["depth"] == "1"
    # Zoomed in, every scope in view stands alone.
    (blocks, merged, count, _, _), shown = out["zoomed"]
    in_view = [bar for bar in out["page"]["lanes"]["alpha/1"]["bars"][1:]
               if bar["enter"] <= shown["to"] and bar["exit"] >= shown["from"]]
    assert merged == 0 and blocks == count == len(in_view) > 5


# ---- render_view and write_view ------------------------------------------------


def test_a_deep_recursion_is_drawn_without_recursing(traced):
    def deep():
        loggers = [StlLogger(f"level {i}", invoker="recurse") for i in range(1500)]
        loggers[-1].log("bottom")
        for logger in reversed(loggers):
            logger.close()

    lane = embedded_data(render_view([TraceFile.of(traced(deep).path)]))["hosts"][0]["processes"][0]["lanes"][0]
    assert lane["depth"] == 1500
    assert [row[:2] for row in lane["scopes"]] == [[i - 1, i] for i in range(1500)]
    assert lane["instants"][0][0] == 1499


def test_write_view_replaces_the_page_whole_or_leaves_it_as_it_was(traced, tmp_path):
    trace = traced(lambda: StlLogger("one").close()).path
    page = tmp_path / "out" / "trace.html"
    page.parent.mkdir()
    page.write_text("earlier page")
    assert write_view([trace], page) == 1
    written = read(page)
    assert "one" in embedded_data(written)["strings"]
    (tmp_path / "notes.log").write_text("hello\n")
    with pytest.raises(TraceFormatError, match="notes.log"):
        write_view([trace, tmp_path / "notes.log"], page)
    assert read(page) == written
    assert [path.name for path in page.parent.iterdir()] == ["trace.html"]  # no temporary left


@pytest.mark.parametrize(
    ("name", "error"), [("missing", FileNotFoundError), (".", ValueError)],
    ids=["missing path", "directory without trace files"],
)
def test_write_view_refuses_paths_without_traces_and_writes_nothing(tmp_path, name, error):
    with pytest.raises(error):
        write_view([tmp_path / name], tmp_path / "trace.html")
    assert not (tmp_path / "trace.html").exists()


def test_python_m_vorn_view_writes_the_page_and_says_where(known, tmp_path):
    result = run_vorn("view", str(known.root / "logs"), "-o", str(tmp_path / "t.html"))
    assert result.returncode == 0, result.stderr
    assert "4 trace files" in result.stdout and str(tmp_path / "t.html") in result.stdout
    assert embedded_data(read(tmp_path / "t.html")) == known.data


def range_lanes(root):
    """Two threads: scopes a 0-100, b 200-300 (a record at 250), c 400-500;
    d 250-450."""
    write_trace(root / "logs/vorn/alpha/stl_1.log", scope_text("a", 0, 100),
                scope_text("b", 200, 300, instant_text("in b", 250)), scope_text("c", 400, 500))
    write_trace(root / "logs/vorn/alpha/stl_2.log", scope_text("d", 250, 450))
    return root / "logs"


@pytest.mark.parametrize(("flags", "shown", "kept", "outside"), [
    (["--from", "150", "--to", "260"], [150, 260], [["b", "in b"], ["d"]], [[2, 0], [0, 0]]),
    # d, which began earlier, comes first
    (["--from", "450"], [450, 500], [["d"], ["c"]], [[0, 0], [2, 1]]),
    (["--to", "50"], [0, 50], [["a"], []], [[2, 1], [1, 0]]),
], ids=["from and to", "from alone", "to alone"])  # fmt: skip
def test_python_m_vorn_view_draws_only_the_time_range_asked_for(tmp_path, flags, shown, kept, outside):
    result = run_vorn("view", *flags, str(range_lanes(tmp_path)), "-o", str(tmp_path / "t.html"))
    assert result.returncode == 0, result.stderr
    data = embedded_data(read(tmp_path / "t.html"))
    lanes = data["hosts"][0]["processes"][0]["lanes"]
    text = data["strings"]
    assert data["range"] == shown and [data["start"], data["end"]] == shown
    assert [[text[row[7]] for row in lane["scopes"]] + [text[row[5]] for row in lane["instants"]]
            for lane in lanes] == kept  # fmt: skip
    assert [lane["outside"] for lane in lanes] == outside


@pytest.mark.parametrize(("limit", "flags", "refused"), [
    ("5", [], False),  # 4 scopes and 1 record: just within
    ("4", [], True),
    ("4", ["--from", "150", "--to", "260"], False),  # 3 of them drawn
    ("2", ["--from", "150", "--to", "260"], True),
], ids=["within", "over", "a range within", "a range over"])  # fmt: skip
def test_python_m_vorn_view_refuses_a_trace_too_large_for_a_page(tmp_path, monkeypatch, limit, flags, refused):
    monkeypatch.setenv("VORN_VIEW_LIMIT", limit)
    result = run_vorn("view", *flags, str(range_lanes(tmp_path)), "-o", str(tmp_path / "t.html"))
    assert result.returncode == int(refused) and (tmp_path / "t.html").exists() != refused
    if refused:
        line = result.stderr.strip()
        assert "\n" not in line and f"limit {limit}," in line
        assert ("5 scopes and records in 2 trace files" in line and "--from MS --to MS" in line) if not flags \
            else "3 scopes and records overlap 150 to 260 ms" in line


# Spans, scopes that raised (a type beyond ASCII among them), scopes left
# open, with precise times; then files without them.
VIEW_INPUTS = SPANS_ON_TRACKS.replace("os._exit(0)", """
class Ошибка(Exception):
    pass
for error in (ValueError("bad"), Ошибка("плохо"), KeyError("k")):
    try:
        with vorn.scope("risky"):
            raise error
    except Exception:
        pass
os._exit(0)""")
RAISED_TEXTS = ["raised Ошибка", "raised X: ", "raised 9x", "raised", "raised a.b<c>: m", "raised é: x"]


@pytest.mark.parametrize("exact, cut", [(False, False), (True, False), (False, True), (True, True)])
def test_the_page_is_the_bytes_the_python_lane_builder_made(tmp_path, monkeypatch, exact, cut):
    from test_vorn_perfetto import ONE_MILLISECOND, two_processes

    run_python(VIEW_INPUTS, env={"VORN_LOG_DIR": str(tmp_path / "logs")})
    # Each "raised" text once as its scope's last record, once followed by another.
    made = [scope_text(f"s{n}", n, n + 1, instant_text(text, n), *[instant_text("x", n + 1)] * (n >= 6))
            for n, text in enumerate(RAISED_TEXTS * 2)]  # fmt: skip
    files = [*find_trace_files([tmp_path / "logs"]), *two_processes(tmp_path),
             write_trace(tmp_path / "vorn/h/stl_1.log", *made, *ONE_MILLISECOND)]
    window = None
    if cut:  # the middle of the timeline: scopes and records on both sides
        whole = embedded_data(render_view(files, exact))
        span = whole["end"] - whole["start"]
        window = (whole["start"] + span / 3, whole["end"] - span / 3)
    native = render_view(files, exact, window)
    monkeypatch.setattr(vorn.outputs.view, "_lane", reference_lane)
    assert native == render_view(files, exact, window)



@pytest.mark.parametrize("before_border", [10, 4], ids=["just before", "across"])
def test_a_record_by_the_border_of_a_read_is_counted_once(tmp_path, before_border):
    from vorn.outputs.view import event_count

    record = b'{ "ts": 1, "invoker": "w", "file": "f", "line": 1, "args": "" }\n'
    path = tmp_path / "t.log"
    path.write_bytes(b" " * ((1 << 22) - before_border) + record * 2)
    assert event_count(path) == 2
