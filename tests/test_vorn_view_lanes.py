"""The timeline's lanes as a reader meets them: busy threads first at every
zoom, the idle ones gathered in one row, pools under one header, and the
scopes that raised or never closed drawn apart."""

import pytest

from conftest import instant_text, scope_text, write_companion, write_traced_file
from test_vorn_view import drive, embedded_data, needs_chromium, read
from vorn.outputs.view import _pools, write_view

REQUESTS = 200


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """A thread-per-request server, pid 100: a main thread serving from 0 to
    2000 ms, request i on a thread of its own (named as the system cuts
    "Thread-<i> (process_request_thread)", ids in the reverse order of the
    requests) from 10 i to 10 i + 5 ms, a client thread from 3 ms on, and
    a worker pool whose two jobs have precise times. Request 100 raised,
    request 150 never closed."""
    root = tmp_path_factory.mktemp("server")
    logs = root / "logs/vorn/vm"

    def thread(tid, name, *elements):
        return write_traced_file(logs / f"stl_{tid}.log", *elements, pid=100, tid=tid, thread_name=name)

    thread(100, "MainThread", scope_text("serve", 0, 2000))
    for i in range(REQUESTS):
        events = [instant_text("raised ValueError: bad input 42", 10 * i + 4)] if i == 100 else []
        thread(1000 - i, f"Thread-{i + 1} (process_request_thread)"[:15],
               scope_text(f"request {i}", 10 * i, None if i == 150 else 10 * i + 5, *events))
    thread(5000, "client", scope_text("client loop", 3, 1999))
    for n, exit, times in ((1, 1501, [1_501_234_567, 1_501_384_767]), (2, 1600, [1_502_000_000, 1_600_700_000])):
        write_companion(thread(6000 + n, f"worker-{n}", scope_text(f"job {n}", 1500 + n, exit)), times, tid=6000 + n)
    page = root / "trace.html"
    assert write_view([root / "logs"], page) == REQUESTS + 4
    return page


def test_lanes_come_in_the_order_of_their_first_activity_main_thread_first(server):
    [host] = embedded_data(read(server))["hosts"]
    [process] = host["processes"]
    names = [lane["name"] for lane in process["lanes"]]
    assert names[:4] == ["MainThread 100", "Thread-1 (proce 1000", "client 5000", "Thread-2 (proce 999"]
    assert names[152:156] == ["Thread-151 (pro 850", "worker-1 6001", "worker-2 6002", "Thread-152 (pro 849"]
    assert [lane["active"] for lane in process["lanes"][:2]] == [[0, 2000], [0, 5]]
    assert process["lanes"][152]["active"] == [1500, None]  # never closed: on to the end


@pytest.mark.parametrize(("names", "system", "pools"), [
    (["worker-1", "worker-12", "solo-1", "MainThread", None], False,
     ["worker-N", "worker-N", None, None, None]),
    # Python's whole names: the last number outside a closing "(...)" tells
    # the threads apart, so each executor is a pool of its own.
    (["ThreadPoolExecutor-0_0", "ThreadPoolExecutor-0_1", "ThreadPoolExecutor-1_0", "Thread-7 (process_request_thread)",
      "Thread-12 (process_request_thread)", "Thread-3 (run_v2)", "Thread-4 (run_v2)", "request-handler-000123",
      "request-handler-000124", "x" * 290 + "-1", "x" * 290 + "-2", "Thread-1 (work)", "Thread-10 (work"], False,
     ["ThreadPoolExecutor-0_N"] * 2 + [None] + ["Thread-N (process_request_thread)"] * 2 + ["Thread-N (run_v2)"] * 2
     + ["request-handler-N"] * 2 + ["x" * 290 + "-N"] * 2 + [None, None]),
    # Cut to 15 bytes by the system, a name joins the pool of the longer names it begins.
    (["Thread-1 (work)", "Thread-2 (work)", "Thread-10 (work", "Thread-3 (other", "Thread-44 (othe", "Thread-5 (w"], True,
     ["Thread-N (work)"] * 3 + ["Thread-N (other"] * 2 + [None]),
    (["ThreadPoolExecu", "ThreadPoolExecu", "asyncio_0"], True, ["ThreadPoolExecu", "ThreadPoolExecu", None]),
], ids=["numbered", "python names", "cut by the system", "named alike"])  # fmt: skip
def test_threads_named_alike_but_for_a_number_form_a_pool(names, system, pools):
    assert _pools([{"main": name == "MainThread"} for name in names], names, [system] * len(names)) == pools


# Zoomed into the middle of the run: what is shown, then unfolded, then
# everything again.
MIDDLE = r"""
const visible = () => [...document.querySelectorAll(".lane-label b, .pool-name, .idle-name")]
  .filter((node) => node.offsetParent !== null).map((node) => node.textContent);
const idle = document.querySelector(".pool-group .idle");
out.middle = [visible(), document.getElementById("canvas").offsetHeight];
click(idle);
out.unfolded = [visible().length, idle.getAttribute("aria-expanded")];
click(idle);
key("0");
out.whole = visible().length;
const raised = find("scope", "request 100");
hover(raised);
out.raised = [raised.raised, shown()[1].raised, document.querySelector("#details .badge").textContent, raised.fill];
const open = find("scope", "request 150");
hover(open);
out.open = [document.querySelector("#details .badge").textContent, open.fill];
out.edges = [[raised.lane, raised.raised, raised.open], [open.lane, open.raised, open.open]];
out.legend = document.getElementById("legend").textContent;
out.notes = [...document.querySelectorAll(".raised-note, .open-note")].map((note) => note.textContent);
out.times = ["job 1", "job 2"].map((args) => {
  hover(find("scope", args));
  const [, fields] = shown();
  return [fields.enter, fields.exit, fields.duration];
});
typed("request 120");
key("Enter", document.getElementById("search"));
out.found = visible();
"""


@needs_chromium
def test_a_zoom_into_a_thread_per_request_server_shows_its_busy_threads_on_top(server, tmp_path):
    out, _ = drive(server, MIDDLE, tmp_path, "#t=1001,1019")
    # Requests 100 and 101, which ran in the range, with the threads that
    # spanned it; the others in one row.
    lanes, height = out["middle"]
    assert lanes == ["MainThread 100", "Thread-N (proce", "Thread-101 900", "Thread-102 899",
                     "198 idle threads", "client 5000", "worker-N", "2 idle threads"]
    assert height < 600
    assert out["unfolded"] == [len(lanes) + 198, "true"]
    assert out["whole"] == REQUESTS + 6  # every lane and the two pools' headers
    assert out["raised"] == [1, "ValueError: bad input 42", "raised", "#f9d0ca"]
    assert out["open"] == ["never closed", "#fce3a6"]
    assert out["edges"] == [["vm/900", 1, 0], ["vm/850", 0, 1]]
    assert out["legend"] == "1 raised1 never closed"
    assert out["notes"] == ["1 raised", "1 never closed"] * 2  # the pool's header, then the lanes
    assert "204 scopes (1 raised, 1 never closed)" in out["page"]["summary"][0]
    # Times for people: ms to at most three decimals, µs below a millisecond.
    assert out["times"] == [["1501.235 ms", "1501.385 ms", "150 µs"], ["1502 ms", "1600.7 ms", "98.7 ms"]]
    # A match in an idle thread brings its lane out.
    assert "Thread-121 880" in out["found"]
