"use strict";
// Draws the embedded traces: a lane per thread, grouped by host and process; in each lane
// a bar per scope at its nesting depth and a mark per log record, hanging
// under the bar of the scope it was written in. Every text goes in through
// textContent or an attribute, never as markup.
//
// Each lane is an SVG whose x axis is time: bars are placed once, in
// milliseconds, and zoom and pan only change the lanes' viewBox, so the
// browser redraws thousands of bars without laying any of them out again.
// Strokes and marks keep their pixel size whatever the zoom. Labels are HTML
// laid over the bars that are wide enough to hold one, rebuilt per view.
(() => {
  const root = document.documentElement;
  const $ = (id) => document.getElementById(id);
  const SVG = "http://www.w3.org/2000/svg";
  const element = (tag, className) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    return node;
  };
  const shape = (tag, attributes) => {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    return node;
  };

  const ROW = 26;         // px per nesting level
  const BAR_TOP = 3;      // bar inside its row
  const BAR_HEIGHT = 17;
  const MARK_TOP = 21;    // log marks hang just under their scope's bar
  const MARK_BOTTOM = 24;
  const MIN_LABEL = 36;   // px a bar needs before it gets a label
  const MIN_SPAN = 1;     // ms: timestamps are whole milliseconds
  // SVG geometry is single precision. Coordinates are kept relative to a base
  // time near the view, moved when the view's offset from it grows past this
  // many pixels, so a deep zoom into a long trace still lands on the pixel.
  const REBASE_PX = 1e6;

  const data = JSON.parse($("vorn-data").textContent);
  const text = data.strings;
  const start = data.start;
  // A little room after the last time, so marks at the end stay in sight.
  const domain = Math.max(data.end - start, 1) * 1.02;
  const end = start + domain;
  const lanes = data.hosts.flatMap((host) => host.processes.flatMap((process) => process.lanes));
  const NOT_ALIGNED = "(not aligned)";

  const viewport = $("viewport");
  const axis = $("axis");
  const grid = $("grid");
  const details = $("details");

  let view = { from: start, to: end };
  let base = start;
  let pinned = null;  // the element whose details stay shown

  // ---- texts and colours ----------------------------------------------------

  const plural = (count, noun) => `${count} ${noun}${count === 1 ? "" : noun.endsWith("s") ? "es" : "s"}`;

  // 1234567 => "1234567 ms"; (12.5, 1) => "12.5 ms".
  function formatTime(ms, digits = 0) {
    return `${ms.toFixed(Math.max(0, Math.min(digits, 6)))} ms`;
  }

  // An axis label with as many digits as the step needs:
  // (3600000, 1000000) => "3600 s"; (2500, 500) => "2.5 s"; (12.5, 0.5) => "12.5 ms".
  function formatTick(ms, step) {
    if (step >= 1000) return `${(ms / 1000).toFixed(Math.max(0, 3 - Math.floor(Math.log10(step))))} s`;
    return formatTime(ms, -Math.floor(Math.log10(step)));
  }

  // 950 => "950 ms"; 61000 => "1 min 1 s"; 5400000 => "1 h 30 min".
  function formatDuration(ms) {
    if (ms < 1000) return `${ms} ms`;
    if (ms < 60000) return `${+(ms / 1000).toFixed(3)} s`;
    if (ms < 3600000) return `${Math.floor(ms / 60000)} min ${+((ms % 60000) / 1000).toFixed(3)} s`;
    return `${Math.floor(ms / 3600000)} h ${Math.round((ms % 3600000) / 60000)} min`;
  }

  // A colour per invoker, in the order the invokers first appear; hues picked
  // to stay apart from each other, then around again a shade darker.
  const HUES = [212, 140, 28, 275, 350, 182, 48, 305, 100, 245, 8, 160];
  const palettes = new Map();
  function paletteOf(name) {
    let palette = palettes.get(name);
    if (!palette) {
      const hue = HUES[palettes.size % HUES.length];
      const shade = 80 - 8 * (Math.floor(palettes.size / HUES.length) % 3);
      palette = {
        fill: `hsl(${hue} 65% ${shade}%)`,
        stroke: `hsl(${hue} 40% ${shade - 30}%)`,
        ink: `hsl(${hue} 45% 20%)`,
        mark: `hsl(${hue} 50% 32%)`,
      };
      palettes.set(name, palette);
    }
    return palette;
  }

  // ---- building the lanes ---------------------------------------------------

  const openCount = (lane) => lane.scopes.reduce((count, row) => count + (row[3] === null), 0);

  function laneLabel(lane) {
    const label = element("div", "lane-label");
    label.title = lane.path;
    const name = element("b");
    name.textContent = lane.name;
    label.append(name);
    // Its times count from its own process's start, not the timeline's zero.
    if (!lane.aligned) {
      const note = element("small", "unaligned-note");
      note.textContent = NOT_ALIGNED;
      label.append(note);
    }
    const counts = element("small");
    counts.textContent = `${plural(lane.scopes.length, "scope")} · ${plural(lane.instants.length, "record")}`;
    label.append(counts);
    const open = openCount(lane);
    if (open) {
      const note = element("small", "open-note");
      note.textContent = `${open} never closed`;
      label.append(note);
    }
    return label;
  }

  // A scope's bar ends at its exit, or runs on to the end of the timeline when
  // it never closed; an exit before the enter (a clock set back) draws as an
  // instant.
  const exitOf = (row) => (row[3] === null ? end : Math.max(row[3], row[2]));
  // A rect of width zero is not drawn at all; this thin it is its outline.
  const ZERO_WIDTH = 1e-6;

  function buildLane(lane, laneIndex) {
    const section = element("section", "lane");
    section.dataset.lane = laneIndex;
    section.dataset.host = lane.host;
    section.dataset.thread = lane.thread;
    const height = Math.max(lane.depth, 1) * ROW + 4;
    const track = element("div", "track");
    track.style.height = `${height}px`;
    const svg = shape("svg", { preserveAspectRatio: "none", height, "aria-hidden": "true" });
    lane.bars = lane.scopes.map((row, index) => {
      const [parent, depth, enter, exit, invoker, , , args] = row;
      const palette = paletteOf(text[invoker]);
      const bar = shape("rect", {
        y: depth * ROW + BAR_TOP, height: BAR_HEIGHT, width: Math.max(exitOf(row) - enter, ZERO_WIDTH),
        fill: palette.fill, stroke: palette.stroke,
      });
      bar.dataset.kind = "scope";
      bar.dataset.index = index;
      bar.dataset.parent = parent;
      bar.dataset.depth = depth;
      bar.dataset.invoker = text[invoker];
      bar.dataset.args = text[args];
      if (exit === null) bar.dataset.open = "true";
      svg.append(bar);
      return bar;
    });
    // Never closed: the bar fades out towards the end of the timeline.
    lane.fades = lane.scopes.flatMap((row, index) => {
      if (row[3] !== null) return [];
      const fade = shape("rect", {
        class: "fade", y: row[1] * ROW + BAR_TOP, height: BAR_HEIGHT, width: end - row[2],
      });
      svg.append(fade);
      return [[fade, index]];
    });
    lane.marks = lane.instants.map((row, index) => {
      const [parent, , invoker, , , args] = row;
      const depth = parent < 0 ? 0 : lane.scopes[parent][1];
      const mark = shape("line", {
        y1: depth * ROW + MARK_TOP, y2: depth * ROW + MARK_BOTTOM, stroke: paletteOf(text[invoker]).mark,
      });
      mark.dataset.kind = "instant";
      mark.dataset.index = index;
      mark.dataset.parent = parent;
      mark.dataset.depth = depth;
      mark.dataset.invoker = text[invoker];
      mark.dataset.args = text[args];
      svg.append(mark);
      return mark;
    });
    lane.svg = svg;
    lane.labels = element("div", "labels");
    track.append(svg, lane.labels);
    section.append(laneLabel(lane), track);
    return section;
  }

  // Coordinates relative to `base`, see REBASE_PX.
  function rebase(time) {
    base = time;
    for (const lane of lanes) {
      lane.scopes.forEach((row, index) => lane.bars[index].setAttribute("x", row[2] - base));
      for (const [fade, index] of lane.fades) fade.setAttribute("x", lane.scopes[index][2] - base);
      lane.instants.forEach((row, index) => {
        lane.marks[index].setAttribute("x1", row[1] - base);
        lane.marks[index].setAttribute("x2", row[1] - base);
      });
    }
  }

  function processHeader(process) {
    const header = element("div", "process");
    header.dataset.pid = process.pid ?? "";
    const name = element("span", "process-name");
    name.textContent = process.pid === null ? "without process identity" : process.name;
    header.append(name);
    const notes = [];
    if (process.ppid !== null) notes.push(`parent ${process.ppid}`);
    notes.push(plural(process.lanes.length, "thread"));
    if (!process.aligned) notes.push(NOT_ALIGNED);
    const small = element("small");
    small.textContent = notes.join(" · ");
    header.append(small);
    return header;
  }

  function build() {
    const container = $("lanes");
    let laneIndex = 0;
    for (const host of data.hosts) {
      const header = element("div", "host");
      header.dataset.host = host.name;
      const name = element("span", "host-name");
      name.textContent = host.name || "(no host name)";
      const count = element("small");
      const threads = host.processes.reduce((sum, process) => sum + process.lanes.length, 0);
      const named = host.processes.filter((process) => process.pid !== null).length;
      count.textContent = [named ? plural(named, "process") : "", plural(threads, "thread")]
        .filter(Boolean).join(" · ");
      header.append(name, count);
      container.append(header);
      for (const process of host.processes) {
        // Files without identity form one unnamed group, headed only when
        // it needs telling apart from processes that are aligned.
        if (process.pid !== null || !process.aligned) container.append(processHeader(process));
        for (const lane of process.lanes) container.append(buildLane(lane, laneIndex++));
      }
    }
    if (lanes.length === 0) {
      const empty = element("p", "empty");
      empty.textContent = "No trace files were given.";
      container.append(empty);
    }
    rebase(start);
    const count = (key) => lanes.reduce((sum, lane) => sum + lane[key].length, 0);
    const open = lanes.reduce((sum, lane) => sum + openCount(lane), 0);
    $("summary").textContent = [
      `${plural(lanes.length, "thread")} on ${plural(data.hosts.length, "host")}`,
      `${plural(count("scopes"), "scope")}${open ? ` (${open} never closed)` : ""}`,
      plural(count("instants"), "record"),
      `${data.start} – ${data.end} ms`,
      ...(data.origin ? [`0 ms = ${data.origin}`] : []),
    ].join(" · ");
    $("unit").textContent = "time (ms)";
  }

  // ---- drawing the current view ---------------------------------------------

  // Read once per resize: asking for layout while drawing would make the
  // browser lay out the previous view first.
  let widthCache = 0;
  const trackWidth = () => widthCache || (widthCache = axis.clientWidth || 1);

  function niceStep(rough) {
    const power = 10 ** Math.floor(Math.log10(rough));
    for (const factor of [1, 2, 5]) if (power * factor >= rough) return power * factor;
    return power * 10;
  }

  function drawTicks(width, scale) {
    const step = niceStep(Math.max((view.to - view.from) * 110 / width, 1e-6));
    const ticks = [];
    const lines = [];
    for (let i = Math.ceil(view.from / step); i * step <= view.to; i++) {
      const x = `${(i * step - view.from) * scale}px`;
      const tick = element("div", "tick");
      tick.style.left = x;
      const label = element("span");
      label.textContent = formatTick(i * step, step);
      tick.append(label);
      ticks.push(tick);
      const line = element("div");
      line.style.left = x;
      lines.push(line);
    }
    axis.replaceChildren(...ticks);
    grid.replaceChildren(...lines);
  }

  // Labels for the bars wide enough in this view, kept inside the visible
  // part of the bar so that a long bar's label stays in sight.
  function drawLabels(lane, width, scale) {
    const labels = [];
    lane.scopes.forEach((row, index) => {
      const left = Math.max((row[2] - view.from) * scale, 0);
      const right = Math.min((exitOf(row) - view.from) * scale, width);
      if (right - left < MIN_LABEL) return;
      const label = element("div");
      label.style.left = `${left + 5}px`;
      label.style.top = `${row[1] * ROW + BAR_TOP}px`;
      label.style.width = `${right - left - 9}px`;
      label.style.color = paletteOf(text[row[4]]).ink;
      label.textContent = text[row[7]] || text[row[4]];
      labels.push(label);
    });
    lane.labels.replaceChildren(...labels);
  }

  function draw() {
    const width = trackWidth();
    const scale = width / (view.to - view.from);  // px per ms
    if (Math.abs(view.from - base) * scale > REBASE_PX) rebase(view.from);
    const box = `${view.from - base} 0 ${view.to - view.from}`;
    for (const lane of lanes) {
      lane.svg.setAttribute("viewBox", `${box} ${lane.svg.getAttribute("height")}`);
      drawLabels(lane, width, scale);
    }
    drawTicks(width, scale);
  }

  // ---- zoom and pan ---------------------------------------------------------

  // Keeps the view inside the timeline and at least MIN_SPAN wide, and draws
  // at once: the browser already hands out wheel and pointer moves once per
  // frame.
  function setView(from, to) {
    const span = Math.min(Math.max(to - from, Math.min(MIN_SPAN, domain)), domain);
    from = Math.min(Math.max(from, start), end - span);
    view = { from, to: from + span };
    draw();
  }

  // factor > 1 zooms in, keeping the time under x (px in the track) in place.
  function zoom(factor, x = trackWidth() / 2) {
    const at = view.from + (view.to - view.from) * (x / trackWidth());
    setView(at - (at - view.from) / factor, at + (view.to - at) / factor);
  }

  function pan(px) {
    const shift = (view.to - view.from) * px / trackWidth();
    setView(view.from + shift, view.to + shift);
  }

  const trackX = (clientX) => clientX - axis.getBoundingClientRect().left;

  function onWheel(event) {
    const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? viewport.clientHeight : 1;
    if (event.ctrlKey || event.metaKey || event.target.closest(".axis-row")) {
      event.preventDefault();
      zoom(Math.exp(-event.deltaY * unit * 0.002), trackX(event.clientX));
    } else if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      event.preventDefault();
      pan((event.shiftKey ? event.deltaY || event.deltaX : event.deltaX) * unit);
    }
  }

  function onKey(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.target.closest?.("button") && (event.key === "Enter" || event.key === " ")) return;
    const step = trackWidth() / 5;
    const span = view.to - view.from;
    const actions = {
      "+": () => zoom(1.5), "=": () => zoom(1.5), "w": () => zoom(1.5),
      "-": () => zoom(1 / 1.5), "_": () => zoom(1 / 1.5), "s": () => zoom(1 / 1.5),
      "0": () => setView(start, end),
      "ArrowLeft": () => pan(-step), "a": () => pan(-step),
      "ArrowRight": () => pan(step), "d": () => pan(step),
      "Home": () => setView(start, start + span),
      "End": () => setView(end - span, end),
      "Escape": () => pin(null),
    };
    const action = actions[event.key];
    if (action) {
      event.preventDefault();
      action();
    }
  }

  // Dragging pans both ways; a press that does not move is a click.
  function onPointerDown(event) {
    if (event.button !== 0) return;
    const origin = { x: event.clientX, y: event.clientY, top: viewport.scrollTop, view };
    const target = event.target;
    let dragging = false;
    viewport.setPointerCapture(event.pointerId);
    const move = (moved) => {
      const dx = moved.clientX - origin.x;
      const dy = moved.clientY - origin.y;
      if (!dragging && Math.hypot(dx, dy) < 4) return;
      dragging = true;
      viewport.classList.add("dragging");
      const shift = (origin.view.to - origin.view.from) * dx / trackWidth();
      setView(origin.view.from - shift, origin.view.to - shift);
      viewport.scrollTop = origin.top - dy;
    };
    const up = () => {
      viewport.removeEventListener("pointermove", move);
      viewport.removeEventListener("pointerup", up);
      viewport.removeEventListener("pointercancel", up);
      viewport.classList.remove("dragging");
      if (!dragging) pin(target.closest("[data-kind]"));
    };
    viewport.addEventListener("pointermove", move);
    viewport.addEventListener("pointerup", up);
    viewport.addEventListener("pointercancel", up);
  }

  // ---- details ----------------------------------------------------------------

  function field(list, name, value) {
    const item = element("div");
    const term = element("dt");
    term.textContent = name;
    const description = element("dd");
    description.textContent = value;
    item.append(term, description);
    list.append(item);
  }

  function show(node) {
    if (!node) {
      const placeholder = element("p", "placeholder");
      placeholder.textContent = "Point at a bar or a mark to see its message, invoker, file, line and times.";
      details.replaceChildren(placeholder);
      return;
    }
    const lane = lanes[+node.closest("[data-lane]").dataset.lane];
    const index = +node.dataset.index;
    const message = element("p", "message");
    const list = element("dl");
    if (node.dataset.kind === "scope") {
      const [, depth, enter, exit, invoker, file, line, args] = lane.scopes[index];
      message.textContent = text[args] || "(no message)";
      if (exit === null) {
        const badge = element("span", "badge");
        badge.textContent = "never closed";
        message.append(badge);
      }
      field(list, "invoker", text[invoker]);
      field(list, "file", text[file]);
      field(list, "line", String(line));
      field(list, "enter", formatTime(enter));
      field(list, "exit", exit === null ? "—" : formatTime(exit));
      field(list, "duration", exit === null
        ? `at least ${formatDuration(Math.max(data.end - enter, 0))}`
        : formatDuration(exit - enter));
      field(list, "depth", String(depth));
    } else {
      const [parent, ts, invoker, file, line, args] = lane.instants[index];
      message.textContent = text[args] || "(no message)";
      field(list, "invoker", text[invoker]);
      field(list, "file", text[file]);
      field(list, "line", String(line));
      field(list, "time", formatTime(ts));
      if (parent >= 0) field(list, "in scope", text[lane.scopes[parent][7]] || text[lane.scopes[parent][4]]);
    }
    field(list, "thread", `${lane.thread} on ${lane.host || "(no host name)"}`);
    if (lane.process) field(list, "process", lane.process);
    if (!lane.aligned) field(list, "times", `from its own process's start ${NOT_ALIGNED}`);
    if (node === pinned) {
      const note = element("span", "pinned");
      note.textContent = "kept · Esc releases";
      message.append(note);
    }
    details.replaceChildren(message, list);
  }

  function pin(node) {
    if (pinned) pinned.classList.remove("selected");
    pinned = node;
    if (pinned) pinned.classList.add("selected");
    show(pinned);
  }

  function onHover(event) {
    const node = event.target.closest("[data-kind]");
    if (node && !pinned) show(node);
  }

  // ---- start --------------------------------------------------------------------

  // "#t=1200,1500" opens the page on that range of milliseconds.
  function initialView() {
    const match = /^#t=(-?[\d.]+),(-?[\d.]+)$/.exec(location.hash);
    if (!match || !(+match[2] > +match[1])) return false;
    setView(+match[1], +match[2]);
    return true;
  }

  try {
    build();
    if (!initialView()) draw();
    viewport.addEventListener("wheel", onWheel, { passive: false });
    viewport.addEventListener("pointerdown", onPointerDown);
    viewport.addEventListener("mouseover", onHover);
    window.addEventListener("keydown", onKey);
    window.addEventListener("resize", () => { widthCache = 0; draw(); });
    $("zoom-in").addEventListener("click", () => zoom(1.5));
    $("zoom-out").addEventListener("click", () => zoom(1 / 1.5));
    $("zoom-fit").addEventListener("click", () => setView(start, end));
    viewport.focus({ preventScroll: true });
    root.dataset.state = "ready";
  } catch (error) {
    root.dataset.state = "failed";
    const message = element("p", "empty");
    message.textContent = `This trace could not be drawn: ${error}`;
    $("lanes").replaceChildren(message);
    throw error;
  }
})();
